#pragma once

// Runs a program and captures what it writes, for tests that drive the real binaries.

#include <cstdint>
#include <string>
#include <vector>

#include "support/platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <pty.h>
#include <signal.h>
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

// All a scratch file holds, or all a terminal passes until its other end closes; the
// descriptor is closed.
inline std::string read_all(int fd) {
  std::string s;
  char buf[65536];
  int64_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

#ifdef _WIN32

inline const auto handle_of = [](int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); };

// An unnamed scratch file that a child inherits, gone when it is closed.
inline int scratch_file() {
  wchar_t dir[MAX_PATH], name[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  GetTempFileNameW(dir, L"qrt", 0, name);
  int fd = _wopen(name, _O_RDWR | _O_BINARY | _O_TEMPORARY);
  SetHandleInformation(handle_of(fd), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return fd;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged: backslashes are
// doubled only before a quote, which gets one more.
inline void append_quoted(std::wstring* line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return void(*line += arg);
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'"') line->append(backslashes + 1, L'\\');
    backslashes = c == L'\\' ? backslashes + 1 : 0;
    *line += c;
  }
  line->append(backslashes, L'\\');
  *line += L'"';
}

// Starts program with args in cwd (empty: the current one), standard output and error on the
// files given, with CreateProcessW's flags; hProcess is null when it could not start.
inline PROCESS_INFORMATION spawn(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd, int out_fd, int err_fd, DWORD flags = 0) {
  std::wstring line, wide_cwd = wide(cwd);
  append_quoted(&line, wide(program));
  for (const std::string& a : args) append_quoted(&(line += L' '), wide(a));
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr);
  si.hStdOutput = handle_of(out_fd);
  si.hStdError = handle_of(err_fd);
  PROCESS_INFORMATION pi{};
  CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                 cwd.empty() ? nullptr : wide_cwd.c_str(), &si, &pi);
  CloseHandle(si.hStdInput);
  return pi;
}

// Waits for a started program: its exit code, or -1 when it did not start (and the calls fail).
inline int exit_status(const PROCESS_INFORMATION& pi) {
  auto code = static_cast<DWORD>(-1);
  WaitForSingleObject(pi.hProcess, INFINITE);
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

#else

inline int scratch_file() {
  char name[] = "/tmp/qr_out_XXXXXX";
  int fd = mkstemp(name);
  unlink(name);
  return fd;
}

// Starts program with args in cwd (empty: the current one), standard output and error on the
// descriptors given, and the signals whoever started the tests may ignore at their defaults.
inline pid_t spawn(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, int out_fd, int err_fd) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (cwd.empty() || chdir(cwd.c_str()) == 0) execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

inline int exit_status(pid_t pid) {
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

// Like run_process, with standard error on a pseudo-terminal (none on Windows) of the given width
// that passes bytes unchanged (no CR added before a line feed); err holds what arrived there.
inline ProcessResult run_in_terminal(const std::string& program,
                                     const std::vector<std::string>& args, const std::string& cwd,
                                     unsigned short columns) {
  int master = -1, slave = -1;
  struct winsize size = {24, columns, 0, 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) return ProcessResult{};
  struct termios mode;
  tcgetattr(slave, &mode);
  mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tcsetattr(slave, TCSANOW, &mode);
  int out_fd = scratch_file();
  pid_t pid = spawn(program, args, cwd, out_fd, slave);
  close(slave);
  std::string err = read_all(master);  // while the child runs: a full terminal would stop it
  int status = exit_status(pid);
  return {status, read_all(out_fd), err};
}

#endif

// Runs program with args in cwd (empty: the current one). Output goes to scratch files, so
// large outputs cannot block the child.
inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd = "") {
  auto out = scratch_file(), err = scratch_file();
  int status = exit_status(spawn(program, args, cwd, out, err));
  return {status, read_all(out), read_all(err)};
}

}  // namespace quarrow::test
