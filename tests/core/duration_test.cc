#include "vek_guard/duration.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace vek_guard {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr Duration parts(uint64_t secs, uint64_t nanos) {
  return Duration::from_parts(secs, nanos);
}

TEST(Duration, ConstructorsNormaliseAndOrderBySecondsThenNanoseconds) {
  EXPECT_EQ(parts(1, 1'500'000'000), parts(2, 500'000'000));
  EXPECT_EQ(Duration::from_millis(1'234), parts(1, 234'000'000));
  EXPECT_EQ(parts(kU64Max, 2'000'000'000), Duration::max());
  EXPECT_LT(parts(1, 999'999'999), parts(2, 0));
}

// Deadlines and record times are computed with these; a wrap instead of a
// saturation would put a deadline in the past.
TEST(Duration, ArithmeticCarriesBorrowsAndSaturates) {
  EXPECT_EQ(parts(1, 600'000'000).saturating_add(parts(0, 400'000'000)), parts(2, 0));
  // The nanosecond carry alone overflows the seconds.
  EXPECT_EQ(parts(kU64Max, 500'000'000).saturating_add(parts(0, 500'000'000)), Duration::max());
  EXPECT_EQ(parts(2, 100).checked_sub(parts(1, 200)), parts(0, 999'999'900));
  EXPECT_EQ(parts(1, 0).checked_sub(parts(1, 1)), std::nullopt);
  EXPECT_EQ(parts(1, 0).saturating_sub(parts(5, 0)), Duration::zero());
  EXPECT_EQ(Duration::from_millis(600).saturating_mul(2), Duration::from_millis(1'200));
  EXPECT_EQ(parts(kU64Max / 2 + 1, 0).saturating_mul(2), Duration::max());
}

TEST(Duration, ConversionsTruncateAndSaturate) {
  EXPECT_EQ(parts(3, 999'999).as_millis_saturating(), 3'000U);
  EXPECT_EQ(parts(kU64Max / 1000, 0).as_millis_saturating(), kU64Max / 1000 * 1000);
  EXPECT_EQ(parts(kU64Max / 1000 + 1, 0).as_millis_saturating(), kU64Max);
  EXPECT_EQ(Duration::from_nanos(kU64Max).as_nanos_checked(), kU64Max);
  EXPECT_EQ(Duration::from_nanos(kU64Max).saturating_add(parts(0, 1)).as_nanos_checked(),
            std::nullopt);
}

TEST(MonotonicInstant, DifferencesSaturateAtZero) {
  const auto at = [](uint64_t secs) {
    return MonotonicInstant::from_since_clock_origin(parts(secs, 0));
  };
  EXPECT_EQ(at(3).saturating_duration_since(at(1)), parts(2, 0));
  EXPECT_TRUE(at(1).saturating_duration_since(at(3)).is_zero());
}

}  // namespace
}  // namespace vek_guard
