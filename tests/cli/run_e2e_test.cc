// `vek-guard run` end to end, for what only the real program on real
// processes can show: exit statuses and the bytes it prints and publishes,
// real signals, process groups and memory. What a run's events mean for its
// records is tested on the loop itself (supervisor_test.cc). Limits leave
// room for the helpers' own baseline (a few MiB under the sanitizers).
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
#include "support/subprocess.h"
#include "vek_guard/unique_fd.h"

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

std::vector<std::string> argv_of(const RunArea& area, const RunSpec& spec) {
  return run_argv(VEK_GUARD_BINARY, area.report_path(), spec);
}

SubprocessResult run(const RunArea& area, const RunSpec& spec, SubprocessOptions options = {}) {
  options.argv = argv_of(area, spec);
  SubprocessResult result = run_subprocess(options, seconds(60));
  EXPECT_FALSE(result.timed_out) << "the run did not end in time";
  return result;
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
      EXPECT_FALSE(exists(area.journal_path()));
      EXPECT_FALSE(exists(area.report_path()));
    } else {
      expect_json_subset(published_report(area)["outcome"], json::parse(row.outcome));
    }
  }
  EXPECT_FALSE(exists(marker));
}

// Each intervention ends in 75, with real memory and real signals: the group
// gets the signals its records name.
TEST(RunE2e, InterventionsSignalTheGroupForTheirReason) {
  TempDir scratch;
  // Grows in 4 MiB steps to just past the limit and holds on.
  const std::vector<std::string> grow = {helper("actor"), "grow",     "--step",    "4194304",
                                         "--max",         "68157440", "--hold-ms", "30000",
                                         "--interval-ms", "20"};
  const auto with = [](std::vector<std::string> command, std::vector<std::string> extra) {
    command.insert(command.end(), extra.begin(), extra.end());
    return command;
  };
  const auto jump = [&](const char* main_exits) {
    return std::vector<std::string>{
        helper("actor"), "jump", "--bytes",      std::to_string(96 * kMiB),
        "--delay-ms",    "100",  "--main-exits", main_exits,
        "--ignore-term", "1",    "--stamp",      scratch.file(std::string("jump") + main_exits)};
  };
  const SignalRow term = group_signal(SIGTERM, "footprint");
  const SignalRow kill = group_signal(SIGKILL, "footprint");
  struct Row {
    const char* what;
    std::vector<std::string> command;
    std::vector<SignalRow> signals;
    const char* report;
    bool lose_parent = false;
  };
  const std::vector<Row> rows = {
      // No client: the request falls through to SIGTERM without a record.
      {"gradual breach",
       grow,
       {term},
       R"({"checkpoint": {"status": "not_negotiated", "reason": "footprint"}})"},
      // The memory of a process whose leader is a zombie lives on in its
      // threads.
      {"jump above the emergency band", jump("0"), {kill}, "{}"},
      {"jump after the main thread exited", jump("1"), {kill}, "{}"},
      {"parent exit",
       {"/bin/sleep", "30"},
       {group_signal(SIGTERM, "parent_exit")},
       R"({"configuration": {"parent_watch": "active"}})",
       true},
      {"client accepts",
       with(grow, {"--client", "accept", "--size", "4096"}),
       {{SIGUSR1, "cooperative_endpoint", "delivered", "footprint"}, term},
       R"({"checkpoint": {"status": "acknowledged_unverified_durability",
                          "artifact": {"kind": "file", "size_bytes": 4096}}})"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RunArea area;
    const RunSpec spec{.max_footprint = "64MiB", .command = row.command};
    const SubprocessResult result =
        row.lose_parent
            ? run_and_lose_parent(area, argv_of(area, spec),
                                  [&] { return count_journal_frames(area.journal_path()) >= 2; })
            : run(area, spec);
    EXPECT_EQ(result.exit_code, 75);
    EXPECT_EQ(result.stderr_text, enforcing_line(kLimit));
    const json report = published_report(area);
    EXPECT_EQ(result.stdout_text, summary_of(report));
    EXPECT_EQ(report["outcome"]["kind"], "policy_intervention");
    EXPECT_EQ(report["outcome"].contains("parent_exited_at_ms"), row.lose_parent);
    expect_json_subset(report, json::parse(row.report));
    std::vector<SignalRow> signals = signal_rows(report);
    // On a loaded machine a sample may catch a jump half made, between the
    // limit and the band, and SIGTERM comes first (the command ignores it);
    // the SIGKILL of the band must follow.
    if (row.signals == std::vector<SignalRow>{kill} && signals.size() == 2 && signals[0] == term) {
      signals.erase(signals.begin());
    }
    EXPECT_EQ(signals, row.signals);
    if (row.signals.back() != kill) continue;
    const json& transitions = report["transitions"];
    const auto into = std::find_if(transitions.begin(), transitions.end(),
                                   [](const json& t) { return t["to"] == "emergency"; });
    ASSERT_NE(into, transitions.end()) << "no transition into emergency";
    EXPECT_GE((*into)["aggregate_footprint_bytes"].get<uint64_t>(), kLimit + kLimit / 10);
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

