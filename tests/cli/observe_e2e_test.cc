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

// Checks what every observe report that reached the loop holds, whatever its
// end: the observe configuration, an unavailable checkpoint channel, the
// not_negotiated checkpoint, a calibration summary that agrees with the
// samples, and the same content as the report rebuilt from the journal.
void expect_observe_report(const RunArea& area, const json& report) {
  ASSERT_TRUE(report.is_object());
  EXPECT_EQ(report["capabilities"]["checkpoint_channel"],
            json({{"status", "unavailable"}, {"reason", "not_negotiated"}}));
  const json& configuration = report["configuration"];
  EXPECT_EQ(configuration["mode"], "observe");
  EXPECT_EQ(configuration["sample_interval_ms"], 10);
  EXPECT_EQ(configuration["max_sample_age_ms"], 500);
  EXPECT_EQ(configuration["max_sample_window_ms"], 250);
  EXPECT_EQ(configuration["term_grace_ms"], 1000);
  for (const char* absent :
       {"max_footprint_bytes", "warning_footprint_bytes", "recovery_footprint_bytes",
        "emergency_footprint_bytes", "wall_time_ms", "checkpoint_timeout_ms"}) {
    EXPECT_FALSE(configuration.contains(absent)) << absent;
  }
  EXPECT_EQ(report["checkpoint"], json({{"status", "not_negotiated"}}));

  ASSERT_TRUE(report.contains("calibration"));
  const json& calibration = report["calibration"];
  EXPECT_EQ(calibration["schema_version"], 1);
  EXPECT_EQ(calibration["observation_only"], true);
  EXPECT_EQ(calibration["safety_certified"], false);
  EXPECT_TRUE(calibration["automatic_limit_bytes"].is_null());
  const uint64_t total = calibration["total_samples"].get<uint64_t>();
  EXPECT_GE(total, report["samples"].size());
  EXPECT_EQ(calibration["complete_samples"].get<uint64_t>() +
                calibration["incomplete_samples"].get<uint64_t>(),
            total);

  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
}

// The area's published report, after the checks above.
json observe_report(const RunArea& area) {
  json report = read_report_json(area.report_path());
  expect_observe_report(area, report);
  return report;
}

// The supervisor ended with `status` and said nothing on standard error.
void expect_quiet_end(const SubprocessResult& result, int status) {
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), status);
  EXPECT_EQ(result.stderr_text, "");
}

// A delivered signal record to the owned group.
SignalRow group_signal(int signal, std::string reason) {
  return SignalRow{signal, "owned_process_group", "delivered", std::move(reason)};
}

// A /bin/sh that is the launching parent of the supervisor it starts in the
// background (its pid in `vek-guard.pid`, its
// streams in `stdout` and `stderr` of the area), so that a test can kill the
// parent and still collect the supervisor: while the scope lives, the test
// process adopts it as a subreaper.
class IntermediateShell {
 public:
  IntermediateShell(const RunArea& area, const std::vector<std::string>& supervisor_argv)
      : area_(area), shell_(start(area, supervisor_argv)) {}

  pid_t supervisor_pid() { return wait_pid_file(area_.file("vek-guard.pid"), 10s); }
  void kill_parent() {
    shell_.send_signal(SIGKILL);
    shell_.wait(10s);
  }
  std::string stdout_text() const { return read_file(area_.file("stdout")); }
  std::string stderr_text() const { return read_file(area_.file("stderr")); }

 private:
  static Subprocess start(const RunArea& area, const std::vector<std::string>& supervisor_argv) {
    // The supervisor decides at start-up whether it can watch its parent; a
    // SIGHUP ignored by whoever runs the tests would be inherited and turn
    // the watch off, so the shell starts with the default action.
    struct sigaction previous {};
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGHUP, &default_action, &previous);
    std::vector<std::string> argv = {
        "/bin/sh", "-c",
        "\"$@\" >\"$OUT\" 2>\"$ERR\" & echo $! >\"$PIDFILE\".tmp && mv \"$PIDFILE\".tmp "
        "\"$PIDFILE\"; wait",
        "sh"};
    argv.insert(argv.end(), supervisor_argv.begin(), supervisor_argv.end());
    Subprocess shell = Subprocess::start({.argv = argv,
                                          .env = {{"OUT", area.file("stdout")},
                                                  {"ERR", area.file("stderr")},
                                                  {"PIDFILE", area.file("vek-guard.pid")}}});
    sigaction(SIGHUP, &previous, nullptr);
    return shell;
  }

  const RunArea& area_;
  SubreaperScope subreaper_;
  Subprocess shell_;
};

