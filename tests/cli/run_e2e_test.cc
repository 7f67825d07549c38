// `vek-guard run` end to end: the real binary on the helper programs, judged
// by its exit status, its output and the report its journal rebuilds. Limits
// leave room for the helpers' own baseline (a few MiB under the sanitizers).
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
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

using nlohmann::json;
using namespace nlohmann::literals;
using std::chrono::seconds;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kDefaultLimit = 1ULL << 30;
// A breach: 64 MiB is the limit, the emergency band starts 6.4 MiB above.
constexpr uint64_t kBreachLimit = 64 * kMiB;
constexpr uint64_t kBreachHold = 65 * kMiB;
// A jump: 16 MiB is the limit, the command maps 96 MiB at once.
constexpr uint64_t kJumpLimit = 16 * kMiB;
constexpr uint64_t kJumpSize = 96 * kMiB;
constexpr std::string_view kStdinNotice =
    "vek-guard: standard input is a terminal, so the command reads from /dev/null instead\n";

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

std::string bytes_option(uint64_t bytes) { return std::to_string(bytes) + "B"; }

// The line printed when supervision starts.
std::string enforcing_line(uint64_t limit) {
  return "vek-guard: enforcing a " + std::to_string(limit) +
         "-byte footprint limit; emergency KILL at " + std::to_string(limit + limit / 10) +
         " bytes, about 10% above the limit\n";
}

// The summary line a report produces.
std::string summary_of(const json& report) {
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

std::vector<std::string> argv_of(const RunArea& area, const RunSpec& spec) {
  return run_argv(VEK_GUARD_BINARY, area.report_path(), spec);
}

SubprocessResult run(const RunArea& area, const RunSpec& spec, SubprocessOptions options = {}) {
  options.argv = argv_of(area, spec);
  SubprocessResult result = run_subprocess(options, seconds(30));
  EXPECT_FALSE(result.timed_out) << "the run did not end in time";
  return result;
}

// The published report, once its journal has read back clean and rebuilt a
// valid report identical to it; every published report goes through here.
json published(const RunArea& area) {
  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  json report = read_report_json(area.report_path());
  EXPECT_TRUE(report.is_object());
  return report;
}

uint64_t signal_at(const json& report, std::size_t index) {
  return report["signals"].size() > index ? report["signals"][index]["at_ms"].get<uint64_t>() : 0;
}

// Runs `spec` from a shell that is its launching parent, kills the shell once
// a sample shows supervision running, and returns what the supervisor did.
SubprocessResult run_and_lose_parent(const RunArea& area, const RunSpec& spec) {
  LaunchingShell shell(area, argv_of(area, spec));
  const pid_t guard = shell.supervisor_pid();
  EXPECT_GT(guard, 0);
  EXPECT_TRUE(
      eventually([&] { return count_journal_frames(area.journal_path()) >= 2; }, seconds(10)));
  shell.kill_parent();
  return {.exit_code = wait_child(guard, seconds(20)),
          .stdout_text = shell.stdout_text(),
          .stderr_text = shell.stderr_text()};
}

// One run under a terminal with its own exit code, then a second run on the
// same report path that must leave the first one's files alone.
TEST(RunE2e, OwnExitCodeIsKeptAndASecondRunCannotReplaceTheReport) {
  RunArea area;
  const std::string seen = area.file("stdin");
  const SubprocessResult result = run(
      area,
      {.max_footprint = "64MiB",
       .sample_interval = "20ms",
       .command = {"/bin/sh", "-c", "readlink /proc/self/fd/0 >\"$0\"; sleep 0.2; exit 3", seen}},
      {.stdin_pty = true});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.stderr_text, std::string(kStdinNotice) + enforcing_line(kBreachLimit));
  EXPECT_EQ(read_file(seen), "/dev/null\n");

  json report = published(area);
  EXPECT_EQ(result.stdout_text, summary_of(report));
  expect_json_subset(report, R"({
    "outcome": {"kind": "child_exited", "code": 3, "child_status": {"status": "exited", "code": 3},
                "final_footprint_bytes": {"status": "available"}},
    "checkpoint": {"status": "not_negotiated", "reason": null},
    "run": {"executable_basename": "sh", "argument_count": 3},
    "capabilities": {"checkpoint_channel": {"status": "available", "value": true}},
    "configuration": {"mode": "enforce", "sample_interval_ms": 20, "checkpoint_timeout_ms": 1000,
                      "term_grace_ms": 1000, "wall_time_ms": null,
                      "max_footprint_bytes": 67108864, "warning_footprint_bytes": 60397978,
                      "recovery_footprint_bytes": 53687092, "emergency_footprint_bytes": 73819750}
  })"_json);  // the bands are 64 MiB less one and two tenths, and plus one
  EXPECT_GE(report["samples"].size(), 2u);
  EXPECT_TRUE(report["signals"].empty());
  // Both files private, and no temporary report left over.
  EXPECT_EQ(file_mode(area.report_path()), 0600u);
  EXPECT_EQ(file_mode(area.journal_path()), 0600u);
  EXPECT_FALSE(path_exists(area.file(".report.json.tmp")));

  const std::string first_report = read_file(area.report_path());
  const std::string first_journal = read_file(area.journal_path());
  const SubprocessResult second = run(area, {.command = {"/bin/sh", "-c", "exit 5"}});
  EXPECT_EQ(second.exit_code, 74);
  EXPECT_EQ(second.stdout_text, "");
  EXPECT_EQ(second.stderr_text, "vek-guard: journal target already exists\n");
  EXPECT_EQ(read_file(area.report_path()), first_report);
  EXPECT_EQ(read_file(area.journal_path()), first_journal);
}

