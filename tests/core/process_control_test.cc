#include "vek_guard/process_control.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/owned_process_waits.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/checkpoint.h"

namespace vek_guard {
namespace {

using std::chrono::seconds;
using test_support::eventually;
using test_support::helper_program;
using test_support::process_running;
using test_support::read_file;
using test_support::TempDir;
using test_support::wait_for_file;
using test_support::wait_for_root;
using ::testing::StartsWith;
using Lines = std::multiset<std::string>;

// The "key value" lines a describe helper wrote.
Lines lines_with(const std::string& text, const std::string& key) {
  Lines out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + " ", 0) == 0) out.insert(line.substr(key.size() + 1));
  }
  return out;
}

// The describe helper's line for descriptor `fd`, or "" when it had none.
std::string fd_line(const std::string& report, int fd) {
  for (const std::string& line : lines_with(report, "fd")) {
    if (std::stoi(line) == fd) return line;
  }
  return "";
}

// Waits for a launched describe helper and returns what it wrote.
std::string report_of(Result<OwnedProcess, LaunchError>& launched, const std::string& out) {
  if (!launched.ok()) {
    ADD_FAILURE() << launched.error().message();
    return "";
  }
  EXPECT_EQ(wait_for_root(*launched), ChildStatus::exited(0));
  return read_file(out);
}

// Restores the dispositions and the mask a test changes, whatever the outcome.
struct SignalStateGuard {
  static constexpr int kSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGPIPE};
  struct sigaction saved[std::size(kSignals)]{};
  sigset_t mask{};
  SignalStateGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], nullptr, &saved[i]);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
  }
  ~SignalStateGuard() {
    for (std::size_t i = 0; i < std::size(kSignals); ++i)
      ::sigaction(kSignals[i], &saved[i], nullptr);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
  }
};

bool handler_is(int signal, void (*handler)(int)) {
  struct sigaction action {};
  ::sigaction(signal, nullptr, &action);
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
}

// ---------------------------------------------------------------------------
// Launching.

TEST(Launch, RefusesBadCommandsBeforeRunningAnythingAndClosesTheEndpoint) {
  TempDir dir;
  const std::string out = dir.file("out");
  const std::string nul("a\0b", 3);
  const std::vector<std::string> describe = {helper_program("describe"), out};
  struct Row {
    const char* what;
    LaunchSpec spec;
    LaunchErrorKind kind;
    std::optional<int> os_error;
  };
  using K = LaunchErrorKind;
  // clang-format off
  const Row rows[] = {
      {"no argv", {}, K::EmptyArgv, {}},
      {"empty command", {.argv = {"", "x"}}, K::EmptyArgv, {}},
      {"cwd is a file", {.argv = describe, .working_directory = describe[0]},
       K::InvalidWorkingDirectory, ENOTDIR},
      {"not on the path", {.argv = {"vek-guard-no-such-command-on-path"}}, K::NotFound, ENOENT},
      {"NUL in argument", {.argv = {describe[0], out, nul}}, K::LaunchFailed, EINVAL},
      {"empty key", {.argv = describe, .environment = {{"", "v"}}}, K::LaunchFailed, EINVAL},
      {"= in key", {.argv = describe, .environment = {{"A=B", "v"}}}, K::LaunchFailed, EINVAL},
      {"NUL in key", {.argv = describe, .environment = {{nul, "v"}}}, K::LaunchFailed, EINVAL},
      {"NUL in value", {.argv = describe, .environment = {{"KEY", nul}}}, K::LaunchFailed, EINVAL},
      {"reserved variable", {.argv = describe, .environment = {{"VEK_GUARD_CHECKPOINT_FD", "5"}}},
       K::CheckpointConfiguration, {}},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    auto created = CheckpointChannel::pair(CheckpointNonce{});
    ASSERT_TRUE(created.ok());
    const int endpoint = created->child_end.get();
    auto launched = OwnedProcess::launch_with_checkpoint(row.spec, std::move(created->child_end));
    ASSERT_FALSE(launched.ok());
    EXPECT_EQ(launched.error(), (LaunchError{row.kind, row.os_error}));
    EXPECT_EQ(::fcntl(endpoint, F_GETFD), -1);  // closed even on failure
  }
  EXPECT_TRUE(read_file(out).empty());
}

