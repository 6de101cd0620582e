#pragma once

// Runs a program and captures what it writes, for tests that drive the real
// binaries; captures this process's own standard error.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace quarrow::test {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

inline std::string read_all_fd(int fd) {
  std::string s;
  char buf[65536];
  ssize_t n;
  lseek(fd, 0, SEEK_SET);
  while ((n = read(fd, buf, sizeof(buf))) > 0) s.append(buf, static_cast<size_t>(n));
  return s;
}

// Redirects file descriptor 2 into an unlinked temporary file while it
// lives; text() is everything written to it so far.
class StderrCapture {
 public:
  StderrCapture() {
    char name[] = "/tmp/qr_stderr_XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    saved_ = dup(2);
    dup2(fd_, 2);
  }
  ~StderrCapture() {
    dup2(saved_, 2);
    close(saved_);
    close(fd_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  std::string text() const { return read_all_fd(fd_); }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

// Runs program with args in cwd (empty: the current one). Output goes to
// unlinked temporary files, so large outputs cannot block the child.
inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& cwd = "") {
  ProcessResult result;
  char out_name[] = "/tmp/qr_out_XXXXXX";
  char err_name[] = "/tmp/qr_err_XXXXXX";
  int out_fd = mkstemp(out_name);
  int err_fd = mkstemp(err_name);
  unlink(out_name);
  unlink(err_name);

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
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  result.out = read_all_fd(out_fd);
  result.err = read_all_fd(err_fd);
  close(out_fd);
  close(err_fd);
  return result;
}

}  // namespace quarrow::test