// The ends before supervision, and a child killed by a signal. A null report
// means nothing may be written at all. A readiness descriptor (handed on when
// no other option is given) must be closed by the end whatever it is.
TEST(RunE2e, EachEarlyEndHasItsStatusMessageAndReport) {
  TempDir scratch;
  const std::string script = scratch.file("not-executable");
  ASSERT_TRUE(write_file(script, "", 0600));
  const std::string marker = scratch.file("launched");
  struct Row {
    const char* what;
    std::vector<std::string> options, command;
    int status;
    std::string message;
    const char* report;
    mode_t dir_mode = 0700;
  };
  // clang-format off
  const std::vector<Row> rows = {
      {"killed by a signal", {}, {"/bin/sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, "",
       R"({"outcome": {"kind": "child_signaled", "signal": 9}, "signals": []})"},
      {"not found", {}, {scratch.file("no-such-command")}, 127, "command was not found",
       R"({"outcome": {"kind": "launch_not_found", "at_ms": 0, "child_status": null,
                       "final_footprint_bytes": {"status": "unknown"}}, "samples": []})"},
      {"not executable", {}, {script}, 126, "command is not executable",
       R"({"outcome": {"kind": "launch_not_executable"}})"},
      {"bad working directory", {"--cwd", scratch.file("missing")}, {"/bin/true"}, 64,
       "child working directory is invalid", R"({"outcome": {"kind": "invalid_configuration"}})"},
      {"root directory as the command", {}, {"/"}, 70, "secure run identity generation failed",
       nullptr},
      // Descriptor 57 is not open: the harness hands on only what it is asked.
      {"readiness descriptor not open", {"--client-ready-fd", "57"}, {"/bin/true"}, 64,
       "client readiness descriptor configuration failed", nullptr},
      {"report directory not private", {}, {"/usr/bin/touch", marker}, 74,
       "artifact directory is not private and owned", nullptr, 0750},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    ReadinessPipe ready;
    RunSpec spec{.options = row.options, .command = row.command};
    SubprocessOptions options;
    const bool readiness = row.options.empty();
    if (readiness) {
      spec.options.insert(spec.options.end(),
                          {"--client-ready-fd", std::to_string(ready.write_fd())});
      options.inherit_fds = {ready.write_fd()};
    }
    ASSERT_EQ(::chmod(area.dir().c_str(), row.dir_mode), 0);
    options.argv = argv_of(area, spec);
    Subprocess guard = Subprocess::start(options);
    ready.close_write();
    if (readiness) {
      EXPECT_TRUE(ready.wait_closed(seconds(10)));
    }
    const SubprocessResult result = guard.wait(seconds(30));
    ASSERT_EQ(::chmod(area.dir().c_str(), 0700), 0);

    EXPECT_EQ(shell_status(result.exit_code, result.term_signal), row.status);
    EXPECT_EQ(result.stderr_text, row.message.empty() ? enforcing_line(kDefaultLimit)
                                                      : "vek-guard: " + row.message + "\n");
    if (row.report == nullptr) {
      EXPECT_EQ(result.stdout_text, "");
      EXPECT_FALSE(path_exists(area.journal_path()));
      EXPECT_FALSE(path_exists(area.report_path()));
    } else {
      expect_json_subset(published(area), json::parse(row.report));
    }
  }
  EXPECT_FALSE(path_exists(marker));
}

