#include "dbc/signal_decoder.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "bus/bits.h"

namespace quarrow {

namespace {

// Products of a 64-bit raw value and a 64-bit factor.
__extension__ typedef __int128 Int128;

constexpr uint32_t kExtendedFlag = 0x80000000u;
constexpr uint32_t kIdMask = 0x1FFFFFFFu;
constexpr uint32_t kStandardIds = 0x800;
// Frames carry at most 64 data bytes; the copy has room for a load of
// eight bytes at the last byte a field may start in.
constexpr uint64_t kMaxData = 64;
constexpr uint64_t kPaddedData = 72;

// J1939 groups ignore priority and source address: bits 8..25 of the id.
uint32_t j1939_key(uint32_t id) {
  return id >> 8 & 0x3FFFF;
}

// What a signal's value takes beyond its bits, decided once.
struct ValuePlan {
  DbcValueType type;
  bool is_signed;
  uint32_t length;
  // Integer signal with integral factor and offset: printed exactly.
  bool integral;
  int64_t int_factor;
  int64_t int_offset;
  double factor;
  double offset;
};

bool as_int64(double x, int64_t* out) {
  // 2^63 itself does not fit; every double below it that is integral does.
  if (!(x >= -9223372036854775808.0 && x < 9223372036854775808.0) || x != std::trunc(x)) {
    return false;
  }
  *out = static_cast<int64_t>(x);
  return true;
}

ValuePlan value_plan(const DbcSignal& signal) {
  ValuePlan plan{};
  plan.type = signal.value_type;
  plan.is_signed = signal.is_signed;
  plan.length = signal.length;
  plan.factor = signal.factor;
  plan.offset = signal.offset;
  plan.integral = signal.value_type == DBC_VALUE_INTEGER &&
                  as_int64(signal.factor, &plan.int_factor) &&
                  as_int64(signal.offset, &plan.int_offset);
  return plan;
}

uint64_t sign_extend(uint64_t raw, uint32_t length) {
  if (length >= 64) return raw;
  uint64_t sign = uint64_t{1} << (length - 1);
  return (raw ^ sign) - sign;
}

char* write_u64(char* out, uint64_t value) {
  return std::to_chars(out, out + kSignalValueRoom, value).ptr;
}

constexpr double kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
constexpr int kFastDecimals = 6;

// Shortest text of a value that a few decimals hold exactly, as
// std::to_chars writes it; null for any other value. Scaled signals are
// mostly such values, and this is several times faster than the general
// algorithm.
char* write_few_decimals(char* out, double value) {
  double magnitude = value < 0 ? -value : value;
  // Zero keeps its sign in to_chars; tiny and huge values print with an
  // exponent.
  if (!(magnitude >= 1e-4 && magnitude < 1e15)) return nullptr;
  for (int k = 0; k <= kFastDecimals; ++k) {
    // Below 2^50 the product is within a quarter of the integer that a
    // k-decimal text of the value has, so rounding finds that integer.
    double scaled = magnitude * kPowersOfTen[k];
    if (scaled >= 1125899906842624.0) return nullptr;
    auto n = static_cast<uint64_t>(scaled + 0.5);
    // n and 10^k are exact, so the division rounds exactly as reading the
    // decimal text back does.
    if (static_cast<double>(n) / kPowersOfTen[k] != magnitude) continue;
    char digits[24];
    char* end = std::to_chars(digits, digits + sizeof(digits), n).ptr;
    auto length = static_cast<int>(end - digits);
    int trailing = 0;
    while (k == 0 && trailing < length - 1 && digits[length - 1 - trailing] == '0') ++trailing;
    int significant = length - trailing;
    int exponent = length - 1 - k;
    int fixed = k == 0 ? length : length > k ? length + 1 : k + 2;
    int scientific =
        significant + (significant > 1) + 2 + (exponent <= -100 || exponent >= 100 ? 3 : 2);
    if (fixed > scientific) return nullptr;
    if (value < 0) *out++ = '-';
    if (k == 0) {
      std::memcpy(out, digits, static_cast<size_t>(length));
      return out + length;
    }
    if (length > k) {
      std::memcpy(out, digits, static_cast<size_t>(length - k));
      out += length - k;
      *out++ = '.';
      std::memcpy(out, digits + length - k, static_cast<size_t>(k));
      return out + k;
    }
    *out++ = '0';
    *out++ = '.';
    for (int i = length; i < k; ++i) *out++ = '0';
    std::memcpy(out, digits, static_cast<size_t>(length));
    return out + length;
  }
  return nullptr;
}

char* write_value(char* out, const ValuePlan& plan, uint64_t raw) {
  double x;
  if (plan.type == DBC_VALUE_FLOAT) {
    auto bits = static_cast<uint32_t>(raw);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    x = f;
  } else if (plan.type == DBC_VALUE_DOUBLE) {
    std::memcpy(&x, &raw, sizeof(x));
  } else {
    const uint64_t extended = plan.is_signed ? sign_extend(raw, plan.length) : raw;
    const bool negative = plan.is_signed && (extended >> 63) != 0;
    Int128 r =
        negative ? static_cast<Int128>(static_cast<int64_t>(extended)) : static_cast<Int128>(raw);
    Int128 value;
    if (plan.integral && !__builtin_mul_overflow(r, static_cast<Int128>(plan.int_factor), &value) &&
        !__builtin_add_overflow(value, static_cast<Int128>(plan.int_offset), &value) &&
        value >= INT64_MIN && value <= static_cast<Int128>(UINT64_MAX)) {
      if (value < 0) {
        *out++ = '-';
        return write_u64(out, static_cast<uint64_t>(-(value + 1)) + 1);
      }
      return write_u64(out, static_cast<uint64_t>(value));
    }
    x = negative ? static_cast<double>(static_cast<int64_t>(extended)) : static_cast<double>(raw);
  }
  // Two roundings, as the DBC tools compute it: the library is built
  // without contraction into a fused multiply-add.
  return signal_format_double(out, x * plan.factor + plan.offset);
}

// A field of the table: quoted when it holds a separator, a quote or a line
// end, with its quotes doubled.
bool append_field(SsoString* text, StringView field) {
  bool quote = false;
  for (uint64_t i = 0; i < field.size; ++i) {
    char c = field.data[i];
    quote = quote || c == ';' || c == '"' || c == '\r' || c == '\n';
  }
  if (!quote) return text->append(field) != nullptr;
  if (!text->push_back('"')) return false;
  for (uint64_t i = 0; i < field.size; ++i) {
    if (field.data[i] == '"' && !text->push_back('"')) return false;
    if (!text->push_back(field.data[i])) return false;
  }
  return text->push_back('"') != nullptr;
}

// The texts of a row are short: copied with one fixed-size copy, which
// reads and writes kShortCopy bytes whatever their size, they cost a few
// instructions instead of a call. The row texts are padded for the reads,
// and the rows' room has kShortCopy bytes to spare for the writes.
constexpr uint64_t kShortCopy = 32;

char* put_short(char* out, const char* from, uint64_t size) {
  if (size <= kShortCopy) {
    std::memcpy(out, from, kShortCopy);
  } else {
    std::memcpy(out, from, size);
  }
  return out + size;
}

struct SignalPlan {
  SignalBits bits;
  ValuePlan value;
  int32_t multiplexor;
  uint32_t first_range;  // its selectors in the message's ranges
  uint32_t range_count;
  // "Message;Signal;" and ";Unit\n" in the message's text.
  uint32_t prefix_at;
  uint32_t prefix_size;
  uint32_t suffix_at;
  uint32_t suffix_size;
};

}  // namespace

struct SignalMessage {
  uint32_t index;  // in its file, for messages that match a frame twice
  GrowArray<SignalPlan> signals;
  GrowArray<DbcMuxRange> ranges;
  SsoString text;
  bool multiplexed = false;
  uint64_t text_bytes = 0;  // of every signal's prefix and suffix together
};

struct SignalDecoder::Database {
  int bus_channel;
  GrowArray<SignalMessage*> messages;
  SignalMessage* standard[kStandardIds] = {};
  HashMap<uint64_t, SignalMessage*> extended;
  HashMap<uint64_t, SignalMessage*> j1939;

