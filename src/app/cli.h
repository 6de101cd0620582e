#pragma once

#include <cstdio>
#include <memory>

#include "app/settings.h"
#include "core/grow_array.h"
#include "core/sso_string.h"

struct arg_file;

namespace quarrow {

inline constexpr const char kProgramName[] = "quarrow";
inline constexpr const char kProgramVersion[] = "2.2.2";

// Exit statuses decided while the command line is read.
enum CliStatus : int {
  CLI_STATUS_NO_MEMORY = 129,         // the option table or the settings
  CLI_STATUS_MISSING_ARGUMENT = 130,  // an option lacks its argument
  CLI_STATUS_BAD_ARGUMENT = 131,      // unmatched argument, bad number, bad verbosity
  CLI_STATUS_OTHER_ERROR = 134,       // argtable's error lines are printed
};

// The option table, in the order that fixes the usage and glossary output.
enum CliEntry : int {
  CLI_HELP,
  CLI_VERSION,
  CLI_VERBOSITY,
  CLI_NON_INTERACTIVE,
  CLI_DELETE_CONVERTED,
  CLI_NO_APPEND_ROOT,
  CLI_BUFFER,
  CLI_PASSWORD_FILE,
  CLI_OUTPUT_DIRECTORY,
  CLI_INPUT_FILES,  // a flag that only documents the positional inputs
  CLI_INPUTS,
  CLI_JOBS,
  CLI_OTHER_WRITERS,
  CLI_DBC,
  CLI_END,
  CLI_ENTRY_COUNT,
};

// What collect_paths returns when a path could not be stored; the parse
// records it as the option's error with this code times 256.
inline constexpr int kCollectNoMemory = 3;

// A settings record with its initial values (buffer_size -1), or null when
// memory is short.
std::unique_ptr<ConverterSettings> settings_create();

// Builds the option table, parses and applies argv. Returns true when the
// conversion is to proceed; otherwise *status holds the exit status (0 after
// usage or version). Usage, version and argtable's error lines go to
// standard output.
bool cli_parse(ConverterSettings* settings, int argc, char** argv, int* status);

// Parses argv against a table laid out as CliEntry and applies the result:
// usage, version, parse errors, log threshold, flags and buffer, then
// cli_prepare_run.
bool cli_apply(ConverterSettings* settings, void** table, int argc, char** argv, int* status);

// Normalises every value of a file option (path_normalize) and appends it to
// destination. Returns 0, or kCollectNoMemory when a value could not be
// stored (the others are still processed).
int collect_paths(const arg_file* option, GrowArray<SsoString>* destination);

// Writes the line for a recorded collection error (code kCollectNoMemory
// * 256), prefixed by the program name; nothing for any other code.
void report_collect_error(FILE* stream, int code, const char* progname);

// Everything between the parsed options and the batch: password store,
// common root of the inputs, input and output folders. False ends the run
// with *status.
bool cli_prepare_run(ConverterSettings* settings, int* status);

}  // namespace quarrow
