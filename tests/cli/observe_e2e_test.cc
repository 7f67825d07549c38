// `vek-guard observe` end to end: the real binary on the helper programs,
// judged by its exit status, its two output streams, the published report
// and the journal it leaves beside it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace vek_guard::test_support {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace nlohmann::literals;

constexpr std::string_view kSurvivorsLine =
    "vek-guard: observe ended at root exit; owned-group members were still running and were "
    "not signalled\n";
constexpr std::string_view kParentExitLine =
    "vek-guard: observe ended because the launching parent exited; the owned group was "
    "terminated\n";

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

// argv of `vek-guard observe --sample-interval INTERVAL --report PATH
// <options> -- <command>`.
std::vector<std::string> observe_argv(const std::string& report_path,
                                      const std::vector<std::string>& command,
                                      const std::vector<std::string>& options = {},
                                      const std::string& interval = "10ms") {
  std::vector<std::string> argv = {VEK_GUARD_BINARY, "observe",  "--sample-interval",
                                   interval,         "--report", report_path};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// The area's published report, checked for what every observe report that
// reached the loop holds whatever its end, and against the report rebuilt
// from the journal.
json observe_report(const RunArea& area, uint64_t interval_ms = 10) {
  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  json report = read_report_json(area.report_path());
  expect_json_subset(report, R"({
    "capabilities": {"checkpoint_channel": {"status": "unavailable", "reason": "not_negotiated"}},
    "checkpoint": {"status": "not_negotiated", "reason": null},
    "configuration": {"mode": "observe", "term_grace_ms": 1000, "max_footprint_bytes": null, "warning_footprint_bytes": null,
                      "recovery_footprint_bytes": null, "emergency_footprint_bytes": null,
                      "wall_time_ms": null, "checkpoint_timeout_ms": null},
    "calibration": {"observation_only": true, "safety_certified": false}})"_json);
  EXPECT_EQ(report["configuration"]["sample_interval_ms"], interval_ms);
  const json& calibration = report["calibration"];
  EXPECT_TRUE(calibration["automatic_limit_bytes"].is_null());
  // The summary agrees with the samples.
  const uint64_t total = calibration.value("total_samples", uint64_t{0});
  EXPECT_GE(total, report["samples"].size());
  EXPECT_EQ(calibration.value("complete_samples", uint64_t{0}) +
                calibration.value("incomplete_samples", uint64_t{0}),
            total);
  return report;
}

// The supervisor ended with `status` and said nothing on standard error.
void expect_quiet_end(const SubprocessResult& result, int status) {
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), status);
  EXPECT_EQ(result.stderr_text, "");
}

// The root exits with its own code under a terminal and leaves a member
// running: reported, not signalled, and not killed when the supervisor lets
// go of the group.
TEST(ObserveE2e, RootExitKeepsItsStatusAndLeavesTheGroupRunning) {
  RunArea area;
  const std::string member_file = area.file("member.pid");
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(area.report_path(), {helper("forker"), member_file, "--root-hold-ms",
                                                 "100", "--exit", "7"}),
       .stdin_pty = true});
  const pid_t member = wait_pid_file(member_file, 1s);
  struct Cleanup {
    pid_t pid;
    ~Cleanup() { kill_if_alive(pid); }
  } cleanup{member};
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 7);
  EXPECT_EQ(result.stderr_text,
            "vek-guard: standard input is a terminal, so the command reads from /dev/null "
            "instead\n" +
                std::string(kSurvivorsLine));
  EXPECT_TRUE(result.stdout_text.starts_with("vek-guard: child_exited")) << result.stdout_text;
  ASSERT_GT(member, 0);
  EXPECT_TRUE(process_running(member));
  expect_json_subset(observe_report(area), R"({"signals": [], "transitions": [],
      "outcome": {"kind": "child_exited", "code": 7, "child_status": {"status": "exited", "code": 7},
                  "owned_group_survivors": true, "parent_exited_at_ms": null}})"_json);

  // The loop's records come in their fixed order after the samples, and
  // nothing follows the outcome.
  const std::vector<std::string> names = read_journal_types(area.journal_path()).types;
  ASSERT_GE(names.size(), 6U);
  EXPECT_EQ(names.front(), "header");
  EXPECT_EQ(std::vector<std::string>(names.end() - 4, names.end()),
            (std::vector<std::string>{"checkpoint", "escape", "calibration", "outcome"}));
  for (auto name = names.begin() + 1; name != names.end() - 4; ++name) EXPECT_EQ(*name, "sample");
}

