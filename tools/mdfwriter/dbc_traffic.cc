#include "mdfwriter/dbc_traffic.h"

#include <charconv>
#include <random>

namespace quarrow::mdfw {

namespace {

constexpr uint32_t kExtended = 0x80000000u;
constexpr uint32_t kSignalsPerMessage = 9;

std::string number(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof(text), value).ptr);
}

// The start bit the DBC states for a field that starts at `position` bits
// in reading order: its first bit for Intel, its most significant one (the
// same bit, numbered within its byte from the bottom) for Motorola.
uint32_t start_bit(uint32_t position, bool intel) {
  return intel ? position : position / 8 * 8 + 7 - position % 8;
}

}  // namespace

std::vector<DbcMessageShape> dbc_traffic_messages(uint32_t count, uint64_t seed) {
  std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + 17);
  auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const uint32_t fd_sizes[] = {12, 16, 20, 24, 32, 48, 64};
  const uint32_t lengths[] = {1, 2, 4, 4, 6, 8, 8, 8, 10, 12, 16, 24};
  const double factors[] = {1, 1, 0.1, 0.5, 0.25, 2, 0.01, 0.001};
  const double offsets[] = {0, 0, 0, -40, 1.5, 100};
  const char* units[] = {"", "rpm", "km/h", "\u00B0C", "V", "%", "m/s\u00B2"};
  std::vector<DbcMessageShape> messages(count);
  for (uint32_t i = 0; i < count; ++i) {
    DbcMessageShape& m = messages[i];
    m.name = "Msg_" + std::to_string(i);
    m.size = i % 10 < 7 ? 8 : fd_sizes[below(7)];
    if (i % 7 == 3) {
      // PDU2 groups (PF 0xF0 and up) and PDU1 groups with a destination.
      m.j1939 = true;
      uint32_t group = i % 2 ? 0xF000 + i : (0x10 + i % 0x20) << 8 | (i & 0xFF);
      m.id = kExtended | 6u << 26 | group << 8 | below(256);
    } else if (i % 3 == 1) {
      m.id = kExtended | (0x1000000 + i * 0x101);
    } else {
      m.id = 0x100 + i * 7;
    }
    const bool multiplexed = i % 5 == 2;
    uint32_t position = 0;
    const uint32_t bits = m.size * 8;
    for (uint32_t k = 0; k < kSignalsPerMessage && position < bits; ++k) {
      DbcSignalShape s;
      s.name = "Sig_" + std::to_string(i) + "_" + std::to_string(k);
      s.intel = below(2) == 0;
      s.length = lengths[below(sizeof(lengths) / sizeof(lengths[0]))];
      if (multiplexed && k == 0) {
        s.intel = true;
        s.length = 2;
        s.mux = -2;
      } else if (multiplexed && below(4) != 0) {
        s.mux = static_cast<int>(k % 4);
      }
      if (k == 5 && i % 6 == 0 && position % 8 == 0 && bits - position >= 32) {
        s.length = 32;
        s.value_type = 1;
      }
      if (s.length > bits - position) s.length = bits - position;
      s.is_signed = s.mux != -2 && s.value_type == 0 && s.length > 1 && below(3) == 0;
      if (s.mux != -2) {
        s.factor = factors[below(sizeof(factors) / sizeof(factors[0]))];
        s.offset = offsets[below(sizeof(offsets) / sizeof(offsets[0]))];
        s.unit = i == 3 && k == 1 ? "N;m" : units[below(sizeof(units) / sizeof(units[0]))];
      }
      s.start_bit = start_bit(position, s.intel);
      // Motorola fields run on from the start bit in reading order, which
      // is where the next field may begin too.
      position += s.length + (bits > 64 ? below(bits / kSignalsPerMessage) : 0);
      m.signals.push_back(std::move(s));
    }
  }
  return messages;
}

std::string dbc_traffic_text(const std::vector<DbcMessageShape>& messages) {
  std::string text =
      "VERSION \"generated\"\n\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\tBA_\n\tSIG_VALTYPE_\n\n"
      "BS_:\n\nBU_: ECU\n\n";
  for (const DbcMessageShape& m : messages) {
    text += "BO_ " + std::to_string(m.id) + " " + m.name + ": " + std::to_string(m.size) + " ECU\n";
    for (const DbcSignalShape& s : m.signals) {
      std::string mux = s.mux == -2 ? " M" : s.mux >= 0 ? " m" + std::to_string(s.mux) : "";
      text += " SG_ " + s.name + mux + " : " + std::to_string(s.start_bit) + "|" +
              std::to_string(s.length) + "@" + (s.intel ? "1" : "0") + (s.is_signed ? "-" : "+") +
              " (" + number(s.factor) + "," + number(s.offset) + ") [0|0] \"" + s.unit + "\" ECU\n";
    }
    text += "\n";
  }
  text += "CM_ \"Traffic for tests and benchmarks.\";\n";
  text +=
      "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\","
      "\"J1939PG\";\nBA_DEF_DEF_ \"VFrameFormat\" \"StandardCAN\";\n";
  for (const DbcMessageShape& m : messages) {
    if (m.j1939) text += "BA_ \"VFrameFormat\" BO_ " + std::to_string(m.id) + " 3;\n";
  }
  for (const DbcMessageShape& m : messages) {
    for (const DbcSignalShape& s : m.signals) {
      if (s.value_type != 0) {
        text += "SIG_VALTYPE_ " + std::to_string(m.id) + " " + s.name + " : " +
                std::to_string(s.value_type) + ";\n";
      }
    }
  }
  return text;
}

}  // namespace quarrow::mdfw
