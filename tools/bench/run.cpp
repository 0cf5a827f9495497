// vexolant-bench-run: runs one command for the benchmark and prints what it
// cost, on one line:
//
//   WALL_US CPU_US MAXRSS_KIB EXIT_STATUS
//
// wall time from just before the start to the end of the wait, on the
// monotonic clock; user plus system CPU time and peak resident set size of
// the command, from wait4. The command's stdin is /dev/null, its stdout and
// stderr go to OUT.
//
// Usage: vexolant-bench-run OUT COMMAND [ARG...]
//
// The program keeps to the C library so that it stays small: the command is
// started with posix_spawn, and the peak resident set size the kernel reports
// for it is the larger of its own and the starter's at the moment it started.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace vexolant::bench {

namespace {

long long Microseconds(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

long long Microseconds(const timeval& t) {
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
}

int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

}  // namespace vexolant::bench

using namespace vexolant::bench;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vexolant-bench-run OUT COMMAND [ARG...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  timespec start{};
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, argv[2], &actions, nullptr, argv + 2, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    std::fprintf(stderr, "vexolant-bench-run: %s: %s\n", argv[2], std::strerror(failed));
    return 127;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::fprintf(stderr, "vexolant-bench-run: wait4: %s\n", std::strerror(errno));
      return 127;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &end);
  long long maxrss = usage.ru_maxrss;
#ifdef __APPLE__
  maxrss /= 1024;  // bytes there, KiB on Linux
#endif
  std::printf("%lld %lld %lld %d\n", Microseconds(end) - Microseconds(start),
              Microseconds(usage.ru_utime) + Microseconds(usage.ru_stime), maxrss,
              ExitStatus(status));
  return 0;
}
