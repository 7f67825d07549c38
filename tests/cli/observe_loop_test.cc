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

cli::NormalizedCommand observe_command(const RunArea& area, std::vector<std::string> argv) {
  cli::NormalizedCommand command;
  command.common.sample_interval = Duration::from_millis(10);
  command.common.report_path = area.report_path();
  command.common.command = std::move(argv);
  return command;
}

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
  const cli::NormalizedCommand command =
      observe_command(area, {helper_path(VEK_GUARD_HELPER_DIR, "stubborn"), "--ready-file", ready,
                             "--max-seconds", "30"});

  const cli::ExecutionOutcome outcome =
      runtime::supervise_observe(command, NativeProcessInventory(empty_proc.path()));
  LeftRunning root{wait_pid_file(ready, 10s)};

  EXPECT_EQ(outcome.kind, TerminalKind::Tag::SupervisorFailure);
  EXPECT_EQ(outcome.stderr_text, "vek-guard: footprint observation failed\n");
  EXPECT_FALSE(outcome.stdout_text.empty());
  ASSERT_GT(root.pid, 0);
  EXPECT_TRUE(process_running(root.pid));

  const json report = read_report_json(area.report_path());
  ASSERT_TRUE(report.is_object());
  EXPECT_TRUE(report_matches_journal(area.journal_path(), area.report_path()));
  ASSERT_EQ(report["transitions"].size(), 1U);
  const json& transition = report["transitions"][0];
  EXPECT_EQ(transition["from"], "observe");
  EXPECT_EQ(transition["to"], "supervisor_error");
  // Sampling stops with the transition: the third unusable sample is the
  // last one.
  ASSERT_EQ(report["samples"].size(), 3U);
  for (const json& sample : report["samples"]) {
    EXPECT_EQ(sample["aggregate_footprint_bytes"], json({{"status", "unknown"}})) << sample;
  }
  EXPECT_EQ(transition["at_ms"], report["samples"][2]["processed_at_ms"]);
  EXPECT_FALSE(transition.contains("aggregate_footprint_bytes"));
  EXPECT_TRUE(report["signals"].empty());

  const json& result = report["outcome"];
  EXPECT_EQ(result["kind"], "supervisor_failure");
  EXPECT_FALSE(result.contains("child_status"));
  EXPECT_FALSE(result.contains("owned_group_survivors"));
  EXPECT_EQ(report["checkpoint"], json({{"status", "not_negotiated"}}));
  EXPECT_EQ(report["calibration"]["total_samples"], 3);
  EXPECT_EQ(report["calibration"]["incomplete_samples"], 3);
  EXPECT_EQ(report["calibration"]["complete_samples"], 0);
}

}  // namespace
}  // namespace vek_guard::test_support
