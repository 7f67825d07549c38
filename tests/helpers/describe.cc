// Reports what a launched command received from its launcher.
//
//   vek-guard-test-describe OUTPUT
//
// Writes OUTPUT (atomically, through OUTPUT.tmp and a rename), one fact per
// line, and exits with 0:
//
//   pid <pid>
//   pgid <process group>
//   cwd <working directory>
//   stdin devnull|tty|other|closed
//   sigpipe default|ignore|handler
//   sigmask <blocked signals as a hexadecimal bit set, bit n-1 for signal n>
//   pdeathsig <the signal the kernel sends it when its parent dies, 0 for none>
//   fd <n> cloexec=<0|1> <what /proc/self/fd/<n> points at>   (one per descriptor)
//   env <KEY=VALUE>                                            (one per entry, in order)
//
// The descriptor used to list /proc/self/fd is left out. It ends on its own
// after 60 seconds.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "helper_util.h"

extern char** environ;

namespace {

using vek_guard_helper::parse_u64;

std::string describe_stdin() {
  struct stat in {};
  if (::fstat(STDIN_FILENO, &in) != 0) return "closed";
  if (::isatty(STDIN_FILENO) == 1) return "tty";
  struct stat null {};
  if (::stat("/dev/null", &null) == 0 && S_ISCHR(in.st_mode) && in.st_rdev == null.st_rdev) {
    return "devnull";
  }
  return "other";
}

std::string describe_sigpipe() {
  struct sigaction action {};
  ::sigaction(SIGPIPE, nullptr, &action);
  if ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_DFL) return "default";
  if ((action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN) return "ignore";
  return "handler";
}

std::string describe_sigmask() {
  sigset_t mask;
  sigemptyset(&mask);
  ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  uint64_t bits = 0;
  for (int signal = 1; signal <= 64; ++signal) {
    if (sigismember(&mask, signal) == 1) bits |= uint64_t{1} << (signal - 1);
  }
  char text[32];
  std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(bits));
  return text;
}

std::string describe_descriptors() {
  std::string out;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return "fd-listing-failed\n";
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const auto fd = parse_u64(entry->d_name);
    if (!fd || static_cast<int>(*fd) == own) continue;
    const int flags = ::fcntl(static_cast<int>(*fd), F_GETFD);
    char target[PATH_MAX] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    out += "fd " + std::string(entry->d_name) +
           " cloexec=" + ((flags >= 0 && (flags & FD_CLOEXEC) != 0) ? "1" : "0") + " " +
           (length > 0 ? std::string(target, static_cast<size_t>(length)) : "?") + "\n";
  }
  ::closedir(dir);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  vek_guard_helper::bound_lifetime(60);
  if (argc != 2) vek_guard_helper::usage_error(argv[0], argv[argc - 1]);
  const std::string output = argv[1];
  std::string text;
  text += "pid " + std::to_string(::getpid()) + "\n";
  text += "pgid " + std::to_string(::getpgid(0)) + "\n";
  char cwd[PATH_MAX] = {};
  text += std::string("cwd ") + (::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";
  text += "stdin " + describe_stdin() + "\n";
  text += "sigpipe " + describe_sigpipe() + "\n";
  text += "sigmask " + describe_sigmask() + "\n";
  int parent_death_signal = -1;
  ::prctl(PR_GET_PDEATHSIG, &parent_death_signal);
  text += "pdeathsig " + std::to_string(parent_death_signal) + "\n";
  text += describe_descriptors();
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    text += std::string("env ") + *entry + "\n";
  }
  return vek_guard_helper::write_file_atomically(output, text) ? 0 : 3;
}
