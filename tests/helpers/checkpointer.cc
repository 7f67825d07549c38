// A cooperative checkpoint client: speaks the checkpoint wire protocol from
// the command's side, with switches for misbehaving on purpose.
//
//   vek-guard-test-checkpointer [options]
//
// Protocol (on the descriptor named by VEK_GUARD_CHECKPOINT_FD):
//   --mode MODE          how to behave (default normal):
//       normal            negotiate; on SIGUSR1 read the request, answer it
//       wrong-nonce       answer with a nonce that differs in its first byte
//       wrong-request-id  answer for the request id + 1
//       malformed         answer with 61 bytes whose magic is wrong
//       close-early       on SIGUSR1 read the request, then close the endpoint
//       never-answer      on SIGUSR1 read the request and say nothing
//       bad-negotiation   reply to the negotiation with a wrong nonce
//       no-negotiation    read the negotiation and never reply
//       none              ignore the protocol (no variable needed); only
//                         the memory options below apply
//   --status N           acknowledgement status byte (default 1)
//   --artifact N         artifact kind byte, 0 none .. 3 opaque (default 1)
//   --has-size N         has-size byte (default 1)
//   --size BYTES         size field (default 4096)
//   --ack-delay-ms MS    wait before answering (default 0)
//   --exit-after-ack N   exit with N right after answering (default: stay)
// Memory:
//   --allocate BYTES     allocate and touch this much at start
//   --grow-step BYTES    then allocate and touch this much more ...
//   --grow-interval-ms MS  ... every MS milliseconds (default 10) ...
//   --grow-max BYTES     ... until this much is held in all (default: no growth)
// Observation:
//   --ready-file PATH    written with "<pid>\n" once the negotiation reply is
//                        sent (at start in modes none and no-negotiation)
//   --request-file PATH  written with "request_id N\ndeadline_ns N\n" when
//                        the request has been read
//   --max-seconds N      end on its own (SIGALRM) after N seconds (default 60)
//
// SIGUSR1 is blocked from the start and taken with sigtimedwait, so a signal
// that arrives early is kept, never fatal. Otherwise it runs until it is
// signalled or its lifetime ends. Exit statuses: --exit-after-ack's, 2 bad
// arguments, 3 the
// supervisor broke the protocol (bad frame, end of file), 4 no usable
// VEK_GUARD_CHECKPOINT_FD, 5 out of memory.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../../core/include/vek_guard/coding.h"
#include "helper_util.h"