TEST(RunE2e, InterventionsSignalTheGroupForTheirReason) {
  const std::vector<std::string> checkpointer = {
      helper("checkpointer"),     "--grow-step", std::to_string(4 * kMiB),
      "--grow-interval-ms",       "20",          "--grow-max",
      std::to_string(kBreachHold)};
  const auto client = [&](std::vector<std::string> answer) {
    answer.insert(answer.begin(), checkpointer.begin(), checkpointer.end());
    return answer;
  };
  const SignalRow usr1{SIGUSR1, "cooperative_endpoint", "delivered", "footprint"};
  const SignalRow term = group_signal(SIGTERM, "footprint");
  struct Row {
    const char* what;
    uint64_t limit;
    std::vector<std::string> options, command;
    std::vector<SignalRow> signals;
    // The least time from the previous signal (from the start for the first).
    std::vector<uint64_t> min_gaps_ms;
    const char* report;
    // Run from a shell that is killed once supervision runs.
    bool lose_parent = false;
    // A transition into `state` at `min_bytes` or more, when a state is set.
    std::string state = "";
    uint64_t min_bytes = 0;
  };
  // clang-format off
  const std::vector<Row> rows = {
      // No client: the request falls through to SIGTERM without a record of
      // its own, and the checkpoint still carries the reason.
      {"gradual breach", kBreachLimit, {}, grow_to(kBreachHold), {term}, {0},
       R"({"outcome": {"child_status": {"status": "signaled", "signal": 15}},
           "checkpoint": {"status": "not_negotiated", "reason": "footprint"}})",
       false, "terminating", kBreachLimit},
      {"jump above the emergency band", kJumpLimit, {},
       {helper("grow"), "--step", std::to_string(kJumpSize), "--max", std::to_string(kJumpSize),
        "--hold-ms", "30000"},
       {group_signal(SIGKILL, "footprint")}, {0},
       R"({"outcome": {"child_status": {"status": "signaled", "signal": 9}}})",
       false, "emergency", kJumpLimit + kJumpLimit / 10},
      {"SIGTERM ignored", kBreachLimit, {}, grow_to(kBreachHold, {"--ignore-term"}),
       {term, group_signal(SIGKILL, "footprint")}, {0, 1000},
       R"({"outcome": {"child_status": {"status": "signaled", "signal": 9}}})"},
      {"wall time", kDefaultLimit, {"--wall-time", "300ms"}, {"/bin/sleep", "30"},
       {group_signal(SIGTERM, "wall_time")}, {300},
       R"({"configuration": {"wall_time_ms": 300},
           "checkpoint": {"status": "not_negotiated", "reason": "wall_time"}})"},
      {"parent exit", kDefaultLimit, {}, {"/bin/sleep", "30"},
       {group_signal(SIGTERM, "parent_exit")}, {0},
       R"({"configuration": {"parent_watch": "active"}})", true},
      {"client accepts the checkpoint", kBreachLimit, {},
       client({"--status", "1", "--artifact", "1", "--has-size", "1", "--size", "4096"}),
       {usr1, term}, {0, 0},
       R"({"checkpoint": {"status": "acknowledged_unverified_durability", "reason": "footprint",
                          "artifact": {"kind": "file", "size_bytes": 4096}}})"},
      {"client refuses", kBreachLimit, {},
       client({"--status", "2", "--artifact", "0", "--has-size", "0", "--size", "0"}),
       {usr1, term}, {0, 0},
       R"({"checkpoint": {"status": "requested_unverified", "artifact": null}})"},
      {"client never answers", kBreachLimit, {"--checkpoint-timeout", "100ms"},
       client({"--mode", "never-answer"}), {usr1, term}, {0, 100},
       R"({"configuration": {"checkpoint_timeout_ms": 100},
           "checkpoint": {"status": "timed_out"}})"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    const RunSpec spec{
        .max_footprint = bytes_option(row.limit), .options = row.options, .command = row.command};
    const SubprocessResult result =
        row.lose_parent ? run_and_lose_parent(area, spec) : run(area, spec);
    EXPECT_EQ(result.exit_code, 75);
    EXPECT_EQ(result.stderr_text, enforcing_line(row.limit));
    json report = published(area);
    EXPECT_EQ(result.stdout_text, summary_of(report));
    EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
    EXPECT_EQ(report["outcome"].contains("parent_exited_at_ms"), row.lose_parent);
    expect_json_subset(report, json::parse(row.report));
    ASSERT_EQ(signal_rows(report), row.signals);
    for (std::size_t i = 0; i < row.min_gaps_ms.size(); ++i) {
      EXPECT_GE(signal_at(report, i), (i == 0 ? 0 : signal_at(report, i - 1)) + row.min_gaps_ms[i]);
    }
    // A checkpoint answer (or its timeout) lies between the request and the
    // termination.
    if (const json& checkpoint = report["checkpoint"]; checkpoint.contains("at_ms")) {
      EXPECT_GE(checkpoint["at_ms"].get<uint64_t>(), signal_at(report, 0));
      EXPECT_LE(checkpoint["at_ms"].get<uint64_t>(), signal_at(report, 1));
    }
    if (row.state.empty()) continue;
    const json& transitions = report["transitions"];
    const auto into = std::find_if(transitions.begin(), transitions.end(),
                                   [&](const json& t) { return t["to"] == row.state; });
    ASSERT_NE(into, transitions.end()) << "no transition into " << row.state;
    EXPECT_GE((*into)["aggregate_footprint_bytes"].get<uint64_t>(), row.min_bytes);
    EXPECT_EQ(transitions.back()["to"], "exited");
  }
}