// SIGINT and SIGQUIT go to the group, and a command that survives them keeps
// its own status; the readiness descriptor is closed while it still runs.
// The other signals that would end the supervisor by default leave it
// supervising, and the command starts with their default actions.
TEST(RunE2e, TerminalSignalsAreForwardedAndOthersLeaveTheSupervisorAlone) {
  for (const int forwarded : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(forwarded);
    RunArea area;
    ReadinessPipe ready;
    Subprocess guard =
        start_waiting_for(area, forwarded, {"--client-ready-fd", std::to_string(ready.write_fd())},
                          {.inherit_fds = {ready.write_fd()}});
    ready.close_write();
    ASSERT_TRUE(ready.wait_closed(seconds(10)));
    EXPECT_TRUE(process_running(guard.pid()));
    const pid_t command = wait_pid_file(area.file("ready"), seconds(10));
    ASSERT_GT(command, 0);
    const std::string status = read_file("/proc/" + std::to_string(command) + "/status");
    for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN, SIGHUP, SIGINT, SIGTERM}) {
      if (signal == forwarded) continue;  // the command's own handler
      for (const char* mask : {"SigIgn:", "SigBlk:", "SigCgt:"}) {
        const auto at = status.find(mask);
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(std::stoull(status.substr(at + std::strlen(mask)), nullptr, 16) &
                      (uint64_t{1} << (signal - 1)),
                  0u)
            << mask << " " << signal;
      }
    }
    for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM, SIGRTMIN}) guard.send_signal(signal);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(process_running(guard.pid()));
    expect_forwarded(area, guard, forwarded);
  }
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
       argv_of(area, {.max_footprint = "64MiB",
                     .command = {helper("actor"), "grow", "--step", "4194304", "--max", "68157440",
                                 "--hold-ms", "30000"}})) {
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

// Signals that the supervisor ignores are dropped as they are sent: a
// command that floods its supervisor with SIGUSR1 from two threads for a
// second changes no sample and no reaction. Every sample is taken in time
// (within two intervals of the one before; under the flood a caught SIGUSR1
// stretched that to seconds), and a breach is stopped at the second sample
// above the limit, in that sample's pass. Times are the report's own, so a
// busy machine moves them all alike.
TEST(RunE2e, ASignalFloodAtTheSupervisorDelaysNoSampleAndNoReaction) {
  constexpr uint64_t kIntervalMs = 100;
  RunArea area;
  const std::string stamp = area.file("flooded");
  const SubprocessResult result = run(
      area,
      {.max_footprint = "64MiB",
       .sample_interval = std::to_string(kIntervalMs) + "ms",
       .command = {helper("actor"), "flood", "--signal", std::to_string(SIGUSR1), "--threads", "2",
                   "--bytes", std::to_string(65 * kMiB), "--delay-ms", "1000", "--stamp", stamp}});
  EXPECT_EQ(result.exit_code, 75);
  EXPECT_GT(std::stoull("0" + read_file(stamp)), 1000u) << "the command sent no flood";
  const json report = published_report(area);
  EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{group_signal(SIGTERM, "footprint")});
  const json& samples = report["samples"];
  for (std::size_t i = 0; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i]["aggregate_footprint_bytes"]["status"], "available") << samples[i];
    if (i == 0) continue;
    EXPECT_LE(samples[i]["processed_at_ms"].get<uint64_t>(),
              samples[i - 1]["processed_at_ms"].get<uint64_t>() + 2 * kIntervalMs)
        << "sample " << i;
  }
  const auto breach = std::find_if(samples.begin(), samples.end(), [](const json& sample) {
    return sample["aggregate_footprint_bytes"].value("value", uint64_t{0}) >= kLimit;
  });
  ASSERT_TRUE(breach != samples.end() && breach + 1 != samples.end()) << "no two breaching samples";
  const uint64_t first = (*breach)["processed_at_ms"];
  const uint64_t second = (*(breach + 1))["processed_at_ms"];
  const uint64_t terminated = report["signals"][0]["at_ms"];
  EXPECT_LE(second - first, 2 * kIntervalMs);  // as for every sample; shown here by itself
  EXPECT_GE(terminated, second);
  EXPECT_LT(terminated - second, kIntervalMs);
}