  ~Database() {
    for (SignalMessage* message : messages) delete message;
  }
};

bool signal_bits_locate(uint32_t start_bit, uint32_t length, bool little_endian, SignalBits* bits) {
  if (length == 0 || length > 64 || start_bit >= 8 * kMaxData) return false;
  // Motorola start bits name the most significant bit in the DBC's
  // numbering; counted in reading order (bit 7 of byte 0 first) the field is
  // then contiguous, as an Intel field is in the other order.
  uint32_t first = little_endian ? start_bit : start_bit / 8 * 8 + 7 - start_bit % 8;
  uint32_t last = first + length - 1;
  if (last >= 8 * kMaxData) return false;
  bits->position = first;
  bits->length = length;
  bits->end_byte = last / 8 + 1;
  bits->little_endian = little_endian;
  return true;
}

uint64_t signal_bits_read(const SignalBits& bits, const uint8_t* data) {
  return bits_extract(data, kPaddedData, bits.position, bits.length, bits.little_endian);
}

char* signal_format_double(char* out, double value) {
  if (char* end = write_few_decimals(out, value)) return end;
  return std::to_chars(out, out + kSignalValueRoom, value).ptr;
}

char* signal_write_value(char* out, const DbcSignal& signal, uint64_t raw) {
  return write_value(out, value_plan(signal), raw);
}

namespace {

// The plan of one message, its row texts included; null when memory is
// short or a signal's bits cannot lie in a frame.
SignalMessage* message_plan(const DbcMessage& message, uint32_t index) {
  std::unique_ptr<SignalMessage> plan(new (std::nothrow) SignalMessage);
  if (!plan || !plan->signals.reserve(message.signals.size())) return nullptr;
  plan->index = index;
  for (const DbcSignal& signal : message.signals) {
    SignalPlan s{};
    if (!signal_bits_locate(signal.start_bit, signal.length, signal.little_endian, &s.bits)) {
      return nullptr;
    }
    s.value = value_plan(signal);
    s.multiplexor = signal.multiplexor;
    plan->multiplexed = plan->multiplexed || signal.multiplexor >= 0;
    s.first_range = static_cast<uint32_t>(plan->ranges.size());
    s.range_count = static_cast<uint32_t>(signal.selectors.size());
    for (const DbcMuxRange& range : signal.selectors) {
      if (!plan->ranges.append(range)) return nullptr;
    }
    SsoString& text = plan->text;
    s.prefix_at = static_cast<uint32_t>(text.size());
    if (!append_field(&text, message.name.view()) || !text.push_back(';') ||
        !append_field(&text, signal.name.view()) || !text.push_back(';')) {
      return nullptr;
    }
    s.suffix_at = static_cast<uint32_t>(text.size());
    s.prefix_size = s.suffix_at - s.prefix_at;
    if (!text.push_back(';') || !append_field(&text, signal.unit.view()) || !text.push_back('\n')) {
      return nullptr;
    }
    s.suffix_size = static_cast<uint32_t>(text.size()) - s.suffix_at;
    plan->signals.append(s);
  }
  plan->text_bytes = plan->text.size();
  // Room for the fixed-size copies of put_short past the last text.
  static constexpr char kPadding[kShortCopy] = {};
  if (!plan->text.append(kPadding, kShortCopy)) return nullptr;
  return plan.release();
}

// The raw value of a signal that the frame holds and its multiplexors
// select; false when it gives no row for this frame.
bool selected(const SignalMessage& message, const SignalPlan& signal, const uint8_t* data,
              uint64_t length, uint64_t* raw) {
  if (signal.bits.end_byte > length) return false;
  if (signal.multiplexor >= 0) {
    const SignalPlan& mux = message.signals[static_cast<uint64_t>(signal.multiplexor)];
    uint64_t selector;
    if (!selected(message, mux, data, length, &selector)) return false;
    if (mux.value.is_signed) {
      selector = sign_extend(selector, mux.bits.length);
      if (selector >> 63) return false;
    }
    bool chosen = false;
    const DbcMuxRange* ranges = message.ranges.data() + signal.first_range;
    for (uint32_t i = 0; i < signal.range_count && !chosen; ++i) {
      chosen = selector >= ranges[i].low && selector <= ranges[i].high;
    }
    if (!chosen) return false;
  }
  *raw = signal_bits_read(signal.bits, data);
  return true;
}

}  // namespace

SignalDecoder::SignalDecoder() = default;

SignalDecoder::~SignalDecoder() {
  for (Database* database : databases_) delete database;
}

bool SignalDecoder::add(DbcFile* file, int bus_channel) {
  std::unique_ptr<Database> database(new (std::nothrow) Database);
  if (!database || !databases_.reserve(databases_.size() + 1)) return false;
  database->bus_channel = bus_channel;
  uint32_t index = 0;
  for (const DbcMessage& message : file->messages) {
    SignalMessage* plan = message_plan(message, index++);
    if (!plan) return false;
    if (!database->messages.append(plan)) {
      delete plan;
      return false;
    }
    // The reader keeps one message per id; a J1939 group that two ids
    // share goes to the earlier.
    SignalMessage** slot = nullptr;
    if (!(message.id & kExtendedFlag)) {
      if (message.id < kStandardIds) slot = &database->standard[message.id];
    } else {
      auto& map = message.j1939 ? database->j1939 : database->extended;
      uint32_t key = message.j1939 ? j1939_key(message.id & kIdMask) : message.id & kIdMask;
      auto inserted = map.insert(uint64_t{key});
      if (!inserted.slot) return false;
      if (inserted.inserted) slot = &inserted.slot->value;
    }
    if (slot && !*slot) *slot = plan;
  }
  databases_.append(database.release());
  return true;
}

const SignalMessage* SignalDecoder::find(uint32_t bus_channel, uint32_t id, bool extended) const {
  for (const Database* database : databases_) {
    if (database->bus_channel >= 0 && static_cast<uint32_t>(database->bus_channel) != bus_channel) {
      continue;
    }
    const SignalMessage* found = nullptr;
    if (!extended) {
      if (id < kStandardIds) found = database->standard[id];
    } else {
      if (const auto* slot = database->extended.find(id & kIdMask)) found = slot->value;
      if (const auto* slot = database->j1939.find(j1939_key(id & kIdMask))) {
        if (!found || slot->value->index < found->index) found = slot->value;
      }
    }
    if (found) return found;
  }
  return nullptr;
}

uint64_t SignalDecoder::rows_room(const SignalMessage& message, uint64_t head_size) {
  return message.text_bytes + message.signals.size() * (head_size + kSignalValueRoom) + kShortCopy;
}

char* SignalDecoder::write_rows(const SignalMessage& message, const uint8_t* data,
                                uint64_t data_length, const char* head, uint64_t head_size,
                                char* out, uint64_t* rows) {
  uint8_t padded[kPaddedData] = {};
  uint64_t length = data_length < kMaxData ? data_length : kMaxData;
  if (data && length) std::memcpy(padded, data, length);
  const char* text = message.text.c_str();
  // The head once into a buffer of its own, so that its copies may read
  // kShortCopy bytes.
  char short_head[kShortCopy];
  if (head_size <= kShortCopy) {
    std::memcpy(short_head, head, head_size);
    head = short_head;
  }
  uint64_t count = 0;
  for (const SignalPlan& signal : message.signals) {
    uint64_t raw;
    if (message.multiplexed) {
      if (!selected(message, signal, padded, length, &raw)) continue;
    } else {
      if (signal.bits.end_byte > length) continue;
      raw = signal_bits_read(signal.bits, padded);
    }
    out = put_short(out, head, head_size);
    out = put_short(out, text + signal.prefix_at, signal.prefix_size);
    out = write_value(out, signal.value, raw);
    out = put_short(out, text + signal.suffix_at, signal.suffix_size);
    ++count;
  }
  *rows += count;
  return out;
}

}  // namespace quarrow
