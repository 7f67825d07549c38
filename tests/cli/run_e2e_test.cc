// `vek-guard run` end to end: the real binary on the helper programs, judged
// by its exit status, its output and the report its journal rebuilds. Limits
// leave room for the helpers' own baseline (a few MiB under the sanitizers).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/run_files.h"
#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

using nlohmann::json;
using namespace nlohmann::literals;
using std::chrono::seconds;

constexpr uint64_t kMiB = 1 << 20;
// 64 MiB is the limit; the emergency band starts 6.4 MiB above it.
constexpr uint64_t kLimit = 64 * kMiB;
constexpr uint64_t kDefaultLimit = 1ULL << 30;

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

std::string enforcing_line(uint64_t limit) {
  return "vek-guard: enforcing a " + std::to_string(limit) +
         "-byte footprint limit; emergency KILL at " + std::to_string(limit + limit / 10) +
         " bytes, about 10% above the limit\n";
}

std::string summary_of(const json& report) {
  const auto samples = report["samples"].size();
  const auto signals = report["signals"].size();
  return "vek-guard: " + report["outcome"]["kind"].get<std::string>() + " at " +
         std::to_string(report["outcome"]["at_ms"].get<uint64_t>()) + "ms; " +
         std::to_string(samples) + (samples == 1 ? " sample, " : " samples, ") +
         std::to_string(signals) + (signals == 1 ? " signal" : " signals") + "\n";
}

// A command that grows in 4 MiB steps to `hold` bytes and keeps them.
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
  SubprocessResult result = run_subprocess(options, seconds(60));
  EXPECT_FALSE(result.timed_out) << "the run did not end in time";
  return result;
}

uint64_t signal_at(const json& report, std::size_t index) {
  return report["signals"].size() > index ? report["signals"][index]["at_ms"].get<uint64_t>() : 0;
}

// Runs `spec` from a shell that is killed once a sample shows supervision
// running.
SubprocessResult lose_parent(const RunArea& area, const RunSpec& spec) {
  return run_and_lose_parent(area, argv_of(area, spec),
                             [&] { return count_journal_frames(area.journal_path()) >= 2; });
}

TEST(RunE2e, OwnExitCodeUnderATerminalAndASecondRunOnTheSamePath) {
  RunArea area;
  const std::string seen = area.file("stdin");
  const SubprocessResult result = run(
      area,
      {.max_footprint = "64MiB",
       .command = {"/bin/sh", "-c", "readlink /proc/self/fd/0 >\"$0\"; sleep 0.2; exit 3", seen}},
      {.stdin_pty = true});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.stderr_text,
            "vek-guard: standard input is a terminal, so the command reads from /dev/null "
            "instead\n" +
                enforcing_line(kLimit));
  EXPECT_EQ(read_file(seen), "/dev/null\n");
  const json report = published_report(area);
  EXPECT_EQ(result.stdout_text, summary_of(report));
  expect_json_subset(report, R"({"outcome": {"kind": "child_exited", "code": 3},
                                 "checkpoint": {"status": "not_negotiated"}, "signals": []})"_json);
  EXPECT_EQ(file_mode(area.report_path()), 0600u);
  EXPECT_EQ(file_mode(area.journal_path()), 0600u);

  const std::string first_report = read_file(area.report_path());
  const std::string first_journal = read_file(area.journal_path());
  const SubprocessResult second = run(area, {.command = {"/bin/true"}});
  EXPECT_EQ(second.exit_code, 74);
  EXPECT_EQ(read_file(area.report_path()), first_report);
  EXPECT_EQ(read_file(area.journal_path()), first_journal);
}

