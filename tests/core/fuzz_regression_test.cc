// Replays the fuzz seed corpora and every input a fuzzer ever failed on
// (fuzz/corpus/<target>/ and fuzz/regressions/<target>/) through the same
// checks the fuzz targets run, so the normal test command keeps them fixed.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks.h"
#include "support/fuzz_inputs.h"

namespace vek_guard::fuzz {
namespace {

using test_support::FuzzInput;
using test_support::read_fuzz_inputs;

struct Replay {
  std::string_view target;
  CheckResult (*check)(std::span<const uint8_t>);
};

void PrintTo(const Replay& replay, std::ostream* out) { *out << replay.target; }

class FuzzReplay : public ::testing::TestWithParam<Replay> {};

TEST_P(FuzzReplay, SeedsAndPastFindingsHoldEveryProperty) {
  const Replay& replay = GetParam();
  const std::vector<FuzzInput> inputs = read_fuzz_inputs(VEK_GUARD_SOURCE_DIR, replay.target);
  ASSERT_FALSE(inputs.empty()) << "no seed corpus for " << replay.target;
  for (const FuzzInput& input : inputs) {
    const CheckResult verdict = replay.check(input.bytes);
    EXPECT_TRUE(verdict.ok()) << input.path << ": " << (verdict.ok() ? "" : verdict.error());
  }
}

INSTANTIATE_TEST_SUITE_P(
    CoreTargets, FuzzReplay,
    ::testing::Values(Replay{kJournalRecordTarget, &check_journal_record},
                      Replay{kJournalDecodersTarget, &check_journal_record_decoders},
                      Replay{kJournalFileTarget, &check_journal_file},
                      Replay{kCheckpointIngestTarget, &check_checkpoint_ingest},
                      Replay{kNegotiationReplyTarget, &check_negotiation_reply}),
    [](const ::testing::TestParamInfo<Replay>& param) { return std::string(param.param.target); });

}  // namespace
}  // namespace vek_guard::fuzz
