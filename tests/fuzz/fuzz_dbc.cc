// The DBC reader on arbitrary text: it either fails with a line number or
// hands the decoder only what it promises: ids that can match a frame, each
// once; signals of 1 to 64 bits inside 64 bytes with matching value types;
// multiplexor chains that end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/hash_map.h"
#include "dbc/dbc_file.h"
#include "log/log.h"

namespace {

using namespace quarrow;

bool signal_sound(const DbcMessage& m, const DbcSignal& s) {
  if (s.length < 1 || s.length > 64) return false;
  if (s.value_type == DBC_VALUE_FLOAT && s.length != 32) return false;
  if (s.value_type == DBC_VALUE_DOUBLE && s.length != 64) return false;
  uint64_t first = s.little_endian ? s.start_bit : (s.start_bit / 8) * 8 + 7 - s.start_bit % 8;
  if (first + s.length > 512) return false;
  if (s.multiplexor < -1 || s.multiplexor >= static_cast<int64_t>(m.signals.size())) return false;
  if ((s.multiplexor >= 0) == s.selectors.empty()) return false;
  if (s.multiplexor >= 0 && !m.signals[static_cast<uint64_t>(s.multiplexor)].is_multiplexor) {
    return false;
  }
  // A chain longer than the message's signals runs in a circle.
  int32_t at = s.multiplexor;
  for (uint64_t steps = 0; at >= 0; ++steps) {
    if (steps > m.signals.size()) return false;
    at = m.signals[static_cast<uint64_t>(at)].multiplexor;
  }
  return true;
}

bool message_sound(const DbcMessage& m) {
  bool extended = (m.id & 0x80000000u) != 0;
  if ((m.id & 0x40000000u) != 0 || (extended ? m.id > 0x9FFFFFFFu : m.id >= 0x800)) return false;
  if (m.j1939 && !extended) return false;
  for (const DbcSignal& s : m.signals)
    if (!signal_sound(m, s)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Flawed input warns for every flaw; thousands a second would drown the
  // fuzzer's own output.
  log_set_output_level(LOG_FATAL + 1);
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
    if (!message_sound(m)) abort();
    auto slot = ids.insert(static_cast<uint64_t>(m.id));
    if (slot.slot && !slot.inserted) abort();
  }
  return 0;
}
