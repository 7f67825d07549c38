#include "vek_guard/process_control.h"

#include <errno.h>
#include <fcntl.h>
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
#include "support/signal_state.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/checkpoint.h"
#include "vek_guard/supervisor_signals.h"

namespace vek_guard {
namespace {

using std::chrono::seconds;
using test_support::eventually;
using test_support::helper_program;
using test_support::read_file;
using test_support::SignalStateGuard;
using test_support::TempDir;
using test_support::wait_for_file;
using test_support::wait_for_root;
using ::testing::Contains;
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

TEST(Launch, RefusesBadCommandsBeforeRunningAnythingAndClosesTheEndpoint) {
  TempDir dir;
  const std::string out = dir.file("out");
  const std::string nul("a\0b", 3);
  const std::vector<std::string> describe = {helper_program("describe"), out};
  using K = LaunchErrorKind;
  const struct {
    LaunchSpec spec;
    LaunchErrorKind kind;
    std::optional<int> os_error;
  } rows[] = {
      {{}, K::EmptyArgv, {}},
      {{.argv = {"", "x"}}, K::EmptyArgv, {}},
      {{.argv = {describe[0], out, nul}}, K::LaunchFailed, EINVAL},
      {{.argv = describe, .environment = {{"A=B", "v"}}}, K::LaunchFailed, EINVAL},
      {{.argv = describe, .environment = {{"VEK_GUARD_CHECKPOINT_FD", "5"}}},
       K::CheckpointConfiguration,
       {}},
  };
  for (const auto& [spec, kind, os_error] : rows) {
    auto created = CheckpointChannel::pair(CheckpointNonce{});
    ASSERT_TRUE(created.ok());
    const int endpoint = created->child_end.get();
    auto launched = OwnedProcess::launch_with_checkpoint(spec, std::move(created->child_end));
    EXPECT_EQ(launched.error(), (LaunchError{kind, os_error}));
    EXPECT_EQ(::fcntl(endpoint, F_GETFD), -1) << launched.error().message();
  }
  EXPECT_TRUE(read_file(out).empty());
}

// The child starts clean: no signal state of ours, no terminal stdin, only
// the variables it is given, and the endpoint on 198 without close-on-exec.
TEST(Launch, ChildGetsTheEndpointOn198AndNothingElseOfOurs) {
  SignalStateGuard guard;
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(master.valid() && ::grantpt(master.get()) == 0 && ::unlockpt(master.get()) == 0);
  UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal.valid());
  UniqueFd saved_stdin(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
  ASSERT_EQ(::dup2(terminal.get(), STDIN_FILENO), STDIN_FILENO);

  auto created = CheckpointChannel::pair(CheckpointNonce{});
  ASSERT_TRUE(created.ok());
  // Already on 198 with close-on-exec, where a dup2 onto itself would keep
  // the flag.
  UniqueFd on_198(::dup3(created->child_end.get(), 198, O_CLOEXEC));
  ASSERT_EQ(on_198.get(), 198);
  created->child_end.reset();
  TempDir dir;
  const std::string out = dir.file("out");
  // Only the exact upper-case name of the variable is reserved.
  auto launched = OwnedProcess::launch_with_checkpoint(
      {.argv = {helper_program("describe"), out},
       .working_directory = dir.path(),
       .clear_environment = true,
       .environment = {{"ONLY", "this"}, {"vek_guard_checkpoint_fd", "5"}}},
      std::move(on_198));
  saved_stdin.valid() ? ::dup2(saved_stdin.get(), STDIN_FILENO) : ::close(STDIN_FILENO);
  ASSERT_TRUE(launched.ok()) << launched.error().message();
  ASSERT_EQ(wait_for_root(*launched), ChildStatus::exited(0));
  const std::string report = read_file(out);
  EXPECT_TRUE(launched->stdin_was_terminal());
  EXPECT_EQ(lines_with(report, "stdin"), Lines{"devnull"});
  EXPECT_EQ(lines_with(report, "env"),
            (Lines{"ONLY=this", "VEK_GUARD_CHECKPOINT_FD=198", "vek_guard_checkpoint_fd=5"}));
  EXPECT_EQ(lines_with(report, "cwd"), Lines{dir.path()});
  EXPECT_EQ(lines_with(report, "sigpipe"), Lines{"default"});
  EXPECT_EQ(lines_with(report, "sigmask"), Lines{"0"});
  EXPECT_EQ(lines_with(report, "pgid"), Lines{std::to_string(launched->root_pid())});
  EXPECT_THAT(lines_with(report, "fd"), Contains(StartsWith("198 cloexec=0 socket:")));
  EXPECT_EQ(::fcntl(198, F_GETFD), -1);  // our copy is closed
}

TEST(OwnedProcess, GroupSignalsReachMembersAndOnlyMembersAreEndpoints) {
  TempDir dir;
  const std::string pid_file = dir.file("member");
  auto process = OwnedProcess::launch(
      {.argv = {helper_program("forker"), pid_file, "--root-hold-ms", "30000"}});
  ASSERT_TRUE(process.ok());
  const int32_t member = std::stoi(wait_for_file(pid_file));
  const int32_t group = process->root_pid();
  EXPECT_EQ(process->negotiate_checkpoint_endpoint(1234, member).value(),
            (CheckpointEndpoint{.start_time = 1234, .pid = member, .process_group = group}));
  for (int32_t pid : {::getpid(), 0}) {
    EXPECT_EQ(process->negotiate_checkpoint_endpoint(1234, pid).error().kind,
              ControlErrorKind::EndpointNotOwned);
  }
  EXPECT_EQ(process->owned_group_exists().value(), true);

  EXPECT_EQ(process->terminate_group().value(), SignalDelivery::Delivered);
  EXPECT_EQ(wait_for_root(*process), ChildStatus::signaled(SIGTERM));
}

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
  EXPECT_TRUE(eventually([&] { return !test_support::process_running(member); }, seconds(20)));
}

// The root's exit is seen without collecting it: its zombie keeps the pid,
// which is the group's id, from anyone else until the group is dropped or
// given up, and only then is it reaped.
TEST(OwnedProcess, TheRootIsReapedOnlyWhenTheGroupIsDroppedOrGivenUp) {
  for (const bool give_up : {false, true}) {
    SCOPED_TRACE(give_up ? "given up" : "dropped");
    pid_t root = 0;
    {
      auto process = OwnedProcess::launch({.argv = {"/bin/sh", "-c", "exit 3"}});
      ASSERT_TRUE(process.ok());
      root = process->root_pid();
      EXPECT_EQ(wait_for_root(*process), ChildStatus::exited(3));
      EXPECT_EQ(process->try_wait_root().value(), ChildStatus::exited(3));
      EXPECT_EQ(test_support::process_state(root), 'Z');
      EXPECT_EQ(process->owned_group_exists().value(), true);
      if (give_up) {
        std::move(*process).relinquish();
        expect_reaped(root);
      }
    }
    expect_reaped(root);
  }
}

// A root that moved itself out (into our group) is beyond the group kill, yet
// the drop must neither wait for it forever nor leave it running.
TEST(OwnedProcess, DropKillsAndReapsARootThatLeftItsGroup) {
  TempDir dir;
  const std::string ready = dir.file("ready");
  const std::string go = dir.file("go");
  pid_t root = 0;
  {
    auto process = OwnedProcess::launch(
        {.argv = {helper_program("stubborn"), "--wait-for-file", go, "--join-group",
                  std::to_string(::getpgid(0)), "--ready-file", ready}});
    ASSERT_TRUE(process.ok());
    root = process->root_pid();
    // Only now, after the launch saw its group, may the root leave it.
    ASSERT_EQ(test_support::run_subprocess({.argv = {"/bin/touch", go}}).exit_code, 0);
    wait_for_file(ready);
    EXPECT_EQ(process->owned_group_exists().value(), false);
  }
  expect_reaped(root);
}

// The wait between passes ends at a signal byte or at the root's exit, but
// never spins on a root whose exit has already been seen (reaped or not, its
// pidfd stays readable). Only bounds that a busy machine cannot break are
// checked: far below the requested minute, and no shorter than a plain wait.
TEST(WaitFor, EndsEarlyOnASignalOrTheRootsExitAndNotOnceItsExitIsSeen) {
  using Clock = std::chrono::steady_clock;
  const auto took = [](auto&& wait) {
    const Clock::time_point start = Clock::now();
    wait();
    return Clock::now() - start;
  };
  const Duration minute = Duration::from_secs(60);
  SignalStateGuard guard;
  auto monitor = TerminalSignalMonitor::install();
  ASSERT_TRUE(monitor.ok());
  ::raise(SIGINT);
  EXPECT_LT(took([&] { wait_for(minute, &*monitor, nullptr); }), seconds(30));
  EXPECT_EQ(monitor->poll().value(), std::vector<uint8_t>{SIGINT});

  auto process = OwnedProcess::launch({.argv = {"/bin/sh", "-c", "exit 3"}});
  ASSERT_TRUE(process.ok());
  EXPECT_LT(took([&] { wait_for(minute, &*monitor, &*process); }), seconds(30));
  EXPECT_EQ(wait_for_root(*process), ChildStatus::exited(3));
  const Duration short_wait = Duration::from_millis(50);
  EXPECT_GE(took([&] { wait_for(short_wait, &*monitor, &*process); }),
            std::chrono::milliseconds(50));
  EXPECT_GE(took([&] { wait_for(short_wait, nullptr, nullptr); }), std::chrono::milliseconds(50));
}

TEST(ClientReady, RefusesStandardStreamsAndClosedDescriptorsAndLeavesThemAlone) {
  for (int fd : {0, 2, -1}) {
    const int flags_before = ::fcntl(fd, F_GETFD);
    EXPECT_EQ(ClientReady::take(fd).error(),
              (ControlError{ControlErrorKind::ClientReadyConfiguration, EBADF}))
        << fd;
    EXPECT_EQ(::fcntl(fd, F_GETFD), flags_before);
  }
  EXPECT_FALSE(ClientReady::take(std::nullopt).value().holds_descriptor());
}

TEST(ProcessControl, ErrorTextsWaitStatusesAndCheckpointSignal) {
  using L = LaunchErrorKind;
  using C = ControlErrorKind;
  const std::pair<std::string_view, std::string_view> texts[] = {
      {error_message(L::EmptyArgv), "command argv is empty"},
      {error_message(L::LaunchFailed), "command launch failed"},
      {error_message(L::GroupNotValidated), "new process group could not be validated"},
      {error_message(L::CheckpointConfiguration), "checkpoint channel configuration is invalid"},
      {error_message(C::WaitFailed), "waiting for the root process failed"},
      {error_message(C::InvalidStatus), "root process returned an invalid Unix status"},
      {error_message(C::NotForwardable),
       "only SIGHUP, SIGINT, and SIGTERM can be forwarded as terminal signals"},
      {error_message(C::EndpointNotOwned),
       "checkpoint endpoint is not the identity it was negotiated for, or is not a live member "
       "of the owned process group"},
      {error_message(C::GroupQueryFailed), "owned process-group query failed"},
      {error_message(C::MonitorFailed), "terminal signal monitoring failed"},
      {error_message(C::MonitorAlreadyInstalled), "a terminal signal monitor is already installed"},
      {error_message(C::DeliveryFailed), "signal delivery failed"},
  };
  for (const auto& [actual, expected] : texts) EXPECT_EQ(actual, expected);
  EXPECT_EQ(process_control::checkpoint_signal_usr1(), 10);
  EXPECT_EQ(process_control::decode_wait_status(0x008b).value(), ChildStatus::signaled(11));
  // Stopped (SIGSTOP) and continued statuses are not an end.
  for (int status : {0x137f, 0xffff}) {
    EXPECT_EQ(process_control::decode_wait_status(status).error().kind, C::InvalidStatus);
  }
}

}  // namespace
}  // namespace vek_guard
