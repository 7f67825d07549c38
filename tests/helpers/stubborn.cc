// A command that ignores SIGTERM, so that only SIGKILL ends it early.
//
//   vek-guard-test-stubborn [--ready-file PATH] [--also-int]
//                           [--wait-for-file GO] [--join-group PGID]
//                           [--hold-bytes N] [--exit-when-ready CODE]
//                           [--max-seconds N]
//
// Ignores SIGTERM (and SIGINT when asked). With --wait-for-file it
// then waits until GO exists (so a launcher can look at it first). With
// --join-group it moves itself into the existing process group PGID of its
// session, leaving the group it was started in empty. With --hold-bytes it
// then allocates N bytes and writes to every page. Then it writes "<pid>\n" to
// PATH (atomically) so a test knows the signals are already ignored, then
// sleeps, or exits with CODE right away when --exit-when-ready is given. It
// ends on its own (SIGALRM) after N seconds (default 60). Exit status 2 on bad
// arguments, 3 when joining the group or writing the file fails.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "helper_util.h"

int main(int argc, char** argv) {
  std::string ready_file;
  std::string go_file;
  uint64_t max_seconds = 60;
  std::optional<uint64_t> join_group;
  std::optional<uint64_t> exit_when_ready;
  uint64_t hold_bytes = 0;
  ::signal(SIGTERM, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (arg == "--also-int") {
      ::signal(SIGINT, SIG_IGN);
    } else if (arg == "--ready-file" && value != nullptr) {
      ready_file = value;
      ++i;
    } else if (arg == "--wait-for-file" && value != nullptr) {
      go_file = value;
      ++i;
    } else if (arg == "--join-group" && vek_guard_helper::parse_u64(value)) {
      join_group = vek_guard_helper::parse_u64(value);
      ++i;
    } else if (arg == "--hold-bytes" && vek_guard_helper::parse_u64(value)) {
      hold_bytes = *vek_guard_helper::parse_u64(value);
      ++i;
    } else if (arg == "--exit-when-ready" && vek_guard_helper::parse_u64(value)) {
      exit_when_ready = vek_guard_helper::parse_u64(value);
      ++i;
    } else if (arg == "--max-seconds" && vek_guard_helper::parse_u64(value)) {
      max_seconds = *vek_guard_helper::parse_u64(value);
      ++i;
    } else {
      vek_guard_helper::usage_error(argv[0], argv[i]);
    }
  }
  vek_guard_helper::bound_lifetime(max_seconds);
  if (!go_file.empty()) {
    while (::access(go_file.c_str(), F_OK) != 0) vek_guard_helper::sleep_ms(2);
  }
  if (join_group && ::setpgid(0, static_cast<pid_t>(*join_group)) != 0) return 3;
  if (hold_bytes > 0) {
    // Kept where the compiler must assume it is read.
    static void* volatile held = nullptr;
    held = std::malloc(hold_bytes);
    if (held == nullptr) return 3;
    std::memset(held, 0x5a, hold_bytes);
  }
  if (!ready_file.empty() &&
      !vek_guard_helper::write_file_atomically(ready_file, std::to_string(::getpid()) + "\n")) {
    return 3;
  }
  if (exit_when_ready) return static_cast<int>(*exit_when_ready);
  for (;;) ::pause();
}
