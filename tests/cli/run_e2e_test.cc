// End-to-end tests of `vek-guard run`: the real binary supervises the test
// helpers, and each test checks the exit status, the two output streams, the
// published report and the journal it was rebuilt from.
//
// Footprint limits leave room for the helpers' own baseline (a few hundred
// KiB, a few MiB under the sanitizers): a breach holds a little above the
// limit and well below the emergency band, a jump lands far above it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint64_t kMiB = 1 << 20;
// A breach: 64 MiB is the limit, the emergency band starts 6.4 MiB above.
constexpr uint64_t kBreachLimit = 64 * kMiB;
constexpr uint64_t kBreachHold = 65 * kMiB;
// A jump: 16 MiB is the limit, the command maps 96 MiB.
constexpr uint64_t kJumpLimit = 16 * kMiB;
constexpr uint64_t kJumpSize = 96 * kMiB;

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

std::string bytes_option(uint64_t bytes) { return std::to_string(bytes) + "B"; }

// The line printed when supervision starts.
std::string enforcing_line(uint64_t limit) {
  const uint64_t step = limit < 10 ? 1 : limit / 10;
  return "vek-guard: enforcing a " + std::to_string(limit) +
         "-byte footprint limit; emergency KILL at " + std::to_string(limit + step) +
         " bytes, about 10% above the limit\n";
}

// The summary line a report produces.
std::string summary_of(const nlohmann::json& report) {
  const auto samples = report["samples"].size();
  const auto signals = report["signals"].size();
  return "vek-guard: " + report["outcome"]["kind"].get<std::string>() + " at " +
         std::to_string(report["outcome"]["at_ms"].get<uint64_t>()) + "ms; " +
         std::to_string(samples) + (samples == 1 ? " sample, " : " samples, ") +
         std::to_string(signals) + (signals == 1 ? " signal" : " signals") + "\n";
}

// A command that grows to `hold` bytes in 4 MiB steps and keeps it.
std::vector<std::string> grow_to(uint64_t hold, std::vector<std::string> extra = {}) {
  std::vector<std::string> command = {helper("grow"),       "--step",    std::to_string(4 * kMiB),
                                      "--interval-ms",      "10",        "--max",
                                      std::to_string(hold), "--hold-ms", "30000"};
  command.insert(command.end(), extra.begin(), extra.end());
  return command;
}

class RunE2e : public ::testing::Test {
 protected:
  std::vector<std::string> argv(const RunSpec& spec) const {
    return run_argv(VEK_GUARD_BINARY, area_.report_path(), spec);
  }

  SubprocessResult run(const RunSpec& spec, SubprocessOptions options = {},
                       milliseconds timeout = seconds(30)) {
    options.argv = argv(spec);
    SubprocessResult result = run_subprocess(options, timeout);
    EXPECT_FALSE(result.timed_out) << "the run did not end in time";
    return result;
  }

  // The published report, once it has been checked against its journal.
  nlohmann::json published() {
    EXPECT_TRUE(report_matches_journal(area_.journal_path(), area_.report_path()));
    return read_report_json(area_.report_path());
  }

  // A run that ended before supervision: `status`, the one diagnostic line
  // `message`, and a published report whose outcome has `kind`. Returns that
  // report (null, a test failure, when there is none).
  nlohmann::json expect_early_end(const SubprocessResult& result, int status,
                                  const std::string& message, const std::string& kind) {
    EXPECT_EQ(result.exit_code, status);
    EXPECT_EQ(result.stderr_text, "vek-guard: " + message + "\n");
    nlohmann::json report = published();
    EXPECT_TRUE(report.is_object());
    if (report.is_object()) {
      EXPECT_EQ(report["outcome"]["kind"], kind);
    }
    return report;
  }

  // Runs `spec` to its end, expects the exit status `status`, and returns the
  // published report once it has been checked against its journal; null (a
  // test failure) when there is none.
  nlohmann::json report_of_run(int status, const RunSpec& spec, SubprocessOptions options = {}) {
    const SubprocessResult result = run(spec, std::move(options));
    EXPECT_EQ(shell_status(result.exit_code, result.term_signal), status);
    return published();
  }

