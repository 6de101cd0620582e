#include "core/format.h"

#include <climits>

#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_STATIC
// The formatter's word-wise copies through unaligned pointers are undefined
// behaviour (and stop the sanitizer build); the byte-wise path is as exact.
#define STB_SPRINTF_NOUNALIGNED
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <stb/stb_sprintf.h>
#pragma GCC diagnostic pop

namespace quarrow {

int format_vsnprintf(char* buffer, uint64_t size, const char* format, va_list args) {
  int count = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  return stbsp_vsnprintf(buffer, count, format, args);
}

int format_snprintf(char* buffer, uint64_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int r = format_vsnprintf(buffer, size, format, args);
  va_end(args);
  return r;
}

int format_vsprintf(char* buffer, const char* format, va_list args) {
  return stbsp_vsprintf(buffer, format, args);
}

}  // namespace quarrow