// Ended before the loop: no calibration, nothing sampled, everything at 0.
TEST(ObserveE2e, CommandNotFoundStillLeavesAReport) {
  RunArea area;
  const SubprocessResult result =
      run_subprocess({.argv = observe_argv(area.report_path(), {area.file("no-such-command")})});
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 127);
  EXPECT_EQ(result.stderr_text, "vek-guard: command was not found\n");
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  expect_json_subset(read_report_json(area.report_path()), R"({
      "configuration": {"mode": "observe"}, "calibration": null, "samples": [],
      "outcome": {"kind": "launch_not_found", "at_ms": 0}})"_json);
  EXPECT_EQ(read_journal_types(area.journal_path()).types,
            (std::vector<std::string>{"header", "checkpoint", "escape", "outcome"}));
}

// The parent's exit brings SIGTERM in the pass that sees it, then SIGKILL
// after a second of grace unless the group is gone by then.
TEST(ObserveE2e, LaunchingParentExitTerminatesTheGroupThenKillsWhatIsLeft) {
  for (const bool stubborn : {true, false}) {
    SCOPED_TRACE(stubborn ? "stubborn group" : "group that dies of SIGTERM");
    RunArea area;
    const std::string ready = area.file("ready");
    const std::vector<std::string> command =
        stubborn ? std::vector<std::string>{helper("stubborn"), "--ready-file", ready,
                                            "--max-seconds", "30"}
                 : std::vector<std::string>{"/bin/sleep", "30"};
    LaunchingShell shell(area, observe_argv(area.report_path(), command));
    const pid_t supervisor = shell.supervisor_pid();
    ASSERT_GT(supervisor, 0);
    // The command ignores SIGTERM, or a sample shows the loop watching.
    ASSERT_TRUE(
        stubborn ? wait_pid_file(ready, 10s) > 0
                 : eventually([&] { return count_journal_frames(area.journal_path()) >= 2; }, 10s));
    shell.kill_parent();
    EXPECT_EQ(wait_child(supervisor, 10s), 75);  // policy_intervention
    EXPECT_EQ(shell.stderr_text(), kParentExitLine);

    json report = observe_report(area);
    EXPECT_EQ(report["configuration"]["parent_watch"], "active");
    json& outcome = report["outcome"];
    EXPECT_EQ(outcome["kind"], "policy_intervention");
    EXPECT_EQ(outcome["owned_group_survivors"], stubborn);
    ASSERT_TRUE(outcome.contains("parent_exited_at_ms"));
    const uint64_t parent_gone = outcome["parent_exited_at_ms"].get<uint64_t>();
    const uint64_t term_at =
        report["signals"].empty() ? 0 : report["signals"][0]["at_ms"].get<uint64_t>();
    EXPECT_LE(parent_gone, term_at);
    EXPECT_LE(term_at - parent_gone, 100U);
    if (stubborn) {
      ASSERT_EQ(signal_rows(report),
                (std::vector<SignalRow>{group_signal(SIGTERM, "parent_exit"),
                                        group_signal(SIGKILL, "parent_exit")}));
      EXPECT_GE(report["signals"][1]["at_ms"].get<uint64_t>() - parent_gone, 1000U);
    } else {
      EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{group_signal(SIGTERM, "parent_exit")});
      EXPECT_EQ(outcome["child_status"], json({{"status", "signaled"}, {"signal", SIGTERM}}));
      EXPECT_LT(outcome["at_ms"].get<uint64_t>(), term_at + 1000);
    }
  }
}

TEST(ObserveE2e, LaunchingParentExitWithDetachIsOnlyRecorded) {
  RunArea area;
  const std::string ready = area.file("ready");
  LaunchingShell shell(area, observe_argv(area.report_path(),
                                          {helper("actor"), "wait-signal", "--signal", "12",
                                           "--ready", ready, "--exit", "3"},
                                          {"--on-parent-exit", "detach"}));
  const pid_t supervisor = shell.supervisor_pid();
  ASSERT_GT(supervisor, 0);
  const pid_t command = wait_pid_file(ready, 10s);
  ASSERT_GT(command, 0);
  shell.kill_parent();
  // Twenty passes or more to notice the parent's exit; the command is still
  // supervised afterwards and ends by itself.
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(process_running(command));
  ::kill(command, SIGUSR2);
  EXPECT_EQ(wait_child(supervisor, 10s), 3);

  EXPECT_EQ(shell.stderr_text(), "");
  EXPECT_FALSE(shell.stdout_text().empty());
  json report = observe_report(area);
  expect_json_subset(report, R"({"signals": [],
      "configuration": {"on_parent_exit": "detach", "parent_watch": "detach"},
      "outcome": {"kind": "child_exited", "code": 3, "owned_group_survivors": null}})"_json);
  EXPECT_TRUE(report["outcome"].contains("parent_exited_at_ms"));
}