  nlohmann::json report_of_checkpoint_run(std::vector<std::string> client_options,
                                          std::vector<std::string> run_options = {});
  nlohmann::json report_with_member_left_behind(int status,
                                                std::vector<std::string> forker_options);

  // A run that ended before anything was created on disk.
  void expect_nothing_written() const {
    EXPECT_FALSE(path_exists(area_.journal_path()));
    EXPECT_FALSE(path_exists(area_.report_path()));
  }

  RunArea area_;
};

// ---------------------------------------------------------------------------
// Exit statuses and what each end leaves behind.

TEST_F(RunE2e, ChildExitCodeIsTheExitStatusAndTheReportDescribesTheRun) {
  const RunSpec spec{.max_footprint = "64MiB",
                     .sample_interval = "20ms",
                     .command = {"/bin/sh", "-c", "sleep 0.2; exit 3"}};
  const SubprocessResult result = run(spec);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.stderr_text, enforcing_line(kBreachLimit));

  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(result.stdout_text, summary_of(report));
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
  EXPECT_EQ(report["outcome"]["code"], 3);
  EXPECT_EQ(report["outcome"]["child_status"], (nlohmann::json{{"status", "exited"}, {"code", 3}}));
  EXPECT_EQ(report["outcome"]["final_footprint_bytes"]["status"], "available");
  EXPECT_GE(report["samples"].size(), 2u);
  EXPECT_TRUE(report["signals"].empty());
  EXPECT_EQ(report["checkpoint"], (nlohmann::json{{"status", "not_negotiated"}}));

  const std::string run_id = report["run"]["run_id"];
  EXPECT_EQ(run_id.size(), 36u);
  EXPECT_EQ(run_id.rfind("run_", 0), 0u);
  EXPECT_EQ(run_id.find_first_not_of("0123456789abcdef", 4), std::string::npos);
  EXPECT_EQ(report["run"]["executable_basename"], "sh");
  EXPECT_EQ(report["run"]["argument_count"], 2);

  const nlohmann::json& configuration = report["configuration"];
  EXPECT_EQ(configuration["mode"], "enforce");
  EXPECT_EQ(configuration["max_footprint_bytes"], kBreachLimit);
  EXPECT_EQ(configuration["warning_footprint_bytes"], kBreachLimit - kBreachLimit / 10);
  EXPECT_EQ(configuration["recovery_footprint_bytes"], kBreachLimit - 2 * (kBreachLimit / 10));
  EXPECT_EQ(configuration["emergency_footprint_bytes"], kBreachLimit + kBreachLimit / 10);
  EXPECT_EQ(configuration["sample_interval_ms"], 20);
  EXPECT_EQ(configuration["max_sample_age_ms"], 500);
  EXPECT_EQ(configuration["max_sample_window_ms"], 250);
  EXPECT_EQ(configuration["checkpoint_timeout_ms"], 1000);
  EXPECT_EQ(configuration["term_grace_ms"], 1000);
  EXPECT_FALSE(configuration.contains("wall_time_ms"));
  EXPECT_EQ(report["capabilities"]["checkpoint_channel"],
            (nlohmann::json{{"status", "available"}, {"value", true}}));

  // The published files: the report and the journal, both private; no
  // temporary report left over.
  struct stat info {};
  ASSERT_EQ(::stat(area_.report_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat(area_.journal_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_FALSE(path_exists(area_.file(".report.json.tmp")));
}

TEST_F(RunE2e, ChildKilledBySignalExitsWith128PlusTheSignal) {
  const nlohmann::json report =
      report_of_run(128 + SIGKILL, {.command = {"/bin/sh", "-c", "kill -KILL $$"}});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["outcome"]["kind"], "child_signaled");
  EXPECT_EQ(report["outcome"]["signal"], SIGKILL);
  EXPECT_TRUE(report["signals"].empty());
}

TEST_F(RunE2e, MissingCommandExits127AndPublishesALaunchReport) {
  const SubprocessResult result = run({.command = {area_.file("no-such-command")}});
  EXPECT_EQ(result.stdout_text, "");
  const nlohmann::json report =
      expect_early_end(result, 127, "command was not found", "launch_not_found");
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["outcome"]["at_ms"], 0);
  EXPECT_EQ(report["outcome"]["final_footprint_bytes"], (nlohmann::json{{"status", "unknown"}}));
  EXPECT_FALSE(report["outcome"].contains("child_status"));
  EXPECT_TRUE(report["samples"].empty());
}

