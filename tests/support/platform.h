#pragma once

// What the tests need of the operating system beyond the standard library,
// for both platforms the suite runs on. A capability one platform lacks
// returns false there, and the test skips with the reason.

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

namespace quarrow::test {

#ifdef _WIN32
inline std::wstring wide(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
  return w;
}
#endif

#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// Skips the current test on Windows, printing why.
#define QUARROW_SKIP_ON_WINDOWS(reason)                      \
  do {                                                       \
    if (::quarrow::test::kWindows) GTEST_SKIP() << (reason); \
  } while (0)

inline long long process_id() {
#ifdef _WIN32
  return static_cast<long long>(GetCurrentProcessId());
#else
  return static_cast<long long>(getpid());
#endif
}

inline long long thread_id() {
#ifdef _WIN32
  return static_cast<long long>(GetCurrentThreadId());
#else
  return static_cast<long long>(syscall(SYS_gettid));
#endif
}

// How many files and other kernel objects this process holds open.
inline size_t open_handles() {
#ifdef _WIN32
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
#else
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
#endif
}

// A named pipe in the file system, which is neither a file nor a folder.
inline bool make_fifo(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return false;
#else
  return mkfifo(path.c_str(), 0600) == 0;
#endif
}

inline bool make_symlink(const std::string& target, const std::string& link) {
#ifdef _WIN32
  (void)target;
  (void)link;
  return false;
#else
  return symlink(target.c_str(), link.c_str()) == 0;
#endif
}

// Sets (or, with value null, removes) an environment variable of this process.
inline void set_environment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

// Holds a file open the way another program may on Windows: reading shared,
// deleting refused. Elsewhere an open file can always be deleted, so nothing
// is held.
class FileHold {
 public:
  explicit FileHold(const std::string& path) {
#ifdef _WIN32
    handle_ = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr);
#else
    (void)path;
#endif
  }
  ~FileHold() {
#ifdef _WIN32
    if (held()) CloseHandle(handle_);
#endif
  }
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;
#ifdef _WIN32
  bool held() const {
    return handle_ != INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
  bool held() const {
    return false;
  }
#endif
};

// The path of a local folder reached as a network share ("//host/share/..."),
// or empty where no share leads to it.
inline std::string unc_path_of(const std::string& path) {
#ifdef _WIN32
  // The administrative share of the drive, as on any Windows machine.
  if (path.size() < 3 || path[1] != ':') return "";
  std::string unc = "//localhost/" + std::string(1, path[0]) + "$" + path.substr(2);
  return GetFileAttributesW(wide(unc).c_str()) == INVALID_FILE_ATTRIBUTES ? "" : unc;
#else
  (void)path;
  return "";
#endif
}

}  // namespace quarrow::test