// Ends before supervision, and a child killed by a signal. A null report
// means nothing may be written at all, and the command must not have run.
TEST(RunE2e, EachEarlyEndHasItsStatusMessageAndReport) {
  TempDir scratch;
  const std::string script = scratch.file("not-executable");
  ASSERT_TRUE(write_file(script, "", 0600));
  const std::string marker = scratch.file("launched");
  struct Row {
    std::vector<std::string> options, command;
    int status;
    std::string message;
    const char* outcome;
    mode_t dir_mode = 0700;
  };
  // clang-format off
  const std::vector<Row> rows = {
      {{}, {"/bin/sh", "-c", "kill -KILL $$"}, 128 + SIGKILL, "",
       R"({"kind": "child_signaled", "signal": 9})"},
      {{}, {scratch.file("no-such-command")}, 127, "command was not found",
       R"({"kind": "launch_not_found", "at_ms": 0, "child_status": null})"},
      {{}, {script}, 126, "command is not executable", R"({"kind": "launch_not_executable"})"},
      {{"--cwd", scratch.file("missing")}, {"/bin/true"}, 64, "child working directory is invalid",
       R"({"kind": "invalid_configuration"})"},
      {{}, {"/"}, 70, "secure run identity generation failed", nullptr},
      // Descriptor 57 is not open: the harness hands on only what it is asked.
      {{"--client-ready-fd", "57"}, {"/usr/bin/touch", marker}, 64,
       "client readiness descriptor configuration failed", nullptr},
      {{}, {"/usr/bin/touch", marker}, 74, "artifact directory is not private and owned", nullptr,
       0750},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.message);
    RunArea area;
    ASSERT_EQ(::chmod(area.dir().c_str(), row.dir_mode), 0);
    const SubprocessResult result = run(area, {.options = row.options, .command = row.command});
    ASSERT_EQ(::chmod(area.dir().c_str(), 0700), 0);
    EXPECT_EQ(shell_status(result), row.status);
    EXPECT_EQ(result.stderr_text, row.message.empty() ? enforcing_line(kDefaultLimit)
                                                      : "vek-guard: " + row.message + "\n");
    if (row.outcome == nullptr) {
      EXPECT_FALSE(path_exists(area.journal_path()));
      EXPECT_FALSE(path_exists(area.report_path()));
    } else {
      expect_json_subset(published_report(area)["outcome"], json::parse(row.outcome));
    }
  }
  EXPECT_FALSE(path_exists(marker));
}