TEST_F(RunE2e, CommandThatIsNotExecutableExits126) {
  const std::string script = area_.file("not-executable");
  {
    const int fd = ::open(script.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  const SubprocessResult result = run({.command = {script}});
  expect_early_end(result, 126, "command is not executable", "launch_not_executable");
}

TEST_F(RunE2e, BadWorkingDirectoryExits64WithAReport) {
  const SubprocessResult result =
      run({.options = {"--cwd", area_.file("missing-dir")}, .command = {"/bin/true"}});
  expect_early_end(result, 64, "child working directory is invalid", "invalid_configuration");
}

TEST_F(RunE2e, RootDirectoryAsTheCommandExits70BeforeAnyJournal) {
  const SubprocessResult result = run({.command = {"/"}});
  EXPECT_EQ(result.exit_code, 70);
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text, "vek-guard: secure run identity generation failed\n");
  expect_nothing_written();
}

TEST_F(RunE2e, ReadinessDescriptorThatIsNotOpenExits64BeforeAnyJournal) {
  // Descriptor 57 is not open in the child: the harness closes everything it
  // was not asked to hand on.
  const SubprocessResult result =
      run({.options = {"--client-ready-fd", "57"}, .command = {"/bin/true"}});
  EXPECT_EQ(result.exit_code, 64);
  EXPECT_EQ(result.stderr_text, "vek-guard: client readiness descriptor configuration failed\n");
  expect_nothing_written();
}

TEST_F(RunE2e, SharedReportDirectoryExits74BeforeTheLaunch) {
  ASSERT_EQ(::chmod(area_.dir().c_str(), 0750), 0);
  const std::string marker = area_.file("launched");
  const SubprocessResult result = run({.command = {"/usr/bin/touch", marker}});
  ASSERT_EQ(::chmod(area_.dir().c_str(), 0700), 0);
  EXPECT_EQ(result.exit_code, 74);
  EXPECT_EQ(result.stderr_text, "vek-guard: artifact directory is not private and owned\n");
  EXPECT_FALSE(path_exists(marker));
  expect_nothing_written();
}

TEST_F(RunE2e, SecondRunOnTheSameReportPathExits74AndLeavesTheFirstReport) {
  ASSERT_EQ(run({.command = {"/bin/true"}}).exit_code, 0);
  const std::string first_report = read_file(area_.report_path());
  const std::string first_journal = read_file(area_.journal_path());
  ASSERT_FALSE(first_report.empty());

  const SubprocessResult second = run({.command = {"/bin/sh", "-c", "exit 5"}});
  EXPECT_EQ(second.exit_code, 74);
  EXPECT_EQ(second.stdout_text, "");
  EXPECT_EQ(second.stderr_text, "vek-guard: journal target already exists\n");
  EXPECT_EQ(read_file(area_.report_path()), first_report);
  EXPECT_EQ(read_file(area_.journal_path()), first_journal);
}

// ---------------------------------------------------------------------------
// Enforcement.

TEST_F(RunE2e, GradualBreachWithoutClientIsTerminated) {
  const SubprocessResult result =
      run({.max_footprint = bytes_option(kBreachLimit), .command = grow_to(kBreachHold)});
  EXPECT_EQ(result.exit_code, 75);
  EXPECT_EQ(result.stderr_text, enforcing_line(kBreachLimit));
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(result.stdout_text, summary_of(report));
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "footprint"}}));
  // No client negotiated: the request fell through to SIGTERM without a
  // record of its own, and the checkpoint still carries the run's reason.
  EXPECT_EQ(report["checkpoint"],
            (nlohmann::json{{"status", "not_negotiated"}, {"reason", "footprint"}}));
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  EXPECT_EQ(report["outcome"]["child_status"],
            (nlohmann::json{{"status", "signaled"}, {"signal", 15}}));
  ASSERT_FALSE(report["transitions"].empty());
  const nlohmann::json& last = report["transitions"].back();
  EXPECT_EQ(last["to"], "exited");
  bool terminated = false;
  for (const auto& transition : report["transitions"]) {
    if (transition["to"] == "terminating") {
      terminated = true;
      EXPECT_GE(transition["aggregate_footprint_bytes"].get<uint64_t>(), kBreachLimit);
    }
  }
  EXPECT_TRUE(terminated);
}

