// The per-file pipeline from raw bytes: the input is written as a log file
// into a scratch folder and converted there like a command-line run would,
// with container unwrapping, decryption (every device's password is
// "fuzz"), the MDF reader, every data group's record walk and the CSV
// writer. Half of the inputs are read with --other-writers.

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
#include "io/folder.h"
#include "log/log.h"

namespace {

using namespace quarrow;

// Limits far below the product's: what lies beyond them only slows the
// search down (and would trip the fuzzer's memory limit) without reaching
// new code.
constexpr uint32_t kMaxFuzzIterations = 4096;
constexpr uint64_t kMaxFuzzContent = 64 << 20;

struct Harness {
  char root[64] = {};
  ConverterSettings settings;
  std::unique_ptr<Folder> folder;
  std::unique_ptr<CsvSink> sink;
};

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
  return h;
}

std::string path_in(const char* name) {
  return std::string(harness->root) + "/" + name;
}

// libFuzzer ends with exit(), so the scratch folder goes with the process.
void remove_scratch() {
  for (const char* name : {"in.mf4", "out_CAN.csv", "out_LIN.csv"}) unlink(path_in(name).c_str());
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
  std::string input = path_in("in.mf4");
  FILE* f = std::fopen(input.c_str(), "wb");
  if (!f) abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) abort();
  std::fclose(f);

  // The buffer size alternates between whole-file reads and small refills,
  // which take different paths through the buffered stream.
  harness->settings.buffer_size = size % 3 == 0 ? 64 : -1;
  harness->settings.other_writers = size % 2 == 1;
  int status = convert_file(harness->sink.get(), "in.mf4", "out");
  if (status != CONVERT_OK && status != CONVERT_NO_PASSWORD && status != CONVERT_DECOMPRESS &&
      status != CONVERT_FAILED) {
    abort();
  }
  // Nothing asked for deletion, so the input must still be there.
  if (access(input.c_str(), F_OK) != 0) abort();
  unlink(path_in("out_CAN.csv").c_str());
  unlink(path_in("out_LIN.csv").c_str());
  return 0;
}
