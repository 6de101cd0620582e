#include <windows.h>

#include <cstdlib>

#include "core/large_memory.h"

namespace quarrow {

// The process heap hands blocks of this size straight to VirtualAlloc, and
// grows them there; the blocks must stay plain heap blocks, since they are
// handed on, grown and freed as such. Large pages need a privilege that
// ordinary users lack, so there is no advice to give.
void* large_memory_alloc(uint64_t size) { return std::malloc(size); }

void large_memory_advise(void* p, uint64_t size) {
  (void)p;
  (void)size;
}

uint64_t physical_memory_bytes() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return status.ullTotalPhys;
}

}  // namespace quarrow
