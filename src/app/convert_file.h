#pragma once

#include "core/string_view.h"

namespace quarrow {

class FrameSink;

// Statuses of one file's conversion; they are OR-ed into the exit status.
enum ConvertStatus : int {
  CONVERT_OK = 0,
  CONVERT_NO_PASSWORD = 2,  // no usable password, or decryption failed
  CONVERT_DECOMPRESS = 4,
  CONVERT_FAILED = 8,
};

// Converts one input file (relative to the sink's input folder) end to end:
// unwraps containers, reads the MDF file, feeds the sink and, when asked,
// deletes the input after success. output_base is relative to the output
// folder and has no extension.
int convert_file(FrameSink* sink, StringView input_path, StringView output_base);

}  // namespace quarrow
