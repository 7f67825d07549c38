// Supervised commands for the end-to-end tests and the benchmarks of run
// mode that the other helpers do not cover: a command that exits by itself
// after a forwarded signal, one whose footprint jumps in a single call, one
// whose footprint swings up and down, one whose children share its memory, and
// one that forks workers which share its pages.
//
//   vek-guard-test-actor wait-signal --signal N [--exit CODE]
//                                    [--ready PATH] [--stamp PATH]
//       Catches signal N, then writes "<pid>\n" to `ready`; when N arrives it
//       writes the CLOCK_REALTIME arrival time in nanoseconds to `stamp` and
//       exits with CODE (default 0).
//
//   vek-guard-test-actor jump --bytes N [--delay-ms MS] [--main-exits 1]
//                             --stamp PATH
//       Writes "<pid>\n" to `stamp`.pid, sleeps `delay-ms` (default 300), then
//       writes the CLOCK_MONOTONIC time in nanoseconds to `stamp` and maps N
//       bytes populated in one call (the footprint jumps at once), and writes
//       the time that call returned to `stamp`.done. The first stamp comes
//       before the call because a supervisor may kill the command before the
//       call returns: faulting in and zeroing the pages takes the kernel a
//       few milliseconds. With --main-exits 1 all of this runs on a second
//       thread while the main thread ends with pthread_exit: the process
//       lives on with its leader a zombie.
//
//   vek-guard-test-actor flap --low BYTES --high BYTES --period-ms MS
//                             --flips N --final BYTES
//       Brings its own footprint (RssAnon + RssShmem + VmSwap, its start-up
//       share included) to `low`, then switches between `high` and `low`
//       every `period-ms`, N switches in all, then holds `final` until it is
//       killed.
//
//   vek-guard-test-actor share --bytes N --spawns K [--child-sleep-ms MS]
//       Maps N bytes populated, then K times in turn: vforks a child that
//       sleeps MS milliseconds (default 30) in the parent's address space
//       before it execs /bin/true, and posix_spawns /bin/true; waits for each
//       and exits with 0. Both kinds of children share the parent's memory
//       until they exec; the sleep makes sure samples catch the first kind.
//
//   vek-guard-test-actor fork --bytes N --workers K --idle-ms MS [--write 1]
//                            --stamp PATH
//       Maps N bytes populated and forks K workers, which share those pages
//       with it until they write to them. Once every worker has stayed idle
//       for MS milliseconds it writes `stamp` (nobody was stopped meanwhile).
//       Then, with --write 1, each worker writes to every page of its copy,
//       so the group holds (K + 1) x N, and all hold until they are killed;
//       otherwise the workers exit, and so does the command, with 0.
//
// All end on their own after 60 seconds (SIGALRM). Exit status 2 on bad
// arguments, 3 when a file or the mapping fails.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "helper_util.h"

namespace {

using vek_guard_helper::parse_u64;
using vek_guard_helper::sleep_ms;
using vek_guard_helper::usage_error;
using vek_guard_helper::write_file_atomically;

constexpr uint64_t kLifetimeSeconds = 60;

volatile sig_atomic_t g_signal_seen = 0;

void on_signal(int) { g_signal_seen = 1; }

int64_t clock_ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// "--key value" pairs after the behaviour name; numbers checked on use.
struct Options {
  const char* program = "";
  std::map<std::string, std::string> values;

  std::string text(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  }
  uint64_t number(const std::string& key, uint64_t fallback) const {
    const auto it = values.find(key);
    if (it == values.end()) return fallback;
    const auto parsed = parse_u64(it->second.c_str());
    if (!parsed) usage_error(program, it->second.c_str());
    return *parsed;
  }
};

Options parse(int argc, char** argv) {
  Options options;
  options.program = argv[0];
  for (int i = 2; i < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) usage_error(argv[0], argv[i]);
    options.values[argv[i] + 2] = argv[i + 1];
  }
  return options;
}

