#pragma once

#include <cstdarg>
#include <cstdint>

namespace quarrow {

// The program's one printf-compatible formatter (stb_sprintf): bounded,
// always zero-terminated when size > 0, "." as decimal point whatever the
// locale. Returns the length of the full expansion, as vsnprintf does.
int format_vsnprintf(char* buffer, uint64_t size, const char* format, va_list args);
int format_snprintf(char* buffer, uint64_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace quarrow
