#pragma once

// Runs a program and captures what it writes, for tests that drive the real
// binaries.

#include <string>
#include <vector>

#include "support/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace quarrow::test {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

#ifdef _WIN32

// An unnamed scratch file, gone when its handle is closed.
inline HANDLE scratch_file(bool inheritable) {
  wchar_t dir[MAX_PATH], name[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"qrt", 0, name);
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, inheritable};
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

inline std::string read_all(HANDLE h) {
  std::string s;
  LARGE_INTEGER zero{};
  SetFilePointerEx(h, zero, nullptr, FILE_BEGIN);
  char buf[65536];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0) s.append(buf, n);
  return s;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
inline void append_quoted(std::wstring* line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd = "") {
  ProcessResult result;
  HANDLE out = scratch_file(true), err = scratch_file(true);
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE none = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            OPEN_EXISTING, 0, nullptr);
  std::wstring line;
  append_quoted(&line, wide(program));
  for (const std::string& a : args) {
    line += L' ';
    append_quoted(&line, wide(a));
  }
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = none;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  std::wstring wide_cwd = wide(cwd);
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     cwd.empty() ? nullptr : wide_cwd.c_str(), &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(pi.hProcess, &code)) result.status = static_cast<int>(code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  result.out = read_all(out);
  result.err = read_all(err);
  CloseHandle(out);
  CloseHandle(err);
  CloseHandle(none);
  return result;
}

// A console cannot be handed to a child the way a pseudo-terminal can;
// tests that need one skip on Windows.
inline ProcessResult run_in_terminal(const std::string&, const std::vector<std::string>&,
                                     const std::string&, unsigned short) {
  return ProcessResult{};
}

#else

inline std::string read_all_fd(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Starts program with args in cwd (empty: the current one), its standard
// output and error on the descriptors given.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, int out_fd, int err_fd) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

inline int exit_status(pid_t pid) {
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

// An unlinked temporary file.
inline int scratch_fd() {
  char name[] = "/tmp/qr_out_XXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  return fd;
}

// Runs program with args in cwd (empty: the current one). Output goes to
// unlinked temporary files, so large outputs cannot block the child.
inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd = "") {
  ProcessResult result;
  int out_fd = scratch_fd();
  int err_fd = scratch_fd();
  result.status = exit_status(spawn(program, args, cwd, out_fd, err_fd));
  result.out = read_all_fd(out_fd);
  result.err = read_all_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

// Like run_process, with standard error on a pseudo-terminal of the given
// width that passes bytes unchanged (no CR added before a line feed); err
// holds what arrived there.
inline ProcessResult run_in_terminal(const std::string& program,
                                     const std::vector<std::string>& args, const std::string& cwd,
                                     unsigned short columns) {
  ProcessResult result;
  int master = -1, slave = -1;
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = columns;
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return result;
  struct termios mode;
  tcgetattr(slave, &mode);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &mode);
  int out_fd = scratch_fd();
  pid_t pid = spawn(program, args, cwd, out_fd, slave);
  close(slave);
  // Read while the child runs: a full terminal would stop it. Reading
  // fails once the child's end is closed.
  char buf[4096];
  ssize_t n;
  while ((n = read(master, buf, sizeof(buf))) > 0) result.err.append(buf, static_cast<size_t>(n));
  result.status = exit_status(pid);
  close(master);
  result.out = read_all_fd(out_fd);
  close(out_fd);
  return result;
}

#endif

}  // namespace quarrow::test
