// The run loop in this process, with a journal much smaller than its reader's
// limit, so that its budget is reached in seconds.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "artifacts.h"
#include "support/e2e.h"
#include "support/run_files.h"
#include "vek_guard/policy.h"
#include "vek_guard_cli/runtime.h"

namespace vek_guard::test_support {
namespace {

constexpr uint64_t kMiB = 1 << 20;

// A footprint swinging across the warning band fills the room left to optional
// records with transitions; past it they are left out, while the enforcement
// that ends the run is journaled in full and the report still publishes.
TEST(RunLoop, FlappingStopsAtItsBudgetAndEnforcementIsStillJournaled) {
  RunArea area;
  cli::NormalizedCommand command;
  command.run = cli::NormalizedRun{.max_footprint_bytes = 64 * kMiB};
  command.common.sample_interval = Duration::from_millis(10);
  command.common.report_path = area.report_path();
  // Warning from 57.6 MiB, back to normal at 51.2 MiB or below; the final
  // 67 MiB breaches the limit and stays under the emergency band.
  command.common.command = {helper_path(VEK_GUARD_HELPER_DIR, "actor"),
                            "flap",
                            "--low",
                            std::to_string(44 * kMiB),
                            "--high",
                            std::to_string(60 * kMiB),
                            "--period-ms",
                            "20",
                            "--flips",
                            "80",
                            "--final",
                            std::to_string(67 * kMiB)};
  // Optional records may fill the journal up to this many records.
  constexpr uint64_t kOptionalRoom = 100;
  const uint64_t limit =
      runtime::kClosingRecordReserve + runtime::kKeptRecordHeadroom + kOptionalRoom;

  const cli::ExecutionOutcome outcome = runtime::execute_with_journal_limit(command, limit);
  EXPECT_EQ(outcome.kind, TerminalKind::Tag::PolicyIntervention) << outcome.stderr_text;
  ASSERT_FALSE(published_report(area).is_null());
  const std::optional<JournalRecovery> journal = read_journal_file(area.journal_path());
  ASSERT_TRUE(journal);
  ASSERT_LE(journal->records.size(), limit);

  const auto in_band = [](PolicyState state) {
    return state == PolicyState::Normal || state == PolicyState::Warning;
  };
  std::size_t band_transitions = 0;
  std::vector<PolicyState> late_states;  // where the transitions past the room lead
  bool rose_late = false, fell_late = false;
  for (std::size_t i = 0; i < journal->records.size(); ++i) {
    const JournalEntry& entry = journal->records[i].entry;
    if (const auto* t = entry.payload_if<TransitionRecord>()) {
      if (in_band(t->from) && in_band(t->to)) {
        ++band_transitions;
        EXPECT_LT(i, kOptionalRoom) << "a flapping transition at record " << i;
      } else if (i >= kOptionalRoom) {
        late_states.push_back(t->to);
      }
    } else if (const auto* sample = entry.payload_if<SampleWindow>();
               sample && i >= kOptionalRoom) {
      if (const uint64_t* bytes = sample->aggregate_footprint_bytes.value()) {
        rose_late = rose_late || (*bytes >= 58 * kMiB && *bytes < 64 * kMiB);
        fell_late = fell_late || *bytes <= 51 * kMiB;
      }
    }
  }
  EXPECT_GT(band_transitions, 2u);
  // The footprint went on swinging after the room was used up.
  EXPECT_TRUE(rose_late && fell_late);
  EXPECT_EQ(late_states, (std::vector<PolicyState>{PolicyState::CheckpointRequested,
                                                   PolicyState::Terminating, PolicyState::Exited}));
}

}  // namespace
}  // namespace vek_guard::test_support