int run_wait_signal(const Options& options) {
  const uint64_t signal_number = options.number("signal", 0);
  if (signal_number == 0 || signal_number >= NSIG) usage_error(options.program, "--signal");
  // The signal stays blocked except inside sigsuspend, so one that arrives
  // between the check and the wait is not lost.
  sigset_t blocked;
  sigset_t waiting;
  sigemptyset(&blocked);
  sigaddset(&blocked, static_cast<int>(signal_number));
  sigprocmask(SIG_BLOCK, &blocked, &waiting);
  sigdelset(&waiting, static_cast<int>(signal_number));
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  if (sigaction(static_cast<int>(signal_number), &action, nullptr) != 0) return 3;
  const std::string ready = options.text("ready");
  if (!ready.empty() && !write_file_atomically(ready, std::to_string(getpid()) + "\n")) return 3;
  while (g_signal_seen == 0) sigsuspend(&waiting);
  const int64_t arrived = clock_ns(CLOCK_REALTIME);
  const std::string stamp = options.text("stamp");
  if (!stamp.empty() && !write_file_atomically(stamp, std::to_string(arrived) + "\n")) return 3;
  return static_cast<int>(options.number("exit", 0) & 0xff);
}

int jump(const Options& options) {
  const std::string stamp = options.text("stamp");
  const uint64_t bytes = options.number("bytes", 0);
  if (!write_file_atomically(stamp + ".pid", std::to_string(getpid()) + "\n")) return 3;
  sleep_ms(options.number("delay-ms", 300));
  const int64_t before = clock_ns(CLOCK_MONOTONIC);
  if (!write_file_atomically(stamp, std::to_string(before) + "\n")) return 3;
  // MAP_POPULATE write-faults every page of a private writable mapping in
  // this one call, so the pages count as footprint when it returns.
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) return 3;
  const int64_t mapped = clock_ns(CLOCK_MONOTONIC);
  if (!write_file_atomically(stamp + ".done", std::to_string(mapped) + "\n")) return 3;
  for (;;) ::pause();
}

// This process's footprint as the supervisor counts it, in bytes; 0 when it
// cannot be read.
uint64_t own_footprint() {
  FILE* status = std::fopen("/proc/self/status", "re");
  if (status == nullptr) return 0;
  uint64_t total_kb = 0;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    unsigned long long kb = 0;
    if (std::sscanf(line, "RssAnon: %llu", &kb) == 1 ||
        std::sscanf(line, "RssShmem: %llu", &kb) == 1 ||
        std::sscanf(line, "VmSwap: %llu", &kb) == 1) {
      total_kb += kb;
    }
  }
  std::fclose(status);
  return total_kb * 1024;
}

