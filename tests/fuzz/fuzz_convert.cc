// The per-file pipeline from raw bytes: the input is written as a log file
// into a scratch folder and converted there like a command-line run would,
// with container unwrapping, decryption (every device's password is
// "fuzz"), the MDF reader, every data group's record walk and the CSV
// writer with its signals table. Half of the inputs are read with
// --other-writers. An input may carry a DBC file after the log, behind
// kDbcMark; the frames are decoded with it when it reads, else with DBC-shaped
// traffic's messages.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/convert_file.h"
#include "app/settings.h"
#include "csv/csv_sink.h"
#include "dbc/dbc_file.h"
#include "io/folder.h"
#include "log/log.h"
#include "mdfwriter/dbc_traffic.h"

namespace {

using namespace quarrow;

// Limits far below the product's: what lies beyond them only slows the
// search down (and would trip the fuzzer's memory limit) without reaching
// new code.
constexpr uint32_t kMaxFuzzIterations = 4096;
constexpr uint64_t kMaxFuzzContent = 64 << 20;

constexpr char kDbcMark[] = "\n--DBC--\n";

struct Harness {
  char root[64] = {};
  ConverterSettings settings;
  std::unique_ptr<Folder> folder;
  std::unique_ptr<CsvSink> sink;
  std::unique_ptr<SignalDecoder> traffic;  // the default decoder
};

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

Harness* harness = nullptr;

Harness* setup() {
  auto* h = new Harness;
  std::snprintf(h->root, sizeof(h->root), "/tmp/quarrow_fuzz_XXXXXX");
  if (!mkdtemp(h->root)) abort();
  SsoString key;
  SsoString value;
  if (!key.assign("default") || !value.assign("fuzz")) abort();
  h->settings.limits.max_key_iterations = kMaxFuzzIterations;
  h->settings.limits.max_unwrapped_bytes = kMaxFuzzContent;
  auto slot = h->settings.passwords.insert(std::move(key));
  if (!slot.slot) abort();
  slot.slot->value = std::move(value);
  h->folder = folder_open(h->root);
  if (!h->folder) abort();
  h->sink = csv_sink_create(h->folder.get(), h->folder.get(), &h->settings);
  if (!h->sink) abort();
  h->traffic = decoder_of(mdfw::dbc_traffic_text(mdfw::dbc_traffic_messages(100, 1)));
  if (!h->traffic) abort();
  return h;
}

std::string path_in(const char* name) {
  return std::string(harness->root) + "/" + name;
}

// libFuzzer ends with exit(), so the scratch folder goes with the process.
void remove_scratch() {
  for (const char* name : {"in.mf4", "out_CAN.csv", "out_LIN.csv", "out_CAN_signals.csv"}) {
    unlink(path_in(name).c_str());
  }
  rmdir(harness->root);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Thousands of damaged files a second would bury the fuzzer's own output.
  log_set_output_level(LOG_FATAL + 1);
  harness = setup();
  std::atexit(remove_scratch);
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
  std::string input = path_in("in.mf4");
  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);

  // The buffer size alternates between whole-file reads and small refills,
  // which take different paths through the buffered stream.
  harness->settings.buffer_size = size % 3 == 0 ? 64 : -1;
  harness->settings.other_writers = size % 2 == 1;
  harness->settings.signals = own ? std::move(own) : std::move(harness->traffic);
  int status = convert_file(harness->sink.get(), "in.mf4", "out");
  if (status != CONVERT_OK && status != CONVERT_NO_PASSWORD && status != CONVERT_DECOMPRESS &&
      status != CONVERT_FAILED) {
    abort();
  }
  // Nothing asked for deletion, so the input must still be there.
  if (access(input.c_str(), F_OK) != 0) abort();
  // The default decoder goes back to the harness; an input's own goes.
  if (!harness->traffic) harness->traffic = std::move(harness->settings.signals);
  harness->settings.signals.reset();
  unlink(path_in("out_CAN.csv").c_str());
  unlink(path_in("out_LIN.csv").c_str());
  unlink(path_in("out_CAN_signals.csv").c_str());
  return 0;
}
