// A command whose root forks a member of its process group that outlives it.
//
//   vek-guard-test-forker PIDFILE [--member-ignores-term]
//                         [--member-new-group] [--root-hold-ms MS] [--exit CODE]
//
// The root forks one member, writes the member's pid as "<pid>\n" to PIDFILE
// (atomically, once the member has set itself up), holds for MS milliseconds
// (default 0) and exits with CODE (default 0). The member points its standard
// streams at /dev/null (so it never keeps a test's pipes open), optionally
// ignores SIGTERM or moves to a process group of its own (escaping the
// owned group), and lives 30 seconds (SIGALRM) unless killed.
// Exit status 2 on bad arguments, 3 when the fork or the pid file fails.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "helper_util.h"

int main(int argc, char** argv) {
  vek_guard_helper::bound_lifetime(60);
  if (argc < 2) vek_guard_helper::usage_error(argv[0], nullptr);
  const std::string pid_file = argv[1];
  uint64_t root_hold_ms = 0;
  uint64_t exit_code = 0;
  bool ignore_term = false;
  bool new_group = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto number = vek_guard_helper::parse_u64(i + 1 < argc ? argv[i + 1] : nullptr);
    if (arg == "--member-ignores-term") {
      ignore_term = true;
    } else if (arg == "--member-new-group") {
      new_group = true;
    } else if (arg == "--root-hold-ms" && number) {
      root_hold_ms = *number;
      ++i;
    } else if (arg == "--exit" && number && *number < 256) {
      exit_code = *number;
      ++i;
    } else {
      vek_guard_helper::usage_error(argv[0], argv[i]);
    }
  }

  // The member reports through this pipe once it is set up, so the pid file
  // never names a member that might still be in the root's state.
  int ready[2];
  if (::pipe(ready) != 0) return 3;
  const pid_t member = ::fork();
  if (member < 0) return 3;
  if (member == 0) {
    ::close(ready[0]);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      if (null > 2) ::close(null);
    }
    if (ignore_term) ::signal(SIGTERM, SIG_IGN);
    if (new_group) ::setpgid(0, 0);
    vek_guard_helper::bound_lifetime(30);
    ::close(ready[1]);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte;
  while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
  }
  ::close(ready[0]);
  if (!vek_guard_helper::write_file_atomically(pid_file, std::to_string(member) + "\n")) return 3;
  vek_guard_helper::sleep_ms(root_hold_ms);
  return static_cast<int>(exit_code);
}
