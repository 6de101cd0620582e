#pragma once

#include <memory>

#include "app/convert_file.h"
#include "app/progress.h"
#include "core/grow_array.h"
#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

class Folder;
class FrameSink;
struct ConverterSettings;

// Finds the one folder that directly contains every input, stores it in
// input_root and rewrites the inputs relative to it. False (status 132) when
// an input has no parent or the inputs lie in different folders.
bool find_common_root(ConverterSettings* settings, int* status);

// Converts every input in order; returns the bitwise OR of their statuses.
// With -j, the walk finds the files first and they convert several at once;
// tables, log lines and their order, and the status stay what converting
// them one by one gives. So does the run with a status line, whose walk
// finds the files first, to know how many there are.
int run_batch(FrameSink* sink, const GrowArray<SsoString>& inputs);

// A log file the walk found, to be converted later.
struct FileJob {
  SsoString input;
  SsoString base;    // of its tables
  SsoString before;  // log lines of the walk that come before its own
  SsoString lines;   // its own log lines
  uint64_t size = 0;
  int status = 0;
  ConvertReport report;
  uint64_t rows = 0;  // in the tables it gave
};

struct FileJobs {
  GrowArray<FileJob> files;
  uint64_t bytes = 0;  // of all files
  SsoString pending;   // what the walk logged since the last file it found
  RunTally tally;
  Progress* progress = nullptr;  // told of every log found, when there is one
};

// Converts one input path (relative to the input folder) and everything
// below it; output is the matching path relative to the output folder. With
// jobs, the log files are only collected there, for the caller to convert.
int convert_path(FrameSink* sink, StringView input, StringView output, FileJobs* jobs = nullptr);

// Converts one log file into tables at base and logs a failure; *report,
// when given, says what became of it.
int convert_log_file(FrameSink* sink, StringView input, StringView base,
                     ConvertReport* report = nullptr);

// True for the extensions mf4, mfc, mfe and mfm in any letter case.
bool is_log_file(StringView path);

// The text after the last "/" (empty when the path ends with "/").
StringView path_file_name(StringView path);
// The text after the last "." of the file name (a name without "." is its
// own extension).
StringView path_extension(StringView path);
// The text up to and including the last "/" (empty when there is none).
StringView path_folder_part(StringView path);

// Creates every missing folder of path below the folder's root, outermost
// first. False when one cannot be made or a non-folder stands in the way.
bool make_folders(Folder* folder, StringView path);

}  // namespace quarrow