TEST(ObserveE2e, CleanExitEndsWithTheCommandsOwnStatus) {
  RunArea area;
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(area.report_path(), {helper("grow"), "--step", "1048576", "--max",
                                                 "4194304", "--hold-ms", "50", "--exit", "7"})});
  expect_quiet_end(result, 7);
  EXPECT_TRUE(result.stdout_text.starts_with("vek-guard: child_exited")) << result.stdout_text;

  const json report = observe_report(area);
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "child_exited");
  EXPECT_EQ(outcome["code"], 7);
  EXPECT_EQ(outcome["child_status"], json({{"status", "exited"}, {"code", 7}}));
  EXPECT_FALSE(outcome.contains("owned_group_survivors"));
  EXPECT_FALSE(outcome.contains("parent_exited_at_ms"));
  EXPECT_TRUE(report["signals"].empty());
  EXPECT_TRUE(report["transitions"].empty());
  EXPECT_FALSE(report["samples"].empty());

  // The loop's records come in their fixed order after the samples, and
  // nothing follows the outcome.
  const std::vector<std::string> names = read_journal_types(area.journal_path()).types;
  ASSERT_GE(names.size(), 6U);
  EXPECT_EQ(names.front(), "header");
  EXPECT_EQ(std::vector<std::string>(names.end() - 4, names.end()),
            (std::vector<std::string>{"checkpoint", "escape", "calibration", "outcome"}));
  for (auto name = names.begin() + 1; name != names.end() - 4; ++name) EXPECT_EQ(*name, "sample");
}

TEST(ObserveE2e, TerminalOnStandardInputIsReplacedWithANotice) {
  RunArea area;
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(area.report_path(), {helper("grow"), "--max", "1048576"}),
       .stdin_pty = true});
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 0);
  EXPECT_EQ(result.stderr_text,
            "vek-guard: standard input is a terminal, so the command reads from /dev/null "
            "instead\n");
  const json report = observe_report(area);
  EXPECT_EQ(report["outcome"]["kind"], "child_exited");
}

TEST(ObserveE2e, CommandNotFoundStillLeavesAReport) {
  RunArea area;
  const SubprocessResult result =
      run_subprocess({.argv = observe_argv(area.report_path(), {area.file("no-such-command")})});
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 127);
  EXPECT_EQ(result.stderr_text, "vek-guard: command was not found\n");
  EXPECT_EQ(result.stdout_text, "");

  // Ended before the loop: no calibration, nothing sampled, everything at 0.
  const json report = read_report_json(area.report_path());
  ASSERT_TRUE(report.is_object());
  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  EXPECT_EQ(report["configuration"]["mode"], "observe");
  EXPECT_EQ(report["checkpoint"], json({{"status", "not_negotiated"}}));
  EXPECT_FALSE(report.contains("calibration"));
  EXPECT_TRUE(report["samples"].empty());
  EXPECT_EQ(report["outcome"]["kind"], "launch_not_found");
  EXPECT_EQ(report["outcome"]["at_ms"], 0);
  EXPECT_EQ(read_journal_types(area.journal_path()).types,
            (std::vector<std::string>{"header", "checkpoint", "escape", "outcome"}));
}

TEST(ObserveE2e, DaemonLeftInTheGroupIsReportedAndLeftRunning) {
  RunArea area;
  const std::string member_file = area.file("member.pid");
  const SubprocessResult result =
      run_subprocess({.argv = observe_argv(area.report_path(), {helper("forker"), member_file,
                                                                "--member-seconds", "30"})});
  const pid_t member = wait_pid_file(member_file, 1s);
  struct Cleanup {
    pid_t pid;
    ~Cleanup() { kill_if_alive(pid); }
  } cleanup{member};

  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 0);
  EXPECT_EQ(result.stderr_text, kSurvivorsLine);
  EXPECT_FALSE(result.stdout_text.empty());
  ASSERT_GT(member, 0);
  // Not signalled, and not killed when the supervisor let go of the group.
  EXPECT_TRUE(process_running(member));

  const json report = observe_report(area);
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "child_exited");
  EXPECT_EQ(outcome["code"], 0);
  EXPECT_EQ(outcome["child_status"], json({{"status", "exited"}, {"code", 0}}));
  EXPECT_EQ(outcome["owned_group_survivors"], true);
  EXPECT_TRUE(report["signals"].empty());
}

