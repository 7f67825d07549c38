#include "vek_guard/process_control.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/owned_process_waits.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/checkpoint.h"

namespace vek_guard {
namespace {

using std::chrono::seconds;
using test_support::eventually;
using test_support::helper_program;
using test_support::process_exists;
using test_support::read_file;
using test_support::TempDir;
using test_support::wait_for_file;
using test_support::wait_for_root;

// The "key value" lines a describe helper wrote.
std::multiset<std::string> lines_with(const std::string& text, const std::string& key) {
  std::multiset<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + " ", 0) == 0) out.insert(line.substr(key.size() + 1));
  }
  return out;
}

// Descriptors of this test process that a child would inherit no matter what
// the launcher does (inherited without close-on-exec from whoever ran us).
std::set<int> inheritable_descriptors() {
  std::set<int> fds;
  for (int fd = 0; fd < 1024; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fds.insert(fd);
  }
  return fds;
}

// Restores the dispositions and mask a test changes, whatever the outcome.
class SignalStateGuard {
 public:
  SignalStateGuard() {
    for (int signal : kSignals) ::sigaction(signal, nullptr, &saved_[index(signal)]);
    ::sigprocmask(SIG_BLOCK, nullptr, &mask_);
  }
  ~SignalStateGuard() {
    for (int signal : kSignals) ::sigaction(signal, &saved_[index(signal)], nullptr);
    ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
  }
  SignalStateGuard(const SignalStateGuard&) = delete;
  SignalStateGuard& operator=(const SignalStateGuard&) = delete;

 private:
  static constexpr int kSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGUSR2};
  static std::size_t index(int signal) {
    for (std::size_t i = 0; i < std::size(kSignals); ++i) {
      if (kSignals[i] == signal) return i;
    }
    return 0;
  }
  struct sigaction saved_[std::size(kSignals)]{};
  sigset_t mask_{};
};

bool handler_is(int signal, void (*handler)(int)) {
  struct sigaction action {};
  ::sigaction(signal, nullptr, &action);
  return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == handler;
}

// ---------------------------------------------------------------------------
// Launch errors.

TEST(Launch, RefusesAnEmptyCommandBeforeSpawning) {
  auto empty = OwnedProcess::launch({});
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind, LaunchErrorKind::EmptyArgv);
  EXPECT_EQ(empty.error().message(), "command argv is empty");
  auto blank = OwnedProcess::launch({.argv = {"", "x"}});
  ASSERT_FALSE(blank.ok());
  EXPECT_EQ(blank.error().kind, LaunchErrorKind::EmptyArgv);
}

TEST(Launch, WorkingDirectoryMustBeADirectory) {
  TempDir dir;
  const std::string file = dir.file("plain");
  ASSERT_TRUE(
      test_support::run_subprocess({.argv = {"/bin/sh", "-c", "touch " + file}}).exit_code == 0);
  for (const std::string& bad : {file, dir.file("missing")}) {
    auto launched = OwnedProcess::launch(
        {.argv = {helper_program("describe"), dir.file("out")}, .working_directory = bad});
    ASSERT_FALSE(launched.ok());
    EXPECT_EQ(launched.error().kind, LaunchErrorKind::InvalidWorkingDirectory);
    EXPECT_EQ(launched.error().message(), "child working directory is invalid");
  }
  EXPECT_TRUE(read_file(dir.file("out")).empty());  // nothing ran
}

TEST(Launch, SpawnFailuresAreMappedByCause) {
  TempDir dir;
  auto missing = OwnedProcess::launch({.argv = {"vek-guard-no-such-command-on-path"}});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, LaunchErrorKind::NotFound);
  EXPECT_EQ(missing.error().os_error, ENOENT);
  EXPECT_EQ(missing.error().message(), "command was not found");

  auto missing_path = OwnedProcess::launch({.argv = {dir.file("absent")}});
  ASSERT_FALSE(missing_path.ok());
  EXPECT_EQ(missing_path.error().kind, LaunchErrorKind::NotFound);

  const std::string script = dir.file("script");
  ASSERT_EQ(test_support::run_subprocess(
                {.argv = {"/bin/sh", "-c",
                          "printf '#!/bin/sh\\n' > " + script + " && chmod 0644 " + script}})
                .exit_code,
            0);
  auto not_executable = OwnedProcess::launch({.argv = {script}});
  ASSERT_FALSE(not_executable.ok());
  EXPECT_EQ(not_executable.error().kind, LaunchErrorKind::NotExecutable);
  EXPECT_EQ(not_executable.error().os_error, EACCES);
  EXPECT_EQ(not_executable.error().message(), "command is not executable");
}

