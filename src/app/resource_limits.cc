#include "app/resource_limits.h"

#include <unistd.h>

namespace quarrow {

uint64_t default_max_unwrapped_bytes() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return uint64_t{1} << 30;
  // The converted frames and the tables need room beside the content.
  return static_cast<uint64_t>(pages) / 4 * static_cast<uint64_t>(page_size);
}

}  // namespace quarrow