TEST(ObserveE2e, SecondCtrlCKillsTheGroupAndTheRootsStatusIsKept) {
  RunArea area;
  const std::string ready = area.file("ready");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(), {helper("stubborn"), "--ready-file", ready,
                                                 "--also-int", "--max-seconds", "30"})});
  ASSERT_GT(wait_pid_file(ready, 10s), 0);
  supervisor.send_signal(SIGINT);
  // The first interrupt wakes the loop at once; give it time to be forwarded
  // before the second one comes.
  std::this_thread::sleep_for(200ms);
  supervisor.send_signal(SIGINT);
  const SubprocessResult result = supervisor.wait(10s);

  expect_quiet_end(result, 128 + SIGKILL);
  const json report = observe_report(area);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{group_signal(SIGINT, "external_signal"),
                                    group_signal(SIGKILL, "external_signal")}));
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "child_signaled");
  EXPECT_EQ(outcome["signal"], SIGKILL);
  EXPECT_EQ(outcome["child_status"], json({{"status", "signaled"}, {"signal", SIGKILL}}));
  EXPECT_FALSE(outcome.contains("owned_group_survivors"));
  EXPECT_TRUE(report["transitions"].empty());
}

TEST(ObserveE2e, LaunchingParentExitTerminatesThenKillsAStubbornGroup) {
  RunArea area;
  const std::string ready = area.file("ready");
  IntermediateShell shell(
      area, observe_argv(area.report_path(),
                         {helper("stubborn"), "--ready-file", ready, "--max-seconds", "30"}));
  const pid_t supervisor = shell.supervisor_pid();
  ASSERT_GT(supervisor, 0);
  const pid_t command = wait_pid_file(ready, 10s);
  ASSERT_GT(command, 0);
  shell.kill_parent();
  EXPECT_EQ(wait_child(supervisor, 10s), 75);  // policy_intervention
  EXPECT_FALSE(process_exists(command));

  EXPECT_EQ(shell.stderr_text(), kParentExitLine);
  const json report = observe_report(area);
  EXPECT_EQ(report["configuration"]["parent_watch"], "active");
  EXPECT_EQ(signal_rows(report), (std::vector<SignalRow>{group_signal(SIGTERM, "parent_exit"),
                                                         group_signal(SIGKILL, "parent_exit")}));
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "policy_intervention");
  EXPECT_EQ(outcome["owned_group_survivors"], true);
  ASSERT_TRUE(outcome.contains("parent_exited_at_ms"));
  ASSERT_EQ(report["signals"].size(), 2U);
  const uint64_t parent_gone = outcome["parent_exited_at_ms"].get<uint64_t>();
  const uint64_t term_at = report["signals"][0]["at_ms"].get<uint64_t>();
  const uint64_t kill_at = report["signals"][1]["at_ms"].get<uint64_t>();
  // SIGTERM in the pass that saw the parent gone; SIGKILL once the second
  // of grace has passed, not before.
  EXPECT_LE(parent_gone, term_at);
  EXPECT_LE(term_at - parent_gone, 100U);
  EXPECT_GE(kill_at - parent_gone, 1000U);
}

TEST(ObserveE2e, LaunchingParentExitEndsEarlyWhenTheGroupLeavesBeforeTheKill) {
  RunArea area;
  IntermediateShell shell(area, observe_argv(area.report_path(), {"/bin/sleep", "30"}));
  const pid_t supervisor = shell.supervisor_pid();
  ASSERT_GT(supervisor, 0);
  // A sample in the journal: the loop runs and watches the parent.
  ASSERT_TRUE(eventually([&] { return count_journal_frames(area.journal_path()) >= 2; }, 10s));
  shell.kill_parent();
  EXPECT_EQ(wait_child(supervisor, 10s), 75);  // policy_intervention

  EXPECT_EQ(shell.stderr_text(), kParentExitLine);
  const json report = observe_report(area);
  // The command died of the SIGTERM, so no SIGKILL followed.
  EXPECT_EQ(signal_rows(report), (std::vector<SignalRow>{group_signal(SIGTERM, "parent_exit")}));
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "policy_intervention");
  EXPECT_EQ(outcome["owned_group_survivors"], false);
  EXPECT_EQ(outcome["child_status"], json({{"status", "signaled"}, {"signal", SIGTERM}}));
  EXPECT_TRUE(outcome.contains("parent_exited_at_ms"));
  ASSERT_EQ(report["signals"].size(), 1U);
  EXPECT_LT(outcome["at_ms"].get<uint64_t>(), report["signals"][0]["at_ms"].get<uint64_t>() + 1000);
}

