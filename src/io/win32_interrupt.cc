#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "core/win32_wide.h"
#include "io/interrupt.h"

namespace quarrow {

namespace {

// The exit code of a console program ended by Ctrl-C (STATUS_CONTROL_C_EXIT).
constexpr UINT kInterruptedExit = 0xC000013A;
// The system ends the process a few seconds after a close, logoff or
// shutdown event; the run's own way out must finish before.
constexpr DWORD kWaitForExitMs = 4000;

BOOL WINAPI on_console_event(DWORD event) {
  if (!interrupt_signalled(static_cast<int>(event) + 1)) {
    TerminateProcess(GetCurrentProcess(), kInterruptedExit);
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The process ends when this returns: give the run the time to end it
  // itself.
  Sleep(kWaitForExitMs);
  return TRUE;
}

}  // namespace

void* interrupt_platform_path(StringView path) {
  GrowArray<wchar_t> wide;
  if (!wide_path(path, &wide)) return nullptr;
  uint64_t bytes = (wide.size() + 1) * sizeof(wchar_t);  // with its terminating zero
  void* copy = std::malloc(bytes);
  if (copy) std::memcpy(copy, wide.data(), bytes);
  return copy;
}

void interrupt_platform_free(void* native) {
  std::free(native);
}

void interrupt_platform_remove(void* native) {
  (void)DeleteFileW(static_cast<const wchar_t*>(native));
}

bool interrupt_platform_install() {
  return SetConsoleCtrlHandler(on_console_event, TRUE);
}

void interrupt_platform_exit(int) {
  ExitProcess(kInterruptedExit);
}

int64_t process_id() {
  return static_cast<int64_t>(GetCurrentProcessId());
}

bool process_running(int64_t pid) {
  if (pid <= 0 || pid > UINT32_MAX) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  // A process that exists but may not be looked at still runs.
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  return running;
}

}  // namespace quarrow
