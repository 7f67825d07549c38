// Supervised commands for the end-to-end tests and the benchmarks that the
// other helpers do not cover.
//
//   vek-guard-test-actor wait-signal --signal N [--exit CODE]
//                                    [--ready PATH] [--stamp PATH]
//       Catches signal N, then writes "<pid>\n" to `ready`; when N arrives it
//       writes the CLOCK_REALTIME arrival time in nanoseconds to `stamp` and
//       exits with CODE (default 0).
//
//   vek-guard-test-actor jump --bytes N [--delay-ms MS] [--main-exits 1]
//                             [--ignore-term 1] --stamp PATH
//       Writes "<pid>\n" to `stamp`.pid, sleeps `delay-ms` (default 300), then
//       writes the CLOCK_MONOTONIC time in nanoseconds to `stamp` and maps N
//       bytes populated in one call (the footprint jumps at once), and writes
//       the time that call returned to `stamp`.done. The first stamp comes
//       before the call because a supervisor may kill the command before the
//       call returns: faulting in and zeroing the pages takes the kernel a
//       few milliseconds. With --main-exits 1 all of this runs on a second
//       thread while the main thread ends with pthread_exit: the process
//       lives on with its leader a zombie. With --ignore-term 1 it ignores
//       SIGTERM, which a sample that catches the jump half made may bring.
//
//   vek-guard-test-actor share --bytes N --spawns K
//       Maps N bytes populated, then K times in turn: vforks a child that
//       sleeps 30 ms in the parent's address space
//       before it execs /bin/true, and posix_spawns /bin/true; waits for each
//       and exits with 0. Both kinds of children share the parent's memory
//       until they exec; the sleep makes sure samples catch the first kind.
//
//   vek-guard-test-actor grow --step BYTES --max BYTES [--allocate BYTES]
//                             [--interval-ms MS] [--hold-ms MS]
//                             [--client accept|wrong-nonce] [--size BYTES]
//                             [--request PATH]
//       Allocates and touches `allocate` bytes, then `step` more every
//       `interval-ms` (default 10) until `max` are held, holds them for
//       `hold-ms` (default 0) and exits with 0. With --client it is a
//       cooperative checkpoint client on VEK_GUARD_CHECKPOINT_FD: it answers
//       the negotiation first, and every request (read when SIGUSR1 comes)
//       with an acceptance naming a file of `size` bytes (default 4096) as
//       its artifact, written to the request's nonce or, with wrong-nonce,
//       to a nonce whose first byte differs. `request` gets "request_id N\n"
//       once a request has been read.
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
//   vek-guard-test-actor flood --signal N --threads K --bytes B [--delay-ms MS]
//                             --stamp PATH
//       Starts K threads that send signal N to its parent (the supervisor)
//       as fast as they can for as long as it lives. After `delay-ms`
//       (default 300) it maps B bytes populated in one call, writes the
//       number of signals sent by then to `stamp`, and holds on until it is
//       killed.
//
//   vek-guard-test-actor rejoin --member PATH [--bytes N] [--delay-ms MS]
//       Ignores SIGTERM and forks a member, which points its standard streams
//       at /dev/null, moves to a process group of its own, writes "<pid>\n"
//       to `member` and watches the command: the moment the command is sent
//       SIGKILL (or begins to exit), it moves back into the command's group
//       and writes "rejoined\n" to `member`.rejoin ("missed\n" when the
//       group was gone by then). It ends on its own after 30 seconds
//       (SIGALRM). The command meanwhile sleeps `delay-ms` (default 100),
//       maps N bytes populated (none by default), writes "held\n" to
//       `member`.held and waits to be killed.
//
// All end on their own after 60 seconds (SIGALRM). Exit status 2 on bad
// arguments, 3 when a file, the mapping or the checkpoint protocol fails.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "../../core/include/vek_guard/coding.h"
#include "helper_util.h"