TEST_F(RunE2e, JumpAboveTheEmergencyBandIsKilled) {
  const SubprocessResult result =
      run({.max_footprint = bytes_option(kJumpLimit),
           .command = {helper("grow"), "--step", std::to_string(kJumpSize), "--max",
                       std::to_string(kJumpSize), "--hold-ms", "30000"}});
  EXPECT_EQ(result.exit_code, 75);
  EXPECT_EQ(result.stderr_text, enforcing_line(kJumpLimit));
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{9, "owned_process_group", "delivered", "footprint"}}));
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  EXPECT_EQ(report["outcome"]["child_status"],
            (nlohmann::json{{"status", "signaled"}, {"signal", 9}}));
  bool emergency = false;
  for (const auto& transition : report["transitions"]) {
    if (transition["to"] == "emergency") {
      emergency = true;
      EXPECT_GE(transition["aggregate_footprint_bytes"].get<uint64_t>(),
                kJumpLimit + kJumpLimit / 10);
    }
  }
  EXPECT_TRUE(emergency);
}

// Runs a client that negotiates, grows past the breach limit and answers the
// checkpoint request as `client_options` say; every such run asks for the
// checkpoint with SIGUSR1 and ends with SIGTERM, both for the footprint.
nlohmann::json RunE2e::report_of_checkpoint_run(std::vector<std::string> client_options,
                                                std::vector<std::string> run_options) {
  std::vector<std::string> command = {
      helper("checkpointer"),     "--grow-step", std::to_string(4 * kMiB),
      "--grow-interval-ms",       "20",          "--grow-max",
      std::to_string(kBreachHold)};
  command.insert(command.end(), client_options.begin(), client_options.end());
  nlohmann::json report = report_of_run(
      75,
      {.max_footprint = bytes_option(kBreachLimit), .options = run_options, .command = command});
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{SIGUSR1, "cooperative_endpoint", "delivered", "footprint"},
                                    {15, "owned_process_group", "delivered", "footprint"}}));
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  return report;
}

TEST_F(RunE2e, CooperativeClientAcceptsTheCheckpointBeforeTermination) {
  const nlohmann::json report = report_of_checkpoint_run(
      {"--status", "1", "--artifact", "1", "--has-size", "1", "--size", "4096"});
  ASSERT_TRUE(report.is_object());
  const nlohmann::json& checkpoint = report["checkpoint"];
  EXPECT_EQ(checkpoint["status"], "acknowledged_unverified_durability");
  EXPECT_EQ(checkpoint["reason"], "footprint");
  EXPECT_TRUE(checkpoint["request_id"].is_number_unsigned());
  EXPECT_NE(checkpoint["request_id"], 0);
  EXPECT_EQ(checkpoint["artifact"], (nlohmann::json{{"kind", "file"}, {"size_bytes", 4096}}));
  ASSERT_TRUE(checkpoint.contains("at_ms"));
  ASSERT_EQ(report["signals"].size(), 2u);
  EXPECT_GE(checkpoint["at_ms"].get<uint64_t>(), report["signals"][0]["at_ms"].get<uint64_t>());
  EXPECT_LE(checkpoint["at_ms"].get<uint64_t>(), report["signals"][1]["at_ms"].get<uint64_t>());
}