// Once the report is published only the summary is left to write. Standard
// output is a full pipe that nobody reads, and SIGTERM ends the write it
// holds up, as it would end any program.
TEST(RunE2e, ASummaryWriteHeldUpByAFullPipeEndsOnSigterm) {
  int ends[2] = {-1, -1};
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const UniqueFd read_end(ends[0]);
  UniqueFd write_end(ends[1]);
  {
    // Filled through a second, non-blocking open file description: the
    // supervisor's stays blocking, as from any shell.
    const UniqueFd filler(
        ::open(("/proc/self/fd/" + std::to_string(ends[1])).c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_TRUE(filler.valid());
    const std::string block(4096, 'x');
    while (::write(filler.get(), block.data(), block.size()) > 0) {
    }
  }
  RunArea area;
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" >&" + std::to_string(ends[1]),
                                   "sh"};
  for (const std::string& word : argv_of(area, {.command = {"/bin/true"}})) argv.push_back(word);
  Subprocess guard = Subprocess::start({.argv = argv, .inherit_fds = {ends[1]}});
  write_end.reset();
  ASSERT_TRUE(eventually([&] { return exists(area.report_path()); }, seconds(20)));
  // The kernel names where a process waits: here, in a pipe's write.
  const std::string wchan = "/proc/" + std::to_string(guard.pid()) + "/wchan";
  ASSERT_TRUE(eventually([&] { return read_file(wchan).find("pipe_write") != std::string::npos; },
                         seconds(20)))
      << read_file(wchan);
  guard.send_signal(SIGTERM);
  EXPECT_EQ(guard.wait(seconds(20)).term_signal, SIGTERM);
  expect_json_subset(published_report(area)["outcome"],
                     R"({"kind": "child_exited", "code": 0})"_json);
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
       "vek-guard: open-file limit is too low for the checkpoint descriptor 198 (ulimit -n must "
       "allow 199)\n"},
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
      EXPECT_FALSE(exists(area.journal_path()));
      EXPECT_FALSE(exists(marker));
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

// A member outside the group when the emergency band killed it, which comes
// back in the moment the command begins to exit, is killed by one of the next
// two passes (or at the latest by the end of the run), for the footprint.
TEST(RunE2e, AMemberBackInTheGroupAfterTheKillIsKilledWithinTwoPasses) {
  const OrphanAdoption adoption;  // the member's end is the test's to see
  RunArea area;
  const std::string member_file = area.file("member");
  const SubprocessResult result =
      run(area, {.max_footprint = "64MiB",
                 .command = {helper("actor"), "rejoin", "--member", member_file, "--bytes",
                             std::to_string(256 * kMiB)}});
  const pid_t member = wait_pid_file(member_file, seconds(1));
  ASSERT_GT(member, 0);
  if (read_file(member_file + ".rejoin") != "rejoined\n") {
    ::kill(member, SIGKILL);
    GTEST_SKIP() << "the member could not get back into the group while it existed";
  }
  EXPECT_EQ(result.exit_code, 75);
  EXPECT_EQ(wait_child(member, seconds(10)), 128 + SIGKILL);
  const json report = published_report(area);
  std::vector<SignalRow> signals = signal_rows(report);
  // A sample that catches the mapping half made brings a SIGTERM first.
  if (!signals.empty() && signals.front() == group_signal(SIGTERM, "footprint")) {
    signals.erase(signals.begin());
  }
  ASSERT_FALSE(signals.empty());
  for (const SignalRow& signal : signals) EXPECT_EQ(signal, group_signal(SIGKILL, "footprint"));
  if (signals.size() < 2) return;  // the member got back in after the last pass
  // Every pass takes one sample, after its group check: at most one comes
  // between the kill and the pass that repeats it.
  const json& records = report["signals"];
  const uint64_t killed = records[records.size() - signals.size()]["at_ms"].get<uint64_t>();
  const uint64_t repeated = records[records.size() - signals.size() + 1]["at_ms"].get<uint64_t>();
  std::size_t between = 0;
  for (const json& sample : report["samples"]) {
    const uint64_t at = sample["captured_at_ms"].get<uint64_t>();
    if (at > killed && at < repeated) ++between;
  }
  EXPECT_LE(between, 1u);
  expect_json_subset(report,
                     R"({"escape": {"detected": {"status": "available", "value": true}}})"_json);
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

}  // namespace
}  // namespace vek_guard::test_support
