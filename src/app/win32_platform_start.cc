#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/platform_start.h"
#include "core/win32_wide.h"

namespace quarrow {

bool platform_start(int* argc, char*** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return false;
  auto** args = static_cast<char**>(std::calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  bool ok = args != nullptr;
  for (int i = 0; ok && i < count; ++i) {
    SsoString text;
    ok = utf8_from_wide(wide[i], -1, &text);
    args[i] = ok ? static_cast<char*>(std::malloc(text.size() + 1)) : nullptr;
    ok = ok && args[i];
    if (ok) std::memcpy(args[i], text.c_str(), text.size() + 1);
  }
  LocalFree(wide);
  if (!ok) return false;  // the process ends; what was taken goes with it
  *argc = count;
  *argv = args;
  return true;
}

}  // namespace quarrow
