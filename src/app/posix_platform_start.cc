#include "app/platform_start.h"

namespace quarrow {

// Arguments arrive as the bytes the shell passed, UTF-8 by convention, and
// standard output has no text mode.
bool platform_start(int*, char***) { return true; }

// A terminal outlives the program it runs.
void platform_end(bool) {}

}  // namespace quarrow
