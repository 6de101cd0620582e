#pragma once

#include <cstdarg>
#include <cstdint>

// Checks a format's arguments as the program's formatter reads them: the C99
// conversions (%zu, %lld) on every platform, also where the system's own
// printf knows others.
#if defined(__MINGW32__)
#define QUARROW_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define QUARROW_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace quarrow {

// The program's one printf-compatible formatter (stb_sprintf): bounded,
// always zero-terminated when size > 0, "." as decimal point whatever the
// locale. Returns the length of the full expansion, as vsnprintf does.
int format_vsnprintf(char* buffer, uint64_t size, const char* format, va_list args);
int format_snprintf(char* buffer, uint64_t size, const char* format, ...)
    QUARROW_FORMAT(3, 4);
// The same expansion without a bound, for hot paths that have proved the
// text fits. REQUIRES: buffer holds the expansion and its terminator.
int format_vsprintf(char* buffer, const char* format, va_list args);

}  // namespace quarrow
