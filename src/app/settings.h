#pragma once

#include <cstdint>
#include <memory>

#include "app/password_store.h"
#include "app/resource_limits.h"
#include "core/grow_array.h"
#include "core/sso_string.h"
#include "dbc/signal_decoder.h"
#include "io/folder.h"

namespace quarrow {

// More threads than this gain nothing on any machine this runs on.
inline constexpr int kMaxJobs = 256;

// Everything the command line decides for one run.
struct ConverterSettings {
  bool delete_converted = false;
  bool no_append_root = false;
  bool non_interactive = false;  // no status line, summary or wait for Enter
  // A status line and a summary go to standard error: it is a terminal and
  // --non-interactive was not given.
  bool show_progress = false;
  // Read buffer for input files: 0 none, negative the whole file.
  int64_t buffer_size = -1;
  // -j: worker threads, 0 for all cores; -1 when not given (all cores
  // inside one file, files one at a time).
  int jobs = -1;
  // --other-writers: also read logs of other MDF 4 writers.
  bool other_writers = false;
  // Threads that decode and format the rows of one file.
  unsigned threads_per_file = 1;
  PasswordStore passwords;
  ResourceLimits limits;
  SsoString input_root;                   // ends with "/"
  GrowArray<SsoString> inputs;            // relative to input_root after root detection
  GrowArray<SsoString> password_file;     // 0 or 1 path from -p
  GrowArray<SsoString> output_directory;  // 0 or 1 path from -O
  GrowArray<SsoString> dbc_files;         // --dbc values as given, N: prefixes included
  // Read from dbc_files before any log; null without --dbc.
  std::unique_ptr<SignalDecoder> signals;
  std::unique_ptr<Folder> input_folder;
  // Set only when -O names a folder; otherwise outputs go to input_folder.
  std::unique_ptr<Folder> own_output_folder;

  Folder* output_folder() const {
    return own_output_folder ? own_output_folder.get() : input_folder.get();
  }
};

}  // namespace quarrow
