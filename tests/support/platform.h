#pragma once

// What the tests need of the operating system beyond the standard library,
// for both platforms the suite runs on. A capability one platform lacks
// returns false there, and the test skips with the reason.
//
// process_id(), thread_id(): this process's and thread's ids.
// open_handles(): how many files and other kernel objects this process holds.
// make_fifo(path): a named pipe, which is neither a file nor a folder.
// make_symlink(target, link).
// set_environment(name, value): sets, or with value null removes, a variable.
// FileHold: holds a file open the way another program may on Windows,
//   reading shared, deleting refused; elsewhere an open file can always be
//   deleted, so nothing is held.
// unc_path_of(path): the path of a local folder reached as a network share
//   ("//host/share/..."), or empty where no share leads to it.

#include <cstdlib>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

// Skips the current test on Windows, printing why.
#define QUARROW_SKIP_ON_WINDOWS(reason)                      \
  do {                                                       \
    if (::quarrow::test::kWindows) GTEST_SKIP() << (reason); \
  } while (0)

namespace quarrow::test {

#ifdef _WIN32

inline constexpr bool kWindows = true;

inline std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}
inline long long process_id() {
  return static_cast<long long>(GetCurrentProcessId());
}
inline long long thread_id() {
  return static_cast<long long>(GetCurrentThreadId());
}
inline size_t open_handles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}
inline bool make_fifo(const std::string&) {
  return false;
}
inline bool make_symlink(const std::string&, const std::string&) {
  return false;
}
inline void set_environment(const char* name, const char* value) {
  _putenv_s(name, value ? value : "");
}

class FileHold {
 public:
  explicit FileHold(const std::string& path)
      : handle_(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr)) {}
  ~FileHold() {
    if (held()) CloseHandle(handle_);
  }
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;
  bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

inline std::string unc_path_of(const std::string& path) {
  // The administrative share of the drive, as on any Windows machine.
  if (path.size() < 3 || path[1] != ':') return "";
  std::string unc = "//localhost/" + std::string(1, path[0]) + "$" + path.substr(2);
  return GetFileAttributesW(wide(unc).c_str()) == INVALID_FILE_ATTRIBUTES ? "" : unc;
}

#else

inline constexpr bool kWindows = false;

inline long long process_id() {
  return static_cast<long long>(getpid());
}
inline long long thread_id() {
  return static_cast<long long>(syscall(SYS_gettid));
}
inline size_t open_handles() {
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}
inline bool make_fifo(const std::string& path) {
  return mkfifo(path.c_str(), 0600) == 0;
}
inline bool make_symlink(const std::string& target, const std::string& link) {
  return symlink(target.c_str(), link.c_str()) == 0;
}
inline void set_environment(const char* name, const char* value) {
  value ? setenv(name, value, 1) : unsetenv(name);
}

class FileHold {
 public:
  explicit FileHold(const std::string&) {}
  bool held() const { return false; }
};

inline std::string unc_path_of(const std::string&) {
  return "";
}

#endif

}  // namespace quarrow::test
