// Measuring tools for the run-mode benchmark scripts in this directory.
//
//   vek-guard-bench-probe rusage -- COMMAND [ARGS...]
//       Runs COMMAND and prints one line about it once it exits:
//       "user_us=U sys_us=S maxrss_kib=R status=X" (X is the exit status, or
//       128 + the signal number).
//
//   vek-guard-bench-probe watch-cpu --interval-ms MS --skip-ms A
//                                   --window-ms W -- COMMAND [ARGS...]
//       Runs COMMAND (a supervisor) and, in the same stretch of time, the
//       bare sampling floor for a group of one (one getdents64 listing of
//       /proc, plus one member's own reads: its stat, status and stat again)
//       every MS milliseconds, half an interval out of step with the
//       supervisor's passes so the two rarely read /proc at the same moment. After A milliseconds
//       (start-up is over) it reads COMMAND's CPU clock and its own, runs the
//       floor for W milliseconds, reads both clocks again, then waits for
//       COMMAND. Prints "guard_cpu_us=G floor_cpu_us=F floor_passes=N
//       processes=P from_ms=S to_ms=E run_cpu_us=R created=C status=X",
//       where S and E bound the window in milliseconds since COMMAND was
//       launched, so the passes it made meanwhile can be counted in its
//       report, R is COMMAND's CPU time over its whole run, and C is the
//       number of tasks the machine created during the window (the
//       supervisor lists /proc again only after one was).
//
//   vek-guard-bench-probe wait-exit --pid PID [--timeout-ms MS]
//       Watches process PID in a busy loop until it begins to exit, then
//       waits (pidfd and poll) until it has exited, and prints the
//       CLOCK_MONOTONIC times of both moments in nanoseconds: "BEGAN ENDED".
//       Exits 1 when PID cannot be watched or the timeout (default 30 s)
//       passes first.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

long long micros(const timeval& tv) {
  return static_cast<long long>(tv.tv_sec) * 1'000'000LL + tv.tv_usec;
}

std::string option(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return fallback;
}

int run_rusage(int argc, char** argv) {
  int first = 2;
  if (first < argc && std::strcmp(argv[first], "--") == 0) ++first;
  if (first >= argc) return 2;
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execvp(argv[first], argv + first);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 1;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("user_us=%lld sys_us=%lld maxrss_kib=%ld status=%d\n", micros(usage.ru_utime),
              micros(usage.ru_stime), usage.ru_maxrss, code);
  return 0;
}

// One read of a small /proc file below `dir_fd` into `buffer`; the content
// is not needed, only the cost of producing it.
void read_proc_file(int dir_fd, const char* name, char* buffer, size_t size) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  while (::read(fd, buffer, size) < 0 && errno == EINTR) {
  }
  ::close(fd);
}

