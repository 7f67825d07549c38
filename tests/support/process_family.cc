#include "support/process_family.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "vek_guard/platform_proc.h"

namespace vek_guard::test_support {
namespace {

constexpr auto kReapBudget = std::chrono::seconds(10);

void short_sleep() {
  const timespec delay{0, 1'000'000};
  ::nanosleep(&delay, nullptr);
}

// Kills every current child of this process.
void kill_children() {
  auto table = platform::ProcessTable::scan();
  if (!table) return;
  const pid_t self = ::getpid();
  for (const auto& entry : table->entries()) {
    if (entry.ppid == self) ::kill(entry.pid, SIGKILL);
  }
}

}  // namespace

ProcessFamily::ProcessFamily() { ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0); }

ProcessFamily::~ProcessFamily() {
  // Killing a child orphans its own children, which then come to us as the
  // subreaper; so kill and reap in rounds until nothing is left.
  const auto deadline = std::chrono::steady_clock::now() + kReapBudget;
  while (std::chrono::steady_clock::now() < deadline) {
    kill_children();
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(-1, &status, WNOHANG)) > 0) {
    }
    if (reaped < 0 && errno == ECHILD) break;
    short_sleep();
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
}

pid_t ProcessFamily::fork_child(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    ::_exit(0);
  }
  return pid;
}

void ProcessFamily::kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  const auto deadline = std::chrono::steady_clock::now() + kReapBudget;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) return;
    short_sleep();
  }
}

ReportPipe::ReportPipe() {
  int fds[2] = {-1, -1};
  if (::pipe2(fds, O_CLOEXEC) == 0) {
    read_.reset(fds[0]);
    write_.reset(fds[1]);
  }
}

void ReportPipe::send(int32_t value) const {
  ssize_t n = 0;
  do {
    n = ::write(write_.get(), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
}

std::optional<int32_t> ReportPipe::receive(std::chrono::milliseconds timeout) {
  pollfd poll_fd{read_.get(), POLLIN, 0};
  int ready = 0;
  do {
    ready = ::poll(&poll_fd, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready != 1) return std::nullopt;
  int32_t value = 0;
  ssize_t n = 0;
  do {
    n = ::read(read_.get(), &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) return std::nullopt;
  return value;
}

void sleep_forever() {
  for (;;) ::pause();
}

}  // namespace vek_guard::test_support
