// A command whose memory footprint grows in steps, for tests and the
// demonstration.
//
//   vek-guard-test-grow [--step BYTES] [--interval-ms MS] [--max BYTES]
//                       [--hold-ms MS] [--ignore-term] [--grow-on-term BYTES]
//                       [--exit CODE]
//
// Every interval it allocates `step` more bytes and writes to every page of
// them (so they count as anonymous resident memory), until `max` bytes are
// held; then it holds them for `hold-ms` and exits with `CODE` (default 0).
// Defaults: step 1 MiB, interval 10 ms, max 64 MiB, hold 0. With
// --ignore-term it ignores SIGTERM, so only SIGKILL ends it early. With
// --grow-on-term it ignores SIGTERM too, but once at `max` it waits (at most
// `hold-ms`) for one, answers it by allocating BYTES more at once, and then
// holds everything for `hold-ms`.
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

char* allocate_touched(uint64_t size) {
  char* block = static_cast<char*>(std::malloc(size));
  if (block != nullptr) std::memset(block, 0x5a, size);
  return block;
}

uint64_t parse_number(const char* text) { return std::strtoull(text, nullptr, 10); }

void sleep_ms(uint64_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t step = 1 << 20;
  uint64_t interval_ms = 10;
  uint64_t max = 64ULL << 20;
  uint64_t hold_ms = 0;
  int exit_code = 0;
  uint64_t grow_on_term = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--step" && has_value) {
      step = parse_number(argv[++i]);
    } else if (arg == "--interval-ms" && has_value) {
      interval_ms = parse_number(argv[++i]);
    } else if (arg == "--max" && has_value) {
      max = parse_number(argv[++i]);
    } else if (arg == "--hold-ms" && has_value) {
      hold_ms = parse_number(argv[++i]);
    } else if (arg == "--exit" && has_value) {
      exit_code = static_cast<int>(parse_number(argv[++i]));
    } else if (arg == "--ignore-term") {
      signal(SIGTERM, SIG_IGN);
    } else if (arg == "--grow-on-term" && has_value) {
      grow_on_term = parse_number(argv[++i]);
    } else {
      return 2;
    }
  }
  if (step == 0) step = 1;
  // Blocked from the start, SIGTERM is never acted on, and one that comes
  // early stays pending for the wait below.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  if (grow_on_term > 0) sigprocmask(SIG_BLOCK, &term, nullptr);
  std::vector<char*> blocks;
  uint64_t held = 0;
  while (held < max) {
    const uint64_t size = step < max - held ? step : max - held;
    char* block = allocate_touched(size);
    if (block == nullptr) return 3;
    blocks.push_back(block);
    held += size;
    if (held < max) sleep_ms(interval_ms);
  }
  if (grow_on_term > 0) {
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(hold_ms / 1000);
    wait.tv_nsec = static_cast<long>(hold_ms % 1000) * 1'000'000L;
    if (sigtimedwait(&term, nullptr, &wait) == SIGTERM) {
      char* block = allocate_touched(grow_on_term);
      if (block == nullptr) return 3;
      blocks.push_back(block);
    }
  }
  sleep_ms(hold_ms);
  for (char* block : blocks) std::free(block);
  return exit_code;
}