// One pass of the floor: one getdents64 listing of /proc through `proc_fd`,
// then the member's own reads through its directory `member_dir` (opened as
// a pass opens it). Returns the number of processes listed, or -1.
long floor_pass(int proc_fd, const std::string& member_dir, char* buffer, size_t size) {
  if (::lseek(proc_fd, 0, SEEK_SET) < 0) return -1;
  long processes = 0;
  for (;;) {
    const ssize_t filled = ::getdents64(proc_fd, buffer, size);
    if (filled < 0) return -1;
    if (filled == 0) break;
    for (ssize_t offset = 0; offset < filled;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
      offset += entry->d_reclen;
      if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++processes;
    }
  }
  const int dir = ::open(member_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return -1;
  read_proc_file(dir, "stat", buffer, size);
  read_proc_file(dir, "status", buffer, size);
  read_proc_file(dir, "stat", buffer, size);
  ::close(dir);
  return processes;
}

void sleep_until(int64_t deadline_ns) {
  const int64_t now = monotonic_ns();
  if (deadline_ns <= now) return;
  const int64_t wait = deadline_ns - now;
  timespec ts{static_cast<time_t>(wait / 1'000'000'000LL),
              static_cast<long>(wait % 1'000'000'000LL)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The tasks created since boot (the processes line of /proc/stat), or -1.
long long tasks_created() {
  char text[64 * 1024];
  const int fd = ::open("/proc/stat", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  const char* line = std::strstr(text, "\nprocesses ");
  return line == nullptr ? -1 : std::strtoll(line + sizeof "\nprocesses " - 1, nullptr, 10);
}

int64_t cpu_clock_ns(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return -1;
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

int run_watch_cpu(int argc, char** argv) {
  const long interval_ms =
      std::strtol(option(argc, argv, "--interval-ms", "10").c_str(), nullptr, 10);
  const long skip_ms = std::strtol(option(argc, argv, "--skip-ms", "1000").c_str(), nullptr, 10);
  const long window_ms = std::strtol(option(argc, argv, "--window-ms", "0").c_str(), nullptr, 10);
  int first = 2;
  while (first < argc && std::strcmp(argv[first], "--") != 0) ++first;
  ++first;
  if (interval_ms <= 0 || skip_ms < 0 || window_ms <= 0 || first >= argc) return 2;

  const int64_t launched = monotonic_ns();
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execvp(argv[first], argv + first);
    _exit(127);
  }
  clockid_t guard_clock{};
  if (clock_getcpuclockid(child, &guard_clock) != 0) return 1;

  const std::string member_dir = "/proc/" + std::to_string(getpid());
  const int proc_fd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc_fd < 0) return 1;
  alignas(dirent64) static char buffer[64 * 1024];
  const int64_t interval_ns = interval_ms * 1'000'000LL;
  // Half an interval after one of the supervisor's passes, give or take its
  // start-up: the two loops take turns rather than reading /proc together.
  int64_t next = launched + skip_ms * 1'000'000LL + interval_ns / 2;
  sleep_until(next);
  const long long created_before = tasks_created();
  const int64_t from = monotonic_ns();
  const int64_t guard_before = cpu_clock_ns(guard_clock);
  const int64_t floor_before = cpu_clock_ns(CLOCK_PROCESS_CPUTIME_ID);
  const int64_t end = from + window_ms * 1'000'000LL;
  long passes = 0;
  long processes = 0;
  while (next < end) {
    processes = floor_pass(proc_fd, member_dir, buffer, sizeof buffer);
    if (processes < 0) return 1;
    ++passes;
    next += interval_ns;
    sleep_until(std::min(next, end));
  }
  const int64_t floor_after = cpu_clock_ns(CLOCK_PROCESS_CPUTIME_ID);
  const int64_t guard_after = cpu_clock_ns(guard_clock);
  const int64_t to = monotonic_ns();
  const long long created_after = tasks_created();

  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 1;
  }
  if (guard_before < 0 || guard_after < 0) return 1;  // the supervisor ended too soon
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf(
      "guard_cpu_us=%lld floor_cpu_us=%lld floor_passes=%ld processes=%ld from_ms=%lld "
      "to_ms=%lld run_cpu_us=%lld created=%lld status=%d\n",
      static_cast<long long>((guard_after - guard_before) / 1000),
      static_cast<long long>((floor_after - floor_before) / 1000), passes, processes,
      static_cast<long long>((from - launched) / 1'000'000),
      static_cast<long long>((to - launched) / 1'000'000),
      micros(usage.ru_utime) + micros(usage.ru_stime),
      created_before < 0 || created_after < 0 ? -1 : created_after - created_before, code);
  return 0;
}

// Whether the process whose stat file is open as `fd` has begun to exit:
// PF_EXITING (0x4) in the flags (field 9), or a zombie or dead state, or the
// file no longer readable.
bool has_begun_exiting(int fd) {
  char text[1024];
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return true;
  text[n] = '\0';
  const char* after_name = std::strrchr(text, ')');
  if (after_name == nullptr) return true;
  char state = '\0';
  unsigned long flags = 0;
  if (std::sscanf(after_name + 1, " %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) return true;
  constexpr unsigned long kExiting = 0x4;
  return state == 'Z' || state == 'X' || (flags & kExiting) != 0;
}

int run_wait_exit(int argc, char** argv) {
  const long pid = std::strtol(option(argc, argv, "--pid", "0").c_str(), nullptr, 10);
  const long timeout_ms =
      std::strtol(option(argc, argv, "--timeout-ms", "30000").c_str(), nullptr, 10);
  if (pid <= 0) return 2;
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) return 1;
  const std::string stat_path = "/proc/" + std::to_string(pid) + "/stat";
  const int stat_fd = ::open(stat_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (stat_fd < 0) return 1;
  // The moment the kill lands is when the process starts to exit; watching
  // for it in a busy loop leaves out the kernel's teardown of the process and
  // this program's own wake-up, both of which the pidfd's readiness includes.
  const int64_t give_up = monotonic_ns() + timeout_ms * 1'000'000LL;
  int64_t exiting = 0;
  while (exiting == 0) {
    if (has_begun_exiting(stat_fd)) exiting = monotonic_ns();
    if (monotonic_ns() > give_up) return 1;
  }
  ::close(stat_fd);
  pollfd watch{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&watch, 1, static_cast<int>(timeout_ms));
  } while (ready < 0 && errno == EINTR);
  const int64_t exited = monotonic_ns();
  ::close(fd);
  if (ready != 1) return 1;
  std::printf("%lld %lld\n", static_cast<long long>(exiting), static_cast<long long>(exited));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string tool = argv[1];
  if (tool == "rusage") return run_rusage(argc, argv);
  if (tool == "watch-cpu") return run_watch_cpu(argc, argv);
  if (tool == "wait-exit") return run_wait_exit(argc, argv);
  return 2;
}
