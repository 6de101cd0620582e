#pragma once

#include <cstdint>

#include "core/sso_string.h"

namespace quarrow {

class ByteStream;

// How reading a file whole went.
enum WholeFile {
  WHOLE_FILE_READ,
  WHOLE_FILE_TOO_LARGE,  // more than the limit arrived
  WHOLE_FILE_FAILED,     // the bytes the platform reported did not all arrive
};

// Reads the stream's bytes into text, refusing more than limit of them.
// The size is what the platform reports, which for a folder or a device can
// be anything up to 2^63 - 1, so the text grows with the bytes that
// actually arrive instead of being allocated up front, and a file is too
// large only when more than limit bytes really came. A failed allocation
// is logged naming `what` and path.
WholeFile read_whole_file(ByteStream* stream, uint64_t limit, const char* what,
                          const SsoString& path, SsoString* text);

}  // namespace quarrow