TEST_F(RunE2e, CooperativeClientThatRefusesIsTerminated) {
  const nlohmann::json report = report_of_checkpoint_run(
      {"--status", "2", "--artifact", "0", "--has-size", "0", "--size", "0"});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["checkpoint"]["status"], "requested_unverified");
  EXPECT_FALSE(report["checkpoint"].contains("artifact"));
}

TEST_F(RunE2e, CooperativeClientThatNeverAnswersTimesOut) {
  const nlohmann::json report =
      report_of_checkpoint_run({"--mode", "never-answer"}, {"--checkpoint-timeout", "100ms"});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["configuration"]["checkpoint_timeout_ms"], 100);
  ASSERT_EQ(report["signals"].size(), 2u);
  EXPECT_EQ(report["checkpoint"]["status"], "timed_out");
  EXPECT_EQ(report["checkpoint"]["at_ms"], report["signals"][1]["at_ms"]);
  EXPECT_GE(report["signals"][1]["at_ms"].get<uint64_t>(),
            report["signals"][0]["at_ms"].get<uint64_t>() + 100);
}

TEST_F(RunE2e, WallTimeLimitTerminatesTheCommand) {
  const nlohmann::json report =
      report_of_run(75, {.options = {"--wall-time", "300ms"}, .command = {"/bin/sleep", "30"}});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["configuration"]["wall_time_ms"], 300);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "wall_time"}}));
  EXPECT_EQ(report["checkpoint"],
            (nlohmann::json{{"status", "not_negotiated"}, {"reason", "wall_time"}}));
  ASSERT_EQ(report["signals"].size(), 1u);
  EXPECT_GE(report["signals"][0]["at_ms"].get<uint64_t>(), 300u);
}

TEST_F(RunE2e, IgnoredSigtermIsFollowedBySigkillAfterTheGrace) {
  const nlohmann::json report =
      report_of_run(75, {.max_footprint = bytes_option(kBreachLimit),
                         .command = grow_to(kBreachHold, {"--ignore-term"})});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "footprint"},
                                    {9, "owned_process_group", "delivered", "footprint"}}));
  ASSERT_EQ(report["signals"].size(), 2u);
  EXPECT_GE(report["signals"][1]["at_ms"].get<uint64_t>(),
            report["signals"][0]["at_ms"].get<uint64_t>() + 1000);
  EXPECT_EQ(report["outcome"]["child_status"],
            (nlohmann::json{{"status", "signaled"}, {"signal", 9}}));
}

// ---------------------------------------------------------------------------
// Signals sent to the supervisor.

TEST_F(RunE2e, SigintIsForwardedToTheGroup) {
  ReadinessPipe ready;
  Subprocess guard = Subprocess::start(
      {.argv = argv({.options = {"--client-ready-fd", std::to_string(ready.write_fd())},
                     .command = {"/bin/sleep", "30"}}),
       .inherit_fds = {ready.write_fd()}});
  ready.close_write();
  ASSERT_TRUE(ready.wait_closed(seconds(10)));
  guard.send_signal(SIGINT);
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 128 + SIGINT);
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(
      signal_rows(report),
      (std::vector<SignalRow>{{SIGINT, "owned_process_group", "delivered", "external_signal"}}));
  EXPECT_EQ(report["outcome"]["kind"], "child_signaled");
  EXPECT_EQ(report["outcome"]["signal"], SIGINT);
}

TEST_F(RunE2e, CommandThatExitsAfterAForwardedSigintKeepsItsStatus) {
  const std::string ready = area_.file("ready");
  Subprocess guard = Subprocess::start(
      {.argv = argv({.command = {helper("actor"), "wait-signal", "--signal", std::to_string(SIGINT),
                                 "--exit", "3", "--ready", ready}})});
  ASSERT_GT(wait_pid_file(ready, seconds(10)), 0);
  guard.send_signal(SIGINT);
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(result.exit_code, 3);
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(
      signal_rows(report),
      (std::vector<SignalRow>{{SIGINT, "owned_process_group", "delivered", "external_signal"}}));
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
  EXPECT_EQ(report["outcome"]["code"], 3);
}

