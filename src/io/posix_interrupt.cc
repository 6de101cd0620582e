#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "io/interrupt.h"

namespace quarrow {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_signal(int signal_number) {
  int saved = errno;
  // A second signal: the user insists, so the process ends at once, by
  // the signal's default action once this handler returns.
  if (!interrupt_signalled(signal_number)) {
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
  }
  errno = saved;
}

}  // namespace

void* interrupt_platform_path(StringView path) {
  if (path.size > 0 && std::memchr(path.data, 0, path.size) != nullptr) return nullptr;
  char* copy = static_cast<char*>(std::malloc(path.size + 1));
  if (!copy) return nullptr;
  if (path.size > 0) std::memcpy(copy, path.data, path.size);
  copy[path.size] = 0;
  return copy;
}

void interrupt_platform_free(void* native) {
  std::free(native);
}

void interrupt_platform_remove(void* native) {
  (void)::unlink(static_cast<const char*>(native));
}

bool interrupt_platform_install() {
  bool ok = true;
  for (int signal_number : kSignals) {
    struct sigaction current;
    // A signal ignored when the run started (nohup, a background job) stays
    // ignored, as the one who started it asked.
    if (sigaction(signal_number, nullptr, &current) != 0) {
      ok = false;
      continue;
    }
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int other : kSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    ok = sigaction(signal_number, &action, nullptr) == 0 && ok;
  }
  return ok;
}

void interrupt_platform_exit(int code) {
  ::signal(code, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, code);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(code);
  _exit(128 + code);
}

int64_t process_id() {
  return static_cast<int64_t>(getpid());
}

bool process_running(int64_t pid) {
  if (pid <= 0 || static_cast<pid_t>(pid) != pid) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace quarrow