namespace {

using vek_guard_helper::parse_u64;
using vek_guard_helper::read_exact;
using vek_guard_helper::write_all;

constexpr size_t kNonceBytes = 32;

enum class Mode {
  Normal,
  WrongNonce,
  WrongRequestId,
  Malformed,
  CloseEarly,
  NeverAnswer,
  BadNegotiation,
  NoNegotiation,
  None,
};

struct Options {
  Mode mode = Mode::Normal;
  uint8_t status = 1;
  uint8_t artifact = 1;
  uint8_t has_size = 1;
  uint64_t size = 4096;
  uint64_t ack_delay_ms = 0;
  std::optional<int> exit_after_ack;
  uint64_t allocate = 0;
  uint64_t grow_step = 0;
  uint64_t grow_interval_ms = 10;
  uint64_t grow_max = 0;
  std::string ready_file;
  std::string request_file;
  uint64_t max_seconds = 60;
};

std::optional<Mode> parse_mode(const std::string& text) {
  if (text == "normal") return Mode::Normal;
  if (text == "wrong-nonce") return Mode::WrongNonce;
  if (text == "wrong-request-id") return Mode::WrongRequestId;
  if (text == "malformed") return Mode::Malformed;
  if (text == "close-early") return Mode::CloseEarly;
  if (text == "never-answer") return Mode::NeverAnswer;
  if (text == "bad-negotiation") return Mode::BadNegotiation;
  if (text == "no-negotiation") return Mode::NoNegotiation;
  if (text == "none") return Mode::None;
  return std::nullopt;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) vek_guard_helper::usage_error(argv[0], argv[i]);
    const char* value = argv[++i];
    if (arg == "--mode") {
      const auto mode = parse_mode(value);
      if (!mode) vek_guard_helper::usage_error(argv[0], value);
      options.mode = *mode;
    } else if (arg == "--ready-file") {
      options.ready_file = value;
    } else if (arg == "--request-file") {
      options.request_file = value;
    } else {
      const auto number = parse_u64(value);
      const bool byte = number && *number < 256;
      if (arg == "--status" && byte) {
        options.status = static_cast<uint8_t>(*number);
      } else if (arg == "--artifact" && byte) {
        options.artifact = static_cast<uint8_t>(*number);
      } else if (arg == "--has-size" && byte) {
        options.has_size = static_cast<uint8_t>(*number);
      } else if (arg == "--size" && number) {
        options.size = *number;
      } else if (arg == "--ack-delay-ms" && number) {
        options.ack_delay_ms = *number;
      } else if (arg == "--exit-after-ack" && byte) {
        options.exit_after_ack = static_cast<int>(*number);
      } else if (arg == "--allocate" && number) {
        options.allocate = *number;
      } else if (arg == "--grow-step" && number) {
        options.grow_step = *number;
      } else if (arg == "--grow-interval-ms" && number) {
        options.grow_interval_ms = *number;
      } else if (arg == "--grow-max" && number) {
        options.grow_max = *number;
      } else if (arg == "--max-seconds" && number) {
        options.max_seconds = *number;
      } else {
        vek_guard_helper::usage_error(argv[0], argv[i - 1]);
      }
    }
  }
  return options;
}

// Memory that counts as the process's own resident footprint: every page is
// written.
class Ballast {
 public:
  bool add(uint64_t bytes) {
    if (bytes == 0) return true;
    char* block = static_cast<char*>(std::malloc(bytes));
    if (block == nullptr) return false;
    std::memset(block, 0x5a, bytes);
    blocks_.push_back(block);
    held_ += bytes;
    return true;
  }
  uint64_t held() const { return held_; }

 private:
  std::vector<char*> blocks_;  // held until exit on purpose
  uint64_t held_ = 0;
};

void put_header(std::vector<uint8_t>& out, uint32_t body, uint8_t kind) {
  uint8_t length[4];
  vek_guard::encode_be32(length, body);
  out.insert(out.end(), length, length + 4);
  out.insert(out.end(), {'V', 'G', 'C', 'P', 1, kind});
}

bool has_header(const uint8_t* frame, uint32_t body, uint8_t kind) {
  return vek_guard::decode_be32(frame) == body && std::memcmp(frame + 4, "VGCP", 4) == 0 &&
         frame[8] == 1 && frame[9] == kind;
}

struct Request {
  std::array<uint8_t, kNonceBytes> nonce{};
  uint64_t id = 0;
  uint64_t deadline_ns = 0;
};

std::vector<uint8_t> acknowledgement(const Options& options, const Request& request) {
  std::vector<uint8_t> out;
  put_header(out, 57, 2);
  std::array<uint8_t, kNonceBytes> nonce = request.nonce;
  if (options.mode == Mode::WrongNonce) nonce[0] ^= 0xff;
  out.insert(out.end(), nonce.begin(), nonce.end());
  uint8_t word[8];
  vek_guard::encode_be64(word, options.mode == Mode::WrongRequestId ? request.id + 1 : request.id);
  out.insert(out.end(), word, word + 8);
  out.insert(out.end(), {options.status, options.artifact, options.has_size});
  vek_guard::encode_be64(word, options.size);
  out.insert(out.end(), word, word + 8);
  if (options.mode == Mode::Malformed) out[4] = 'X';
  return out;
}

void mark_ready(const Options& options) {
  if (options.ready_file.empty()) return;
  vek_guard_helper::write_file_atomically(options.ready_file, std::to_string(::getpid()) + "\n");
}