// ---------------------------------------------------------------------------
// The owned group.

// The root exits at once and leaves one member of its group behind. Nobody
// here reaps the orphaned member when it dies: an init that reaps late must
// not keep the run going, or turn the clean end into a kill at the grace
// deadline, since a group of exited members is gone for the supervisor.
// Returns the report after checking that the member is gone.
nlohmann::json RunE2e::report_with_member_left_behind(int status,
                                                      std::vector<std::string> forker_options) {
  const std::string member_file = area_.file("member");
  std::vector<std::string> command = {helper("forker"), member_file};
  command.insert(command.end(), forker_options.begin(), forker_options.end());
  nlohmann::json report = report_of_run(status, {.command = command});
  const pid_t member = wait_pid_file(member_file, seconds(1));
  EXPECT_TRUE(eventually([&] { return !process_running(member); }, seconds(5)));
  return report;
}

TEST_F(RunE2e, MemberLeftByTheRootIsCleanedUpWithoutAnIntervention) {
  const nlohmann::json report = report_with_member_left_behind(4, {"--exit", "4"});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(
      signal_rows(report),
      (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "root_exit_cleanup"}}));
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
  EXPECT_EQ(report["outcome"]["code"], 4);
}

TEST_F(RunE2e, MemberThatIgnoresTheCleanupIsKilledAsAnIntervention) {
  const nlohmann::json report = report_with_member_left_behind(75, {"--member-ignores-term"});
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "root_exit_cleanup"},
                                    {9, "owned_process_group", "delivered", "root_exit_cleanup"}}));
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
  EXPECT_EQ(report["outcome"]["child_status"], (nlohmann::json{{"status", "exited"}, {"code", 0}}));
}

TEST_F(RunE2e, MemberThatLeavesTheGroupIsRecordedAsAnEscape) {
  const std::string member_file = area_.file("member");
  const nlohmann::json report = report_of_run(
      0,
      {.command = {helper("forker"), member_file, "--member-new-group", "--root-hold-ms", "400"}});
  const pid_t member = wait_pid_file(member_file, seconds(1));
  kill_if_alive(member);
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["escape"],
            (nlohmann::json{{"detected", {{"status", "available"}, {"value", true}}},
                            {"escaped_count", 1}}));
  EXPECT_TRUE(report["signals"].empty());
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
}

// ---------------------------------------------------------------------------
// The launching parent.

// Starts the supervisor from a shell that then waits; the shell is the
// supervisor's launching parent. The supervisor's output goes to files, its
// pid to `pid_file`, and the shell gives up its copy of the readiness pipe.
Subprocess start_from_shell(const std::vector<std::string>& guard_argv, const RunArea& area,
                            const ReadinessPipe& ready) {
  std::string script = "exec 1>'" + area.file("out") + "' 2>'" + area.file("err") + "';";
  for (const std::string& arg : guard_argv) script += " '" + arg + "'";
  script += " & echo $! > '" + area.file("guard.pid") + "'; exec " +
            std::to_string(ready.write_fd()) + ">&-; wait";
  return Subprocess::start({.argv = {"/bin/sh", "-c", script}, .inherit_fds = {ready.write_fd()}});
}

