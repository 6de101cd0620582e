#include "core/win32_wide.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <cwchar>

namespace quarrow {

namespace {

// Below this the classic calls take the path as it is; the limit for
// folders is 248, and the caller may still append a name.
constexpr uint64_t kClassicPathLimit = 240;

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool starts_with(const GrowArray<wchar_t>& s, const wchar_t* prefix) {
  uint64_t n = std::wcslen(prefix);
  return s.size() >= n + 1 && std::wmemcmp(s.data(), prefix, n) == 0;
}

// Removes count characters at the front, keeping the terminating zero.
void drop_front(GrowArray<wchar_t>* s, uint64_t count) {
  std::wmemmove(s->data(), s->data() + count, s->size() - count);
  for (uint64_t i = 0; i < count; ++i) s->pop_back();
}

bool insert_front(GrowArray<wchar_t>* s, const wchar_t* prefix) {
  uint64_t n = std::wcslen(prefix);
  for (uint64_t i = 0; i < n; ++i) {
    if (!s->append(L'\0')) return false;
  }
  std::wmemmove(s->data() + n, s->data(), s->size() - n);
  std::wmemcpy(s->data(), prefix, n);
  return true;
}

}  // namespace

bool wide_from_utf8(StringView text, GrowArray<wchar_t>* out) {
  out->clear();
  if (text.size > INT_MAX) return false;
  if (text.size > 0 && std::memchr(text.data, 0, text.size) != nullptr) return false;
  int n = 0;
  if (text.size > 0) {
    n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data, static_cast<int>(text.size),
                            nullptr, 0);
    if (n <= 0) return false;
  }
  if (!out->reserve(static_cast<uint64_t>(n) + 1)) return false;
  for (int i = 0; i <= n; ++i) out->append(L'\0');
  if (n > 0 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data,
                                   static_cast<int>(text.size), out->data(), n) != n) {
    return false;
  }
  out->pop_back();
  return out->append(L'\0');
}

bool utf8_from_wide(const wchar_t* text, int64_t size, SsoString* out) {
  out->clear();
  if (size < 0) size = static_cast<int64_t>(std::wcslen(text));
  if (size == 0) return true;
  if (size > INT_MAX / 4) return false;
  int wide = static_cast<int>(size);
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide, nullptr, 0, nullptr,
                              nullptr);
  if (n <= 0) return false;
  char* room = out->reserve(static_cast<uint64_t>(n));
  if (!room) return false;
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wide, room, n, nullptr, nullptr) !=
      n) {
    return false;
  }
  out->set_size(static_cast<uint64_t>(n));
  return true;
}

bool wide_path(StringView path, GrowArray<wchar_t>* out) {
  if (!wide_from_utf8(path, out)) return false;
  uint64_t size = out->size() - 1;  // without the terminating zero
  for (uint64_t i = 0; i < size; ++i) {
    if ((*out)[i] == L'/') (*out)[i] = L'\\';
  }
  if (starts_with(*out, L"\\\\?\\") || starts_with(*out, L"\\\\.\\")) return true;
  // A path that starts at a root: a drive, a share, or the current drive's
  // root ("/logs"). Relative paths cannot take the long form.
  bool rooted = size >= 1 && is_separator((*out)[0]);
  bool drive = size >= 3 && (*out)[1] == L':' && is_separator((*out)[2]);
  if (size < kClassicPathLimit || !(rooted || drive)) return true;

  // The long form takes the path literally, so "." and ".." must be gone
  // first; the system's own resolution does that without a length limit.
  DWORD need = GetFullPathNameW(out->data(), 0, nullptr, nullptr);
  if (need == 0) return false;
  GrowArray<wchar_t> full;
  if (!full.reserve(need)) return false;
  for (DWORD i = 0; i < need; ++i) full.append(L'\0');
  DWORD got = GetFullPathNameW(out->data(), need, full.data(), nullptr);
  if (got == 0 || got >= need) return false;
  while (full.size() > got + 1) full.pop_back();
  if (starts_with(full, L"\\\\")) {
    drop_front(&full, 1);  // "\\server" becomes "\server", then "\\?\UNC\server"
    if (!insert_front(&full, L"\\\\?\\UNC")) return false;
  } else if (!insert_front(&full, L"\\\\?\\")) {
    return false;
  }
  *out = std::move(full);
  return true;
}

bool utf8_path_from_wide(const wchar_t* text, int64_t size, SsoString* out) {
  if (size < 0) size = static_cast<int64_t>(std::wcslen(text));
  bool unc = false;
  if (size >= 8 && std::wmemcmp(text, L"\\\\?\\UNC\\", 8) == 0) {
    text += 7;  // keep one separator, the second comes back below
    size -= 7;
    unc = true;
  } else if (size >= 4 && std::wmemcmp(text, L"\\\\?\\", 4) == 0) {
    text += 4;
    size -= 4;
  }
  if (!utf8_from_wide(text, size, out)) return false;
  char* chars = out->data();
  for (uint64_t i = 0; i < out->size(); ++i) {
    if (chars[i] == '\\') chars[i] = '/';
  }
  if (unc) {
    SsoString prefixed;
    if (!prefixed.append("/") || !prefixed.append(out->view())) return false;
    *out = std::move(prefixed);
  }
  return true;
}

}  // namespace quarrow
