#pragma once

#include "app/settings.h"

namespace quarrow {

// Largest DBC file read: real ones are a few megabytes, and the whole text
// is held while it is read.
inline constexpr uint64_t kMaxDbcFileBytes = 64ull << 20;

// Reads every --dbc file into settings->signals, in command-line order. A
// value "N:path" whose N is all digits applies to bus channel N only. False
// with *status 1 when a file cannot be read or parsed (the message names
// it), or *status CLI's bad-argument status for a bus channel above 255.
bool signal_files_load(ConverterSettings* settings, int* status);

}  // namespace quarrow