// Every intervention ends in 75 with the group signalled for its reason, each
// signal no sooner than its deadline, grace or timeout after the previous one.
TEST(RunE2e, InterventionsSignalTheGroupForTheirReason) {
  TempDir scratch;
  const auto client = [&](std::vector<std::string> answer) {
    answer.insert(answer.begin(),
                  {helper("checkpointer"), "--grow-step", std::to_string(4 * kMiB),
                   "--grow-interval-ms", "20", "--grow-max", std::to_string(kLimit + kMiB)});
    return answer;
  };
  const SignalRow usr1{SIGUSR1, "cooperative_endpoint", "delivered", "footprint"};
  const SignalRow term = group_signal(SIGTERM, "footprint");
  const SignalRow kill = group_signal(SIGKILL, "footprint");
  struct Row {
    const char* what;
    std::vector<std::string> options, command;
    std::vector<SignalRow> signals;
    std::vector<uint64_t> min_gaps_ms;  // from the previous signal, or the start
    const char* report;
    // A transition into this state at or above its band, when set.
    const char* state = nullptr;
    bool lose_parent = false;
    const char* interval = "10ms";
    uint64_t first_signal_before_ms = UINT64_MAX;  // generous: only a missed deadline is late
  };
  // clang-format off
  const std::vector<Row> rows = {
      // No client: the request falls through to SIGTERM without a record.
      {"gradual breach", {}, grow_to(kLimit + kMiB), {term}, {0},
       R"({"checkpoint": {"status": "not_negotiated", "reason": "footprint"}})", "terminating"},
      {"jump above the emergency band", {},
       {helper("grow"), "--step", std::to_string(96 * kMiB), "--max", std::to_string(96 * kMiB),
        "--hold-ms", "30000"}, {kill}, {0}, "{}", "emergency"},
      // The memory of a process whose leader is a zombie lives on in its threads.
      {"jump after the main thread exited", {},
       {helper("actor"), "jump", "--bytes", std::to_string(96 * kMiB), "--delay-ms", "100",
        "--main-exits", "1", "--stamp", scratch.file("jump")}, {kill}, {0}, "{}", "emergency"},
      {"SIGTERM ignored", {}, grow_to(kLimit + kMiB, {"--ignore-term"}), {term, kill}, {0, 1000},
       "{}"},
      // The band does not wait for the grace deadline, and the kill is the
      // footprint's, not the wall time's.
      {"SIGTERM ignored, then past the band", {"--wall-time", "300ms"},
       {helper("grow"), "--step", std::to_string(4 * kMiB), "--max", std::to_string(4 * kMiB),
        "--grow-on-term", std::to_string(96 * kMiB), "--hold-ms", "30000"},
       {group_signal(SIGTERM, "wall_time"), kill}, {300, 0}, "{}", "emergency"},
      // The next sample is due only at 10 s; the wall time must not wait for it.
      {"wall time", {"--wall-time", "1s"}, {"/bin/sleep", "30"},
       {group_signal(SIGTERM, "wall_time")}, {1000}, R"({"checkpoint": {"reason": "wall_time"}})",
       nullptr, false, "10s", 5000},
      {"parent exit", {}, {"/bin/sleep", "30"}, {group_signal(SIGTERM, "parent_exit")}, {0},
       R"({"configuration": {"parent_watch": "active"}})", nullptr, true},
      {"client accepts", {},
       client({"--status", "1", "--artifact", "1", "--has-size", "1", "--size", "4096"}),
       {usr1, term}, {0, 0},
       R"({"checkpoint": {"status": "acknowledged_unverified_durability",
                          "artifact": {"kind": "file", "size_bytes": 4096}}})"},
      {"client refuses", {},
       client({"--status", "2", "--artifact", "0", "--has-size", "0", "--size", "0"}),
       {usr1, term}, {0, 0},
       R"({"checkpoint": {"status": "requested_unverified", "artifact": null}})"},
      {"client never answers", {"--checkpoint-timeout", "100ms"},
       client({"--mode", "never-answer"}), {usr1, term}, {0, 100},
       R"({"checkpoint": {"status": "timed_out"}})"},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    const RunSpec spec{.max_footprint = "64MiB",
                       .sample_interval = row.interval,
                       .options = row.options,
                       .command = row.command};
    const SubprocessResult result = row.lose_parent ? lose_parent(area, spec) : run(area, spec);
    EXPECT_EQ(result.exit_code, 75);
    EXPECT_EQ(result.stderr_text, enforcing_line(kLimit));
    const json report = published_report(area);
    EXPECT_EQ(result.stdout_text, summary_of(report));
    EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
    EXPECT_EQ(report["outcome"].contains("parent_exited_at_ms"), row.lose_parent);
    expect_json_subset(report, json::parse(row.report));
    ASSERT_EQ(signal_rows(report), row.signals);
    for (std::size_t i = 0; i < row.min_gaps_ms.size(); ++i) {
      EXPECT_GE(signal_at(report, i), (i == 0 ? 0 : signal_at(report, i - 1)) + row.min_gaps_ms[i]);
    }
    EXPECT_LT(signal_at(report, 0), row.first_signal_before_ms);
    // A checkpoint answer (or its timeout) comes before the termination.
    if (report["checkpoint"].contains("at_ms")) {
      EXPECT_LE(report["checkpoint"]["at_ms"].get<uint64_t>(), signal_at(report, 1));
    }
    if (row.state == nullptr) continue;
    const json& transitions = report["transitions"];
    const auto into = std::find_if(transitions.begin(), transitions.end(),
                                   [&](const json& t) { return t["to"] == row.state; });
    ASSERT_NE(into, transitions.end()) << "no transition into " << row.state;
    EXPECT_GE((*into)["aggregate_footprint_bytes"].get<uint64_t>(),
              std::string_view(row.state) == "emergency" ? kLimit + kLimit / 10 : kLimit);
  }
}

// Starts a run of an actor that exits with 3 when `signal` reaches it; its pid
// is written to the area's "ready" file once it waits.
Subprocess start_waiting_for(const RunArea& area, int signal,
                             std::vector<std::string> run_options = {},
                             SubprocessOptions process = {}) {
  process.argv =
      argv_of(area, {.options = std::move(run_options),
                     .command = {helper("actor"), "wait-signal", "--signal", std::to_string(signal),
                                 "--exit", "3", "--ready", area.file("ready")}});
  return Subprocess::start(process);
}

// Sends `signal` to the supervisor: it is forwarded to the group as the run's
// only signal, and the actor's own status is the run's.
void expect_forwarded(const RunArea& area, Subprocess& guard, int signal) {
  guard.send_signal(signal);
  EXPECT_EQ(shell_status(guard.wait(seconds(20))), 3);
  EXPECT_EQ(signal_rows(published_report(area)),
            std::vector<SignalRow>{group_signal(signal, "external_signal")});
}

