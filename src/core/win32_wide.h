#pragma once

// UTF-8 inside, UTF-16 at the Windows system calls: every Windows platform
// file converts through these, and nothing above the platform files sees a
// wide character.

#include <cstdint>

#include "core/grow_array.h"
#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

// Replaces out with the UTF-16 form of text and a terminating zero (not
// counted in size). False for text that is not UTF-8, an embedded zero, or
// short memory.
bool wide_from_utf8(StringView text, GrowArray<wchar_t>* out);

// Replaces out with the UTF-8 form of size wide characters (-1: up to the
// terminating zero). False for unpaired surrogates or short memory.
bool utf8_from_wide(const wchar_t* text, int64_t size, SsoString* out);

// A path for the file-system calls: separators become "\", and an absolute
// path too long for the classic calls is resolved as the system would ("."
// and ".." segments) and given the "\\?\" form ("\\?\UNC\" for a share), so
// that mirrored output trees may nest deeper than 260 characters. Paths
// already in a device form ("//?/", "//./") pass as they are.
bool wide_path(StringView path, GrowArray<wchar_t>* out);

// The reverse for paths the system hands back: "\" become "/", and the
// "\\?\" and "\\?\UNC\" forms lose their prefix.
bool utf8_path_from_wide(const wchar_t* text, int64_t size, SsoString* out);

}  // namespace quarrow
