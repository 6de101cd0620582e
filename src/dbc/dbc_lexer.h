#pragma once

#include <cstdint>

#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

enum DbcTokenKind : uint8_t {
  DBC_TOKEN_END = 0,  // end of the text
  DBC_TOKEN_NAME,     // keyword or identifier
  DBC_TOKEN_NUMBER,   // unsigned: a sign is a DBC_TOKEN_PUNCT of its own
  DBC_TOKEN_STRING,   // text between the quotes, escapes still in place
  DBC_TOKEN_PUNCT,    // any other single byte
};

struct DbcToken {
  DbcTokenKind kind = DBC_TOKEN_END;
  bool first_on_line = false;  // no token before it on its line
  uint32_t line = 0;           // where it starts
  StringView text;

  bool is(char c) const { return kind == DBC_TOKEN_PUNCT && text.data[0] == c; }
  bool is_name(StringView name) const { return kind == DBC_TOKEN_NAME && text == name; }
};

// Cuts DBC text into tokens. Numbers never carry a sign, so "0-0" and
// "1+" read as number, punctuation, number; "1E-07" is one number. Text
// after "//" to the end of its line is skipped. A CR not followed by LF
// ends a line as LF does.
class DbcLexer {
 public:
  DbcLexer(const char* text, uint64_t size);

  const DbcToken& token() const { return token_; }
  // Moves to the next token. False for a string without its closing quote,
  // whose line is then the token's.
  bool advance();
  // The token after the current one, read without moving; false as for
  // advance.
  bool peek(DbcToken* out);

 private:
  bool scan(DbcToken* out);

  const char* pos_;
  const char* end_;
  uint32_t line_ = 1;
  uint32_t last_line_ = 0;  // of the previous token's end
  DbcToken token_;
  DbcToken ahead_;
  bool has_ahead_ = false;
  bool ahead_ok_ = true;
};

// Text of DBC files is UTF-8 when the whole file is valid UTF-8, and
// Windows-1252 otherwise.
bool dbc_text_is_utf8(const char* text, uint64_t size);

// Replaces out with text as UTF-8, converting from Windows-1252 unless
// utf8, and with \" and \\ resolved when unescape. False when memory is
// short.
bool dbc_text_decode(StringView text, bool utf8, bool unescape, SsoString* out);

}  // namespace quarrow
