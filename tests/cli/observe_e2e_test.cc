// `vek-guard observe` end to end, for what only the real program on real
// processes can show: the calibration of real memory, the group left
// running, and the answers to the launching parent's exit and to Ctrl-C.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace nlohmann::literals;

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

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

// The published report, with what every observe report that reached the
// loop holds whatever its end.
json observe_report(const RunArea& area) {
  json report = published_report(area);
  expect_json_subset(report, R"({
    "checkpoint": {"status": "not_negotiated"},
    "configuration": {"mode": "observe", "max_footprint_bytes": null, "wall_time_ms": null},
    "calibration": {"observation_only": true, "safety_certified": false}})"_json);
  const json& calibration = report["calibration"];
  EXPECT_GE(calibration.value("total_samples", 0u), report["samples"].size());
  EXPECT_EQ(calibration.value("complete_samples", 0u) + calibration.value("incomplete_samples", 0u),
            calibration.value("total_samples", 0u));
  return report;
}

// The root exits with its own code and leaves a member running: reported,
// not signalled, and not killed when the supervisor lets go of the group.
TEST(ObserveE2e, RootExitKeepsItsStatusAndLeavesTheGroupRunning) {
  RunArea area;
  const std::string member_file = area.file("member.pid");
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(area.report_path(), {helper("forker"), member_file, "--root-hold-ms",
                                                 "100", "--exit", "7"})});
  const pid_t member = wait_pid_file(member_file, 1s);
  ASSERT_GT(member, 0);
  EXPECT_TRUE(process_running(member));
  ::kill(member, SIGKILL);
  EXPECT_EQ(shell_status(result), 7);
  EXPECT_EQ(result.stderr_text,
            "vek-guard: observe ended at root exit; owned-group members were still running and "
            "were not signalled\n");
  expect_json_subset(observe_report(area), R"({"signals": [], "transitions": [],
      "outcome": {"kind": "child_exited", "code": 7, "owned_group_survivors": true}})"_json);
}

// The parent's exit brings SIGTERM in the pass that sees it and SIGKILL after
// a second of grace, or with detach is only recorded.
TEST(ObserveE2e, LaunchingParentExitTerminatesTheGroupUnlessDetached) {
  for (const bool detach : {false, true}) {
    SCOPED_TRACE(detach ? "detach" : "terminate");
    RunArea area;
    const std::string ready = area.file("ready");
    const SubprocessResult result = run_and_lose_parent(
        area,
        observe_argv(
            area.report_path(),
            {helper("stubborn"), "--ready-file", ready, "--max-seconds", detach ? "2" : "30"},
            {"--on-parent-exit", detach ? "detach" : "terminate"}),
        [&] { return exists(ready); });
    const json report = observe_report(area);
    const json& outcome = report["outcome"];
    ASSERT_TRUE(outcome.contains("parent_exited_at_ms"));
    if (detach) {
      EXPECT_EQ(result.exit_code, 128 + SIGALRM);  // the command's own end
      EXPECT_EQ(result.stderr_text, "");
      expect_json_subset(report, R"({"signals": [],
          "configuration": {"on_parent_exit": "detach", "parent_watch": "detach"}})"_json);
      continue;
    }
    EXPECT_EQ(result.exit_code, 75);
    EXPECT_EQ(result.stderr_text,
              "vek-guard: observe ended because the launching parent exited; the owned group was "
              "terminated\n");
    EXPECT_EQ(outcome["kind"], "policy_intervention");
    EXPECT_EQ(outcome["owned_group_survivors"], true);
    ASSERT_EQ(signal_rows(report), (std::vector<SignalRow>{group_signal(SIGTERM, "parent_exit"),
                                                           group_signal(SIGKILL, "parent_exit")}));
    EXPECT_GE(report["signals"][1]["at_ms"].get<uint64_t>(),
              outcome["parent_exited_at_ms"].get<uint64_t>() + 1000);
  }
}