namespace {

using vek_guard_helper::clock_ns;
using vek_guard_helper::Options;
using vek_guard_helper::parse_u64;
using vek_guard_helper::sleep_ms;
using vek_guard_helper::usage_error;
using vek_guard_helper::write_file_atomically;

constexpr uint64_t kLifetimeSeconds = 60;

volatile sig_atomic_t g_signal_seen = 0;

void on_signal(int) { g_signal_seen = 1; }

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

int run_jump(const Options& options) {
  if (options.text("stamp").empty() || options.number("bytes", 0) == 0) {
    usage_error(options.program, "--stamp/--bytes");
  }
  if (options.number("ignore-term", 0) != 0) signal(SIGTERM, SIG_IGN);
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
  if (mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1,
           0) == MAP_FAILED) {
    return 3;
  }
  char program[] = "/bin/true";
  char* const child_argv[] = {program, nullptr};
  for (uint64_t i = 0; i < spawns; ++i) {
    // Between vfork and exec the child may only make system calls: the
    // timespec is the parent's, ready before the fork.
    const timespec pause{0, 30'000'000L};
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

std::atomic<uint64_t> g_signals_sent{0};

int run_flood(const Options& options) {
  const uint64_t signal_number = options.number("signal", 0);
  const uint64_t threads = options.number("threads", 1);
  const uint64_t bytes = options.number("bytes", 0);
  const std::string stamp = options.text("stamp");
  if (signal_number == 0 || signal_number >= NSIG || bytes == 0 || stamp.empty()) {
    usage_error(options.program, "--signal/--bytes/--stamp");
  }
  static int flooded;
  flooded = static_cast<int>(signal_number);
  const auto flood = [](void*) -> void* {
    const pid_t parent = getppid();
    for (;;) {
      if (::kill(parent, flooded) == 0) g_signals_sent.fetch_add(1, std::memory_order_relaxed);
    }
  };
  for (uint64_t i = 0; i < threads; ++i) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, flood, nullptr) != 0) return 3;
  }
  sleep_ms(options.number("delay-ms", 300));
  if (mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1,
           0) == MAP_FAILED) {
    return 3;
  }
  if (!write_file_atomically(stamp, std::to_string(g_signals_sent.load()) + "\n")) return 3;
  for (;;) ::pause();
}

// Whether `pid` has been sent SIGKILL (it is pending), has begun to exit
// (PF_EXITING), has exited or is gone. In /proc/PID/stat the state is the
// first field after the name, which ends at the last ')', and the flags the
// seventh; /proc/PID/status has the pending signals.
bool killed(pid_t pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char text[4096];
  const auto read_text = [&](const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t size = read(fd, text, sizeof text - 1);
    close(fd);
    if (size <= 0) return false;
    text[size] = '\0';
    return true;
  };
  if (!read_text(proc + "/stat")) return true;
  const char* field = std::strrchr(text, ')');
  unsigned long flags = 0;
  char state = '\0';
  if (field == nullptr || std::sscanf(field, ") %c %*d %*d %*d %*d %*d %lu", &state, &flags) != 2) {
    return true;
  }
  constexpr unsigned long kExitingFlag = 0x4;  // PF_EXITING
  if (state == 'Z' || state == 'X' || (flags & kExitingFlag) != 0) return true;
  if (!read_text(proc + "/status")) return true;
  for (const char* key : {"\nSigPnd:", "\nShdPnd:"}) {
    const char* at = std::strstr(text, key);
    if (at != nullptr && (std::strtoull(at + std::strlen(key), nullptr, 16) & (1ULL << 8)) != 0) {
      return true;
    }
  }
  return false;
}

int run_rejoin(const Options& options) {
  const std::string member_file = options.text("member");
  if (member_file.empty()) usage_error(options.program, "--member");
  signal(SIGTERM, SIG_IGN);
  const pid_t command = getpid();
  const pid_t member = fork();
  if (member < 0) return 3;
  if (member == 0) {
    vek_guard_helper::bound_lifetime(30);
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
    if (setpgid(0, 0) != 0) _exit(3);
    if (!write_file_atomically(member_file, std::to_string(getpid()) + "\n")) _exit(3);
    // Looked at without a pause: the group lasts only as long as the
    // command's exit takes.
    while (!killed(command)) sched_yield();
    const bool rejoined = setpgid(0, command) == 0;
    if (!write_file_atomically(member_file + ".rejoin", rejoined ? "rejoined\n" : "missed\n")) {
      _exit(3);
    }
    for (;;) ::pause();
  }
  sleep_ms(options.number("delay-ms", 100));
  const uint64_t bytes = options.number("bytes", 0);
  if (bytes > 0 && mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0) == MAP_FAILED) {
    return 3;
  }
  if (!write_file_atomically(member_file + ".held", "held\n")) return 3;
  for (;;) ::pause();
}

