// Supervised commands for the end-to-end tests and the benchmarks of run
// mode. One program with a few behaviours keeps the tests' command lines
// short and the behaviours next to each other:
//
//   vek-guard-test-actor client --answer accept|refuse|silent
//                               [--artifact-size BYTES] [--step BYTES]
//                               [--interval-ms MS] [--max BYTES]
//       A cooperative checkpoint client: answers the supervisor's negotiation
//       on the descriptor named by VEK_GUARD_CHECKPOINT_FD, then grows its
//       footprint in steps to `max` bytes and holds it. On SIGUSR1 it reads
//       the checkpoint request and accepts it (with a file artifact of
//       `artifact-size` bytes), refuses it, or never answers. Exits 4 when
//       the negotiation is not what it expects.
//
//   vek-guard-test-actor wait-signal --signal N [--exit CODE]
//                                    [--ready PATH] [--stamp PATH]
//       Catches signal N, then creates `ready`; when N arrives it writes the
//       CLOCK_REALTIME arrival time in nanoseconds to `stamp` and exits with
//       CODE (default 0).
//
//   vek-guard-test-actor escape --pid-file PATH [--hold-ms MS]
//       Forks a member that leaves the process group (setpgid) and writes its
//       pid to `pid-file`; the member then sleeps up to 60 s and the root
//       exits 0 after `hold-ms` (default 300).
//
//   vek-guard-test-actor jump --bytes N [--delay-ms MS] --stamp PATH
//       Writes its pid to `stamp`.pid, sleeps `delay-ms`, then maps N bytes
//       populated in one call (the footprint jumps at once) and writes the
//       CLOCK_MONOTONIC time in nanoseconds taken just before the mapping to
//       `stamp`.
//
// Every behaviour that waits gives up after 60 s (exit 99), so a test that
// loses track of its command never leaves it running for long. Files are
// written under a temporary name and renamed, so a reader never sees half of
// one.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kGiveUpExit = 99;
constexpr int kUsageExit = 2;
constexpr int64_t kGiveUpNs = 60LL * 1'000'000'000LL;

volatile sig_atomic_t g_signal_seen = 0;

void on_signal(int) { g_signal_seen = 1; }

