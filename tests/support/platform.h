#pragma once

// What the tests need of the operating system beyond the standard library, on both platforms
// the suite runs on. A capability one platform lacks returns false there; the test skips.

#include <cstdlib>
#include <filesystem>
#include <memory>
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
inline const auto process_id = [] { return static_cast<long long>(GetCurrentProcessId()); };
inline const auto thread_id = [] { return static_cast<long long>(GetCurrentThreadId()); };
// How many files and other kernel objects this process holds.
inline size_t open_handles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}
// A named pipe, which is neither a file nor a folder.
inline const auto make_fifo = [](const std::string&) { return false; };
inline const auto make_symlink = [](const std::string&, const std::string&) { return false; };
// Sets, or with value null removes, a variable.
inline void set_environment(const char* name, const char* value) {
  _putenv_s(name, value ? value : "");
}

// Holds a file open the way another program may on Windows, reading shared and deleting
// refused; elsewhere an open file can always be deleted, so nothing is held.
class FileHold {
 public:
  explicit FileHold(const std::string& path)
      : handle_(CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr),
                &CloseHandle) {}
  bool held() const { return handle_.get() != INVALID_HANDLE_VALUE; }

 private:
  std::unique_ptr<void, decltype(&CloseHandle)> handle_;  // closing an invalid handle is harmless
};

// The path of a local folder reached as a network share ("//host/share/..."), here the drive's
// administrative share; empty where no share leads to it.
inline std::string unc_path_of(const std::string& path) {
  if (path.size() < 3 || path[1] != ':') return "";
  std::string unc = "//localhost/" + std::string(1, path[0]) + "$" + path.substr(2);
  return GetFileAttributesW(wide(unc).c_str()) == INVALID_FILE_ATTRIBUTES ? "" : unc;
}

#else

inline constexpr bool kWindows = false;

inline const auto process_id = [] { return static_cast<long long>(getpid()); };
inline const auto thread_id = [] { return static_cast<long long>(syscall(SYS_gettid)); };
inline size_t open_handles() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
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

struct FileHold {
  explicit FileHold(const std::string&) {}
  bool held() const { return false; }
};

inline const auto unc_path_of = [](const std::string&) { return std::string(); };

#endif

}  // namespace quarrow::test