// A frame of the checkpoint protocol begins with its body length, the magic
// "VGCP", version 1 and its kind: 1 request, 2 acknowledgement, 3
// negotiation, 4 negotiation reply.
void put_header(std::vector<uint8_t>& out, uint32_t body, uint8_t kind) {
  uint8_t length[4];
  vek_guard::encode_be32(length, body);
  out.insert(out.end(), length, length + 4);
  out.insert(out.end(), {'V', 'G', 'C', 'P', 1, kind});
}

// Reads one frame of `kind` whose body is `body` bytes into `frame`.
bool read_frame(int fd, uint8_t* frame, uint32_t body, uint8_t kind) {
  return vek_guard_helper::read_exact(fd, frame, 4 + body) &&
         vek_guard::decode_be32(frame) == body && std::memcmp(frame + 4, "VGCP", 4) == 0 &&
         frame[8] == 1 && frame[9] == kind;
}

// Answers the negotiation (body: the 32-byte nonce) with its nonce.
bool negotiate(int fd) {
  uint8_t negotiation[42];
  if (!read_frame(fd, negotiation, 38, 3)) return false;
  std::vector<uint8_t> reply;
  put_header(reply, 38, 4);
  reply.insert(reply.end(), negotiation + 10, negotiation + 42);
  return vek_guard_helper::write_all(fd, reply.data(), reply.size());
}

// Reads the request that precedes SIGUSR1 (body: nonce, request id,
// deadline) and accepts it.
bool answer_request(int fd, const Options& options) {
  uint8_t request[58];
  if (!read_frame(fd, request, 54, 1)) return false;
  const std::string request_file = options.text("request");
  if (!request_file.empty() &&
      !write_file_atomically(
          request_file,
          "request_id " + std::to_string(vek_guard::decode_be64(request + 42)) + "\n")) {
    return false;
  }
  std::vector<uint8_t> ack;
  put_header(ack, 57, 2);
  ack.insert(ack.end(), request + 10, request + 50);  // nonce and request id
  if (options.text("client") == "wrong-nonce") ack[10] ^= 0xff;
  ack.insert(ack.end(), {1, 1, 1});  // accepted, a file, with its size
  uint8_t size[8];
  vek_guard::encode_be64(size, options.number("size", 4096));
  ack.insert(ack.end(), size, size + 8);
  return vek_guard_helper::write_all(fd, ack.data(), ack.size());
}

int run_grow(const Options& options) {
  // Blocked before anything else: a checkpoint signal may come as soon as
  // the negotiation reply is out, and is taken with sigtimedwait.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  sigprocmask(SIG_BLOCK, &usr1, nullptr);
  const bool client = !options.text("client").empty();
  const auto fd = parse_u64(std::getenv("VEK_GUARD_CHECKPOINT_FD"));
  if (client && (!fd || !negotiate(static_cast<int>(*fd)))) return 3;
  // Waits `ms`, or less when a request comes (which a client answers).
  const auto wait_ms = [&](int64_t ms) {
    const timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    if (sigtimedwait(&usr1, nullptr, &timeout) != SIGUSR1 || !client) return true;
    return answer_request(static_cast<int>(*fd), options);
  };

  const uint64_t step = options.number("step", 0);
  const uint64_t max = options.number("max", 0);
  uint64_t held = 0;
  for (uint64_t next = options.number("allocate", 0);;) {
    if (next > 0) {
      // Kept to the end on purpose; every page is written, so it all counts.
      char* block = static_cast<char*>(std::malloc(next));
      if (block == nullptr) return 3;
      std::memset(block, 0x5a, next);
      held += next;
    }
    next = held < max ? std::min(step, max - held) : 0;
    if (next == 0) break;
    if (!wait_ms(static_cast<int64_t>(options.number("interval-ms", 10)))) return 3;
  }
  const int64_t until =
      clock_ns(CLOCK_MONOTONIC) + static_cast<int64_t>(options.number("hold-ms", 0)) * 1000000;
  for (int64_t left; (left = until - clock_ns(CLOCK_MONOTONIC)) > 0;) {
    if (!wait_ms(left / 1000000 + 1)) return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = vek_guard_helper::start_behaviour(argc, argv, kLifetimeSeconds);
  const std::string behaviour = argv[1];
  if (behaviour == "wait-signal") return run_wait_signal(options);
  if (behaviour == "jump") return run_jump(options);
  if (behaviour == "share") return run_share(options);
  if (behaviour == "fork") return run_fork(options);
  if (behaviour == "grow") return run_grow(options);
  if (behaviour == "flood") return run_flood(options);
  if (behaviour == "rejoin") return run_rejoin(options);
  usage_error(argv[0], argv[1]);
}
