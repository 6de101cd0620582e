#pragma once

#include <cstdint>

#include "core/sso_string.h"

namespace quarrow {

class ByteStream;

// Reads size bytes into text. The size is what the platform reports, which
// for a folder or a device can be anything up to 2^63 - 1, so the text grows
// with the bytes that actually arrive instead of being allocated up front.
// True only when all size bytes arrived; a failed allocation is logged
// naming `what` and path.
bool read_whole_file(ByteStream* stream, int64_t size, const char* what, const SsoString& path,
                     SsoString* text);

}  // namespace quarrow
