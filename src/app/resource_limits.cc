#include "app/resource_limits.h"

#include "core/large_memory.h"

namespace quarrow {

uint64_t default_max_unwrapped_bytes() {
  uint64_t bytes = physical_memory_bytes();
  if (bytes == 0) return uint64_t{1} << 30;
  // The converted frames and the tables need room beside the content.
  return bytes / 4;
}

}  // namespace quarrow
