#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core/large_memory.h"

namespace quarrow {

namespace {

// The C library serves blocks below its mapping threshold from the heap,
// where growing one copies it into fresh pages; and it raises that threshold
// to the size of every mapped block it frees, up to 32 MiB. A fixed
// threshold keeps large blocks mapped, so that they grow in place.
void keep_large_blocks_mapped() {
#ifdef M_MMAP_THRESHOLD
  static const bool done = mallopt(M_MMAP_THRESHOLD, static_cast<int>(kLargeMemoryThreshold)) != 0;
  (void)done;
#endif
}

}  // namespace

void* large_memory_alloc(uint64_t size) {
  keep_large_blocks_mapped();
  if (size < kLargeMemoryThreshold) return std::malloc(size);
  void* p = nullptr;
  if (posix_memalign(&p, kLargeMemoryThreshold, size) != 0) return nullptr;
  large_memory_advise(p, size);
  return p;
}

void large_memory_advise(void* p, uint64_t size) {
  keep_large_blocks_mapped();
#ifdef MADV_HUGEPAGE
  if (!p || size < kLargeMemoryThreshold) return;
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // Every page the block touches, so that a mapping of its own is advised
  // whole: advice on a part would split it, and a split mapping can no
  // longer grow in place.
  uintptr_t begin = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + size + page - 1) & ~(page - 1);
  // Only advice: a kernel without huge pages refuses it and nothing changes.
  (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)size;
#endif
}

uint64_t physical_memory_bytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace quarrow
