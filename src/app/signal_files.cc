#include "app/signal_files.h"

#include <cstring>

#include "app/cli.h"
#include "app/whole_file.h"
#include "dbc/dbc_file.h"
#include "io/file_stream.h"
#include "io/folder.h"
#include "io/stream.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr int kMaxBusChannel = 255;

// Splits "N:path" into bus channel N and path; a value without an all-digit
// prefix (a drive letter, a plain path) applies to every bus (-1). False
// for a bus channel out of range.
bool split_bus(const SsoString& value, int* bus_channel, SsoString* name, SsoString* path) {
  const char* text = value.c_str();
  const char* digits_end = text;
  while (*digits_end >= '0' && *digits_end <= '9') ++digits_end;
  *bus_channel = -1;
  uint64_t skip = 0;
  if (digits_end > text && *digits_end == ':') {
    int bus = 0;
    for (const char* p = text; p < digits_end; ++p) {
      bus = bus * 10 + (*p - '0');
      if (bus > kMaxBusChannel) return false;
    }
    *bus_channel = bus;
    skip = static_cast<uint64_t>(digits_end - text) + 1;
  }
  StringView given(text + skip, value.size() - skip);
  if (!name->assign(given) || !path->assign(given)) return false;
  path_normalize(path);
  return true;
}

// Reads one file; false after logging why. Messages name the file as it
// was given.
bool load_one(const SsoString& name, const SsoString& path, SignalDecoder* decoder,
              int bus_channel) {
  ByteStream* stream = file_stream_open(path.c_str(), FILE_MODE_READ);
  if (!stream) {
    QLOG(LOG_FATAL, "Could not read DBC file %s: the file cannot be opened", name.c_str());
    return false;
  }
  SsoString text;
  WholeFile read = read_whole_file(stream, kMaxDbcFileBytes, "DBC file", name, &text);
  stream_close(stream);
  if (read == WHOLE_FILE_TOO_LARGE) {
    QLOG(LOG_FATAL, "Could not read DBC file %s: larger than 64 MiB", name.c_str());
    return false;
  }
  if (read == WHOLE_FILE_FAILED) {
    QLOG(LOG_FATAL, "Could not read DBC file %s: the file cannot be read", name.c_str());
    return false;
  }
  DbcFile file;
  SsoString error;
  if (!dbc_parse(text.c_str(), text.size(), name.view(), &file, &error)) {
    QLOG(LOG_FATAL, "Could not read DBC file %s: %s", name.c_str(), error.c_str());
    return false;
  }
  if (!decoder->add(&file, bus_channel)) {
    QLOG(LOG_FATAL, "Could not read DBC file %s: out of memory", name.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool signal_files_load(ConverterSettings* settings, int* status) {
  if (settings->dbc_files.empty()) return true;
  settings->signals.reset(new (std::nothrow) SignalDecoder);
  if (!settings->signals) {
    *status = CLI_STATUS_NO_MEMORY;
    return false;
  }
  for (const SsoString& value : settings->dbc_files) {
    int bus_channel;
    SsoString name;
    SsoString path;
    if (!split_bus(value, &bus_channel, &name, &path)) {
      *status = CLI_STATUS_BAD_ARGUMENT;
      return false;
    }
    if (!load_one(name, path, settings->signals.get(), bus_channel)) {
      *status = 1;
      return false;
    }
  }
  return true;
}

}  // namespace quarrow
