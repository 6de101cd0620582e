// The password-file parser on arbitrary text: every stored entry must be one
// the pattern allows, and each key must find its own value again.

#include <cstdint>
#include <cstdlib>

#include "app/password_store.h"
#include "log/log.h"

using namespace quarrow;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Each duplicate key warns, thousands of times a second.
  log_set_output_level(LOG_FATAL + 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PasswordStore store;
  if (!password_store_parse(StringView(reinterpret_cast<const char*>(data), size), &store)) abort();
  // Each entry takes at least four quotes and a colon of the text.
  if (store.size() > size / 5) abort();
  store.for_each([&](PasswordStore::Slot& slot) {
    for (char c : slot.key.view() == StringView("default") ? StringView() : slot.key.view())
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) abort();
    if (slot.value.view().find('"') >= 0 || slot.value.view().find('\n') >= 0) abort();
    auto found = password_store_find(store, slot.key.view());
    if (!found || found->data != slot.value.c_str()) abort();
  });
  return 0;
}
