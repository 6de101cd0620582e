#pragma once

#include <cstdint>
#include <optional>

#include "core/hash_map.h"
#include "core/sso_string.h"
#include "core/string_view.h"

namespace quarrow {

struct ConverterSettings;

// Device key ("default" or hexadecimal digits, as written in the file) to
// password, byte for byte.
using PasswordStore = HashMap<SsoString, SsoString>;

// Loads the file named with -p, or "passwords.json" in the working
// directory. False ends the run: a file named with -p that cannot be opened
// (status |= 1), or a pattern that cannot be compiled.
bool password_store_load(ConverterSettings* settings, int* status);

// Adds one entry per match of the password pattern in text. False only when
// the pattern cannot be compiled.
bool password_store_parse(StringView text, PasswordStore* store);

// The password stored under key, compared byte for byte.
std::optional<StringView> password_store_find(const PasswordStore& store, StringView key);

}  // namespace quarrow