// Runs `sleep` under the supervisor started from a shell, kills the shell
// once supervision runs, and returns the supervisor's exit status.
int run_and_lose_parent(const RunArea& area, const RunSpec& base) {
  SubreaperScope reaper;
  // The test's own SIGHUP disposition is inherited by the supervisor; make
  // sure it is the default, so that the parent is watched.
  struct sigaction previous {};
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigaction(SIGHUP, &default_action, &previous);
  ReadinessPipe ready;
  RunSpec spec = base;
  spec.options.insert(spec.options.end(), {"--client-ready-fd", std::to_string(ready.write_fd())});
  Subprocess shell =
      start_from_shell(run_argv(VEK_GUARD_BINARY, area.report_path(), spec), area, ready);
  ready.close_write();
  sigaction(SIGHUP, &previous, nullptr);
  const pid_t guard = wait_pid_file(area.file("guard.pid"), seconds(10));
  EXPECT_GT(guard, 0);
  EXPECT_TRUE(ready.wait_closed(seconds(10)));
  shell.send_signal(SIGKILL);
  shell.wait(seconds(5));
  return wait_child(guard, seconds(20));
}

TEST_F(RunE2e, ParentExitTerminatesTheGroup) {
  const int status = run_and_lose_parent(area_, {.command = {"/bin/sleep", "30"}});
  EXPECT_EQ(status, 75);
  EXPECT_EQ(read_file(area_.file("err")), enforcing_line(1ULL << 30));
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(read_file(area_.file("out")), summary_of(report));
  EXPECT_EQ(report["configuration"]["parent_watch"], "active");
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{{15, "owned_process_group", "delivered", "parent_exit"}}));
  EXPECT_TRUE(report["outcome"]["parent_exited_at_ms"].is_number_unsigned());
  EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
}

TEST_F(RunE2e, ParentExitWithDetachLeavesTheGroupSupervised) {
  const int status = run_and_lose_parent(
      area_, {.options = {"--on-parent-exit", "detach"}, .command = {"/bin/sleep", "1.5"}});
  EXPECT_EQ(status, 0);
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["configuration"]["on_parent_exit"], "detach");
  EXPECT_EQ(report["configuration"]["parent_watch"], "detach");
  EXPECT_TRUE(report["signals"].empty());
  ASSERT_TRUE(report["outcome"]["parent_exited_at_ms"].is_number_unsigned());
  EXPECT_LT(report["outcome"]["parent_exited_at_ms"].get<uint64_t>(),
            report["outcome"]["at_ms"].get<uint64_t>());
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
}

// ---------------------------------------------------------------------------
// Start-up.

TEST_F(RunE2e, ReadinessDescriptorClosesWhenSupervisionStarts) {
  ReadinessPipe ready;
  Subprocess guard = Subprocess::start(
      {.argv = argv({.options = {"--client-ready-fd", std::to_string(ready.write_fd())},
                     .command = {"/bin/sleep", "30"}}),
       .inherit_fds = {ready.write_fd()}});
  ready.close_write();
  // End of file while the command still runs: the supervisor closed it and
  // the command never received a copy.
  ASSERT_TRUE(ready.wait_closed(seconds(10)));
  EXPECT_TRUE(process_running(guard.pid()));
  guard.send_signal(SIGTERM);
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 128 + SIGTERM);
}

TEST_F(RunE2e, ReadinessDescriptorClosesWhenStartupFails) {
  ReadinessPipe ready;
  Subprocess guard = Subprocess::start(
      {.argv = argv({.options = {"--client-ready-fd", std::to_string(ready.write_fd())},
                     .command = {area_.file("no-such-command")}}),
       .inherit_fds = {ready.write_fd()}});
  ready.close_write();
  EXPECT_TRUE(ready.wait_closed(seconds(10)));
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(result.exit_code, 127);
  EXPECT_EQ(published()["outcome"]["kind"], "launch_not_found");
}

TEST_F(RunE2e, TerminalStandardInputIsReplacedWithANotice) {
  const std::string seen = area_.file("stdin");
  const SubprocessResult result =
      run({.command = {"/bin/sh", "-c", "readlink /proc/self/fd/0 > '" + seen + "'"}},
          {.stdin_pty = true});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.stderr_text,
            "vek-guard: standard input is a terminal, so the command reads from /dev/null "
            "instead\n" +
                enforcing_line(1ULL << 30));
  EXPECT_EQ(read_file(seen), "/dev/null\n");
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
}