// The command holds one populated mapping (not the allocator's blocks, which
// a sanitizer's bookkeeping would blur) for some twenty samples; the readiness
// descriptor closes once observation runs, and the first terminal signal is
// forwarded rather than ending anything itself.
TEST(ObserveE2e, CalibrationPeakMatchesTheMemoryTheCommandHeld) {
  constexpr uint64_t kHeld = 64ULL << 20;
  RunArea area;
  ReadinessPipe readiness;
  const std::string stamp = area.file("mapped");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(),
                            {helper("actor"), "jump", "--bytes", std::to_string(kHeld),
                             "--delay-ms", "50", "--stamp", stamp},
                            {"--client-ready-fd", std::to_string(readiness.write_fd())}),
       .inherit_fds = {readiness.write_fd()}});
  readiness.close_write();
  ASSERT_TRUE(readiness.wait_closed(10s));
  ASSERT_TRUE(eventually([&] { return path_exists(stamp); }, 10s));
  std::this_thread::sleep_for(250ms);
  supervisor.send_signal(SIGTERM);
  expect_quiet_end(supervisor.wait(10s), 128 + SIGTERM);

  json report = observe_report(area);
  EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{group_signal(SIGTERM, "external_signal")});
  EXPECT_EQ(report["outcome"]["child_status"], json({{"status", "signaled"}, {"signal", SIGTERM}}));
  const json& calibration = report["calibration"];
  ASSERT_EQ(calibration["peak_aggregate_footprint_bytes"]["status"], "available");
  const uint64_t peak = calibration["peak_aggregate_footprint_bytes"]["value"].get<uint64_t>();
  EXPECT_GE(peak, kHeld - kHeld / 10);
  EXPECT_LE(peak, kHeld + kHeld / 10);
  // The peak is one of the samples' aggregates.
  uint64_t sampled_peak = 0;
  for (const json& sample : report["samples"]) {
    if (sample["aggregate_footprint_bytes"]["status"] == "available") {
      sampled_peak =
          std::max(sampled_peak, sample["aggregate_footprint_bytes"]["value"].get<uint64_t>());
    }
  }
  EXPECT_EQ(sampled_peak, peak);
}

// At the longest interval the loop sleeps ten seconds between samples; the
// root's exit and each terminal signal must end that sleep at once. The first
// Ctrl-C is forwarded, the second kills the group, and the root's status is
// kept.
TEST(ObserveE2e, LongSleepEndsAtTheRootsExitAndAtEachCtrlC) {
  RunArea exits;
  const auto started = std::chrono::steady_clock::now();
  const SubprocessResult exited = run_subprocess(
      {.argv = observe_argv(exits.report_path(),
                            {helper("grow"), "--max", "1048576", "--hold-ms", "200"}, {}, "10s")});
  EXPECT_EQ(shell_status(exited.exit_code, exited.term_signal), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(observe_report(exits, 10000)["samples"].size(), 1U);

  RunArea area;
  const std::string ready = area.file("ready");
  Subprocess supervisor =
      Subprocess::start({.argv = observe_argv(area.report_path(),
                                              {helper("stubborn"), "--ready-file", ready,
                                               "--also-int", "--max-seconds", "30"},
                                              {}, "10s")});
  ASSERT_GT(wait_pid_file(ready, 10s), 0);
  const auto signalled = std::chrono::steady_clock::now();
  supervisor.send_signal(SIGINT);
  // Time for the first interrupt to be forwarded before the second comes.
  std::this_thread::sleep_for(200ms);
  supervisor.send_signal(SIGINT);
  expect_quiet_end(supervisor.wait(20s), 128 + SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  json report = observe_report(area, 10000);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{group_signal(SIGINT, "external_signal"),
                                    group_signal(SIGKILL, "external_signal")}));
  expect_json_subset(report, R"({"transitions": [], "outcome": {"kind": "child_signaled",
                                 "signal": 9, "owned_group_survivors": null}})"_json);
}

// Four pages hold the header and a few samples: the journal fails part-way,
// and the command must still run to its end under observation.
TEST(ObserveE2e, FullJournalDoesNotStopObservation) {
  TempDir scratch;
  const std::string mount_point = scratch.file("tiny");
  ASSERT_EQ(::mkdir(mount_point.c_str(), 0700), 0);
  TinyTmpfs tiny(mount_point, "16k");
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tiny.error();
  const std::string report_path = mount_point + "/report.json";
  const std::string done = scratch.file("done");
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(report_path, {"/bin/sh", "-c", "sleep 1; : >\"$0\"", done})});
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 74);  // partial_artifact_failure
  EXPECT_EQ(result.stdout_text, "");
  EXPECT_EQ(result.stderr_text,
            "vek-guard: artifact write failed; safety enforcement continues; complete report "
            "unavailable\n");
  EXPECT_TRUE(path_exists(done));
  EXPECT_FALSE(path_exists(report_path));
}

}  // namespace
}  // namespace vek_guard::test_support