TEST(Launch, MalformedEnvironmentOrArgumentsAreRefused) {
  for (const std::string& key : {std::string(), std::string("A=B"), std::string("A\0B", 3)}) {
    auto launched = OwnedProcess::launch({.argv = {"true"}, .environment = {{key, "v"}}});
    ASSERT_FALSE(launched.ok());
    EXPECT_EQ(launched.error().kind, LaunchErrorKind::LaunchFailed);
    EXPECT_EQ(launched.error().os_error, EINVAL);
  }
  auto nul_value =
      OwnedProcess::launch({.argv = {"true"}, .environment = {{"KEY", std::string("a\0b", 3)}}});
  EXPECT_EQ(nul_value.error().kind, LaunchErrorKind::LaunchFailed);
  auto nul_argument = OwnedProcess::launch({.argv = {"true", std::string("a\0b", 3)}});
  EXPECT_EQ(nul_argument.error().kind, LaunchErrorKind::LaunchFailed);
}

TEST(Launch, ErrorTexts) {
  EXPECT_EQ(error_message(LaunchErrorKind::LaunchFailed), "command launch failed");
  EXPECT_EQ(error_message(LaunchErrorKind::GroupNotValidated),
            "new process group could not be validated");
  EXPECT_EQ(error_message(LaunchErrorKind::CheckpointConfiguration),
            "checkpoint channel configuration is invalid");
}

// ---------------------------------------------------------------------------
// What the child receives.

struct CheckpointLaunch {
  CheckpointChannel channel;
  Result<OwnedProcess, LaunchError> process;
};

CheckpointLaunch launch_with_channel(const LaunchSpec& spec) {
  auto created = CheckpointChannel::pair(CheckpointNonce{});
  EXPECT_TRUE(created.ok());
  auto process = OwnedProcess::launch_with_checkpoint(spec, std::move(created->child_end));
  return {std::move(created->channel), std::move(process)};
}

