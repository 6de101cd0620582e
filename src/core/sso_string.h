#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/format.h"
#include "core/string_view.h"

namespace quarrow {

// Owned, always zero-terminated text in three 64-bit words. Texts of up to 22
// characters live inline; longer ones on the heap. The top bit of the last
// byte tells the forms apart: the long form stores its capacity complemented
// there, which sets that bit. A zero-filled SsoString is the empty string.
//
// Allocation failure never aborts: the growing operations return null (or -1)
// and leave the string as it was.
class SsoString {
 public:
  static constexpr uint64_t kInlineCapacity = 22;

  SsoString() { clear_words(); }
  ~SsoString() { release(); }
  SsoString(const SsoString&) = delete;
  SsoString& operator=(const SsoString&) = delete;
  SsoString(SsoString&& other) noexcept;
  SsoString& operator=(SsoString&& other) noexcept;

  bool is_long() const { return (bytes_[23] & 0x80) != 0; }
  uint64_t size() const { return is_long() ? words_[1] : bytes_[23]; }
  uint64_t capacity() const { return is_long() ? ~words_[2] : kInlineCapacity; }
  bool empty() const { return size() == 0; }
  const char* c_str() const { return chars(); }
  char* data() { return chars(); }
  StringView view() const { return StringView(c_str(), size()); }
  operator StringView() const { return view(); }  // NOLINT: views are borrowed freely
  char operator[](uint64_t i) const { return c_str()[i]; }

  // Ensures room for n characters plus the terminator. Returns the characters
  // or null when memory is short (the string is then unchanged).
  char* reserve(uint64_t n);
  // Appends count characters, which may lie inside this string.
  char* append(const char* chars, uint64_t count);
  char* append(StringView v) { return append(v.data, v.size); }
  char* push_back(char c) { return append(&c, 1); }
  // Appends a printf-style expansion ("." as decimal point whatever the
  // locale). Returns the number of characters appended, -1 on failure.
  int64_t append_format(const char* format, ...) QUARROW_FORMAT(2, 3);
  int64_t append_vformat(const char* format, va_list args);
  // Sets the length to n <= capacity() and writes the terminator; used after
  // writing into reserved room.
  void set_size(uint64_t n);
  // Removes characters from the end (never below zero length).
  void truncate(uint64_t n) { set_size(n < size() ? n : size()); }

  void clear() { set_size(0); }
  void release();

  // Builds a copy of v; false when memory is short.
  bool assign(StringView v) {
    clear();
    return v.size == 0 || append(v) != nullptr;
  }

 private:
  char* long_data() const { return reinterpret_cast<char*>(words_[0]); }
  // GCC 12 at -O2 bounds strlen of the result by the inline buffer even on
  // the heap path, and then sizes copies of longer texts too small; an empty
  // asm hides where the pointer came from.
  char* chars() const {
    char* p = is_long() ? long_data() : const_cast<char*>(reinterpret_cast<const char*>(bytes_));
    __asm__("" : "+r"(p));
    return p;
  }
  void clear_words() { words_[0] = words_[1] = words_[2] = 0; }

  union {
    uint64_t words_[3];
    unsigned char bytes_[24];
  };
};

static_assert(sizeof(SsoString) == 24);

}  // namespace quarrow