TEST(Launch, ChildGetsTheEndpointOn198AndNoSignalStateOfOurs) {
  TempDir dir;
  SignalStateGuard guard;
  // Signal state of ours that must not leak: an ignored SIGPIPE and a blocked
  // signal. (Descriptors are checked end to end in CommandDescriptors.)
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);

  auto created = CheckpointChannel::pair(CheckpointNonce{});
  ASSERT_TRUE(created.ok());
  // Already on 198 with close-on-exec, where a dup2 onto itself would keep the
  // flag. (The usual case, from another number, is checked end to end.)
  UniqueFd on_198(::dup3(created->child_end.get(), 198, O_CLOEXEC));
  ASSERT_EQ(on_198.get(), 198);
  created->child_end.reset();
  const std::string out = dir.file("out");
  // Only the exact upper-case name of the variable is reserved.
  auto launched = OwnedProcess::launch_with_checkpoint(
      {.argv = {helper_program("describe"), out},
       .clear_environment = true,
       .environment = {{"ONLY", "this"}, {"vek_guard_checkpoint_fd", "5"}}},
      std::move(on_198));
  const std::string report = report_of(launched, out);
  ASSERT_TRUE(launched.ok());

  EXPECT_EQ(lines_with(report, "env"),
            (Lines{"ONLY=this", "VEK_GUARD_CHECKPOINT_FD=198", "vek_guard_checkpoint_fd=5"}));
  EXPECT_EQ(lines_with(report, "sigpipe"), Lines{"default"});
  EXPECT_EQ(lines_with(report, "sigmask"), Lines{"0"});
  EXPECT_EQ(lines_with(report, "pgid"), Lines{std::to_string(launched->root_pid())});
  EXPECT_EQ(launched->process_group(), launched->root_pid());
  EXPECT_THAT(fd_line(report, 198), StartsWith("198 cloexec=0 socket:"));
  EXPECT_EQ(::fcntl(198, F_GETFD), -1);  // our copy is closed
}

TEST(Launch, PlainLaunchGivesItsVariablesDirectoryAndDevNullForATerminal) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid() && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0);
  UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal.valid());
  UniqueFd saved_stdin(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  ASSERT_EQ(::dup2(terminal.get(), STDIN_FILENO), STDIN_FILENO);
  ASSERT_EQ(::setenv("VEK_GUARD_TEST_INHERITED", "yes", 1), 0);
  TempDir dir;
  const std::string out = dir.file("out");
  // A relative command is found from the child's working directory.
  auto inherited = OwnedProcess::launch({.argv = {"./vek-guard-test-describe", out},
                                         .working_directory = VEK_GUARD_HELPER_DIR,
                                         .environment = {{"VEK_GUARD_TEST_INHERITED", "new"}}});
  auto explicit_null = OwnedProcess::launch({.argv = {helper_program("describe"), dir.file("null")},
                                             .stdin_disposition = StdioDisposition::DevNull});
  ::unsetenv("VEK_GUARD_TEST_INHERITED");
  saved_stdin.valid() ? ::dup2(saved_stdin.get(), STDIN_FILENO) : ::close(STDIN_FILENO);

  ASSERT_TRUE(inherited.ok() && explicit_null.ok());
  EXPECT_TRUE(inherited->stdin_was_terminal());
  EXPECT_FALSE(explicit_null->stdin_was_terminal());
  const std::string report = report_of(inherited, out);
  EXPECT_EQ(lines_with(report, "stdin"), Lines{"devnull"});
  EXPECT_EQ(lines_with(report_of(explicit_null, dir.file("null")), "stdin"), Lines{"devnull"});
  const Lines env = lines_with(report, "env");
  EXPECT_EQ(env.count("VEK_GUARD_TEST_INHERITED=new"), 1u);
  EXPECT_EQ(env.count("VEK_GUARD_TEST_INHERITED=yes"), 0u);
  EXPECT_EQ(lines_with(report, "cwd"), Lines{VEK_GUARD_HELPER_DIR});
  EXPECT_EQ(fd_line(report, 198), "");
}

// ---------------------------------------------------------------------------
// Waiting for and signalling the group.

TEST(OwnedProcess, QuickExitIsLaunchedAndItsStatusKeptAndDecoded) {
  // Found on the search path, exits at once: often before anyone looks.
  auto process = OwnedProcess::launch({.argv = {"sh", "-c", "exit 7"}});
  ASSERT_TRUE(process.ok());
  EXPECT_TRUE(process->owns_group());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(7));
  // A second wait would fail (the child is reaped): the answer is cached.
  EXPECT_EQ(process->try_wait_root().value(), ChildStatus::exited(7));

  EXPECT_EQ(process_control::decode_wait_status(0x0300).value(), ChildStatus::exited(3));
  EXPECT_EQ(process_control::decode_wait_status(0x0009).value(), ChildStatus::signaled(9));
  EXPECT_EQ(process_control::decode_wait_status(0x008b).value(), ChildStatus::signaled(11));
  // Stopped (SIGSTOP) and continued statuses are not an end.
  for (int status : {0x137f, 0xffff}) {
    EXPECT_EQ(process_control::decode_wait_status(status).error(),
              (ControlError{ControlErrorKind::InvalidStatus, std::nullopt}));
  }
}