TEST(Launch, ChildGetsEndpointOn198AndNothingElseOfOurs) {
  TempDir dir;
  SignalStateGuard guard;
  // State of ours that must not leak: ignored SIGPIPE, a blocked signal, and
  // descriptors of every kind this program opens.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  auto other_channel = CheckpointChannel::pair(CheckpointNonce{});
  ASSERT_TRUE(other_channel.ok());
  UniqueFd file(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const std::set<int> inheritable = inheritable_descriptors();

  const std::string out = dir.file("out");
  CheckpointLaunch launch = launch_with_channel({.argv = {helper_program("describe"), out},
                                                 .clear_environment = true,
                                                 .environment = {{"ONLY", "this"}}});
  ASSERT_TRUE(launch.process.ok()) << launch.process.error().message();
  ASSERT_EQ(wait_for_root(*launch.process), ChildStatus::exited(0));
  const std::string report = read_file(out);

  EXPECT_EQ(lines_with(report, "env"),
            (std::multiset<std::string>{"ONLY=this", "VEK_GUARD_CHECKPOINT_FD=198"}));
  EXPECT_EQ(lines_with(report, "sigpipe"), std::multiset<std::string>{"default"});
  EXPECT_EQ(lines_with(report, "sigmask"), std::multiset<std::string>{"0"});
  const auto pid = std::to_string(launch.process->root_pid());
  EXPECT_EQ(lines_with(report, "pgid"), std::multiset<std::string>{pid});
  EXPECT_EQ(launch.process->process_group(), launch.process->root_pid());

  bool saw_endpoint = false;
  for (const std::string& fd_line : lines_with(report, "fd")) {
    const int fd = std::stoi(fd_line);
    if (fd == 198) {
      saw_endpoint = true;
      EXPECT_NE(fd_line.find("cloexec=0 socket:"), std::string::npos) << fd_line;
      continue;
    }
    EXPECT_TRUE(fd <= 2 || inheritable.contains(fd)) << "leaked: " << fd_line;
  }
  EXPECT_TRUE(saw_endpoint);
}

TEST(Launch, EndpointAlreadyOn198LosesCloseOnExec) {
  TempDir dir;
  auto created = CheckpointChannel::pair(CheckpointNonce{});
  ASSERT_TRUE(created.ok());
  UniqueFd on_198(::dup3(created->child_end.get(), 198, O_CLOEXEC));
  ASSERT_EQ(on_198.get(), 198);
  created->child_end.reset();

  const std::string out = dir.file("out");
  auto process = OwnedProcess::launch_with_checkpoint({.argv = {helper_program("describe"), out}},
                                                      std::move(on_198));
  ASSERT_TRUE(process.ok());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  bool found = false;
  for (const std::string& fd_line : lines_with(read_file(out), "fd")) {
    if (fd_line.rfind("198 ", 0) == 0) {
      found = true;
      EXPECT_NE(fd_line.find("cloexec=0"), std::string::npos) << fd_line;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(::fcntl(198, F_GETFD), -1);  // our copy is closed
}

TEST(Launch, ReservedVariableIsRefusedOnlyByItsExactName) {
  TempDir dir;
  auto created = CheckpointChannel::pair(CheckpointNonce{});
  ASSERT_TRUE(created.ok());
  const int endpoint = created->child_end.get();
  auto refused =
      OwnedProcess::launch_with_checkpoint({.argv = {helper_program("describe"), dir.file("out")},
                                            .environment = {{"VEK_GUARD_CHECKPOINT_FD", "5"}}},
                                           std::move(created->child_end));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, LaunchErrorKind::CheckpointConfiguration);
  EXPECT_EQ(refused.error().message(), "checkpoint channel configuration is invalid");
  EXPECT_EQ(::fcntl(endpoint, F_GETFD), -1);  // closed even on failure

  const std::string out = dir.file("out");
  CheckpointLaunch launch =
      launch_with_channel({.argv = {helper_program("describe"), out},
                           .clear_environment = true,
                           .environment = {{"vek_guard_checkpoint_fd", "5"}}});
  ASSERT_TRUE(launch.process.ok());
  ASSERT_EQ(wait_for_root(*launch.process), ChildStatus::exited(0));
  EXPECT_EQ(
      lines_with(read_file(out), "env"),
      (std::multiset<std::string>{"VEK_GUARD_CHECKPOINT_FD=198", "vek_guard_checkpoint_fd=5"}));
}

TEST(Launch, PlainLaunchKeepsTheEnvironmentAndHandsNoEndpoint) {
  TempDir dir;
  ASSERT_EQ(::setenv("VEK_GUARD_TEST_INHERITED", "yes", 1), 0);
  const std::string out = dir.file("out");
  auto process = OwnedProcess::launch({.argv = {helper_program("describe"), out},
                                       .working_directory = dir.path(),
                                       .environment = {{"VEK_GUARD_TEST_INHERITED", "replaced"}}});
  ::unsetenv("VEK_GUARD_TEST_INHERITED");
  ASSERT_TRUE(process.ok());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  const std::string report = read_file(out);
  const auto env = lines_with(report, "env");
  EXPECT_TRUE(env.contains("VEK_GUARD_TEST_INHERITED=replaced"));
  EXPECT_FALSE(env.contains("VEK_GUARD_TEST_INHERITED=yes"));
  EXPECT_EQ(lines_with(report, "cwd"), std::multiset<std::string>{dir.path()});
  for (const std::string& fd_line : lines_with(report, "fd")) {
    EXPECT_NE(fd_line.rfind("198 ", 0), 0U);
  }
}

TEST(Launch, RelativeCommandIsFoundFromTheWorkingDirectory) {
  TempDir dir;
  auto process = OwnedProcess::launch({.argv = {"./vek-guard-test-describe", dir.file("out")},
                                       .working_directory = VEK_GUARD_HELPER_DIR});
  ASSERT_TRUE(process.ok()) << process.error().message();
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  EXPECT_EQ(lines_with(read_file(dir.file("out")), "cwd"),
            std::multiset<std::string>{VEK_GUARD_HELPER_DIR});
}

TEST(Launch, TerminalStandardInputIsReplacedByDevNull) {
  // Make our own standard input a terminal for the launch.
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid());
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal.valid());
  UniqueFd saved_stdin(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  ASSERT_EQ(::dup2(terminal.get(), STDIN_FILENO), STDIN_FILENO);

  TempDir dir;
  auto process = OwnedProcess::launch({.argv = {helper_program("describe"), dir.file("tty")}});
  auto explicit_null = OwnedProcess::launch({.argv = {helper_program("describe"), dir.file("null")},
                                             .stdin_disposition = StdioDisposition::DevNull});
  if (saved_stdin.valid()) {
    ::dup2(saved_stdin.get(), STDIN_FILENO);
  } else {
    ::close(STDIN_FILENO);
  }

  ASSERT_TRUE(process.ok());
  EXPECT_TRUE(process->stdin_was_terminal());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  EXPECT_EQ(lines_with(read_file(dir.file("tty")), "stdin"), std::multiset<std::string>{"devnull"});

  ASSERT_TRUE(explicit_null.ok());
  EXPECT_FALSE(explicit_null->stdin_was_terminal());
  ASSERT_EQ(wait_for_root(*explicit_null), ChildStatus::exited(0));
  EXPECT_EQ(lines_with(read_file(dir.file("null")), "stdin"),
            std::multiset<std::string>{"devnull"});
}

// ---------------------------------------------------------------------------
// Waiting for the root.

TEST(OwnedProcess, QuickExitIsLaunchedAndItsStatusIsKept) {
  // Found on the search path, exits at once: often before anyone looks.
  auto process = OwnedProcess::launch({.argv = {"sh", "-c", "exit 7"}});
  ASSERT_TRUE(process.ok());
  EXPECT_TRUE(process->owns_group());
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(7));
  // A second wait would fail (the child is reaped): the answer is cached.
  EXPECT_EQ(process->try_wait_root().value(), ChildStatus::exited(7));
}

