#pragma once

#include <cstdint>
#include <cstring>

namespace quarrow {

// Borrowed text: a pointer and a length. Owns nothing and need not be
// zero-terminated, so anything that hands text to the platform copies it.
struct StringView {
  const char* data = nullptr;
  uint64_t size = 0;

  constexpr StringView() = default;
  constexpr StringView(const char* d, uint64_t n) : data(d), size(n) {}
  StringView(const char* zero_terminated)  // NOLINT: implicit from literals is the point
      : data(zero_terminated), size(zero_terminated ? std::strlen(zero_terminated) : 0) {}

  bool empty() const { return size == 0; }
  char operator[](uint64_t i) const { return data[i]; }
  const char* begin() const { return data; }
  const char* end() const { return data + size; }

  // Byte-for-byte equality, case-sensitive.
  bool equals(StringView other) const {
    return size == other.size && (size == 0 || std::memcmp(data, other.data, size) == 0);
  }
  bool ends_with(char c) const { return size > 0 && data[size - 1] == c; }
  StringView prefix(uint64_t n) const { return StringView(data, n < size ? n : size); }
  StringView suffix_from(uint64_t pos) const {
    return pos >= size ? StringView(data + size, 0) : StringView(data + pos, size - pos);
  }
  // Index of the first / last occurrence of c, or -1.
  int64_t find(char c) const;
  int64_t rfind(char c) const;
};

inline bool operator==(StringView a, StringView b) { return a.equals(b); }

inline int64_t StringView::find(char c) const {
  for (uint64_t i = 0; i < size; ++i)
    if (data[i] == c) return static_cast<int64_t>(i);
  return -1;
}

inline int64_t StringView::rfind(char c) const {
  for (uint64_t i = size; i > 0; --i)
    if (data[i - 1] == c) return static_cast<int64_t>(i - 1);
  return -1;
}

}  // namespace quarrow