TEST(OwnedProcess, GroupSignalsReachMembersAndThenFindNothing) {
  TempDir dir;
  const std::string pid_file = dir.file("member");
  auto process = OwnedProcess::launch(
      {.argv = {helper_program("forker"), pid_file, "--root-hold-ms", "30000"}});
  ASSERT_TRUE(process.ok());
  ASSERT_TRUE(test_support::process_exists(std::stoi(wait_for_file(pid_file))));
  EXPECT_EQ(process->owned_group_exists().value(), true);

  EXPECT_EQ(process->terminate_group().value(), SignalDelivery::Delivered);
  EXPECT_EQ(wait_for_root(*process), ChildStatus::signaled(SIGTERM));
  ASSERT_TRUE(eventually(
      [&] {
        auto exists = process->owned_group_exists();
        return exists.ok() && !*exists;
      },
      seconds(20)));
  EXPECT_EQ(process->terminate_group().value(), SignalDelivery::ProcessMissing);
  EXPECT_EQ(process->kill_group().value(), SignalDelivery::ProcessMissing);
  EXPECT_EQ(process->forward_terminal_signal(SIGINT).value(), SignalDelivery::ProcessMissing);
}

TEST(OwnedProcess, RefusesForeignEndpointsAndNonTerminalSignalsFirst) {
  auto process = OwnedProcess::launch({.argv = {helper_program("stubborn")}});
  ASSERT_TRUE(process.ok());
  const int32_t root = process->root_pid();
  EXPECT_EQ(process->negotiate_checkpoint_endpoint(1234, root).value(),
            (CheckpointEndpoint{.start_time = 1234, .pid = root, .process_group = root}));
  for (int32_t pid : {::getpid(), 0, -1}) {
    EXPECT_EQ(process->negotiate_checkpoint_endpoint(1234, pid).error().kind,
              ControlErrorKind::EndpointNotOwned);
  }
  for (uint8_t signal : {uint8_t{9}, uint8_t{30}, uint8_t{0}, uint8_t{10}}) {
    EXPECT_EQ(process->forward_terminal_signal(signal).error(),
              (ControlError{ControlErrorKind::NotForwardable, std::nullopt}));
  }
  EXPECT_EQ(process->try_wait_root().value(), std::nullopt);  // nothing was sent

  // Without any group the refusal still comes first.
  OwnedProcess moved = std::move(*process);
  EXPECT_EQ(process->forward_terminal_signal(9).error().kind, ControlErrorKind::NotForwardable);
  EXPECT_EQ(process->forward_terminal_signal(15).error(),
            (ControlError{ControlErrorKind::DeliveryFailed, std::nullopt}));
  EXPECT_EQ(process->owned_group_exists().error().kind, ControlErrorKind::GroupQueryFailed);
  EXPECT_EQ(moved.kill_group().value(), SignalDelivery::Delivered);
  EXPECT_EQ(wait_for_root(moved), ChildStatus::signaled(SIGKILL));
}

// ---------------------------------------------------------------------------
// Dropping the owner.

