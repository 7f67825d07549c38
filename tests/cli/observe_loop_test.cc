// The observe loop in this process, sampling through a fake process table:
// the endings that no real command can bring about.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "observe_supervision.h"
#include "support/e2e.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "vek_guard/identity.h"

namespace vek_guard::test_support {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace nlohmann::literals;

// A process the test must end itself: the loop lets go of it on purpose.
struct LeftRunning {
  pid_t pid = 0;
  ~LeftRunning() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    // The command was launched from this process, so it is ours to reap.
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
};

TEST(ObserveLoop, ThreeIncompleteSamplesEndObservationAndLeaveTheGroupRunning) {
  RunArea area;
  // An empty process table: the root is never seen, so every pass counts it
  // as unmeasured.
  TempDir empty_proc;
  const std::string ready = area.file("ready");
  cli::NormalizedCommand command;
  command.common.sample_interval = Duration::from_millis(10);
  command.common.report_path = area.report_path();
  command.common.command = {helper_path(VEK_GUARD_HELPER_DIR, "stubborn"), "--ready-file", ready,
                            "--max-seconds", "30"};

  const cli::ExecutionOutcome outcome =
      runtime::supervise_observe(command, NativeProcessInventory(empty_proc.path()));
  LeftRunning root{wait_pid_file(ready, 10s)};

  EXPECT_EQ(outcome.kind, TerminalKind::Tag::SupervisorFailure);
  EXPECT_EQ(outcome.stderr_text, "vek-guard: footprint observation failed\n");
  EXPECT_FALSE(outcome.stdout_text.empty());
  ASSERT_GT(root.pid, 0);
  EXPECT_TRUE(process_running(root.pid));

  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  json report = read_report_json(area.report_path());
  expect_json_subset(report, R"({"signals": [],
      "outcome": {"kind": "supervisor_failure", "child_status": null,
                  "owned_group_survivors": null},
      "checkpoint": {"status": "not_negotiated", "reason": null},
      "calibration": {"total_samples": 3, "incomplete_samples": 3, "complete_samples": 0}})"_json);
  // Sampling stops with the transition: the third unusable sample is the
  // last one.
  ASSERT_EQ(report["samples"].size(), 3U);
  for (const json& sample : report["samples"]) {
    EXPECT_EQ(sample["aggregate_footprint_bytes"], json({{"status", "unknown"}})) << sample;
  }
  ASSERT_EQ(report["transitions"].size(), 1U);
  expect_json_subset(report["transitions"][0], {{"from", "observe"},
                                                {"to", "supervisor_error"},
                                                {"at_ms", report["samples"][2]["processed_at_ms"]},
                                                {"aggregate_footprint_bytes", nullptr}});
}

}  // namespace
}  // namespace vek_guard::test_support