// ---------------------------------------------------------------------------
// The journal.

TEST_F(RunE2e, JournalFailureMidRunKeepsEnforcingAndPublishesNothing) {
  const std::string tiny_dir = area_.file("tiny");
  ASSERT_EQ(::mkdir(tiny_dir.c_str(), 0700), 0);
  TinyTmpfs tmpfs(tiny_dir, "64k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.error();
  const std::string report_path = tiny_dir + "/report.json";

  // The samples fill 64 KiB within a second or two; the breach comes later,
  // and the command would hold its memory for a minute if nobody stopped it.
  std::vector<std::string> command = {
      helper("grow"), "--step", std::to_string(kMiB),        "--interval-ms",
      "40",           "--max",  std::to_string(kBreachHold), "--hold-ms",
      "60000"};
  const SubprocessResult result = run_subprocess(
      {.argv = run_argv(VEK_GUARD_BINARY, report_path,
                        {.max_footprint = bytes_option(kBreachLimit), .command = command})},
      seconds(40));
  ASSERT_FALSE(result.timed_out) << "the breach was not enforced after the journal failed";
  EXPECT_EQ(result.exit_code, 74);
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text,
            enforcing_line(kBreachLimit) +
                "vek-guard: artifact write failed; safety enforcement continues; complete "
                "report unavailable\n");
  EXPECT_FALSE(path_exists(report_path));
  EXPECT_TRUE(path_exists(tiny_dir + "/.report.json.journal"));
}

// The one slow test: at the shortest interval, 4096 samples take at least
// 41 s. The command runs until the test tells it to stop, which it does once
// the journal holds 4096 samples (the sampler journals no more one by one)
// and a second more has passed, so the sampler has dropped some whatever the
// machine's load.
TEST_F(RunE2e, LongRunKeepsTheLast4096SamplesAfterAHistoryReset) {
  const std::string stop = area_.file("stop");
  Subprocess guard = Subprocess::start(
      {.argv = argv(
           {.command = {"/bin/sh", "-c", "while [ ! -e '" + stop + "' ]; do sleep 0.05; done"}})});
  std::this_thread::sleep_for(seconds(38));
  const auto deadline = std::chrono::steady_clock::now() + seconds(120);
  bool full = false;
  while (!full && std::chrono::steady_clock::now() < deadline) {
    const JournalTypes so_far = read_journal_types(area_.journal_path());
    full = std::count(so_far.types.begin(), so_far.types.end(), "sample") >= 4096;
    std::this_thread::sleep_for(seconds(1));
  }
  ASSERT_TRUE(full) << "the journal never held 4096 samples";
  const int fd = ::open(stop.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(result.exit_code, 0);
  const nlohmann::json report = published();
  ASSERT_TRUE(report.is_object());
  ASSERT_EQ(report["samples"].size(), 4096u);
  // The report holds the newest samples: the first ones were dropped.
  EXPECT_GT(report["samples"][0]["captured_at_ms"].get<uint64_t>(), 200u);

  // The journal: the first 4096 samples one by one, then at the end the
  // reset and the history again, then the closing records.
  const JournalTypes journal = read_journal_types(area_.journal_path());
  ASSERT_TRUE(journal.readable);
  EXPECT_TRUE(journal.clean);
  const auto reset = std::find(journal.types.begin(), journal.types.end(), "sample_history_reset");
  ASSERT_NE(reset, journal.types.end());
  EXPECT_EQ(std::count(journal.types.begin(), reset, "sample"), 4096);
  EXPECT_EQ(std::count(reset + 1, journal.types.end(), "sample"), 4096);
  EXPECT_EQ(std::count(reset + 1, journal.types.end(), "sample_history_reset"), 0);
  ASSERT_GE(journal.types.end() - reset, 4);
  EXPECT_EQ(std::vector<std::string>(journal.types.end() - 3, journal.types.end()),
            (std::vector<std::string>{"checkpoint", "escape", "outcome"}));
}

}  // namespace
}  // namespace vek_guard::test_support
