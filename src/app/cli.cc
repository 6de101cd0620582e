#include "app/cli.h"

#include <argtable2.h>

#include <new>

#include "io/folder.h"
#include "log/log.h"

namespace quarrow {

namespace {

// The recorded code of a collection failure.
constexpr int kCollectErrorCode = kCollectNoMemory * 256;

// Records an error in the end entry the way the parser does: once the list
// is full, the last slot reports that the limit was reached.
void record_error(struct arg_end* end, void* parent, int code, const char* value) {
  if (end->count < end->hdr.maxcount) {
    end->error[end->count] = code;
    end->parent[end->count] = parent;
    end->argval[end->count] = value;
    ++end->count;
  } else {
    end->error[end->hdr.maxcount - 1] = ARG_ELIMIT;
    end->parent[end->hdr.maxcount - 1] = end;
    end->argval[end->hdr.maxcount - 1] = nullptr;
  }
}

// Path collection runs after a clean parse, over the three file options.
// Returns the number of errors it recorded.
int collect_all_paths(ConverterSettings* settings, void** table) {
  struct {
    CliEntry entry;
    GrowArray<SsoString>* destination;
  } const options[] = {
      {CLI_PASSWORD_FILE, &settings->password_file},
      {CLI_OUTPUT_DIRECTORY, &settings->output_directory},
      {CLI_INPUTS, &settings->inputs},
  };
  auto* end = static_cast<struct arg_end*>(table[CLI_END]);
  int errors = 0;
  for (const auto& o : options) {
    auto* option = static_cast<arg_file*>(table[o.entry]);
    int r = collect_paths(option, o.destination);
    if (r != 0) {
      record_error(end, option, r * 256, option->count > 0 ? option->filename[0] : nullptr);
      ++errors;
    }
  }
  return errors;
}

void print_errors(struct arg_end* end) {
  // Collection runs only after a clean parse, so its errors never mix with
  // the parser's own.
  if (end->count > 0 && end->error[0] == kCollectErrorCode) {
    for (int i = 0; i < end->count; ++i) report_collect_error(stdout, end->error[i], kProgramName);
  } else {
    arg_print_errors(stdout, end, kProgramName);
  }
}

// Verbosity 0 (fatal only) to 4 (everything); 5 is taken as 4. -1 for any
// other value.
int32_t log_level_for_verbosity(int verbosity) {
  switch (verbosity) {
    case 0:
      return LOG_FATAL;
    case 1:
      return LOG_ERROR;
    case 2:
      return LOG_WARN;
    case 3:
      return LOG_INFO;
    case 4:
    case 5:
      return LOG_VERBOSE;
    default:
      return -1;
  }
}

int count_of(void** table, CliEntry entry) {
  return static_cast<arg_lit*>(table[entry])->count;
}

}  // namespace

std::unique_ptr<ConverterSettings> settings_create() {
  return std::unique_ptr<ConverterSettings>(new (std::nothrow) ConverterSettings());
}

bool cli_parse(ConverterSettings* settings, int argc, char** argv, int* status) {
  // At least one positional input is required; argtable wants max >= min.
  int max_inputs = argc > 2 ? argc - 1 : 1;
  void* entries[CLI_ENTRY_COUNT] = {
      arg_lit0(nullptr, "help", "display this help and exit"),
      arg_lit0("v", "version", "display tool version and exit"),
      arg_int0(nullptr, "verbosity", "<n>",
               "verbosity of logging messages from 0 to 4, with 0 being fatal messages only 4 "
               "being all messages including debug information. defaults to 1"),
      arg_lit0(nullptr, "non-interactive", "does not print any progress output"),
      arg_lit0("d", "delete-converted", "deletes files after conversion if specified"),
      arg_lit0("X", "no-append-root", "do not add \"_out\" when converting folders"),
      arg_int0("b", "buffer", "<n>", "buffer size in bytes. 0 disables and -1 takes entire file"),
      arg_file0("p", "password-file", nullptr,
                "where to find device passwords for encrypted files, defaults to "
                "\"passwords.json\""),
      arg_file0("O", "output-directory", nullptr, "where to place the converted files"),
      arg_lit0("i", "input-files=<file(s)/folder(s)>",
               "list of input files/folders, must have common root"),
      arg_filen(nullptr, nullptr, "file(s)/folder(s)", 1, max_inputs, nullptr),
      arg_int0("j", "jobs", "<n>",
               "worker threads, 0 for all cores; with more than one, the files of a folder "
               "convert several at once"),
      arg_lit0(nullptr, "other-writers",
               "also read logs of other MDF 4 writers: data lists, compressed data, other "
               "channel layouts"),
      arg_filen(nullptr, "dbc", "<file>", 0, argc > 1 ? argc - 1 : 1,
                "decode CAN frames with a DBC file into a _CAN_signals.csv table; N:file for bus "
                "channel N only"),
      arg_end(20),
  };
  // A fixed array: building the table can fail only in its entries.
  bool proceed = false;
  if (arg_nullcheck(entries) != 0) {
    *status = CLI_STATUS_NO_MEMORY;
  } else {
    proceed = cli_apply(settings, entries, argc, argv, status);
  }
  arg_freetable(entries, CLI_ENTRY_COUNT);
  return proceed;
}

bool cli_apply(ConverterSettings* settings, void** table, int argc, char** argv, int* status) {
  // 1. Parse; the paths are collected only from a clean parse.
  int nerrors = arg_parse(argc, argv, table);
  if (nerrors == 0) nerrors = collect_all_paths(settings, table);
  // Taken before anything can end the run: a window of its own waits for
  // Enter also after the usage or an error.
  settings->non_interactive = count_of(table, CLI_NON_INTERACTIVE) == 1;

  // 2. Usage, whatever else the command line holds.
  if (count_of(table, CLI_HELP) > 0 || argc <= 1) {
    std::printf("Usage: %s", kProgramName);
    arg_print_syntax(stdout, table, "\n\n");
    arg_print_glossary(stdout, table, "  %-40s %s\n");
    *status = 0;
    return false;
  }

  // 3. Version, even after parse errors.
  if (count_of(table, CLI_VERSION) > 0) {
    std::printf("Version: %s\n", kProgramVersion);
    *status = 0;
    return false;
  }

  // 4. Parse errors: the two most common ones end the run quietly.
  if (nerrors > 0) {
    auto* end = static_cast<struct arg_end*>(table[CLI_END]);
    int first = end->error[0];
    if (first == ARG_ENOMATCH) {
      *status = CLI_STATUS_BAD_ARGUMENT;
    } else if (first == ARG_EMISSARG) {
      *status = CLI_STATUS_MISSING_ARGUMENT;
    } else {
      print_errors(end);
      *status = CLI_STATUS_OTHER_ERROR;
    }
    return false;
  }

  // 5. Log threshold.
  auto* verbosity = static_cast<arg_int*>(table[CLI_VERBOSITY]);
  int32_t level = verbosity->count > 0 ? log_level_for_verbosity(verbosity->ival[0]) : LOG_ERROR;
  if (level < 0) {
    *status = CLI_STATUS_BAD_ARGUMENT;
    return false;
  }
  log_set_output_level(level);

  // 6. Flags and read buffer.
  settings->delete_converted = count_of(table, CLI_DELETE_CONVERTED) == 1;
  settings->no_append_root = count_of(table, CLI_NO_APPEND_ROOT) == 1;
  settings->other_writers = count_of(table, CLI_OTHER_WRITERS) == 1;
  // Taken as given: a bus prefix is split off before the path is normalised.
  auto* dbc = static_cast<arg_file*>(table[CLI_DBC]);
  for (int i = 0; i < dbc->count; ++i) {
    SsoString value;
    if (!value.assign(dbc->filename[i]) || !settings->dbc_files.append(std::move(value))) {
      *status = CLI_STATUS_NO_MEMORY;
      return false;
    }
  }
  auto* buffer = static_cast<arg_int*>(table[CLI_BUFFER]);
  settings->buffer_size = buffer->count > 0 ? static_cast<int64_t>(buffer->ival[0]) : -1;
  auto* jobs = static_cast<arg_int*>(table[CLI_JOBS]);
  if (jobs->count > 0) {
    if (jobs->ival[0] < 0) {
      *status = CLI_STATUS_BAD_ARGUMENT;
      return false;
    }
    settings->jobs = jobs->ival[0] > kMaxJobs ? kMaxJobs : jobs->ival[0];
  }

  return cli_prepare_run(settings, status);
}

int collect_paths(const arg_file* option, GrowArray<SsoString>* destination) {
  int result = 0;
  for (int i = 0; i < option->count; ++i) {
    SsoString path;
    if (!path.assign(option->filename[i])) {
      result = kCollectNoMemory;
      continue;
    }
    path_normalize(&path);
    if (!destination->append(std::move(path))) result = kCollectNoMemory;
  }
  return result;
}

void report_collect_error(FILE* stream, int code, const char* progname) {
  if (code != kCollectErrorCode) return;
  std::fprintf(stream, "%s: internal error, could not allocate memory\n", progname);
}

}  // namespace quarrow