TEST(OwnedProcess, WaitStatusDecoding) {
  EXPECT_EQ(process_control::decode_wait_status(0x0300).value(), ChildStatus::exited(3));
  EXPECT_EQ(process_control::decode_wait_status(0x0009).value(), ChildStatus::signaled(9));
  EXPECT_EQ(process_control::decode_wait_status(0x008b).value(), ChildStatus::signaled(11));
  // Stopped (SIGSTOP) and continued statuses are not an end.
  for (int status : {0x137f, 0xffff}) {
    auto decoded = process_control::decode_wait_status(status);
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().kind, ControlErrorKind::InvalidStatus);
    EXPECT_EQ(decoded.error().message(), "root process returned an invalid Unix status");
  }
}

// ---------------------------------------------------------------------------
// Signalling the group.

TEST(OwnedProcess, GroupSignalsReachMembersAndThenFindNothing) {
  TempDir dir;
  const std::string pid_file = dir.file("member");
  auto process = OwnedProcess::launch(
      {.argv = {helper_program("forker"), pid_file, "--root-hold-ms", "30000"}});
  ASSERT_TRUE(process.ok());
  const pid_t member = std::stoi(wait_for_file(pid_file));
  ASSERT_TRUE(process_exists(member));
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

TEST(OwnedProcess, ForwardingRefusesNonTerminalSignalsFirst) {
  auto process = OwnedProcess::launch({.argv = {helper_program("stubborn")}});
  ASSERT_TRUE(process.ok());
  for (uint8_t signal : {uint8_t{9}, uint8_t{30}, uint8_t{0}, uint8_t{10}}) {
    auto forwarded = process->forward_terminal_signal(signal);
    ASSERT_FALSE(forwarded.ok());
    EXPECT_EQ(forwarded.error().kind, ControlErrorKind::NotForwardable);
    EXPECT_EQ(forwarded.error().message(),
              "only SIGHUP, SIGINT, and SIGTERM can be forwarded as terminal signals");
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

TEST(OwnedProcess, EndpointMustBeInTheOwnedGroup) {
  auto process = OwnedProcess::launch({.argv = {helper_program("stubborn")}});
  ASSERT_TRUE(process.ok());
  auto endpoint = process->negotiate_checkpoint_endpoint(1234, process->root_pid());
  ASSERT_TRUE(endpoint.ok());
  EXPECT_EQ(*endpoint, (CheckpointEndpoint{.start_time = 1234,
                                           .pid = process->root_pid(),
                                           .process_group = process->root_pid()}));
  for (int32_t pid : {::getpid(), 0, -1}) {
    auto refused = process->negotiate_checkpoint_endpoint(1234, pid);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ControlErrorKind::EndpointNotOwned);
  }
  EXPECT_EQ(process->control_handle().process_group(), process->root_pid());
}

// ---------------------------------------------------------------------------
// Dropping and relinquishing.

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
  errno = 0;
  EXPECT_EQ(::waitpid(root, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_TRUE(eventually([&] { return !test_support::process_running(member); }, seconds(20)));
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
      ASSERT_EQ(test_support::run_subprocess({.argv = {"/bin/sh", "-c", "touch " + go}}).exit_code,
                0);
      wait_for_file(ready);
      EXPECT_EQ(process->owned_group_exists().value(), false);
      EXPECT_EQ(process->kill_group().value(), SignalDelivery::ProcessMissing);
    }
    errno = 0;
    EXPECT_EQ(::waitpid(root, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
  }
}

TEST(OwnedProcess, RelinquishLeavesTheGroupRunning) {
  TempDir dir;
  const std::string pid_file = dir.file("member");
  auto process = OwnedProcess::launch({.argv = {helper_program("forker"), pid_file}});
  ASSERT_TRUE(process.ok());
  const pid_t member = std::stoi(wait_for_file(pid_file));
  ASSERT_EQ(wait_for_root(*process), ChildStatus::exited(0));
  const pid_t group = *process->process_group();
  std::move(*process).relinquish();
  EXPECT_FALSE(process->owns_group());
  EXPECT_TRUE(test_support::process_running(member));
  ::kill(-group, SIGKILL);  // our own clean-up; the member is not our child
  EXPECT_TRUE(eventually([&] { return !test_support::process_running(member); }, seconds(20)));
}

// ---------------------------------------------------------------------------
// Terminal signals.

TEST(TerminalSignalMonitor, CatchesTerminalSignalsThroughThePipe) {
  SignalStateGuard guard;
  ::signal(SIGHUP, SIG_DFL);
  auto monitor = TerminalSignalMonitor::install();
  ASSERT_TRUE(monitor.ok());
  EXPECT_TRUE(monitor->catches_hangup());
  EXPECT_TRUE(::fcntl(monitor->fd(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(monitor->poll().value().empty());

  ::raise(SIGINT);
  ::raise(SIGTERM);
  ::raise(SIGHUP);
  pollfd readable{.fd = monitor->fd(), .events = POLLIN, .revents = 0};
  EXPECT_EQ(::poll(&readable, 1, 0), 1);
  EXPECT_EQ(monitor->poll().value(), (std::vector<uint8_t>{2, 15, 1}));
  EXPECT_TRUE(monitor->poll().value().empty());
}

TEST(TerminalSignalMonitor, OnlyOneAtATimeAndDropRestoresTheActions) {
  SignalStateGuard guard;
  ::signal(SIGHUP, SIG_DFL);
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_IGN);
  {
    auto first = TerminalSignalMonitor::install();
    ASSERT_TRUE(first.ok());
    auto second = TerminalSignalMonitor::install();
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().kind, ControlErrorKind::MonitorAlreadyInstalled);
    EXPECT_EQ(second.error().message(), "a terminal signal monitor is already installed");
    // The failed attempt changed nothing: the first still works.
    ::raise(SIGINT);
    EXPECT_EQ(first->poll().value(), std::vector<uint8_t>{2});
    // Moving the monitor keeps a single installation.
    TerminalSignalMonitor moved = std::move(*first);
    ::raise(SIGTERM);
    EXPECT_EQ(moved.poll().value(), std::vector<uint8_t>{15});
  }
  EXPECT_TRUE(handler_is(SIGHUP, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGINT, SIG_DFL));
  EXPECT_TRUE(handler_is(SIGTERM, SIG_IGN));
  auto again = TerminalSignalMonitor::install();
  EXPECT_TRUE(again.ok());
}

TEST(TerminalSignalMonitor, IgnoredHangupStaysIgnored) {
  SignalStateGuard guard;
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
  ::signal(SIGHUP, SIG_DFL);
  EXPECT_EQ(process_control::hangup_is_ignored().value(), false);
}

// ---------------------------------------------------------------------------
// Client readiness.

TEST(ClientReady, StandardStreamsAreRefusedAndLeftOpen) {
  for (int fd : {0, 1, 2}) {
    const int flags_before = ::fcntl(fd, F_GETFD);
    auto taken = ClientReady::take(fd);
    ASSERT_FALSE(taken.ok());
    EXPECT_EQ(taken.error(), (ControlError{ControlErrorKind::ClientReadyConfiguration, EBADF}));
    EXPECT_EQ(taken.error().message(), "client readiness descriptor configuration failed");
    EXPECT_EQ(::fcntl(fd, F_GETFD), flags_before);
  }
  EXPECT_EQ(ClientReady::take(-1).error().kind, ControlErrorKind::ClientReadyConfiguration);
  EXPECT_FALSE(ClientReady::take(std::nullopt).value().holds_descriptor());
}

TEST(ClientReady, ClosedOnNotifyAndOnDrop) {
  for (bool notify : {true, false}) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);  // without close-on-exec, as a client passes it
    UniqueFd client_side(ends[0]);
    {
      auto ready = ClientReady::take(ends[1]);
      ASSERT_TRUE(ready.ok());
      EXPECT_TRUE(::fcntl(ends[1], F_GETFD) & FD_CLOEXEC);
      if (notify) {
        std::move(*ready).notify();
        EXPECT_FALSE(ready->holds_descriptor());
        char byte;
        EXPECT_EQ(::read(client_side.get(), &byte, 1), 0);
      }
    }
    char byte;
    EXPECT_EQ(::read(client_side.get(), &byte, 1), 0);
    EXPECT_EQ(::fcntl(ends[1], F_GETFD), -1);
  }
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ::close(ends[0]);
  ::close(ends[1]);
  EXPECT_EQ(ClientReady::take(ends[1]).error(),
            (ControlError{ControlErrorKind::ClientReadyConfiguration, EBADF}));
}

TEST(ProcessControl, ErrorTextsAndCheckpointSignal) {
  EXPECT_EQ(error_message(ControlErrorKind::WaitFailed), "waiting for the root process failed");
  EXPECT_EQ(error_message(ControlErrorKind::EndpointNotOwned),
            "checkpoint endpoint is not the identity it was negotiated for, or is not a live "
            "member of the owned process group");
  EXPECT_EQ(error_message(ControlErrorKind::GroupQueryFailed), "owned process-group query failed");
  EXPECT_EQ(error_message(ControlErrorKind::MonitorFailed), "terminal signal monitoring failed");
  EXPECT_EQ(error_message(ControlErrorKind::DeliveryFailed), "signal delivery failed");
  EXPECT_EQ(process_control::checkpoint_signal_usr1(), 10);
}

}  // namespace
}  // namespace vek_guard
