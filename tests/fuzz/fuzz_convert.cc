// The whole per-file conversion of raw bytes (password "fuzz"; odd sizes with
// --other-writers); a DBC file after kDbcMark, when it reads, decodes the
// frames instead of the messages of DBC-shaped traffic.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/convert_file.h"
#include "app/password_store.h"
#include "app/settings.h"
#include "csv/csv_sink.h"
#include "dbc/dbc_file.h"
#include "io/folder.h"
#include "log/log.h"
#include "mdfwriter/dbc_traffic.h"

namespace {

using namespace quarrow;

constexpr char kDbcMark[] = "\n--DBC--\n";
const char* const kFiles[] = {"in.mf4", "out_CAN.csv", "out_LIN.csv", "out_CAN_signals.csv"};

char root[64] = "/tmp/quarrow_fuzz_XXXXXX";
ConverterSettings* settings;
std::unique_ptr<Folder> folder;
std::unique_ptr<CsvSink> sink;
std::unique_ptr<SignalDecoder> traffic;  // the default decoder

// A decoder of the DBC text, or null when it does not read.
std::unique_ptr<SignalDecoder> decoder_of(const std::string& text) {
  DbcFile file;
  SsoString error;
  auto decoder = std::make_unique<SignalDecoder>();
  if (!dbc_parse(text.data(), text.size(), StringView("fuzz.dbc"), &file, &error) ||
      !decoder->add(&file, -1)) {
    return nullptr;
  }
  return decoder;
}

std::string path_in(const char* name) {
  return std::string(root) + "/" + name;
}

// libFuzzer ends with exit(), so the scratch folder goes with the process.
void remove_scratch() {
  for (const char* name : kFiles) unlink(path_in(name).c_str());
  rmdir(root);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Thousands of damaged files a second would bury the fuzzer's own output.
  log_set_output_level(LOG_FATAL + 1);
  if (!mkdtemp(root)) abort();
  std::atexit(remove_scratch);
  settings = new ConverterSettings;
  // Far below the product's limits: beyond them the search only slows down.
  settings->limits.max_key_iterations = 4096;
  settings->limits.max_unwrapped_bytes = 64 << 20;
  if (!password_store_parse(StringView("{\"default\": \"fuzz\"}"), &settings->passwords)) abort();
  folder = folder_open(root);
  if (!folder || !(sink = csv_sink_create(folder.get(), folder.get(), settings))) abort();
  traffic = decoder_of(mdfw::dbc_traffic_text(mdfw::dbc_traffic_messages(100, 1)));
  if (!traffic) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t mark = bytes.find(kDbcMark);
  std::unique_ptr<SignalDecoder> own;
  if (mark != std::string::npos) {
    own = decoder_of(bytes.substr(mark + sizeof(kDbcMark) - 1));
    size = mark;
  }
  const std::string input = path_in("in.mf4");
  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size)) abort();
  std::fclose(f);

  // Whole-file reads and small refills take different paths.
  settings->buffer_size = size % 3 == 0 ? 64 : -1;
  settings->other_writers = size % 2 == 1;
  settings->signals = own ? std::move(own) : std::move(traffic);
  const int status = convert_file(sink.get(), "in.mf4", "out");
  if (status != CONVERT_OK && status != CONVERT_NO_PASSWORD && status != CONVERT_DECOMPRESS &&
      status != CONVERT_FAILED) {
    abort();
  }
  // Nothing asked for deletion, so the input must still be there.
  if (access(input.c_str(), F_OK) != 0) abort();
  // The default decoder goes back; an input's own goes.
  if (!traffic) traffic = std::move(settings->signals);
  settings->signals.reset();
  for (int i = 1; i < 4; ++i) unlink(path_in(kFiles[i]).c_str());
  return 0;
}