int run_flap(const Options& options) {
  const uint64_t low = options.number("low", 0);
  const uint64_t high = options.number("high", 0);
  const uint64_t final_bytes = options.number("final", 0);
  if (low == 0 || high <= low || final_bytes == 0) usage_error(options.program, "--low/--high");
  const uint64_t period_ms = options.number("period-ms", 20);
  const uint64_t flips = options.number("flips", 0);
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  const uint64_t baseline = own_footprint();
  const uint64_t top = std::max(high, final_bytes);
  if (baseline >= low) return 3;
  auto* block = static_cast<char*>(
      mmap(nullptr, top - baseline, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (block == MAP_FAILED) return 3;
  uint64_t held = 0;  // bytes of `block` that are resident
  const auto hold = [&](uint64_t footprint) {
    const uint64_t want = (footprint - baseline) / page * page;
    if (want < held) {
      madvise(block + want, held - want, MADV_DONTNEED);
    } else {
      for (uint64_t offset = held; offset < want; offset += page) block[offset] = 1;
    }
    held = want;
  };
  hold(low);
  for (uint64_t flip = 0; flip < flips; ++flip) {
    sleep_ms(period_ms);
    hold(flip % 2 == 0 ? high : low);
  }
  hold(final_bytes);
  for (;;) ::pause();
}

int run_jump(const Options& options) {
  if (options.text("stamp").empty() || options.number("bytes", 0) == 0) {
    usage_error(options.program, "--stamp/--bytes");
  }
  if (options.number("main-exits", 0) == 0) return jump(options);
  // pthread_exit unwinds the main thread's frames, so the worker gets its own
  // copy of the options.
  static Options kept;
  kept = options;
  pthread_t worker;
  const auto body = [](void*) -> void* { std::exit(jump(kept)); };
  if (pthread_create(&worker, nullptr, body, nullptr) != 0) return 3;
  pthread_exit(nullptr);
}

int run_share(const Options& options) {
  const uint64_t bytes = options.number("bytes", 0);
  const uint64_t spawns = options.number("spawns", 0);
  if (bytes == 0 || spawns == 0) usage_error(options.program, "--bytes/--spawns");
  const uint64_t child_sleep_ms = options.number("child-sleep-ms", 30);
  if (mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1,
           0) == MAP_FAILED) {
    return 3;
  }
  char program[] = "/bin/true";
  char* const child_argv[] = {program, nullptr};
  for (uint64_t i = 0; i < spawns; ++i) {
    // Between vfork and exec the child may only make system calls: the
    // timespec is the parent's, ready before the fork.
    const timespec pause{static_cast<time_t>(child_sleep_ms / 1000),
                         static_cast<long>(child_sleep_ms % 1000) * 1'000'000L};
    const pid_t shared = vfork();
    if (shared == 0) {
      nanosleep(&pause, nullptr);
      execve(program, child_argv, environ);
      _exit(127);
    }
    pid_t spawned = -1;
    if (shared < 0 || posix_spawn(&spawned, program, nullptr, nullptr, child_argv, environ) != 0) {
      return 3;
    }
    int status = 0;
    if (waitpid(shared, &status, 0) != shared || status != 0) return 3;
    if (waitpid(spawned, &status, 0) != spawned || status != 0) return 3;
  }
  return 0;
}

int run_fork(const Options& options) {
  const uint64_t bytes = options.number("bytes", 0);
  const uint64_t workers = options.number("workers", 0);
  const std::string stamp = options.text("stamp");
  if (bytes == 0 || workers == 0 || stamp.empty()) {
    usage_error(options.program, "--bytes/--workers/--stamp");
  }
  const bool write = options.number("write", 0) != 0;
  auto* block = static_cast<char*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0));
  if (block == MAP_FAILED) return 3;
  // The workers wait for the end of this pipe: end of file is their go.
  int go[2];
  if (pipe(go) != 0) return 3;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  for (uint64_t i = 0; i < workers; ++i) {
    const pid_t worker = fork();
    if (worker < 0) return 3;
    if (worker > 0) continue;
    close(go[1]);
    char byte;
    while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
    }
    if (!write) _exit(0);
    for (uint64_t offset = 0; offset < bytes; offset += page) block[offset] = 1;
    for (;;) ::pause();
  }
  close(go[0]);
  sleep_ms(options.number("idle-ms", 0));
  // A worker that is gone was stopped during the idle phase: no stamp then.
  if (waitpid(-1, nullptr, WNOHANG) != 0) return 3;
  if (!write_file_atomically(stamp, "idle\n")) return 3;
  close(go[1]);
  int status = 0;
  for (uint64_t i = 0; i < workers; ++i) {
    if (wait(&status) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) usage_error(argv[0], "");
  vek_guard_helper::bound_lifetime(kLifetimeSeconds);
  const Options options = parse(argc, argv);
  const std::string behaviour = argv[1];
  if (behaviour == "wait-signal") return run_wait_signal(options);
  if (behaviour == "jump") return run_jump(options);
  if (behaviour == "flap") return run_flap(options);
  if (behaviour == "share") return run_share(options);
  if (behaviour == "fork") return run_fork(options);
  usage_error(argv[0], argv[1]);
}
