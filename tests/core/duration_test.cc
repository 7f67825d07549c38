#include "vek_guard/duration.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace vek_guard {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

TEST(Duration, ConstructorsNormaliseNanoseconds) {
  EXPECT_EQ(Duration::from_parts(1, 1'500'000'000), Duration::from_parts(2, 500'000'000));
  EXPECT_EQ(Duration::from_millis(1'234), Duration::from_parts(1, 234'000'000));
  EXPECT_EQ(Duration::from_micros(2'000'001), Duration::from_parts(2, 1'000));
  EXPECT_EQ(Duration::from_nanos(kU64Max).secs(), kU64Max / 1'000'000'000);
  EXPECT_EQ(Duration::from_parts(kU64Max, 2'000'000'000), Duration::max());
}

TEST(Duration, OrdersBySecondsThenNanoseconds) {
  EXPECT_LT(Duration::from_parts(1, 999'999'999), Duration::from_secs(2));
  EXPECT_LT(Duration::from_parts(2, 0), Duration::from_parts(2, 1));
  EXPECT_EQ(Duration(), Duration::zero());
  EXPECT_TRUE(Duration().is_zero());
  EXPECT_FALSE(Duration::from_nanos(1).is_zero());
}

TEST(Duration, AdditionCarriesAndSaturatesAtTheGreatestDuration) {
  EXPECT_EQ(Duration::from_parts(1, 600'000'000).saturating_add(Duration::from_parts(0, 400'000'000)),
            Duration::from_secs(2));
  EXPECT_EQ(Duration::max().saturating_add(Duration::from_nanos(1)), Duration::max());
  EXPECT_EQ(Duration::from_secs(kU64Max).saturating_add(Duration::from_parts(0, 999'999'999)),
            Duration::max());
  // The nanosecond carry alone overflows the seconds.
  EXPECT_EQ(Duration::from_parts(kU64Max, 500'000'000)
                .saturating_add(Duration::from_parts(0, 500'000'000)),
            Duration::max());
  EXPECT_EQ(Duration::from_secs(kU64Max - 1).saturating_add(Duration::from_secs(1)),
            Duration::from_secs(kU64Max));
}

TEST(Duration, SubtractionBorrowsAndRefusesNegativeResults) {
  EXPECT_EQ(Duration::from_parts(2, 100).checked_sub(Duration::from_parts(1, 200)),
            Duration::from_parts(0, 999'999'900));
  EXPECT_EQ(Duration::from_secs(1).checked_sub(Duration::from_parts(1, 1)), std::nullopt);
  EXPECT_EQ(Duration::from_secs(1).saturating_sub(Duration::from_secs(5)), Duration::zero());
  EXPECT_EQ(Duration::max().checked_sub(Duration::max()), Duration::zero());
}

TEST(Duration, MultiplicationSaturates) {
  EXPECT_EQ(Duration::from_millis(600).saturating_mul(2), Duration::from_millis(1'200));
  EXPECT_EQ(Duration::from_secs(kU64Max / 2 + 1).saturating_mul(2), Duration::max());
  EXPECT_EQ(Duration::max().saturating_mul(0), Duration::zero());
}

TEST(Duration, MillisecondsTruncateAndSaturate) {
  EXPECT_EQ(Duration::from_parts(3, 999'999).as_millis_saturating(), 3'000U);
  EXPECT_EQ(Duration::from_parts(3, 1'000'000).as_millis_saturating(), 3'001U);
  EXPECT_EQ(Duration::from_secs(kU64Max / 1000).as_millis_saturating(), kU64Max / 1000 * 1000);
  EXPECT_EQ(Duration::from_secs(kU64Max / 1000 + 1).as_millis_saturating(), kU64Max);
  EXPECT_EQ(Duration::max().as_millis_saturating(), kU64Max);
  // The largest exact value: u64::MAX ms itself.
  EXPECT_EQ(Duration::from_millis(kU64Max).as_millis_saturating(), kU64Max);
}

TEST(Duration, NanosecondsFitOrSaturate) {
  EXPECT_EQ(Duration::from_parts(3, 5).as_nanos_checked(), 3'000'000'005U);
  EXPECT_EQ(Duration::from_nanos(kU64Max).as_nanos_checked(), kU64Max);
  EXPECT_EQ(Duration::from_nanos(kU64Max).saturating_add(Duration::from_nanos(1)).as_nanos_checked(),
            std::nullopt);
  EXPECT_EQ(Duration::max().as_nanos_saturating(), kU64Max);
}

TEST(MonotonicInstant, NeverGoesBackwards) {
  const MonotonicInstant first = MonotonicInstant::now();
  const MonotonicInstant second = MonotonicInstant::now();
  EXPECT_LE(first, second);
  EXPECT_TRUE(first.saturating_duration_since(second).is_zero());
  EXPECT_EQ(MonotonicInstant::from_since_clock_origin(Duration::from_secs(1))
                .saturating_duration_since(MonotonicInstant::from_since_clock_origin(
                    Duration::from_secs(3))),
            Duration::zero());
}

}  // namespace
}  // namespace vek_guard