// SIGINT goes to the group, and a command that survives it keeps its own
// status. The readiness descriptor is closed while the command still runs.
TEST(RunE2e, SigintIsForwardedAndReadinessClosedWhileRunning) {
  RunArea area;
  ReadinessPipe ready;
  Subprocess guard =
      start_waiting_for(area, SIGINT, {"--client-ready-fd", std::to_string(ready.write_fd())},
                        {.inherit_fds = {ready.write_fd()}});
  ready.close_write();
  ASSERT_TRUE(ready.wait_closed(seconds(10)));
  EXPECT_TRUE(process_running(guard.pid()));
  ASSERT_GT(wait_pid_file(area.file("ready"), seconds(10)), 0);
  expect_forwarded(area, guard, SIGINT);
}

// Ctrl-Z stops the command's group before the supervisor, and continuing the
// supervisor continues the group. In a group of its own the supervisor is not
// orphaned, so the stop is not discarded.
TEST(RunE2e, AJobControlStopStopsTheCommandWithTheSupervisor) {
  RunArea area;
  Subprocess guard = start_waiting_for(area, SIGINT, {}, {.new_process_group = true});
  const pid_t command = wait_pid_file(area.file("ready"), seconds(10));
  ASSERT_GT(command, 0);
  // A first sample: supervision runs, with the group linked for a while now.
  ASSERT_TRUE(
      eventually([&] { return count_journal_frames(area.journal_path()) >= 2; }, seconds(10)));
  guard.send_signal(SIGTSTP);
  EXPECT_TRUE(eventually([&] { return process_state(guard.pid()) == 'T'; }, seconds(10)));
  EXPECT_TRUE(eventually([&] { return process_state(command) == 'T'; }, seconds(5)));
  guard.send_signal(SIGCONT);
  EXPECT_TRUE(eventually([&] { return process_state(command) == 'S'; }, seconds(10)));
  expect_forwarded(area, guard, SIGINT);
}

// SIGQUIT is a terminal signal like SIGINT; the other signals that would end
// the supervisor by default leave it supervising, and the command still
// starts with their default actions.
TEST(RunE2e, QuitIsForwardedAndOtherSignalsLeaveTheSupervisorAlone) {
  RunArea area;
  Subprocess guard = start_waiting_for(area, SIGQUIT);
  const pid_t command = wait_pid_file(area.file("ready"), seconds(10));
  ASSERT_GT(command, 0);
  const std::string status = read_file("/proc/" + std::to_string(command) + "/status");
  for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN, SIGHUP, SIGINT, SIGTERM}) {
    const uint64_t bit = uint64_t{1} << (signal - 1);
    for (const char* mask : {"SigIgn:", "SigBlk:", "SigCgt:"}) {
      const auto at = status.find(mask);
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(std::stoull(status.substr(at + std::strlen(mask)), nullptr, 16) & bit, 0u)
          << mask << " " << signal;
    }
  }
  for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN}) guard.send_signal(signal);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(process_running(guard.pid()));
  expect_forwarded(area, guard, SIGQUIT);
}

// A terminal signal that comes before the monitor exists waits, blocked, and
// is forwarded at the first pass. Here it is already pending at exec, which
// makes "before" certain.
TEST(RunE2e, ATerminalSignalBeforeTheLaunchIsForwardedAtTheFirstPass) {
  RunArea area;
  const SubprocessResult result =
      Subprocess::start(
          {.argv = argv_of(area, {.command = {"/bin/sleep", "5"}}), .pending_signals = {SIGTERM}})
          .wait(seconds(20));
  EXPECT_EQ(shell_status(result), 128 + SIGTERM);
  const json report = published_report(area);
  EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{group_signal(SIGTERM, "external_signal")});
  expect_json_subset(report["outcome"], R"({"kind": "child_signaled", "signal": 15})"_json);
}