// The command holds one populated mapping (not allocator blocks, which a
// sanitizer's bookkeeping would blur) for some twenty samples, once from its
// main thread and once from a worker that outlives the main thread; a first
// terminal signal is forwarded rather than ending anything itself.
TEST(ObserveE2e, CalibrationPeakMatchesTheMemoryTheCommandHeld) {
  constexpr uint64_t kHeld = 64ULL << 20;
  for (const char* main_exits : {"0", "1"}) {
    SCOPED_TRACE(main_exits);
    RunArea area;
    const std::string stamp = area.file("mapped");
    Subprocess supervisor = Subprocess::start(
        {.argv = observe_argv(area.report_path(),
                              {helper("actor"), "jump", "--bytes", std::to_string(kHeld),
                               "--delay-ms", "50", "--main-exits", main_exits, "--stamp", stamp})});
    ASSERT_TRUE(eventually([&] { return exists(stamp + ".done"); }, 10s));
    std::this_thread::sleep_for(250ms);
    supervisor.send_signal(SIGTERM);
    EXPECT_EQ(shell_status(supervisor.wait(10s)), 128 + SIGTERM);

    const json report = observe_report(area);
    EXPECT_EQ(signal_rows(report),
              std::vector<SignalRow>{group_signal(SIGTERM, "external_signal")});
    const json& peak = report["calibration"]["peak_aggregate_footprint_bytes"];
    ASSERT_EQ(peak["status"], "available");
    EXPECT_GE(peak["value"].get<uint64_t>(), kHeld - kHeld / 10);
    EXPECT_LE(peak["value"].get<uint64_t>(), kHeld + kHeld / 10);
    uint64_t sampled_peak = 0;
    for (const json& sample : report["samples"]) {
      sampled_peak =
          std::max(sampled_peak, sample["aggregate_footprint_bytes"].value("value", 0ul));
    }
    EXPECT_EQ(sampled_peak, peak["value"]);
  }
}

// 500 MiB and four idle workers forked from it, each of which shows all of it
// as its own: the peak a limit is picked from is what they hold together.
TEST(ObserveE2e, CalibrationPeakCountsForkedWorkersByWhatTheyHold) {
  constexpr uint64_t kHeld = 500ULL << 20;
  RunArea area;
  const std::string idle = area.file("idle");
  const SubprocessResult result = run_subprocess(
      {.argv = observe_argv(area.report_path(),
                            {helper("actor"), "fork", "--bytes", std::to_string(kHeld), "--workers",
                             "4", "--idle-ms", "1500", "--stamp", idle},
                            {}, "500ms")});
  EXPECT_EQ(shell_status(result), 0);
  EXPECT_TRUE(exists(idle));
  const json report = observe_report(area);
  const json& peak = report["calibration"]["peak_aggregate_footprint_bytes"];
  ASSERT_EQ(peak["status"], "available");
  EXPECT_GE(peak["value"].get<uint64_t>(), kHeld - kHeld / 10);
  EXPECT_LE(peak["value"].get<uint64_t>(), kHeld + kHeld / 10);
}

// The first Ctrl-C is forwarded; the second kills the group.
TEST(ObserveE2e, SecondCtrlCKillsTheGroup) {
  RunArea area;
  const std::string ready = area.file("ready");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(), {helper("stubborn"), "--ready-file", ready,
                                                 "--also-int", "--max-seconds", "30"})});
  ASSERT_GT(wait_pid_file(ready, 10s), 0);
  supervisor.send_signal(SIGINT);
  std::this_thread::sleep_for(200ms);  // lets the first be forwarded before the second
  supervisor.send_signal(SIGINT);
  const SubprocessResult result = supervisor.wait(20s);
  EXPECT_EQ(shell_status(result), 128 + SIGKILL);
  EXPECT_EQ(result.stderr_text, "");
  const json report = observe_report(area);
  EXPECT_EQ(signal_rows(report),
            (std::vector<SignalRow>{group_signal(SIGINT, "external_signal"),
                                    group_signal(SIGKILL, "external_signal")}));
  EXPECT_EQ(report["outcome"]["kind"], "child_signaled");
}

// Observing never ties the command's life to the supervisor's: only `run`
// launches it with the parent-death signal.
TEST(ObserveE2e, OnlyRunKillsTheCommandWhenTheSupervisorDies) {
  for (const bool observe : {false, true}) {
    SCOPED_TRACE(observe ? "observe" : "run");
    RunArea area;
    const std::string out = area.file("described");
    const std::vector<std::string> command = {helper("describe"), out};
    const SubprocessResult result = run_subprocess(
        {.argv = observe ? observe_argv(area.report_path(), command)
                         : run_argv(VEK_GUARD_BINARY, area.report_path(), {.command = command})});
    EXPECT_EQ(shell_status(result), 0) << result.stderr_text;
    EXPECT_NE(read_file(out).find(observe ? "\npdeathsig 0\n" : "\npdeathsig 9\n"),
              std::string::npos)
        << read_file(out);
  }
}