int64_t clock_ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// Sleeps up to `ms`; a caught signal cuts the sleep short.
void nap_ms(uint64_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
  nanosleep(&ts, nullptr);
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_exact(int fd, uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces `path` with `text` in one rename.
bool publish_file(const std::string& path, const std::string& text) {
  const std::string temp = path + ".part";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written =
      write_all(fd, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  ::close(fd);
  return written && ::rename(temp.c_str(), path.c_str()) == 0;
}

void put_u32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put_u64(uint8_t* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
uint64_t get_u64(const uint8_t* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | in[i];
  return v;
}

// Maps and touches `bytes` more anonymous memory, so it counts as footprint.
bool grow_by(uint64_t bytes) {
  if (bytes == 0) return true;
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return false;
  std::memset(block, 0x5a, bytes);
  return true;
}

using Options = std::map<std::string, std::string>;

// "--key value" pairs after the behaviour name.
bool parse_options(int argc, char** argv, Options& options) {
  for (int i = 2; i < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) return false;
    options[argv[i] + 2] = argv[i + 1];
  }
  return true;
}

uint64_t number(const Options& options, const std::string& key, uint64_t fallback) {
  const auto it = options.find(key);
  return it == options.end() ? fallback : std::strtoull(it->second.c_str(), nullptr, 10);
}

std::string text(const Options& options, const std::string& key) {
  const auto it = options.find(key);
  return it == options.end() ? std::string() : it->second;
}

// Checkpoint wire format: u32 body length, then "VGCP", version 1, kind.
constexpr size_t kNonceOffset = 6;
constexpr size_t kNonceBytes = 32;
constexpr size_t kNegotiationFrame = 4 + 38;
constexpr size_t kRequestFrame = 4 + 54;
constexpr size_t kAcknowledgementBody = 57;

bool valid_header(const uint8_t* frame, uint32_t body, uint8_t kind) {
  return frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == body &&
         std::memcmp(frame + 4, "VGCP", 4) == 0 && frame[8] == 1 && frame[9] == kind;
}

int run_client(const Options& options) {
  const std::string answer = text(options, "answer");
  if (answer != "accept" && answer != "refuse" && answer != "silent") return kUsageExit;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);

  const char* fd_text = std::getenv("VEK_GUARD_CHECKPOINT_FD");
  if (fd_text == nullptr) return 4;
  const int fd = std::atoi(fd_text);
  std::array<uint8_t, kNegotiationFrame> negotiation{};
  if (!read_exact(fd, negotiation.data(), negotiation.size()) ||
      !valid_header(negotiation.data(), 38, 3)) {
    return 4;
  }
  // The reply is the negotiation frame with the reply's kind: it echoes the
  // nonce, which proves this process holds the endpoint.
  std::array<uint8_t, kNegotiationFrame> reply = negotiation;
  reply[9] = 4;
  if (!write_all(fd, reply.data(), reply.size())) return 4;

  const uint64_t step = number(options, "step", 1 << 20);
  const uint64_t interval_ms = number(options, "interval-ms", 10);
  const uint64_t max = number(options, "max", 64ULL << 20);
  uint64_t held = 0;
  bool answered = false;
  const int64_t give_up = clock_ns(CLOCK_MONOTONIC) + kGiveUpNs;
  while (clock_ns(CLOCK_MONOTONIC) < give_up) {
    if (g_signal_seen != 0 && !answered) {
      answered = true;
      std::array<uint8_t, kRequestFrame> request{};
      if (!read_exact(fd, request.data(), request.size()) ||
          !valid_header(request.data(), 54, 1)) {
        return 5;
      }
      if (answer != "silent") {
        std::array<uint8_t, 4 + kAcknowledgementBody> ack{};
        put_u32(ack.data(), kAcknowledgementBody);
        std::memcpy(ack.data() + 4, "VGCP", 4);
        ack[8] = 1;
        ack[9] = 2;
        std::memcpy(ack.data() + 4 + kNonceOffset, request.data() + 4 + kNonceOffset, kNonceBytes);
        put_u64(ack.data() + 4 + 38, get_u64(request.data() + 4 + 38));
        if (answer == "accept") {
          ack[4 + 46] = 1;  // accepted
          ack[4 + 47] = 1;  // a file
          ack[4 + 48] = 1;  // with a size
          put_u64(ack.data() + 4 + 49, number(options, "artifact-size", 4096));
        } else {
          ack[4 + 46] = 2;  // not accepted, artifact none
        }
        if (!write_all(fd, ack.data(), ack.size())) return 5;
      }
    }
    if (held < max) {
      const uint64_t size = step < max - held ? step : max - held;
      if (!grow_by(size)) return 3;
      held += size;
    }
    nap_ms(interval_ms);
  }
  return kGiveUpExit;
}

int run_wait_signal(const Options& options) {
  const int signal_number = static_cast<int>(number(options, "signal", 0));
  if (signal_number <= 0 || signal_number >= NSIG) return kUsageExit;
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  if (sigaction(signal_number, &action, nullptr) != 0) return kUsageExit;
  const std::string ready = text(options, "ready");
  if (!ready.empty() && !publish_file(ready, "ready\n")) return 3;
  const int64_t give_up = clock_ns(CLOCK_MONOTONIC) + kGiveUpNs;
  while (g_signal_seen == 0) {
    if (clock_ns(CLOCK_MONOTONIC) >= give_up) return kGiveUpExit;
    nap_ms(100);
  }
  const int64_t arrived = clock_ns(CLOCK_REALTIME);
  const std::string stamp = text(options, "stamp");
  if (!stamp.empty() && !publish_file(stamp, std::to_string(arrived) + "\n")) return 3;
  return static_cast<int>(number(options, "exit", 0));
}

int run_escape(const Options& options) {
  const std::string pid_file = text(options, "pid-file");
  if (pid_file.empty()) return kUsageExit;
  const pid_t member = fork();
  if (member < 0) return 3;
  if (member == 0) {
    // Let go of the test's output pipes, so that its reader is not held up by
    // a process that outlives the run on purpose.
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, 1);
      dup2(null_fd, 2);
    }
    if (setpgid(0, 0) != 0) _exit(3);
    if (!publish_file(pid_file, std::to_string(getpid()) + "\n")) _exit(3);
    nap_ms(60'000);
    _exit(kGiveUpExit);
  }
  nap_ms(number(options, "hold-ms", 300));
  return 0;
}

int run_jump(const Options& options) {
  const std::string stamp = text(options, "stamp");
  const uint64_t bytes = number(options, "bytes", 0);
  if (stamp.empty() || bytes == 0) return kUsageExit;
  if (!publish_file(stamp + ".pid", std::to_string(getpid()) + "\n")) return 3;
  nap_ms(number(options, "delay-ms", 300));
  const int64_t before = clock_ns(CLOCK_MONOTONIC);
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) return 3;
  if (!publish_file(stamp, std::to_string(before) + "\n")) return 3;
  nap_ms(60'000);
  return kGiveUpExit;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return kUsageExit;
  Options options;
  if (!parse_options(argc, argv, options)) return kUsageExit;
  const std::string behaviour = argv[1];
  if (behaviour == "client") return run_client(options);
  if (behaviour == "wait-signal") return run_wait_signal(options);
  if (behaviour == "escape") return run_escape(options);
  if (behaviour == "jump") return run_jump(options);
  return kUsageExit;
}