// Standard error is a full pipe that nobody reads: the enforcing line is
// dropped, and the limit is enforced as usual.
TEST(RunE2e, AFullStandardErrorNeverHoldsUpSupervision) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
  const std::string filler(4096, 'x');
  std::size_t filled = 0;
  while (::write(ends[1], filler.data(), filler.size()) > 0) filled += filler.size();
  // The supervisor gets a blocking descriptor, as from any shell.
  ASSERT_EQ(::fcntl(ends[1], F_SETFL, 0), 0);
  RunArea area;
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&" + std::to_string(ends[1]),
                                   "sh"};
  for (const std::string& word :
       argv_of(area, {.max_footprint = "64MiB", .command = grow_to(kLimit + kMiB)})) {
    argv.push_back(word);
  }
  const SubprocessResult result =
      Subprocess::start({.argv = argv, .inherit_fds = {ends[1]}}).wait(seconds(20));
  ::close(ends[1]);
  EXPECT_EQ(result.exit_code, 75);
  EXPECT_EQ(signal_rows(published_report(area)),
            std::vector<SignalRow>{group_signal(SIGTERM, "footprint")});
  std::string left;
  char buffer[4096];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) left.append(buffer, n);
  ::close(ends[0]);
  EXPECT_EQ(left, std::string(filled / filler.size() * filler.size(), 'x'));
}

// A command inheriting SIGCHLD ignored keeps its status, and one under a low
// soft descriptor limit still gets descriptor 198, and its own limit back. A
// hard limit that cannot admit it refuses the run before anything is created.
TEST(RunE2e, InheritedSignalsAndDescriptorLimitsDoNotCostTheRun) {
  TempDir scratch;
  const std::string marker = scratch.file("launched");
  struct Row {
    std::vector<std::string> wrapper, command;
    int status;
    std::string stderr_text;
  };
  const std::string refusal =
      "vek-guard: open-file limit is too low for the checkpoint descriptor 198 (ulimit -n must "
      "allow 199)\n";
  const std::vector<Row> rows = {
      {{"/usr/bin/env", "--ignore-signal=CHLD"},
       {"/bin/sh", "-c", "exit 3"},
       3,
       enforcing_line(kDefaultLimit)},
      {{"/bin/sh", "-c", "ulimit -S -n 150 && exec \"$@\"", "sh"},
       {"/bin/sh", "-c", "test -e /proc/self/fd/198 && test \"$(ulimit -S -n)\" = 150"},
       0,
       enforcing_line(kDefaultLimit)},
      {{"/bin/sh", "-c", "ulimit -n 150 && exec \"$@\"", "sh"},
       {"/usr/bin/touch", marker},
       64,
       refusal},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wrapper.back());
    RunArea area;
    std::vector<std::string> argv = row.wrapper;
    for (const std::string& word : argv_of(area, {.command = row.command})) argv.push_back(word);
    const SubprocessResult result = run_subprocess({.argv = argv}, seconds(60));
    EXPECT_EQ(shell_status(result), row.status);
    EXPECT_EQ(result.stderr_text, row.stderr_text);
    if (row.status == 64) {
      EXPECT_FALSE(path_exists(area.journal_path()));
      EXPECT_FALSE(path_exists(marker));
    } else {
      expect_json_subset(published_report(area)["outcome"],
                         {{"kind", "child_exited"}, {"code", row.status}});
    }
  }
}

// A root may move itself into another group of its session, here the
// supervisor's own, where the group signals no longer reach it: it is killed
// by itself, and the records say the signals were delivered. (A sample that
// catches the allocation between the limit and the band adds a SIGTERM,
// which the root ignores.)
TEST(RunE2e, ARootThatLeftItsGroupIsStillKilled) {
  RunArea area;
  const std::string go = area.file("go");
  Subprocess guard = Subprocess::start(
      {.argv = argv_of(area, {.max_footprint = "64MiB",
                              .command = {helper("stubborn"), "--wait-for-file", go, "--join-group",
                                          std::to_string(::getpgid(0)), "--hold-bytes",
                                          std::to_string(96 * kMiB), "--max-seconds", "20"}})});
  // Only after the launch has seen the group it made may the root leave it.
  ASSERT_TRUE(
      eventually([&] { return count_journal_frames(area.journal_path()) >= 2; }, seconds(10)));
  ASSERT_TRUE(write_file(go, ""));
  EXPECT_EQ(guard.wait(seconds(60)).exit_code, 75);
  const json report = published_report(area);
  expect_json_subset(report, R"({"outcome": {"kind": "policy_intervention",
                                             "child_status": {"status": "signaled",
                                                              "signal": 9}}})"_json);
  const std::vector<SignalRow> signals = signal_rows(report);
  ASSERT_FALSE(signals.empty());
  EXPECT_EQ(signals.back(), group_signal(SIGKILL, "footprint"));
  for (const SignalRow& signal : signals) EXPECT_EQ(signal.result, "delivered");
}

