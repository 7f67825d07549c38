// Replays the command-line seeds and past findings (fuzz/corpus/<target>/,
// fuzz/regressions/<target>/) through the fuzz targets' checks: every value
// parser against an independent reference, and whole argument vectors
// against the limits a validated command must keep.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "checks.h"
#include "support/fuzz_inputs.h"

namespace vek_guard::fuzz {
namespace {

TEST(CommandLineFuzzReplay, SeedsAndPastFindingsHoldEveryProperty) {
  const std::pair<std::string_view, CheckResult (*)(std::span<const uint8_t>)> replays[] = {
      {kCliValuesTarget, &check_cli_values},
      {kCommandLineTarget, &check_command_line},
  };
  for (const auto& [target, check] : replays) {
    const std::vector<test_support::FuzzInput> inputs =
        test_support::read_fuzz_inputs(VEK_GUARD_SOURCE_DIR, target);
    EXPECT_FALSE(inputs.empty()) << "no seed corpus for " << target;
    for (const test_support::FuzzInput& input : inputs) {
      const CheckResult verdict = check(input.bytes);
      EXPECT_TRUE(verdict.ok()) << input.path << ": " << (verdict.ok() ? "" : verdict.error());
    }
  }
}

}  // namespace
}  // namespace vek_guard::fuzz