// SIGINT goes to the group; a command that survives it keeps its own status.
// The readiness descriptor must be closed while the command still runs: the
// supervisor closes it once supervision starts, and the command never got a
// copy.
TEST(RunE2e, SigintIsForwardedToTheGroup) {
  const std::vector<std::tuple<std::string, int, const char*>> rows = {
      {std::to_string(SIGUSR2), 128 + SIGINT, R"({"kind": "child_signaled", "signal": 2})"},
      {std::to_string(SIGINT), 3, R"({"kind": "child_exited", "code": 3})"}};
  for (const auto& [handled, status, outcome] : rows) {
    SCOPED_TRACE(status);
    RunArea area;
    ReadinessPipe ready;
    const std::string ready_file = area.file("ready");
    Subprocess guard = Subprocess::start(
        {.argv = argv_of(area, {.options = {"--client-ready-fd", std::to_string(ready.write_fd())},
                                .command = {helper("actor"), "wait-signal", "--signal", handled,
                                            "--exit", "3", "--ready", ready_file}}),
         .inherit_fds = {ready.write_fd()}});
    ready.close_write();
    ASSERT_TRUE(ready.wait_closed(seconds(10)));
    EXPECT_TRUE(process_running(guard.pid()));
    ASSERT_GT(wait_pid_file(ready_file, seconds(10)), 0);
    guard.send_signal(SIGINT);
    const SubprocessResult result = guard.wait(seconds(20));
    EXPECT_EQ(shell_status(result.exit_code, result.term_signal), status);
    json report = published(area);
    EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{group_signal(SIGINT, "external_signal")});
    expect_json_subset(report["outcome"], json::parse(outcome));
  }
}

// The root exits and leaves one member behind (or one that left the group).
// Nobody here reaps the orphaned member when it dies: an init that reaps late
// must not keep the run going, or turn the clean end into a kill at the grace
// deadline, since a group of exited members is gone for the supervisor.
TEST(RunE2e, MembersLeftByTheRootAreCleanedUpAndEscapesRecorded) {
  const SignalRow cleanup = group_signal(SIGTERM, "root_exit_cleanup");
  struct Row {
    const char* what;
    std::vector<std::string> forker_options;
    int status;
    std::vector<SignalRow> signals;
    const char* report;
  };
  // clang-format off
  const std::vector<Row> rows = {
      {"member left behind", {"--exit", "4"}, 4, {cleanup},
       R"({"outcome": {"kind": "child_exited", "code": 4}})"},
      {"member ignores the cleanup", {"--member-ignores-term"}, 75,
       {cleanup, group_signal(SIGKILL, "root_exit_cleanup")},
       R"({"outcome": {"kind": "policy_intervention",
                       "child_status": {"status": "exited", "code": 0}}})"},
      {"member leaves the group", {"--member-new-group", "--root-hold-ms", "400"}, 0, {},
       R"({"escape": {"detected": {"status": "available", "value": true}, "escaped_count": 1},
           "outcome": {"kind": "child_exited"}})"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    const std::string member_file = area.file("member");
    std::vector<std::string> command = {helper("forker"), member_file};
    command.insert(command.end(), row.forker_options.begin(), row.forker_options.end());
    const SubprocessResult result = run(area, {.command = command});
    EXPECT_EQ(shell_status(result.exit_code, result.term_signal), row.status);
    json report = published(area);
    const pid_t member = wait_pid_file(member_file, seconds(1));
    if (report["escape"].contains("escaped_count")) {
      kill_if_alive(member);
    } else {
      EXPECT_TRUE(eventually([&] { return !process_running(member); }, seconds(5)));
    }
    EXPECT_EQ(signal_rows(report), row.signals);
    expect_json_subset(report, json::parse(row.report));
  }
}