// Killed outright, the supervisor cannot stop the command itself: the kernel
// does, through the root's parent-death signal.
TEST(RunE2e, KillingTheSupervisorKillsTheCommand) {
  RunArea area;
  const std::string ready = area.file("ready");
  Subprocess guard = Subprocess::start(
      {.argv = argv_of(
           area, {.command = {helper("stubborn"), "--ready-file", ready, "--max-seconds", "30"}})});
  const pid_t root = wait_pid_file(ready, seconds(10));
  ASSERT_GT(root, 0);
  guard.send_signal(SIGKILL);
  EXPECT_EQ(guard.wait(seconds(10)).term_signal, SIGKILL);
  EXPECT_TRUE(eventually([&] { return !process_running(root); }, seconds(5)));
  if (process_running(root)) ::kill(root, SIGKILL);
}

// The root exits and leaves a member behind, or one that left the group.
// Nobody here reaps an orphaned member: an init that reaps late must not keep
// the run going, or turn the clean end into a kill at the grace deadline.
TEST(RunE2e, MembersLeftByTheRootAreCleanedUpAndEscapesRecorded) {
  const SignalRow cleanup = group_signal(SIGTERM, "root_exit_cleanup");
  struct Row {
    std::vector<std::string> forker_options;
    int status;
    std::vector<SignalRow> signals;
    const char* report;
  };
  const std::vector<Row> rows = {
      {{"--exit", "4"}, 4, {cleanup}, R"({"outcome": {"kind": "child_exited", "code": 4}})"},
      {{"--member-ignores-term"},
       75,
       {cleanup, group_signal(SIGKILL, "root_exit_cleanup")},
       R"({"outcome": {"kind": "policy_intervention"}})"},
      {{"--member-new-group", "--root-hold-ms", "400"},
       0,
       {},
       R"({"escape": {"detected": {"status": "available", "value": true}, "escaped_count": 1}})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    RunArea area;
    std::vector<std::string> command = {helper("forker"), area.file("member")};
    command.insert(command.end(), row.forker_options.begin(), row.forker_options.end());
    const SubprocessResult result = run(area, {.command = command});
    const pid_t member = wait_pid_file(area.file("member"), seconds(1));
    EXPECT_EQ(shell_status(result), row.status);
    const json report = published_report(area);
    if (row.signals.empty()) {
      if (member > 0 && process_exists(member)) ::kill(member, SIGKILL);
    } else {
      EXPECT_TRUE(eventually([&] { return !process_running(member); }, seconds(5)));
    }
    EXPECT_EQ(signal_rows(report), row.signals);
    expect_json_subset(report, json::parse(row.report));
  }
}

uint64_t largest_aggregate(const json& report) {
  uint64_t largest = 0;
  for (const json& sample : report["samples"]) {
    largest = std::max(largest, sample["aggregate_footprint_bytes"].value("value", uint64_t{0}));
  }
  return largest;
}

// vfork and posix_spawn children show the command's whole memory until they
// exec: counted once, 40 MiB stay below the limit in every sample.
TEST(RunE2e, ChildrenSharingTheCommandsMemoryCountOnce) {
  RunArea area;
  const SubprocessResult result =
      run(area, {.max_footprint = "64MiB",
                 .command = {helper("actor"), "share", "--bytes", std::to_string(40 * kMiB),
                             "--spawns", "20"}});
  EXPECT_EQ(result.exit_code, 0);
  const json report = published_report(area);
  EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{});
  const uint64_t peak = largest_aggregate(report);
  EXPECT_GE(peak, 40 * kMiB);
  EXPECT_LT(peak, kLimit);
}