TEST(ObserveE2e, LaunchingParentExitWithDetachIsOnlyRecorded) {
  RunArea area;
  const std::string ready = area.file("ready");
  IntermediateShell shell(area, observe_argv(area.report_path(),
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
  const json report = observe_report(area);
  EXPECT_EQ(report["configuration"]["on_parent_exit"], "detach");
  EXPECT_EQ(report["configuration"]["parent_watch"], "detach");
  EXPECT_TRUE(report["signals"].empty());
  const json& outcome = report["outcome"];
  EXPECT_EQ(outcome["kind"], "child_exited");
  EXPECT_EQ(outcome["code"], 3);
  EXPECT_TRUE(outcome.contains("parent_exited_at_ms"));
  EXPECT_FALSE(outcome.contains("owned_group_survivors"));
}

TEST(ObserveE2e, ClientReadinessClosesOnceObservationRuns) {
  RunArea area;
  ReadinessPipe readiness;
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(), {"/bin/sleep", "30"},
                            {"--client-ready-fd", std::to_string(readiness.write_fd())}),
       .inherit_fds = {readiness.write_fd()}});
  readiness.close_write();
  ASSERT_TRUE(readiness.wait_closed(10s));
  // Closed while the command still runs: observation has started, and the
  // first terminal signal is forwarded rather than ending anything itself.
  supervisor.send_signal(SIGTERM);
  const SubprocessResult result = supervisor.wait(10s);
  expect_quiet_end(result, 128 + SIGTERM);

  const json report = observe_report(area);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{group_signal(SIGTERM, "external_signal")}));
  EXPECT_EQ(report["outcome"]["child_status"], json({{"status", "signaled"}, {"signal", SIGTERM}}));
}

// At the longest interval the loop sleeps ten seconds between samples; the
// root's exit and a terminal signal must each end that sleep at once.
TEST(ObserveE2e, LongSleepEndsAtTheRootsExitAndAtCtrlC) {
  RunArea exits;
  const auto started = std::chrono::steady_clock::now();
  const SubprocessResult exited = run_subprocess(
      {.argv = observe_argv(exits.report_path(),
                            {helper("grow"), "--max", "1048576", "--hold-ms", "200"}, {}, "10s")});
  EXPECT_EQ(shell_status(exited.exit_code, exited.term_signal), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_EQ(read_report_json(exits.report_path())["samples"].size(), 1U);

  RunArea interrupted;
  const std::string ready = interrupted.file("ready");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(interrupted.report_path(),
                            {helper("actor"), "wait-signal", "--signal", "2", "--ready", ready}, {},
                            "10s")});
  ASSERT_GT(wait_pid_file(ready, 10s), 0);
  const auto signalled = std::chrono::steady_clock::now();
  supervisor.send_signal(SIGINT);
  const SubprocessResult result = supervisor.wait(20s);
  EXPECT_EQ(shell_status(result.exit_code, result.term_signal), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, 5s);
  EXPECT_EQ(signal_rows(read_report_json(interrupted.report_path())),
            (std::vector<SignalRow>{group_signal(SIGINT, "external_signal")}));
}

