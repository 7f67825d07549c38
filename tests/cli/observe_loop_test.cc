// The observe loop in this process, sampling through a fake process table:
// the endings that no real command can bring about.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "observe_supervision.h"
#include "support/e2e.h"
#include "support/subprocess.h"
#include "vek_guard/identity.h"

namespace vek_guard::test_support {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using namespace nlohmann::literals;

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
  // The loop let go of the command on purpose; it is this process's to end.
  const pid_t root = wait_pid_file(ready, 10s);
  ASSERT_GT(root, 0);
  EXPECT_TRUE(process_running(root));
  ::kill(root, SIGKILL);
  ::waitpid(root, nullptr, 0);

  EXPECT_EQ(outcome.kind, TerminalKind::Tag::SupervisorFailure);
  EXPECT_EQ(outcome.stderr_text, "vek-guard: footprint observation failed\n");
  const json report = published_report(area);
  expect_json_subset(report, R"({"signals": [],
      "outcome": {"kind": "supervisor_failure", "child_status": null},
      "calibration": {"total_samples": 3, "incomplete_samples": 3, "complete_samples": 0}})"_json);
  // Sampling stops with the transition: the third unusable sample is the last.
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