// Observation that fails gives the group up while its root still runs, and
// the supervisor exits: the root is not signalled, then or later. Here the
// supervisor runs out of descriptors in mid-run, which fails its samples
// (and the publication of its report, though not its journal).
TEST(ObserveE2e, ACommandGivenUpWhileItRunsOutlivesTheSupervisor) {
  RunArea area;
  const std::string root_file = area.file("root");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(), {"/bin/sh", "-c",
                                                 "echo $$ >\"$0.tmp\" && mv \"$0.tmp\" \"$0\" && "
                                                 "exec sleep 30 >/dev/null 2>&1",
                                                 root_file})});
  const pid_t root = wait_pid_file(root_file, 10s);
  ASSERT_GT(root, 0);
  ASSERT_TRUE(eventually([&] { return count_journal_frames(area.journal_path()) >= 3; }, 10s));
  rlimit limit{};
  ASSERT_EQ(::prlimit(supervisor.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = 3;  // standard input, output and error, and nothing more
  ASSERT_EQ(::prlimit(supervisor.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  const SubprocessResult result = supervisor.wait(20s);
  EXPECT_FALSE(process_ending(root)) << "the command ended with its supervisor";
  ::kill(root, SIGKILL);
  // A sanitized supervisor may end sooner, without its descriptors: the
  // command outlives it all the same.
  if (sanitizer_lost_its_descriptors(result)) return;
  EXPECT_EQ(shell_status(result), 74) << result.stderr_text;

  const std::optional<JournalRecovery> journal = read_journal_file(area.journal_path());
  ASSERT_TRUE(journal);
  std::vector<PolicyState> states;
  std::optional<TerminalOutcome> outcome;
  for (const JournalRecord& record : journal->records) {
    if (const auto* transition = record.entry.payload_if<TransitionRecord>()) {
      states.push_back(transition->to);
    }
    if (const auto* end = record.entry.payload_if<TerminalOutcome>()) outcome = *end;
  }
  EXPECT_EQ(states, std::vector<PolicyState>{PolicyState::SupervisorError});
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->kind, TerminalKind::of(TerminalKind::Tag::SupervisorFailure));
  EXPECT_FALSE(outcome->child_status);
}

// After the second Ctrl-C killed the group, a member that was outside it then
// and came back in the moment the command began to exit is killed too, and
// the run ends when the group is gone, with the command's own end.
TEST(ObserveE2e, AMemberBackInTheGroupAfterTheKillIsKilledToo) {
  const OrphanAdoption adoption;  // the member's end is the test's to see
  RunArea area;
  const std::string member_file = area.file("member");
  Subprocess supervisor = Subprocess::start(
      {.argv = observe_argv(area.report_path(), {helper("actor"), "rejoin", "--member", member_file,
                                                 "--delay-ms", "0"})});
  const pid_t member = wait_pid_file(member_file, 10s);
  ASSERT_GT(member, 0);
  // The command holds its memory, and samples have seen the member outside
  // the group.
  ASSERT_TRUE(eventually([&] { return exists(member_file + ".held"); }, 10s));
  ASSERT_TRUE(eventually([&] { return count_journal_frames(area.journal_path()) >= 4; }, 10s));
  supervisor.send_signal(SIGTERM);  // forwarded, and ignored
  std::this_thread::sleep_for(100ms);
  supervisor.send_signal(SIGTERM);
  const SubprocessResult result = supervisor.wait(20s);
  if (read_file(member_file + ".rejoin") != "rejoined\n") {
    ::kill(member, SIGKILL);
    GTEST_SKIP() << "the member could not get back into the group while it existed";
  }
  EXPECT_EQ(shell_status(result), 128 + SIGKILL);
  EXPECT_EQ(result.stderr_text, "");
  EXPECT_EQ(wait_child(member, 10s), 128 + SIGKILL);
  const json report = observe_report(area);
  const std::vector<SignalRow> signals = signal_rows(report);
  ASSERT_GE(signals.size(), 2u);
  EXPECT_EQ(signals[0], group_signal(SIGTERM, "external_signal"));
  for (std::size_t i = 1; i < signals.size(); ++i) {
    EXPECT_EQ(signals[i], group_signal(SIGKILL, "external_signal"));
  }
  expect_json_subset(report["outcome"], R"({"kind": "child_signaled", "signal": 9,
                                           "owned_group_survivors": null})"_json);
}

}  // namespace
}  // namespace vek_guard::test_support
