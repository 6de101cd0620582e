// Runs a command and prints its wall time, CPU time and peak resident memory
// as one line: "wall_s user_s sys_s maxrss_kb status". The command's own
// output passes through untouched.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: measure COMMAND [ARG...]\n");
    return 2;
  }
  timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 2;
  clock_gettime(CLOCK_MONOTONIC, &end);
  double wall = static_cast<double>(end.tv_sec - start.tv_sec) +
                static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("%.4f %.4f %.4f %ld %d\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
              usage.ru_maxrss, code);
  return 0;
}