// Returns the endpoint after the negotiation, or exits.
int negotiate(const Options& options) {
  const char* variable = std::getenv("VEK_GUARD_CHECKPOINT_FD");
  const auto number = parse_u64(variable);
  if (!number || *number > 1024) std::exit(4);
  const int fd = static_cast<int>(*number);

  uint8_t negotiation[42];
  if (!read_exact(fd, negotiation, sizeof negotiation)) std::exit(3);
  if (!has_header(negotiation, 38, 3)) std::exit(3);
  if (options.mode == Mode::NoNegotiation) {
    mark_ready(options);
    return fd;
  }
  std::vector<uint8_t> reply;
  put_header(reply, 38, 4);
  reply.insert(reply.end(), negotiation + 10, negotiation + 42);
  if (options.mode == Mode::BadNegotiation) reply[10] ^= 0xff;
  if (!write_all(fd, reply.data(), reply.size())) std::exit(3);
  mark_ready(options);
  return fd;
}

// Reads and checks the request that precedes SIGUSR1.
Request read_request(const Options& options, int fd) {
  uint8_t frame[58];
  if (!read_exact(fd, frame, sizeof frame) || !has_header(frame, 54, 1)) std::exit(3);
  Request request;
  std::memcpy(request.nonce.data(), frame + 10, kNonceBytes);
  request.id = vek_guard::decode_be64(frame + 42);
  request.deadline_ns = vek_guard::decode_be64(frame + 50);
  if (!options.request_file.empty()) {
    vek_guard_helper::write_file_atomically(
        options.request_file, "request_id " + std::to_string(request.id) + "\ndeadline_ns " +
                                  std::to_string(request.deadline_ns) + "\n");
  }
  return request;
}

// Handles the checkpoint signal; returns the exit status when the helper
// should end now.
std::optional<int> on_checkpoint_signal(const Options& options, int& fd) {
  if (fd < 0) return std::nullopt;  // already closed or answered
  const Request request = read_request(options, fd);
  switch (options.mode) {
    case Mode::CloseEarly:
      ::close(fd);
      fd = -1;
      return std::nullopt;
    case Mode::NeverAnswer:
      return std::nullopt;
    default:
      break;
  }
  vek_guard_helper::sleep_ms(options.ack_delay_ms);
  const std::vector<uint8_t> ack = acknowledgement(options, request);
  if (!write_all(fd, ack.data(), ack.size())) std::exit(3);
  if (options.exit_after_ack) return *options.exit_after_ack;
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  // Blocked before anything else: a checkpoint signal may come as soon as the
  // negotiation reply is out.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::sigprocmask(SIG_BLOCK, &usr1, nullptr);

  const Options options = parse(argc, argv);
  vek_guard_helper::bound_lifetime(options.max_seconds);

  Ballast ballast;
  if (!ballast.add(options.allocate)) return 5;

  int fd = -1;
  if (options.mode == Mode::None) {
    mark_ready(options);
  } else {
    fd = negotiate(options);
  }

  const bool growing = options.grow_step > 0 && options.grow_max > ballast.held();
  if (options.mode == Mode::None && !growing) {
    // Nothing to wait for but the lifetime bound.
    for (;;) ::pause();
  }
  for (;;) {
    const uint64_t wait_ms = growing ? options.grow_interval_ms : 1000;
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(wait_ms / 1000);
    timeout.tv_nsec = static_cast<long>(wait_ms % 1000) * 1'000'000L;
    if (::sigtimedwait(&usr1, nullptr, &timeout) == SIGUSR1) {
      if (const auto status = on_checkpoint_signal(options, fd)) return *status;
    }
    if (options.grow_step > 0 && ballast.held() < options.grow_max) {
      const uint64_t left = options.grow_max - ballast.held();
      if (!ballast.add(options.grow_step < left ? options.grow_step : left)) return 5;
    }
  }
}
