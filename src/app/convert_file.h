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

// Why an input failed, finer than its status, for the run's summary. The
// first three are the walk's, the others a log's.
enum ConvertFailure : int {
  FAILURE_NONE,
  FAILURE_NOT_FOUND,
  FAILURE_NOT_FILE,  // neither a file nor a folder
  FAILURE_QUERY,     // the file system could not say what it is
  FAILURE_OPEN,      // the log could not be opened or read into memory
  FAILURE_NO_PASSWORD,
  FAILURE_DECRYPT,  // a wrong password or tampered bytes
  FAILURE_DECOMPRESS,
  FAILURE_DAMAGED,  // not MDF 4, or blocks or records that cannot be read
  FAILURE_TRUNCATED,
  FAILURE_WRITE,  // the tables could not be written
  FAILURE_OTHER,
  FAILURE_KINDS,
};

// What became of one input, for the run's summary.
struct ConvertReport {
  ConvertFailure failure = FAILURE_NONE;
  // Converted without a row, although it holds a group that looks like bus
  // logging in a layout that --other-writers reads.
  bool other_writer_layout = false;
};

// Converts one input file (relative to the sink's input folder) end to end:
// unwraps containers, reads the MDF file, feeds the sink and, when asked,
// deletes the input after success. A log that gives no row although a group
// looks like bus logging is warned about and never deleted. output_base is
// relative to the output folder and has no extension. Returns the status;
// *report, when given, says why a conversion failed (FAILURE_NONE after
// success).
int convert_file(FrameSink* sink, StringView input_path, StringView output_base,
                 ConvertReport* report = nullptr);

}  // namespace quarrow