TEST(RunE2e, ParentExitWithDetachLeavesTheGroupSupervised) {
  RunArea area;
  const RunSpec detached{.options = {"--on-parent-exit", "detach"},
                         .command = {"/bin/sleep", "1.5"}};
  EXPECT_EQ(run_and_lose_parent(area, detached).exit_code, 0);
  json report = published(area);
  expect_json_subset(report, R"({"signals": [], "outcome": {"kind": "child_exited"},
      "configuration": {"on_parent_exit": "detach", "parent_watch": "detach"}})"_json);
  ASSERT_TRUE(report["outcome"]["parent_exited_at_ms"].is_number_unsigned());
  EXPECT_LT(report["outcome"]["parent_exited_at_ms"].get<uint64_t>(),
            report["outcome"]["at_ms"].get<uint64_t>());
}

TEST(RunE2e, JournalFailureMidRunKeepsEnforcingAndPublishesNothing) {
  RunArea area;
  const std::string tiny_dir = area.file("tiny");
  ASSERT_EQ(::mkdir(tiny_dir.c_str(), 0700), 0);
  TinyTmpfs tmpfs(tiny_dir, "64k");
  if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.error();
  const std::string report_path = tiny_dir + "/report.json";
  // The samples fill 64 KiB within a second or two; the breach comes later,
  // and the command would hold its memory for a minute if nobody stopped it.
  const std::vector<std::string> command = grow_to(
      kBreachHold, {"--step", std::to_string(kMiB), "--interval-ms", "40", "--hold-ms", "60000"});
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
// 41 s. The command runs until the journal holds 4096 samples (the sampler
// journals no more one by one) and a second more has passed, so the sampler
// has dropped some whatever the machine's load.
TEST(RunE2e, LongRunKeepsTheLast4096SamplesAfterAHistoryReset) {
  RunArea area;
  const std::string stop = area.file("stop");
  Subprocess guard = Subprocess::start(
      {.argv = argv_of(area, {.command = {"/bin/sh", "-c",
                                          "while [ ! -e \"$0\" ]; do sleep 0.05; done", stop}})});
  std::this_thread::sleep_for(seconds(38));
  // Polled once a second: reading a journal this long is not free.
  const auto full = [&] {
    const JournalTypes so_far = read_journal_types(area.journal_path());
    if (std::count(so_far.types.begin(), so_far.types.end(), "sample") >= 4096) return true;
    std::this_thread::sleep_for(seconds(1));
    return false;
  };
  ASSERT_TRUE(eventually(full, seconds(120))) << "the journal never held 4096 samples";
  std::this_thread::sleep_for(seconds(1));
  ASSERT_TRUE(write_file(stop, ""));
  const SubprocessResult result = guard.wait(seconds(20));
  EXPECT_EQ(result.exit_code, 0);
  json report = published(area);
  ASSERT_EQ(report["samples"].size(), 4096u);
  // The report holds the newest samples: the first ones were dropped.
  EXPECT_GT(report["samples"][0]["captured_at_ms"].get<uint64_t>(), 200u);

  // The journal: the first 4096 samples one by one, then at the end one
  // reset and the history again, then the closing records.
  const std::vector<std::string> types = read_journal_types(area.journal_path()).types;
  const auto reset = std::find(types.begin(), types.end(), "sample_history_reset");
  ASSERT_NE(reset, types.end());
  EXPECT_EQ(std::count(types.begin(), reset, "sample"), 4096);
  std::vector<std::string> tail(4096, "sample");
  tail.insert(tail.end(), {"checkpoint", "escape", "outcome"});
  EXPECT_EQ(std::vector<std::string>(reset + 1, types.end()), tail);
}

}  // namespace
}  // namespace vek_guard::test_support
