#include "dbc/dbc_file.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <system_error>

#include "core/hash_map.h"
#include "dbc/dbc_lexer.h"
#include "log/log.h"

namespace quarrow {

namespace {

// Every keyword a DBC file may start a statement with, separated by spaces.
constexpr char kKeywords[] =
    " VERSION NS_ NS_DESC_ CM_ BA_DEF_ BA_ VAL_ CAT_DEF_ CAT_ FILTER BA_DEF_DEF_ EV_DATA_"
    " ENVVAR_DATA_ SGTYPE_ SGTYPE_VAL_ BA_DEF_SGTYPE_ BA_SGTYPE_ SIG_TYPE_REF_ VAL_TABLE_"
    " SIG_GROUP_ SIG_VALTYPE_ SIGTYPE_VALTYPE_ BO_TX_BU_ BA_DEF_REL_ BA_REL_ BA_DEF_DEF_REL_"
    " BU_SG_REL_ BU_EV_REL_ BU_BO_REL_ SG_MUL_VAL_ BS_ BU_ BO_ SG_ EV_ ";

bool is_keyword(StringView text) {
  if (text.size < 3 || text.size > 16) return false;
  char word[19];
  word[0] = ' ';
  std::memcpy(word + 1, text.data, text.size);
  word[text.size + 1] = ' ';
  word[text.size + 2] = 0;
  return std::strstr(kKeywords, word) != nullptr;
}

bool contains(StringView text, StringView part) {
  for (uint64_t i = 0; i + part.size <= text.size; ++i)
    if (std::memcmp(text.data + i, part.data, part.size) == 0) return true;
  return false;
}

// Reads text as strtod would in the C locale: a value too large for a double
// is infinite and one too small is zero.
bool parse_double(StringView text, double* out) {
  const char* end = text.data + text.size;
  auto r = std::from_chars(text.data, end, *out, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    int64_t e = StringView(text).find('e');
    if (e < 0) e = text.find('E');
    *out = e >= 0 && text[static_cast<uint64_t>(e) + 1] == '-' ? 0.0 : HUGE_VAL;
    return true;
  }
  return r.ec == std::errc() && r.ptr == end;
}

bool parse_u64(StringView text, uint64_t* out) {
  uint64_t v = 0;
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

enum MuxKind : uint8_t {
  MUX_NONE,
  MUX_MULTIPLEXOR,  // M
  MUX_SELECTED,     // mN
  MUX_BOTH,         // mNM
  MUX_NO_VALUE,     // m
};

// Why a signal is left out; SKIP_NONE keeps it.
enum SkipReason : uint8_t {
  SKIP_NONE,
  SKIP_DUPLICATE,
  SKIP_LENGTH,
  SKIP_VALUE_TYPE,
  SKIP_BEYOND_64_BYTES,
  SKIP_NO_MUX_VALUE,
  SKIP_MUX_MISSING,
  SKIP_MUX_AMBIGUOUS,
  SKIP_MUX_SKIPPED,
  SKIP_MUX_CYCLE,
};

// What the reader keeps of a signal beside its DbcSignal until the file
// is read.
struct SignalWork {
  MuxKind mux = MUX_NONE;
  uint64_t mux_value = 0;
  uint32_t value_type = 0;  // as SIG_VALTYPE_ wrote it
  int32_t mul_val = -1;     // index of its SG_MUL_VAL_
  bool duplicate = false;
  SkipReason skip = SKIP_NONE;
  // While multiplexors are resolved: 0 open, 1 on the path being
  // followed, 2 kept, 3 skipped.
  uint8_t state = 0;
  int32_t multiplexor = -1;  // index among all SG_ lines of the message
};

// A string or a number given to an attribute.
struct AttrValue {
  bool set = false;
  bool is_string = false;
  SsoString text;
  double number = 0;
  uint32_t line = 0;
};

// The attributes that mark J1939: their enumeration texts and default.
struct AttrDef {
  StringView name;
  bool is_enum = false;
  GrowArray<SsoString> values;
  AttrValue fallback;  // BA_DEF_DEF_
};

struct MessageWork {
  DbcMessage message;
  GrowArray<SignalWork> work;
  AttrValue frame_format;  // its VFrameFormat
};

struct ValueTypeStatement {
  uint32_t id;
  SsoString signal;
  uint32_t value_type;
  uint32_t line;
};

struct MulValStatement {
  uint32_t id;
  SsoString signal;
  SsoString multiplexor;
  GrowArray<DbcMuxRange> ranges;
  uint32_t line;
};

struct FrameFormatStatement {
  uint32_t id;
  AttrValue value;
};

class DbcParser {
 public:
  DbcParser(const char* text, uint64_t size, StringView file_name, SsoString* error)
      : text_(text),
        size_(size),
        lex_(text, size),
        file_name_(file_name),
        error_(error),
        utf8_(dbc_text_is_utf8(text, size)) {
    protocol_.name = "ProtocolType";
    frame_format_.name = "VFrameFormat";
  }

  bool run(DbcFile* out);

 private:
  const DbcToken& tok() const { return lex_.token(); }
  bool next();
  bool fail(uint32_t line, const char* format, ...) QUARROW_FORMAT(3, 4);
  bool out_of_memory() { return fail(tok().line, "out of memory"); }
  void warn(uint32_t line, const char* format, ...) QUARROW_FORMAT(3, 4);
  bool decode(StringView text, bool unescape, SsoString* out) {
    return dbc_text_decode(text, utf8_, unescape, out) || out_of_memory();
  }

  bool expect(char c, const char* what);
  bool read_u32(uint32_t* out, const char* what);
  bool read_u64(uint64_t* out, const char* what);
  bool read_double(double* out, const char* what);
  bool read_name(StringView* out, const char* what);
  bool read_value(AttrValue* out);
  bool end_statement(StringView keyword, uint32_t line);
  bool skip_rest(StringView keyword, uint32_t line, bool needs_semicolon);
  AttrDef* attribute(StringView name);

  bool parse_statement();
  bool parse_ns();
  bool parse_bo();
  bool parse_sg();
  bool parse_sig_valtype();
  bool parse_sg_mul_val();
  bool parse_ba_def();
  bool parse_ba_def_def();
  bool parse_ba();

  bool finish(DbcFile* out);
  bool resolve_attribute(const AttrDef& def, const AttrValue& value, StringView* text);
  // Whether value names a J1939 text; fallback when it names nothing.
  bool is_j1939(const AttrDef& def, const AttrValue& value, bool fallback);
  MessageWork* find_message(uint32_t id, const char* keyword, uint32_t line);
  int32_t find_signal(uint32_t message, StringView name);
  void apply_statements();
  void check_signal(MessageWork* m, uint32_t i);
  bool resolve_multiplexors(MessageWork* m);
  void warn_signals(const MessageWork& m);
  bool build_message(MessageWork* m, DbcFile* out);

  const char* text_;
  uint64_t size_;
  DbcLexer lex_;
  StringView file_name_;
  SsoString* error_;
  bool utf8_;
  bool seen_statement_ = false;

  GrowArray<MessageWork> messages_;
  // Index in messages_ by BO_ id; -1 for an id whose messages are skipped.
  HashMap<uint64_t, int32_t> message_ids_;
  // Index of the first SG_ of a name, by message index (4 bytes) and name.
  HashMap<SsoString, int32_t> signal_names_;
  SsoString key_;
  // The message that SG_ lines add to: -1 for none, -2 for a skipped one.
  int32_t current_ = -1;

  GrowArray<ValueTypeStatement> value_types_;
  GrowArray<MulValStatement> mul_vals_;
  GrowArray<FrameFormatStatement> frame_formats_;
  AttrDef protocol_;
  AttrDef frame_format_;
  AttrValue protocol_value_;
  GrowArray<uint32_t> path_;
};

bool DbcParser::next() {
  if (lex_.advance()) return true;
  return fail(tok().line, "unterminated string");
}

bool DbcParser::fail(uint32_t line, const char* format, ...) {
  error_->clear();
  error_->append_format("line %u: ", line);
  va_list args;
  va_start(args, format);
  error_->append_vformat(format, args);
  va_end(args);
  return false;
}

void DbcParser::warn(uint32_t line, const char* format, ...) {
  if (LOG_WARN < log_output_level) return;
  char text[400];
  va_list args;
  va_start(args, format);
  format_vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  log_write(LOG_WARN, nullptr, "DBC file %.*s: line %u: %s", static_cast<int>(file_name_.size),
            file_name_.data, line, text);
}

bool DbcParser::expect(char c, const char* what) {
  if (!tok().is(c)) return fail(tok().line, "expected %s", what);
  return next();
}

bool DbcParser::read_u64(uint64_t* out, const char* what) {
  if (tok().kind != DBC_TOKEN_NUMBER || !parse_u64(tok().text, out)) {
    return fail(tok().line, "expected %s", what);
  }
  return next();
}

bool DbcParser::read_u32(uint32_t* out, const char* what) {
  uint64_t v = 0;
  if (tok().kind != DBC_TOKEN_NUMBER || !parse_u64(tok().text, &v) || v > UINT32_MAX) {
    return fail(tok().line, "expected %s", what);
  }
  *out = static_cast<uint32_t>(v);
  return next();
}

bool DbcParser::read_double(double* out, const char* what) {
  bool negative = tok().is('-');
  if ((negative || tok().is('+')) && !next()) return false;
  if (tok().kind != DBC_TOKEN_NUMBER || !parse_double(tok().text, out)) {
    return fail(tok().line, "expected %s", what);
  }
  // Negation is exact, so this equals reading the sign with the digits.
  if (negative) *out = -*out;
  return next();
}

bool DbcParser::read_name(StringView* out, const char* what) {
  if (tok().kind != DBC_TOKEN_NAME) return fail(tok().line, "expected %s", what);
  *out = tok().text;
  return next();
}

bool DbcParser::read_value(AttrValue* out) {
  out->set = true;
  out->line = tok().line;
  out->is_string = tok().kind == DBC_TOKEN_STRING;
  if (out->is_string) return decode(tok().text, true, &out->text) && next();
  return read_double(&out->number, "the attribute value");
}

// A statement ends at ';'; one that stops at the end of its line without
// it is taken as it stands.
bool DbcParser::end_statement(StringView keyword, uint32_t line) {
  if (tok().is(';')) return next();
  if (tok().kind != DBC_TOKEN_END && !tok().first_on_line) {
    return fail(tok().line, "expected ';' after %.*s", static_cast<int>(keyword.size),
                keyword.data);
  }
  warn(line, "%.*s without ';' accepted", static_cast<int>(keyword.size), keyword.data);
  return true;
}

// Skips to the end of a statement: its ';', or the next line that starts
// with a keyword.
bool DbcParser::skip_rest(StringView keyword, uint32_t line, bool needs_semicolon) {
  for (;;) {
    const DbcToken& t = tok();
    if (t.is(';')) return next();
    if (t.kind == DBC_TOKEN_END ||
        (t.first_on_line && t.kind == DBC_TOKEN_NAME && is_keyword(t.text))) {
      if (needs_semicolon) {
        warn(line, "%.*s without ';' accepted", static_cast<int>(keyword.size), keyword.data);
      }
      return true;
    }
    if (!next()) return false;
  }
}

bool DbcParser::parse_statement() {
  DbcToken t = tok();
  if (t.is(';')) return next();
  if (t.kind != DBC_TOKEN_NAME || !is_keyword(t.text)) {
    if (!seen_statement_) return fail(t.line, "not a DBC file");
    if (t.kind == DBC_TOKEN_NAME) {
      SsoString name;
      if (!decode(t.text.prefix(64), false, &name)) return false;
      warn(t.line, "unknown keyword %s skipped", name.c_str());
    } else {
      warn(t.line, "unexpected %s skipped",
           t.kind == DBC_TOKEN_NUMBER   ? "number"
           : t.kind == DBC_TOKEN_STRING ? "string"
                                        : "character");
    }
    return next() && skip_rest(t.text, t.line, false);
  }
  seen_statement_ = true;
  StringView k = t.text;
  if (k == StringView("SG_")) return parse_sg();
  current_ = -1;
  if (k == StringView("BO_")) return parse_bo();
  if (k == StringView("NS_")) return parse_ns();
  if (k == StringView("SIG_VALTYPE_")) return parse_sig_valtype();
  if (k == StringView("SG_MUL_VAL_")) return parse_sg_mul_val();
  if (k == StringView("BA_DEF_")) return parse_ba_def();
  if (k == StringView("BA_DEF_DEF_")) return parse_ba_def_def();
  if (k == StringView("BA_")) return parse_ba();
  // These end with their line and have no ';'.
  bool line_statement =
      k == StringView("VERSION") || k == StringView("BS_") || k == StringView("BU_");
  return next() && skip_rest(k, t.line, !line_statement);
}

// NS_ lists the keywords the file may use, one per line after it; the list
// ends before BS_ or BU_ (or whatever else is followed by ':') or BO_.
bool DbcParser::parse_ns() {
  if (!next()) return false;
  if (tok().is(':') && !next()) return false;
  for (;;) {
    const DbcToken& t = tok();
    if (t.kind != DBC_TOKEN_NAME || t.text == StringView("BO_") || t.text == StringView("BS_") ||
        t.text == StringView("BU_") || t.text == StringView("VERSION")) {
      return true;
    }
    DbcToken after;
    if (!lex_.peek(&after)) return next();
    if (after.is(':')) return true;
    if (!next()) return false;
  }
}

bool DbcParser::parse_bo() {
  uint32_t line = tok().line;
  uint32_t id = 0;
  uint32_t size = 0;
  StringView name;
  if (!next() || !read_u32(&id, "the message id after BO_") ||
      !read_name(&name, "the message name") || !expect(':', "':' after the message name") ||
      !read_u32(&size, "the message size")) {
    return false;
  }
  if (tok().kind == DBC_TOKEN_NAME && !tok().first_on_line && !next()) return false;
  if (tok().is(';') && !tok().first_on_line && !next()) return false;
  if (tok().kind != DBC_TOKEN_END && !tok().first_on_line) {
    return fail(tok().line, "unexpected text after the message's transmitter");
  }

  SsoString decoded;
  if (!decode(name, false, &decoded)) return false;
  const char* why = nullptr;
  bool extended = (id & 0x80000000u) != 0;
  if (id == 0xC0000000u || id == 0x40000000u) {
    why = "a pseudo-message for signals without a message";
  } else if ((id & 0x40000000u) != 0) {
    why = "bit 30 of the id is set";
  } else if (!extended && id >= 0x800) {
    why = "a standard id above 0x7FF";
  } else if (extended && id > 0x9FFFFFFFu) {
    why = "an extended id of more than 29 bits";
  }
  auto found = message_ids_.insert(static_cast<uint64_t>(id));
  if (!found.slot) return out_of_memory();
  if (why) {
    found.slot->value = -1;
  } else if (!found.inserted) {
    if (found.slot->value >= 0) {
      warn(line, "message %s (0x%X) skipped: its id is already defined on line %u", decoded.c_str(),
           id, messages_[static_cast<uint64_t>(found.slot->value)].message.line);
    }
    current_ = -2;
    return true;
  }
  if (why) {
    warn(line, "message %s (0x%X) skipped: %s", decoded.c_str(), id, why);
    current_ = -2;
    return true;
  }
  found.slot->value = static_cast<int32_t>(messages_.size());
  MessageWork m;
  m.message.id = id;
  m.message.size = size;
  m.message.line = line;
  m.message.name = std::move(decoded);
  if (!messages_.append(std::move(m))) return out_of_memory();
  current_ = found.slot->value;
  return true;
}

bool DbcParser::parse_sg() {
  uint32_t line = tok().line;
  StringView name;
  DbcSignal s;
  SignalWork w;
  if (!next() || !read_name(&name, "the signal name after SG_")) return false;
  if (tok().kind == DBC_TOKEN_NAME) {
    StringView m = tok().text;
    uint64_t digits = m.size > 1 && m[m.size - 1] == 'M' ? m.size - 2 : m.size - 1;
    if (m == StringView("M")) {
      w.mux = MUX_MULTIPLEXOR;
    } else if (m == StringView("m")) {
      w.mux = MUX_NO_VALUE;
    } else if (m[0] == 'm' && parse_u64(StringView(m.data + 1, digits), &w.mux_value)) {
      w.mux = digits + 1 == m.size ? MUX_SELECTED : MUX_BOTH;
    } else {
      return fail(tok().line, "expected ':' after the signal name");
    }
    if (!next()) return false;
  }
  double ignored;
  if (!expect(':', "':' after the signal name") || !read_u32(&s.start_bit, "the start bit") ||
      !expect('|', "'|' after the start bit") || !read_u32(&s.length, "the signal length") ||
      !expect('@', "'@' after the signal length")) {
    return false;
  }
  if (tok().kind != DBC_TOKEN_NUMBER || (tok().text != StringView("0") && tok().text != "1")) {
    return fail(tok().line, "expected the byte order 0 or 1 after '@'");
  }
  s.little_endian = tok().text == StringView("1");
  if (!next()) return false;
  if (!tok().is('+') && !tok().is('-')) {
    return fail(tok().line, "expected '+' or '-' after the byte order");
  }
  s.is_signed = tok().is('-');
  if (!next() || !expect('(', "'(' before the factor") || !read_double(&s.factor, "the factor") ||
      !expect(',', "',' after the factor") || !read_double(&s.offset, "the offset") ||
      !expect(')', "')' after the offset") || !expect('[', "'[' before the minimum") ||
      !read_double(&ignored, "the minimum") || !expect('|', "'|' after the minimum") ||
      !read_double(&ignored, "the maximum") || !expect(']', "']' after the maximum")) {
    return false;
  }
  if (tok().kind != DBC_TOKEN_STRING) return fail(tok().line, "expected the unit string");
  if (!decode(tok().text, true, &s.unit) || !next()) return false;
  // Receivers: names on the unit's line, and on following lines after a
  // comma.
  bool comma = false;
  while ((tok().kind == DBC_TOKEN_NAME || tok().is(',')) && (!tok().first_on_line || comma)) {
    comma = tok().is(',');
    if (!next()) return false;
  }
  if (tok().is(';') && !tok().first_on_line && !next()) return false;
  if (tok().kind != DBC_TOKEN_END && !tok().first_on_line) {
    return fail(tok().line, "unexpected text after the signal's receivers");
  }

  if (!decode(name, false, &s.name)) return false;
  if (current_ == -2) return true;  // its message is skipped, and said so
  if (current_ < 0) {
    warn(line, "signal %s skipped: not inside a message", s.name.c_str());
    return true;
  }
  s.line = line;
  auto index = static_cast<uint32_t>(current_);
  MessageWork& m = messages_[index];
  key_.clear();
  if (!key_.append(reinterpret_cast<const char*>(&index), sizeof(index)) || !key_.append(s.name)) {
    return out_of_memory();
  }
  auto slot = signal_names_.insert(std::move(key_));
  if (!slot.slot) return out_of_memory();
  if (slot.inserted) slot.slot->value = static_cast<int32_t>(m.message.signals.size());
  w.duplicate = !slot.inserted;
  if (!m.message.signals.append(std::move(s)) || !m.work.append(w)) return out_of_memory();
  return true;
}

bool DbcParser::parse_sig_valtype() {
  ValueTypeStatement v;
  v.line = tok().line;
  StringView name;
  if (!next() || !read_u32(&v.id, "the message id after SIG_VALTYPE_") ||
      !read_name(&name, "the signal name")) {
    return false;
  }
  if (tok().is(':') && !next()) return false;
  if (!read_u32(&v.value_type, "the value type") || !end_statement("SIG_VALTYPE_", v.line) ||
      !decode(name, false, &v.signal)) {
    return false;
  }
  return value_types_.append(std::move(v)) || out_of_memory();
}

bool DbcParser::parse_sg_mul_val() {
  MulValStatement v;
  v.line = tok().line;
  StringView name;
  StringView multiplexor;
  if (!next() || !read_u32(&v.id, "the message id after SG_MUL_VAL_") ||
      !read_name(&name, "the signal name") || !read_name(&multiplexor, "the multiplexor's name")) {
    return false;
  }
  for (;;) {
    DbcMuxRange r;
    if (!read_u64(&r.low, "a value range") || !expect('-', "'-' in the value range") ||
        !read_u64(&r.high, "the end of the value range")) {
      return false;
    }
    if (!v.ranges.append(r)) return out_of_memory();
    if (!tok().is(',')) break;
    if (!next()) return false;
  }
  if (!end_statement("SG_MUL_VAL_", v.line) || !decode(name, false, &v.signal) ||
      !decode(multiplexor, false, &v.multiplexor)) {
    return false;
  }
  return mul_vals_.append(std::move(v)) || out_of_memory();
}

AttrDef* DbcParser::attribute(StringView name) {
  if (name == protocol_.name) return &protocol_;
  if (name == frame_format_.name) return &frame_format_;
  return nullptr;
}

bool DbcParser::parse_ba_def() {
  uint32_t line = tok().line;
  if (!next()) return false;
  const DbcToken& t = tok();
  if (t.kind == DBC_TOKEN_NAME && (t.text == StringView("BU_") || t.text == StringView("BO_") ||
                                   t.text == StringView("SG_") || t.text == StringView("EV_"))) {
    if (!next()) return false;
  }
  AttrDef* def = tok().kind == DBC_TOKEN_STRING ? attribute(tok().text) : nullptr;
  if (!def) return skip_rest("BA_DEF_", line, true);
  StringView type;
  if (!next() || !read_name(&type, "the attribute's type")) return false;
  def->is_enum = type == StringView("ENUM");
  def->values.clear();
  double ignored;
  if (def->is_enum) {
    while (tok().kind == DBC_TOKEN_STRING) {
      SsoString value;
      if (!decode(tok().text, true, &value)) return false;
      if (!def->values.append(std::move(value))) return out_of_memory();
      if (!next() || (tok().is(',') && !next())) return false;
    }
  } else if (type == StringView("INT") || type == StringView("HEX") ||
             type == StringView("FLOAT")) {
    if (!read_double(&ignored, "the attribute's minimum") ||
        !read_double(&ignored, "the attribute's maximum")) {
      return false;
    }
  } else if (type != StringView("STRING")) {
    return fail(line, "expected the attribute's type");
  }
  return end_statement("BA_DEF_", line);
}

bool DbcParser::parse_ba_def_def() {
  uint32_t line = tok().line;
  if (!next()) return false;
  AttrDef* def = tok().kind == DBC_TOKEN_STRING ? attribute(tok().text) : nullptr;
  if (!def) return skip_rest("BA_DEF_DEF_", line, true);
  return next() && read_value(&def->fallback) && end_statement("BA_DEF_DEF_", line);
}

bool DbcParser::parse_ba() {
  uint32_t line = tok().line;
  if (!next()) return false;
  AttrDef* def = tok().kind == DBC_TOKEN_STRING ? attribute(tok().text) : nullptr;
  if (!def) return skip_rest("BA_", line, true);
  if (!next()) return false;
  StringView object;
  StringView ignored;
  uint32_t id = 0;
  if (tok().kind == DBC_TOKEN_NAME) {
    object = tok().text;
    if (!next()) return false;
    if (object == StringView("BO_") || object == StringView("SG_")) {
      if (!read_u32(&id, "the message id")) return false;
    }
    if (object != StringView("BO_") && !read_name(&ignored, "the attribute's object")) {
      return false;
    }
  }
  AttrValue value;
  if (!read_value(&value) || !end_statement("BA_", line)) return false;
  if (def == &protocol_ && object.empty()) {
    protocol_value_ = std::move(value);
  } else if (def == &frame_format_ && object == StringView("BO_")) {
    FrameFormatStatement f;
    f.id = id;
    f.value = std::move(value);
    if (!frame_formats_.append(std::move(f))) return out_of_memory();
  }
  return true;
}

bool DbcParser::run(DbcFile* out) {
  const void* nul = std::memchr(text_, 0, size_);
  if (nul) {
    uint32_t line = 1;
    for (const char* p = text_; p != nul; ++p) line += *p == '\n';
    return fail(line, "not a DBC file");
  }
  if (!next()) return false;
  while (tok().kind != DBC_TOKEN_END) {
    if (!parse_statement()) return false;
  }
  if (!seen_statement_) return fail(tok().line, "not a DBC file");
  return finish(out);
}

// The text an attribute value names: itself, or the enumeration text its
// index picks.
bool DbcParser::resolve_attribute(const AttrDef& def, const AttrValue& value, StringView* text) {
  if (!value.set) return false;
  if (value.is_string) {
    *text = value.text;
    return true;
  }
  double n = value.number;
  if (def.is_enum && n >= 0 && n < static_cast<double>(def.values.size()) && n == std::floor(n)) {
    *text = def.values[static_cast<uint64_t>(n)];
    return true;
  }
  warn(value.line, "value %g of \"%.*s\" ignored: not an index of its values", n,
       static_cast<int>(def.name.size), def.name.data);
  return false;
}

bool DbcParser::is_j1939(const AttrDef& def, const AttrValue& value, bool fallback) {
  StringView text;
  if (!value.set) return fallback;
  return resolve_attribute(def, value, &text) ? contains(text, "J1939") : fallback;
}

MessageWork* DbcParser::find_message(uint32_t id, const char* keyword, uint32_t line) {
  auto* slot = message_ids_.find(id);
  if (!slot) warn(line, "%s ignored: no message %u", keyword, id);
  if (!slot || slot->value < 0) return nullptr;
  return &messages_[static_cast<uint64_t>(slot->value)];
}

int32_t DbcParser::find_signal(uint32_t message, StringView name) {
  key_.clear();
  if (!key_.append(reinterpret_cast<const char*>(&message), sizeof(message)) ||
      !key_.append(name)) {
    return -2;
  }
  auto* slot = signal_names_.find(key_.view());
  return slot ? slot->value : -1;
}

// Applies SIG_VALTYPE_, SG_MUL_VAL_ and VFrameFormat to what they name,
// wherever in the file they stand.
void DbcParser::apply_statements() {
  for (const auto& v : value_types_) {
    MessageWork* m = find_message(v.id, "SIG_VALTYPE_", v.line);
    if (!m) continue;
    int32_t i = find_signal(static_cast<uint32_t>(m - messages_.data()), v.signal);
    if (i < 0) {
      warn(v.line, "SIG_VALTYPE_ ignored: message %s has no signal %s", m->message.name.c_str(),
           v.signal.c_str());
    } else {
      m->work[static_cast<uint64_t>(i)].value_type = v.value_type;
    }
  }
  for (uint64_t k = 0; k < mul_vals_.size(); ++k) {
    const MulValStatement& v = mul_vals_[k];
    MessageWork* m = find_message(v.id, "SG_MUL_VAL_", v.line);
    if (!m) continue;
    int32_t i = find_signal(static_cast<uint32_t>(m - messages_.data()), v.signal);
    if (i < 0) {
      warn(v.line, "SG_MUL_VAL_ ignored: message %s has no signal %s", m->message.name.c_str(),
           v.signal.c_str());
    } else {
      m->work[static_cast<uint64_t>(i)].mul_val = static_cast<int32_t>(k);
    }
  }
  for (auto& f : frame_formats_) {
    MessageWork* m = find_message(f.id, "BA_ \"VFrameFormat\"", f.value.line);
    if (m) m->frame_format = std::move(f.value);
  }
}

// The faults a signal has on its own.
void DbcParser::check_signal(MessageWork* m, uint32_t i) {
  const DbcSignal& s = m->message.signals[i];
  SignalWork& w = m->work[i];
  uint64_t start = s.start_bit;
  // Motorola bits run from the most significant one in sequential order.
  if (!s.little_endian) start = (start / 8) * 8 + 7 - start % 8;
  if (w.duplicate) {
    w.skip = SKIP_DUPLICATE;
  } else if (s.length == 0 || s.length > 64) {
    w.skip = SKIP_LENGTH;
  } else if (w.value_type > 2 || (w.value_type == 1 && s.length != 32) ||
             (w.value_type == 2 && s.length != 64)) {
    w.skip = SKIP_VALUE_TYPE;
  } else if (start + s.length > 512) {
    w.skip = SKIP_BEYOND_64_BYTES;
  } else if (w.mux == MUX_NO_VALUE && w.mul_val < 0) {
    w.skip = SKIP_NO_MUX_VALUE;
  }
}

// Finds each signal's multiplexor, then skips every signal whose chain of
// multiplexors meets a skipped signal or runs in a circle.
bool DbcParser::resolve_multiplexors(MessageWork* m) {
  uint64_t n = m->work.size();
  int32_t plain = -1;
  uint32_t plain_count = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (m->work[i].mux == MUX_MULTIPLEXOR && !m->work[i].duplicate) {
      plain = static_cast<int32_t>(i);
      ++plain_count;
    }
  }
  auto index = static_cast<uint32_t>(m - messages_.data());
  for (uint64_t i = 0; i < n; ++i) {
    SignalWork& w = m->work[i];
    if (w.skip != SKIP_NONE) {
      w.state = 3;
      continue;
    }
    GrowArray<DbcMuxRange>& selectors = m->message.signals[i].selectors;
    if (w.mul_val >= 0) {
      const MulValStatement& v = mul_vals_[static_cast<uint64_t>(w.mul_val)];
      w.multiplexor = find_signal(index, v.multiplexor);
      if (w.multiplexor == -2) return out_of_memory();
      if (w.multiplexor < 0) w.skip = SKIP_MUX_MISSING;
      for (const DbcMuxRange& r : v.ranges)
        if (!selectors.append(r)) return out_of_memory();
    } else if (w.mux == MUX_SELECTED || w.mux == MUX_BOTH) {
      w.multiplexor = plain;
      if (plain_count != 1) w.skip = plain_count == 0 ? SKIP_MUX_MISSING : SKIP_MUX_AMBIGUOUS;
      if (!selectors.append(DbcMuxRange{w.mux_value, w.mux_value})) return out_of_memory();
    }
    w.state = w.skip != SKIP_NONE ? 3 : w.multiplexor < 0 ? 2 : 0;
  }
  if (!path_.reserve(n)) return out_of_memory();
  for (uint64_t i = 0; i < n; ++i) {
    path_.clear();
    uint64_t j = i;
    while (m->work[j].state == 0) {
      m->work[j].state = 1;
      path_.append(static_cast<uint32_t>(j));
      j = static_cast<uint64_t>(m->work[j].multiplexor);
    }
    uint8_t end = m->work[j].state;
    for (uint64_t p = path_.size(); p > 0; --p) {
      SignalWork& w = m->work[path_[p - 1]];
      if (end == 1) {
        // Signals from j on form the circle; those before it lead into it.
        w.skip = SKIP_MUX_CYCLE;
        if (path_[p - 1] == j) end = 3;
      } else if (end == 3) {
        w.skip = SKIP_MUX_SKIPPED;
      }
      w.state = w.skip != SKIP_NONE ? 3 : 2;
    }
  }
  return true;
}

void DbcParser::warn_signals(const MessageWork& m) {
  static const char* const kWhy[] = {"",
                                     "a second signal of that name",
                                     "",
                                     "",
                                     "bits beyond 64 bytes",
                                     "m without a value",
                                     "multiplexor %s missing",
                                     "several multiplexors M and no SG_MUL_VAL_",
                                     "multiplexor %s skipped",
                                     "multiplexor cycle"};
  const char* name = m.message.name.c_str();
  for (uint64_t i = 0; i < m.work.size(); ++i) {
    const DbcSignal& s = m.message.signals[i];
    const SignalWork& w = m.work[i];
    char why[200];
    if (w.skip == SKIP_LENGTH) {
      format_snprintf(why, sizeof(why), "%u bits", s.length);
    } else if (w.skip == SKIP_VALUE_TYPE) {
      format_snprintf(why, sizeof(why), "SIG_VALTYPE_ %u with %u bits", w.value_type, s.length);
    } else if (w.skip == SKIP_MUX_MISSING || w.skip == SKIP_MUX_SKIPPED) {
      const char* mux = w.mul_val >= 0
                            ? mul_vals_[static_cast<uint64_t>(w.mul_val)].multiplexor.c_str()
                        : w.multiplexor >= 0
                            ? m.message.signals[static_cast<uint64_t>(w.multiplexor)].name.c_str()
                            : "M";
      format_snprintf(why, sizeof(why), kWhy[w.skip], mux);
    } else if (w.skip != SKIP_NONE) {
      format_snprintf(why, sizeof(why), "%s", kWhy[w.skip]);
    }
    if (w.skip != SKIP_NONE) {
      warn(s.line, "signal %s.%s skipped: %s", name, s.name.c_str(), why);
      continue;
    }
    uint64_t start = s.start_bit;
    if (!s.little_endian) start = (start / 8) * 8 + 7 - start % 8;
    if ((start + s.length - 1) / 8 >= m.message.size) {
      warn(s.line, "signal %s.%s kept: outside the %u-byte message", name, s.name.c_str(),
           m.message.size);
    }
  }
}

bool DbcParser::build_message(MessageWork* m, DbcFile* out) {
  DbcMessage& from = m->message;
  uint64_t n = m->work.size();
  GrowArray<int32_t> index;
  GrowArray<DbcSignal> kept;
  if (!index.reserve(n) || !kept.reserve(n)) return out_of_memory();
  for (uint64_t i = 0; i < n; ++i) {
    index.append(m->work[i].skip == SKIP_NONE ? static_cast<int32_t>(kept.size()) : -1);
    if (m->work[i].skip == SKIP_NONE) kept.append(std::move(from.signals[i]));
  }
  for (uint64_t i = 0, k = 0; i < n; ++i) {
    const SignalWork& w = m->work[i];
    if (w.skip != SKIP_NONE) continue;
    DbcSignal& s = kept[k++];
    s.value_type = static_cast<DbcValueType>(w.value_type);
    s.is_multiplexor = s.is_multiplexor || w.mux == MUX_MULTIPLEXOR || w.mux == MUX_BOTH;
    if (w.multiplexor >= 0) {
      s.multiplexor = index[static_cast<uint64_t>(w.multiplexor)];
      kept[static_cast<uint64_t>(s.multiplexor)].is_multiplexor = true;
    }
  }
  from.signals = std::move(kept);
  return out->messages.append(std::move(from)) || out_of_memory();
}

bool DbcParser::finish(DbcFile* out) {
  apply_statements();
  bool database_j1939 =
      is_j1939(protocol_, protocol_value_, is_j1939(protocol_, protocol_.fallback, false));
  bool frame_format_j1939 = is_j1939(frame_format_, frame_format_.fallback, false);
  for (MessageWork& m : messages_) {
    bool extended = (m.message.id & 0x80000000u) != 0;
    bool frame_j1939 = is_j1939(frame_format_, m.frame_format, frame_format_j1939);
    m.message.j1939 = extended && (database_j1939 || frame_j1939);
    for (uint64_t i = 0; i < m.work.size(); ++i) check_signal(&m, static_cast<uint32_t>(i));
    if (!resolve_multiplexors(&m)) return false;
    warn_signals(m);
    if (!build_message(&m, out)) return false;
  }
  return true;
}

}  // namespace

bool dbc_parse(const char* text, uint64_t size, StringView file_name, DbcFile* out,
               SsoString* error) {
  DbcParser parser(text, size, file_name, error);
  return parser.run(out);
}

}  // namespace quarrow
