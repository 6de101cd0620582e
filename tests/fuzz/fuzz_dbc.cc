// The DBC reader on arbitrary text either fails with a line number or hands the decoder only
// what it promises: matchable ids, each once; signals of 1 to 64 bits inside 64 bytes with
// matching value types; multiplexor chains that end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/hash_map.h"
#include "dbc/dbc_file.h"
#include "log/log.h"

using namespace quarrow;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  log_set_output_level(LOG_FATAL + 1);  // thousands of warnings a second would drown the fuzzer's
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DbcFile file;
  SsoString error;
  if (!dbc_parse(reinterpret_cast<const char*>(data), size, "fuzz.dbc", &file, &error)) {
    if (std::strncmp(error.c_str(), "line ", 5) != 0) abort();
    return 0;
  }
  HashMap<uint64_t, bool> ids;
  for (const DbcMessage& m : file.messages) {
    bool extended = (m.id & 0x80000000u) != 0;
    if ((m.id & 0x40000000u) != 0 || (extended ? m.id > 0x9FFFFFFFu : m.id >= 0x800)) abort();
    if (m.j1939 && !extended) abort();
    auto slot = ids.insert(static_cast<uint64_t>(m.id));
    if (slot.slot && !slot.inserted) abort();
    const auto count = static_cast<int64_t>(m.signals.size());
    for (const DbcSignal& s : m.signals) {
      uint64_t first = s.little_endian ? s.start_bit : (s.start_bit / 8) * 8 + 7 - s.start_bit % 8;
      if (s.length < 1 || s.length > 64 || first + s.length > 512) abort();
      const uint32_t ieee_bits = s.value_type == DBC_VALUE_FLOAT ? 32 : 64;
      if (s.value_type != DBC_VALUE_INTEGER && s.length != ieee_bits) abort();
      if (s.multiplexor < -1 || s.multiplexor >= count) abort();
      if ((s.multiplexor >= 0) == s.selectors.empty()) abort();
      // A chain through more links than the message has signals runs in a circle.
      int64_t steps = 0;
      for (int32_t at = s.multiplexor; at >= 0;
           at = m.signals[static_cast<uint64_t>(at)].multiplexor) {
        if (!m.signals[static_cast<uint64_t>(at)].is_multiplexor || ++steps > count) abort();
      }
    }
  }
  return 0;
}
