#include "core/sso_string.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/format.h"

namespace quarrow {

SsoString::SsoString(SsoString&& other) noexcept {
  std::memcpy(words_, other.words_, sizeof(words_));
  other.clear_words();
}

SsoString& SsoString::operator=(SsoString&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(words_, other.words_, sizeof(words_));
    other.clear_words();
  }
  return *this;
}

char* SsoString::reserve(uint64_t n) {
  if (!is_long()) {
    if (n <= kInlineCapacity) return data();
    if (n == UINT64_MAX) return nullptr;
    char* block = static_cast<char*>(std::malloc(n + 1));
    if (!block) return nullptr;
    uint64_t len = bytes_[23];
    std::memcpy(block, bytes_, kInlineCapacity + 1);
    block[len] = '\0';
    words_[0] = reinterpret_cast<uint64_t>(block);
    words_[1] = len;
    words_[2] = ~n;
    return block;
  }
  if (capacity() >= n) return long_data();
  if (n == UINT64_MAX) return nullptr;
  char* block = static_cast<char*>(std::realloc(long_data(), n + 1));
  if (!block) return nullptr;
  words_[0] = reinterpret_cast<uint64_t>(block);
  words_[2] = ~n;
  return block;
}

char* SsoString::append(const char* chars, uint64_t count) {
  uint64_t len = size();
  if (count > UINT64_MAX / 2 - len) return nullptr;
  // The source may be our own text: remember it as an offset so it can be
  // found again after the block moves.
  const char* old = c_str();
  bool inside = chars >= old && chars <= old + len;
  uint64_t offset = inside ? static_cast<uint64_t>(chars - old) : 0;
  if (len + count > capacity()) {
    if (!reserve(count + len * 3 / 2)) return nullptr;
  }
  char* d = data();
  if (inside) chars = d + offset;
  std::memmove(d + len, chars, count);
  set_size(len + count);
  return d;
}

int64_t SsoString::append_format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int64_t r = append_vformat(format, args);
  va_end(args);
  return r;
}

int64_t SsoString::append_vformat(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  int n = format_vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (n < 0) return -1;
  uint64_t len = size();
  char* d = reserve(len + static_cast<uint64_t>(n));
  if (!d) return -1;
  format_vsnprintf(d + len, static_cast<uint64_t>(n) + 1, format, args);
  set_size(len + static_cast<uint64_t>(n));
  return n;
}

void SsoString::set_size(uint64_t n) {
  if (is_long()) {
    words_[1] = n;
    long_data()[n] = '\0';
  } else {
    bytes_[n] = '\0';
    bytes_[23] = static_cast<unsigned char>(n);
  }
}

void SsoString::release() {
  if (is_long()) std::free(long_data());
  clear_words();
}

}  // namespace quarrow