TEST(ObserveE2e, FullJournalDoesNotStopObservation) {
  TempDir scratch;
  const std::string mount_point = scratch.file("tiny");
  ASSERT_EQ(::mkdir(mount_point.c_str(), 0700), 0);
  TinyTmpfs tiny(mount_point, "16k");
  if (!tiny.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tiny.error();
  const std::string report_path = mount_point + "/report.json";
  const std::string done = scratch.file("done");
  // Four pages hold the header and a few samples: the journal fails
  // part-way, and the command must still run to its end under observation.
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

TEST(ObserveE2e, CalibrationPeakMatchesTheMemoryTheCommandHeld) {
  constexpr uint64_t kHeld = 64ULL << 20;
  RunArea area;
  const std::string stamp = area.file("mapped");
  // One populated mapping rather than the allocator's blocks, so that a
  // sanitizer's bookkeeping in the helper does not blur the figure.
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(),
                            {helper("actor"), "jump", "--bytes", std::to_string(kHeld),
                             "--delay-ms", "50", "--stamp", stamp})});
  ASSERT_TRUE(eventually([&] { return path_exists(stamp); }, 10s));
  // Held for a good twenty samples, then the command is ended through the
  // supervisor.
  std::this_thread::sleep_for(250ms);
  supervisor.send_signal(SIGTERM);
  const SubprocessResult result = supervisor.wait(10s);
  expect_quiet_end(result, 128 + SIGTERM);

  const json report = observe_report(area);
  const json& calibration = report["calibration"];
  ASSERT_EQ(calibration["peak_aggregate_footprint_bytes"]["status"], "available");
  const uint64_t peak = calibration["peak_aggregate_footprint_bytes"]["value"].get<uint64_t>();
  EXPECT_GE(peak, kHeld - kHeld / 10);
  EXPECT_LE(peak, kHeld + kHeld / 10);
  EXPECT_GT(calibration["complete_samples"].get<uint64_t>(), 0U);
  // The peak is one of the samples' aggregates.
  uint64_t sampled_peak = 0;
  for (const json& sample : report["samples"]) {
    if (sample["aggregate_footprint_bytes"]["status"] == "available") {
      sampled_peak =
          std::max(sampled_peak, sample["aggregate_footprint_bytes"]["value"].get<uint64_t>());
    }
  }
  EXPECT_EQ(sampled_peak, peak);
  EXPECT_EQ(report["outcome"]["final_footprint_bytes"]["status"], "available");
}

// Slow on purpose: 4096 samples at the shortest interval take about 41
// seconds.
TEST(ObserveE2e, LongRunKeepsTheLastSamplesAfterAHistoryReset) {
  constexpr std::size_t kHistory = 4096;
  RunArea area;
  Subprocess supervisor =
      Subprocess::start({.argv = observe_argv(area.report_path(), {"/bin/sleep", "300"})});
  // Samples are journaled one by one up to the 4096th: once the header and
  // those are in, run on a little so that the sampler drops some, then end
  // the command.
  ASSERT_TRUE(
      eventually([&] { return count_journal_frames(area.journal_path()) >= kHistory + 1; }, 180s));
  std::this_thread::sleep_for(500ms);
  supervisor.send_signal(SIGTERM);
  const SubprocessResult result = supervisor.wait(30s);
  expect_quiet_end(result, 128 + SIGTERM);

  const JournalTypes journal = read_journal_types(area.journal_path());
  EXPECT_TRUE(journal.clean);
  const std::vector<std::string>& names = journal.types;
  std::size_t reset = names.size();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "sample_history_reset") {
      EXPECT_EQ(reset, names.size()) << "a second reset at " << i;
      reset = i;
    }
  }
  ASSERT_LT(reset, names.size());
  std::size_t samples_before = 0;
  for (std::size_t i = 0; i < reset; ++i) samples_before += names[i] == "sample" ? 1 : 0;
  EXPECT_EQ(samples_before, kHistory);
  // After the reset: the last 4096 samples, then the closing records.
  std::vector<std::string> tail(names.begin() + static_cast<std::ptrdiff_t>(reset) + 1,
                                names.end());
  std::vector<std::string> expected(kHistory, "sample");
  for (const char* closing : {"checkpoint", "escape", "calibration", "outcome"}) {
    expected.emplace_back(closing);
  }
  EXPECT_EQ(tail, expected);

  const json report = observe_report(area);
  ASSERT_EQ(report["samples"].size(), kHistory);
  // The report holds the re-written samples (the rebuilt report matches it),
  // and those are the newest: the first ones, taken from 0 ms on, are gone.
  EXPECT_GT(report["samples"][0]["captured_at_ms"].get<uint64_t>(), 0U);
  EXPECT_GT(report["calibration"]["total_samples"].get<uint64_t>(), kHistory);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{group_signal(SIGTERM, "external_signal")}));
  EXPECT_EQ(report["outcome"]["kind"], "child_signaled");
}

}  // namespace
}  // namespace vek_guard::test_support
