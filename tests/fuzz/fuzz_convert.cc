// The per-file conversion of raw bytes (password "fuzz"); a DBC file after
// kDbcMark, when it reads, decodes the frames instead of DBC-shaped traffic.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
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
const char* const kOutputs[] = {"out_CAN.csv", "out_LIN.csv", "out_CAN_signals.csv"};

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
  const bool ok = dbc_parse(text.data(), text.size(), StringView("fuzz.dbc"), &file, &error) &&
                  decoder->add(&file, -1);
  return ok ? std::move(decoder) : nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_output_level(LOG_FATAL + 1);
  if (!mkdtemp(root)) abort();
  atexit([] { std::filesystem::remove_all(root); });  // libFuzzer ends with exit()
  settings = new ConverterSettings;
  // Far below the product's limits: beyond them the search only slows down.
  settings->limits.max_key_iterations = 4096;
  settings->limits.max_unwrapped_bytes = 64 << 20;
  if (!password_store_parse(StringView("{\"default\": \"fuzz\"}"), &settings->passwords)) abort();
  folder = folder_open(root);
  if (!folder || !(sink = csv_sink_create(folder.get(), folder.get(), settings))) abort();
  if (!(traffic = decoder_of(mdfw::dbc_traffic_text(mdfw::dbc_traffic_messages(100, 1))))) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const size_t mark = bytes.find(kDbcMark);
  std::unique_ptr<SignalDecoder> own;
  if (mark != std::string::npos) own = decoder_of(bytes.substr(mark + sizeof(kDbcMark) - 1));
  size = std::min(size, mark);
  const std::string input = std::string(root) + "/in.mf4";
  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size)) abort();
  std::fclose(f);

  // Whole-file reads and small refills take different paths.
  settings->buffer_size = size % 3 == 0 ? 64 : -1;
  settings->other_writers = size % 2 == 1;
  settings->signals = own ? std::move(own) : std::move(traffic);
  const int status = convert_file(sink.get(), "in.mf4", "out");
  if (status != CONVERT_OK && status != CONVERT_NO_PASSWORD && status != CONVERT_DECOMPRESS &&
      status != CONVERT_FAILED)
    abort();
  if (access(input.c_str(), F_OK) != 0) abort();  // nothing asked for deletion
  if (!traffic) traffic = std::move(settings->signals);
  settings->signals.reset();
  for (const char* name : kOutputs) unlink((std::string(root) + "/" + name).c_str());
  return 0;
}
