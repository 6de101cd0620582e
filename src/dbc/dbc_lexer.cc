#include "dbc/dbc_lexer.h"

namespace quarrow {

namespace {

bool is_name_start(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
}

bool is_name_char(unsigned char c) {
  return is_name_start(c) || (c >= '0' && c <= '9');
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Code points of Windows-1252 bytes 0x80..0x9F; the five bytes it leaves
// undefined keep their C1 code points.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

DbcLexer::DbcLexer(const char* text, uint64_t size) : pos_(text), end_(text + size) {
  // A byte order mark says nothing the UTF-8 check does not.
  if (size >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF) {
    pos_ += 3;
  }
}

bool DbcLexer::advance() {
  if (has_ahead_) {
    token_ = ahead_;
    has_ahead_ = false;
    return ahead_ok_;
  }
  return scan(&token_);
}

bool DbcLexer::peek(DbcToken* out) {
  if (!has_ahead_) {
    ahead_ok_ = scan(&ahead_);
    has_ahead_ = true;
  }
  *out = ahead_;
  return ahead_ok_;
}

bool DbcLexer::scan(DbcToken* out) {
  for (;;) {
    if (pos_ == end_) break;
    char c = *pos_;
    if (c == '\n') {
      ++line_;
      ++pos_;
    } else if (c == '\r') {
      ++pos_;
      if (pos_ == end_ || *pos_ != '\n') ++line_;
    } else if (c == ' ' || c == '\t' || c == '\f' || c == '\v') {
      ++pos_;
    } else if (c == '/' && end_ - pos_ > 1 && pos_[1] == '/') {
      while (pos_ != end_ && *pos_ != '\n' && *pos_ != '\r') ++pos_;
    } else {
      break;
    }
  }
  out->line = line_;
  out->first_on_line = line_ > last_line_;
  if (pos_ == end_) {
    out->kind = DBC_TOKEN_END;
    out->text = StringView();
    return true;
  }
  const char* start = pos_;
  unsigned char c = static_cast<unsigned char>(*pos_);
  if (c == '"') {
    out->kind = DBC_TOKEN_STRING;
    ++pos_;
    while (pos_ != end_ && *pos_ != '"') {
      if (*pos_ == '\\' && end_ - pos_ > 1 && (pos_[1] == '"' || pos_[1] == '\\')) {
        ++pos_;
      } else if (*pos_ == '\n' || (*pos_ == '\r' && (end_ - pos_ == 1 || pos_[1] != '\n'))) {
        ++line_;
      }
      ++pos_;
    }
    if (pos_ == end_) {
      out->kind = DBC_TOKEN_END;
      out->text = StringView(end_, 0);
      return false;
    }
    out->text = StringView(start + 1, static_cast<uint64_t>(pos_ - start - 1));
    ++pos_;
  } else if (is_digit(static_cast<char>(c)) || (c == '.' && end_ - pos_ > 1 && is_digit(pos_[1]))) {
    out->kind = DBC_TOKEN_NUMBER;
    while (pos_ != end_ && is_digit(*pos_)) ++pos_;
    if (pos_ != end_ && *pos_ == '.') {
      ++pos_;
      while (pos_ != end_ && is_digit(*pos_)) ++pos_;
    }
    if (pos_ != end_ && (*pos_ == 'e' || *pos_ == 'E')) {
      const char* p = pos_ + 1;
      if (p != end_ && (*p == '+' || *p == '-')) ++p;
      if (p != end_ && is_digit(*p)) {
        while (p != end_ && is_digit(*p)) ++p;
        pos_ = p;
      }
    }
    out->text = StringView(start, static_cast<uint64_t>(pos_ - start));
  } else if (is_name_start(c)) {
    out->kind = DBC_TOKEN_NAME;
    while (pos_ != end_ && is_name_char(static_cast<unsigned char>(*pos_))) ++pos_;
    out->text = StringView(start, static_cast<uint64_t>(pos_ - start));
  } else {
    out->kind = DBC_TOKEN_PUNCT;
    ++pos_;
    out->text = StringView(start, 1);
  }
  last_line_ = line_;
  return true;
}

bool dbc_text_is_utf8(const char* text, uint64_t size) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* end = p + size;
  while (p != end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    uint32_t min;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += extra + 1;
  }
  return true;
}

bool dbc_text_decode(StringView text, bool utf8, bool unescape, SsoString* out) {
  out->clear();
  // Most texts need neither step and are copied at once.
  bool plain = true;
  for (char ch : text) {
    if ((ch == '\\' && unescape) || (static_cast<unsigned char>(ch) >= 0x80 && !utf8)) {
      plain = false;
      break;
    }
  }
  if (plain) return out->assign(text);
  if (!out->reserve(text.size * 3)) return false;
  char* d = out->data();
  uint64_t n = 0;
  for (uint64_t i = 0; i < text.size; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\' && unescape && i + 1 < text.size && (text[i + 1] == '"' || text[i + 1] == '\\')) {
      d[n++] = text[++i];
    } else if (c < 0x80 || utf8) {
      d[n++] = static_cast<char>(c);
    } else {
      uint32_t cp = c < 0xA0 ? kCp1252High[c - 0x80] : c;
      if (cp < 0x800) {
        d[n++] = static_cast<char>(0xC0 | (cp >> 6));
      } else {
        d[n++] = static_cast<char>(0xE0 | (cp >> 12));
        d[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      }
      d[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  out->set_size(n);
  return true;
}

}  // namespace quarrow
