#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/platform_start.h"
#include "core/win32_wide.h"
#include "log/log.h"

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

void platform_end(bool non_interactive) {
  if (non_interactive) return;
  DWORD processes[2];
  if (GetConsoleProcessList(processes, 2) != 1) return;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (!GetConsoleMode(input, &mode)) return;
  std::fflush(stdout);
  log_write_text("Press Enter to close this window.");
  // Keys pressed while the logs converted must not close it unread.
  FlushConsoleInputBuffer(input);
  SetConsoleMode(input, mode | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT);
  wchar_t typed[64];
  DWORD count = 0;
  while (ReadConsoleW(input, typed, 64, &count, nullptr) && count > 0) {
    if (typed[count - 1] == L'\n' || typed[count - 1] == L'\r') break;
  }
}

}  // namespace quarrow
