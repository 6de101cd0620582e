#pragma once

#include <cstdint>

namespace quarrow {

// Large buffers (the input file, frame copies, sort arrays, unwrapped
// content) are filled once, front to back. On fresh memory every 4 KiB page
// costs a fault when first touched, which adds up to a good part of a
// conversion; asking for huge pages turns hundreds of those faults into one.
// One implementation file per platform; elsewhere these are plain malloc and
// a no-op.

// Sizes from which the advice is worth giving.
inline constexpr uint64_t kLargeMemoryThreshold = 2 * 1024 * 1024;

// Like malloc, aligned so that huge pages can back all of a large block.
// Released with std::free. Null when memory is short.
void* large_memory_alloc(uint64_t size);

// Advises huge pages for the whole pages inside [p, p + size); does nothing
// for blocks below the threshold or where the system has no such advice.
void large_memory_advise(void* p, uint64_t size);

// The machine's physical memory in bytes; 0 when it cannot be told.
uint64_t physical_memory_bytes();

}  // namespace quarrow