void expect_reaped(pid_t pid) {
  errno = 0;
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(OwnedProcess, DropKillsTheWholeGroupAndReapsTheRoot) {
  TempDir dir;
  const std::string pid_file = dir.file("member");
  pid_t root = 0;
  pid_t member = 0;
  {
    auto process =
        OwnedProcess::launch({.argv = {helper_program("forker"), pid_file, "--member-ignores-term",
                                       "--root-hold-ms", "30000"}});
    ASSERT_TRUE(process.ok());
    root = process->root_pid();
    member = std::stoi(wait_for_file(pid_file));
  }
  expect_reaped(root);
  EXPECT_TRUE(eventually([&] { return !process_running(member); }, seconds(20)));
}

TEST(OwnedProcess, DropReapsARootWhoseGroupIsGone) {
  // The root moves itself into our group, which leaves its own group empty.
  for (bool root_exits : {true, false}) {
    SCOPED_TRACE(root_exits ? "root exited" : "root alive");
    TempDir dir;
    const std::string ready = dir.file("ready");
    const std::string go = dir.file("go");
    std::vector<std::string> argv = {
        helper_program("stubborn"),   "--wait-for-file", go,   "--join-group",
        std::to_string(::getpgid(0)), "--ready-file",    ready};
    if (root_exits) argv.insert(argv.end(), {"--exit-when-ready", "0"});
    pid_t root = 0;
    {
      auto process = OwnedProcess::launch({.argv = argv});
      ASSERT_TRUE(process.ok());
      root = process->root_pid();
      // Only now, after the launch saw its group, may the root leave it.
      ASSERT_EQ(test_support::run_subprocess({.argv = {"/bin/touch", go}}).exit_code, 0);
      wait_for_file(ready);
      EXPECT_EQ(process->owned_group_exists().value(), false);
      EXPECT_EQ(process->kill_group().value(), SignalDelivery::ProcessMissing);
    }
    expect_reaped(root);
  }
}

// ---------------------------------------------------------------------------
// Terminal signals.

TEST(TerminalSignalMonitor, PassesSignalsThroughItsPipeAndRestoresTheActionsOnDrop) {
  SignalStateGuard guard;
  ::signal(SIGHUP, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_IGN);
  EXPECT_EQ(process_control::hangup_is_ignored().value(), false);
  {
    auto first = TerminalSignalMonitor::install();
    ASSERT_TRUE(first.ok());
    EXPECT_TRUE(first->catches_hangup());
    EXPECT_TRUE(::fcntl(first->fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(first->poll().value().empty());
    // Only one at a time, and the refused attempt changes nothing.
    EXPECT_EQ(TerminalSignalMonitor::install().error(),
              (ControlError{ControlErrorKind::MonitorAlreadyInstalled, std::nullopt}));
    ::raise(SIGINT);
    ::raise(SIGTERM);
    ::raise(SIGHUP);
    pollfd readable{.fd = first->fd(), .events = POLLIN, .revents = 0};
    EXPECT_EQ(::poll(&readable, 1, 0), 1);
    EXPECT_EQ(first->poll().value(), (std::vector<uint8_t>{2, 15, 1}));
    EXPECT_TRUE(first->poll().value().empty());
    // The moved-from monitor must not uninstall the handlers.
    TerminalSignalMonitor moved = std::move(*first);
    ::raise(SIGTERM);
    EXPECT_EQ(moved.poll().value(), std::vector<uint8_t>{15});
  }
  EXPECT_TRUE(handler_is(SIGHUP, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGINT, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGTERM, SIG_IGN));

  // Under nohup SIGHUP stays ignored throughout; a new monitor may install.
  ::signal(SIGHUP, SIG_IGN);
  EXPECT_EQ(process_control::hangup_is_ignored().value(), true);
  {
    auto monitor = TerminalSignalMonitor::install();
    ASSERT_TRUE(monitor.ok());
    EXPECT_FALSE(monitor->catches_hangup());
    EXPECT_TRUE(handler_is(SIGHUP, SIG_IGN));
    ::raise(SIGHUP);
    EXPECT_TRUE(monitor->poll().value().empty());
  }
  EXPECT_TRUE(handler_is(SIGHUP, SIG_IGN));
}

// ---------------------------------------------------------------------------
// Client readiness.

TEST(ClientReady, RefusesStandardStreamsAndClosedDescriptorsAndLeavesThemAlone) {
  int closed[2];
  ASSERT_EQ(::pipe2(closed, O_CLOEXEC), 0);
  ::close(closed[0]);
  ::close(closed[1]);
  for (int fd : {0, 1, 2, -1, closed[1]}) {
    const int flags_before = ::fcntl(fd, F_GETFD);
    EXPECT_EQ(ClientReady::take(fd).error(),
              (ControlError{ControlErrorKind::ClientReadyConfiguration, EBADF}))
        << fd;
    EXPECT_EQ(::fcntl(fd, F_GETFD), flags_before);
  }
  EXPECT_FALSE(ClientReady::take(std::nullopt).value().holds_descriptor());
}

TEST(ProcessControl, ErrorTextsAndCheckpointSignal) {
  using L = LaunchErrorKind;
  using C = ControlErrorKind;
  EXPECT_EQ(error_message(L::EmptyArgv), "command argv is empty");
  EXPECT_EQ(error_message(L::LaunchFailed), "command launch failed");
  EXPECT_EQ(error_message(L::GroupNotValidated), "new process group could not be validated");
  EXPECT_EQ(error_message(L::CheckpointConfiguration),
            "checkpoint channel configuration is invalid");
  EXPECT_EQ(error_message(C::WaitFailed), "waiting for the root process failed");
  EXPECT_EQ(error_message(C::InvalidStatus), "root process returned an invalid Unix status");
  EXPECT_EQ(error_message(C::NotForwardable),
            "only SIGHUP, SIGINT, and SIGTERM can be forwarded as terminal signals");
  EXPECT_EQ(error_message(C::EndpointNotOwned),
            "checkpoint endpoint is not the identity it was negotiated for, or is not a live "
            "member of the owned process group");
  EXPECT_EQ(error_message(C::GroupQueryFailed), "owned process-group query failed");
  EXPECT_EQ(error_message(C::MonitorFailed), "terminal signal monitoring failed");
  EXPECT_EQ(error_message(C::MonitorAlreadyInstalled),
            "a terminal signal monitor is already installed");
  EXPECT_EQ(error_message(C::DeliveryFailed), "signal delivery failed");
  EXPECT_EQ(process_control::checkpoint_signal_usr1(), 10);
}

}  // namespace
}  // namespace vek_guard