// 500 MiB and four workers forked from it: each worker shows all of it as
// its own until it writes to it, 2.5 GiB in all, far past the emergency
// band. Near the limit the family is counted by what it holds: 500 MiB,
// while the workers idle, in every sample. Once each writes its own copy
// the group holds 2.5 GiB, and is stopped. The interval leaves a busy
// machine room to read the shares well within the sample window.
TEST(RunE2e, ForkedWorkersAreCountedByWhatTheyHoldTogether) {
  constexpr uint64_t kHeld = 500 * kMiB;
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "each worker writes its copy" : "idle workers");
    RunArea area;
    const std::string idle = area.file("idle");
    const SubprocessResult result =
        run(area,
            {.max_footprint = "1GiB",
             .sample_interval = "500ms",
             .command = {helper("actor"), "fork", "--bytes", std::to_string(kHeld), "--workers",
                         "4", "--idle-ms", "1500", "--write", write ? "1" : "0", "--stamp", idle}});
    EXPECT_TRUE(path_exists(idle)) << "stopped while the workers were idle";
    const json report = published_report(area);
    if (write) {
      EXPECT_EQ(result.exit_code, 75);
      const std::vector<SignalRow> signals = signal_rows(report);
      ASSERT_FALSE(signals.empty());
      EXPECT_EQ(signals.back().reason, "footprint");
      continue;
    }
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{});
    EXPECT_GE(largest_aggregate(report), kHeld - kHeld / 10);
    EXPECT_LE(largest_aggregate(report), kHeld + kHeld / 10);
  }
}

TEST(RunE2e, ParentExitWithDetachLeavesTheGroupSupervised) {
  RunArea area;
  const RunSpec detached{.options = {"--on-parent-exit", "detach"},
                         .command = {"/bin/sleep", "1.5"}};
  EXPECT_EQ(lose_parent(area, detached).exit_code, 0);
  const json report = published_report(area);
  expect_json_subset(report, R"({"signals": [], "outcome": {"kind": "child_exited"},
                                 "configuration": {"parent_watch": "detach"}})"_json);
  ASSERT_TRUE(report["outcome"]["parent_exited_at_ms"].is_number_unsigned());
}

// At the shortest interval 4096 samples take at least 41 s. The command runs
// until the journal holds 4096 samples and a second more has passed, so the
// sampler has dropped some whatever the machine's load. A machine with many
// processes makes passes slower: the run is given time as long as samples
// keep coming.
TEST(RunE2e, LongRunKeepsTheLast4096SamplesAfterAHistoryReset) {
  RunArea area;
  const std::string stop = area.file("stop");
  Subprocess guard = Subprocess::start(
      {.argv = argv_of(area, {.command = {"/bin/sh", "-c",
                                          "while [ ! -e \"$0\" ]; do sleep 0.05; done", stop}})});
  std::this_thread::sleep_for(seconds(38));
  // Polled once a second: reading a journal this long is not free.
  std::size_t frames = 0;
  auto progressed = std::chrono::steady_clock::now();
  for (std::size_t seen; (seen = count_journal_frames(area.journal_path())) <= 4096;) {
    if (seen > frames) {
      frames = seen;
      progressed = std::chrono::steady_clock::now();
    }
    ASSERT_LT(std::chrono::steady_clock::now() - progressed, seconds(30))
        << "samples stopped coming at " << frames << " journal frames";
    std::this_thread::sleep_for(seconds(1));
  }
  std::this_thread::sleep_for(seconds(1));
  ASSERT_TRUE(write_file(stop, ""));
  EXPECT_EQ(guard.wait(seconds(20)).exit_code, 0);
  const json report = published_report(area);
  ASSERT_EQ(report["samples"].size(), 4096u);
  EXPECT_GT(report["samples"][0]["captured_at_ms"].get<uint64_t>(), 200u);  // oldest dropped

  // The first 4096 samples one by one, then at the end one reset and the
  // history again, then the closing records.
  const std::optional<JournalRecovery> journal = read_journal_file(area.journal_path());
  ASSERT_TRUE(journal);
  std::vector<std::string> types;
  for (const JournalRecord& record : journal->records) types.emplace_back(record.entry.name());
  const auto reset = std::find(types.begin(), types.end(), "sample_history_reset");
  ASSERT_NE(reset, types.end());
  EXPECT_EQ(std::count(types.begin(), reset, "sample"), 4096);
  std::vector<std::string> tail(4096, "sample");
  tail.insert(tail.end(), {"checkpoint", "escape", "outcome"});
  EXPECT_EQ(std::vector<std::string>(reset + 1, types.end()), tail);
}

}  // namespace
}  // namespace vek_guard::test_support
