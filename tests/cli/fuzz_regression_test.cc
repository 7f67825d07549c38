// Replays the option-value seeds and past findings (fuzz/corpus/cli_values/,
// fuzz/regressions/cli_values/) through the fuzz target's check, which
// compares every value parser with an independent reference.
#include <vector>

#include <gtest/gtest.h>

#include "checks.h"
#include "support/fuzz_inputs.h"

namespace vek_guard::fuzz {
namespace {

TEST(CliValuesFuzzReplay, SeedsAndPastFindingsMatchTheReference) {
  const std::vector<test_support::FuzzInput> inputs =
      test_support::read_fuzz_inputs(VEK_GUARD_SOURCE_DIR, kCliValuesTarget);
  ASSERT_FALSE(inputs.empty()) << "no seed corpus for " << kCliValuesTarget;
  for (const test_support::FuzzInput& input : inputs) {
    const CheckResult verdict = check_cli_values(input.bytes);
    EXPECT_TRUE(verdict.ok()) << input.path << ": " << (verdict.ok() ? "" : verdict.error());
  }
}

}  // namespace
}  // namespace vek_guard::fuzz
