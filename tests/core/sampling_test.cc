#include "vek_guard/sampling.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace vek_guard {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr ProcessIdentity kRoot{100, 1000};
constexpr int32_t kGroup = 100;

Duration ms(uint64_t value) { return Duration::from_millis(value); }
const Duration kNs = Duration::from_nanos(1);

// Interval 50 ms, age 500 ms, window 250 ms.
FootprintSampler make_sampler(std::size_t capacity = 8) {
  return FootprintSampler(*SamplingConfig::create(ms(50), ms(500), ms(250), capacity),
                          *IdentityTracker::create(kRoot, kGroup));
}

ProcessRecord record(int32_t pid, uint64_t start, int32_t ppid, int32_t pgid,
                     std::optional<uint64_t> footprint) {
  return ProcessRecord{footprint, start, pid, ppid, pgid, false};
}

GroupInventory root_only(uint64_t footprint = 4096) {
  return {{record(kRoot.pid, kRoot.start_time, 1, kGroup, footprint)}, {}};
}

TEST(SamplingConfig, BoundsEachSettingAndReportsTheFirstFault) {
  using E = SamplingConfigError;
  const auto fault = [](Duration interval, Duration age, Duration window,
                        std::size_t capacity) -> std::optional<E> {
    const auto created = SamplingConfig::create(interval, age, window, capacity);
    return created ? std::nullopt : std::optional<E>(created.error());
  };
  const std::optional<E> ok;
  const Duration s10 = Duration::from_secs(10);
  EXPECT_EQ(fault(ms(10), ms(1), ms(1), 1), ok);
  EXPECT_EQ(fault(s10, ms(1), ms(1), 1), ok);
  EXPECT_EQ(fault(ms(10).saturating_sub(kNs), ms(1), ms(1), 1), E::IntervalOutOfRange);
  EXPECT_EQ(fault(s10.saturating_add(kNs), ms(1), ms(1), 1), E::IntervalOutOfRange);
  EXPECT_EQ(fault(ms(1), Duration::zero(), ms(1), 0), E::IntervalOutOfRange);  // checked first
  EXPECT_EQ(fault(ms(50), ms(300), ms(300), 16), ok);
  EXPECT_EQ(fault(ms(50), ms(300), ms(300).saturating_add(kNs), 16), E::IncoherentAgeAndWindow);
  EXPECT_EQ(fault(ms(50), ms(300), Duration::zero(), 16), E::IncoherentAgeAndWindow);
  // A zero age is reported before the bad capacity.
  EXPECT_EQ(fault(ms(50), Duration::zero(), ms(1), 0), E::IncoherentAgeAndWindow);
  EXPECT_EQ(fault(ms(50), ms(1), ms(1), 4096), ok);
  EXPECT_EQ(fault(ms(50), ms(1), ms(1), 0), E::HistoryCapacityOutOfRange);
  EXPECT_EQ(fault(ms(50), ms(1), ms(1), 4097), E::HistoryCapacityOutOfRange);

  EXPECT_EQ(error_message(E::IntervalOutOfRange), "sample interval is outside 10 ms through 10 s");
  EXPECT_EQ(error_message(E::IncoherentAgeAndWindow),
            "sample age and window bounds are incoherent");
  EXPECT_EQ(error_message(E::HistoryCapacityOutOfRange),
            "sample history capacity is outside 1 through 4096");
}

TEST(FootprintSampler, RecordsAPassThroughTheTracker) {
  FootprintSampler sampler = make_sampler();
  const MemberFailure denied{150, InspectionError::PermissionDenied};
  const FootprintSample& sample = sampler.record_snapshot(
      ms(100), ms(110),
      GroupInventory{{record(100, 1000, 1, kGroup, 4096), record(101, 2000, 100, 7, 10),
                      record(102, 2100, 100, kGroup, std::nullopt)},
                     {denied}});
  EXPECT_THAT(sample.members, ElementsAre(MemberFootprint{100, 1000, 4096},
                                          MemberFootprint{102, 2100, std::nullopt}));
  EXPECT_THAT(sample.events, ElementsAre(IdentityEvent{IdentityEvent::InspectionFailed{denied}},
                                         IdentityEvent{IdentityEvent::Escaped{{101, 2000}, 7}}));
  EXPECT_EQ(sample.status, (SampleStatus{SampleStatus::Incomplete{{{102, 2100}}, {denied}, 4096}}));
  EXPECT_TRUE(sample.escaped);
  EXPECT_EQ(sample.started_at, ms(100));
  EXPECT_EQ(sample.completed_at, ms(110));
  EXPECT_EQ(sample.sequence, 0u);

  const FootprintSample& overflow = sampler.record_snapshot(
      ms(200), ms(210),
      GroupInventory{{record(100, 1000, 1, kGroup, std::numeric_limits<uint64_t>::max()),
                      record(103, 3000, 100, kGroup, 1)},
                     {}});
  EXPECT_EQ(overflow.status.kind(), SampleStatus::Kind::AggregateOverflow);
  EXPECT_EQ(overflow.sequence, 1u);
}

// Out-of-order times discard the pass whole; a failed probe still times the
// next pass but teaches the tracker nothing.
TEST(FootprintSampler, OnlyInOrderPassesMoveTheClockAndOnlyProbedOnesTheTracker) {
  FootprintSampler sampler = make_sampler();  // interval 50 ms
  EXPECT_EQ(sampler.delay_until_next(ms(0)), Duration::zero());
  (void)sampler.record_snapshot(
      ms(100), ms(110),
      GroupInventory{{record(100, 1000, 1, kGroup, 1), record(101, 2000, 100, 9, 1)}, {}});
  ASSERT_EQ(sampler.tracker().escaped_count(), 1u);
  EXPECT_EQ(sampler.delay_until_next(ms(130)), ms(20));
  EXPECT_EQ(sampler.delay_until_next(ms(150)), Duration::zero());
  EXPECT_EQ(sampler.delay_until_next(ms(9000)), Duration::zero());

  const FootprintSample& backwards = sampler.record_snapshot(ms(300), ms(299), root_only());
  EXPECT_EQ(backwards.status, SampleStatus{SampleStatus::ClockRegressed{}});
  EXPECT_THAT(backwards.members, IsEmpty());
  EXPECT_EQ(backwards.sequence, 1u);
  EXPECT_TRUE(sampler.tracker().tracked().contains({101, 2000}));

  const FootprintSample& earlier = sampler.record_snapshot(ms(99), ms(120), root_only());
  EXPECT_EQ(earlier.status.kind(), SampleStatus::Kind::ClockRegressed);
  EXPECT_EQ(sampler.last_start(), ms(100));
  EXPECT_EQ(sampler.delay_until_next(ms(99)), std::nullopt);

  // Starting at the very same time as the last pass is in order.
  const FootprintSample& same = sampler.record_snapshot(ms(100), ms(120), root_only());
  EXPECT_EQ(same.status, (SampleStatus{SampleStatus::Complete{4096}}));
  EXPECT_EQ(same.sequence, 3u);

  const FootprintSample& failed =
      sampler.record_snapshot(ms(150), ms(160), unexpected(InspectionError::Failed));
  EXPECT_EQ(failed.status, (SampleStatus{SampleStatus::ProbeFailed{InspectionError::Failed}}));
  EXPECT_THAT(failed.members, IsEmpty());
  EXPECT_EQ(sampler.last_start(), ms(150));
  EXPECT_TRUE(sampler.tracker().tracked().contains(kRoot));
  EXPECT_EQ(sampler.recorded(), 5u);
}

TEST(FootprintSampler, ASampleIsUsableOnlyWhenCompleteAndWellTimed) {
  FootprintSampler sampler = make_sampler();                       // age 500 ms, window 250 ms
  (void)sampler.record_snapshot(ms(3000), ms(3010), root_only());  // last start 3000 ms
  const auto event = [&](Duration started, Duration completed, Duration now,
                         SampleStatus status = {SampleStatus::Complete{77}}) {
    return sampler.policy_event(
        {.status = std::move(status), .started_at = started, .completed_at = completed}, now);
  };
  const auto usable = [&](Duration started, Duration completed, Duration now) {
    return event(started, completed, now).footprint_bytes.has_value();
  };
  // Window and age exactly at their limits.
  EXPECT_EQ(event(ms(1000), ms(1250), ms(1750)),
            (PolicyEvent::Sample{77, ms(1250), ms(1750), ms(250)}));
  EXPECT_FALSE(usable(ms(1000), ms(1250), ms(1750).saturating_add(kNs)));
  EXPECT_FALSE(usable(ms(2000), ms(2250).saturating_add(kNs), ms(2300)));
  EXPECT_FALSE(usable(ms(1000), ms(1250), ms(1249)));  // completed after now
  EXPECT_FALSE(usable(ms(3000), ms(3000), ms(3000)));  // a zero-length pass was never timed
  EXPECT_FALSE(usable(ms(3001), ms(3002), ms(3002)));  // not one of this sampler's passes
  const PolicyEvent::Sample backwards = event(ms(2000), ms(1990), ms(2000));
  EXPECT_EQ(backwards.footprint_bytes, std::nullopt);
  EXPECT_EQ(backwards.latency, Duration::zero());
  EXPECT_EQ(
      event(ms(2000), ms(2010), ms(2010), {SampleStatus::Incomplete{{}, {}, 77}}).footprint_bytes,
      std::nullopt);
}

std::vector<uint64_t> sequences(const SampleHistory& history) {
  std::vector<uint64_t> out;
  for (std::size_t i = 0; i < history.size(); ++i) out.push_back(history[i].sequence);
  return out;
}

// A full history overwrites its oldest entry in place instead of growing.
TEST(FootprintSampler, AFullHistoryWrapsInItsOwnStorage) {
  FootprintSampler one = make_sampler(1);
  EXPECT_TRUE(one.history().empty());
  FootprintSampler three = make_sampler(3);
  const FootprintSample* storage = nullptr;
  for (uint64_t pass = 0; pass < 5; ++pass) {
    const Duration at = ms(100 * (pass + 1));
    EXPECT_EQ(one.record_snapshot(at, at.saturating_add(ms(5)), root_only()).sequence, pass);
    EXPECT_THAT(sequences(one.history()), ElementsAre(pass));
    EXPECT_EQ(three.record_snapshot(at, at.saturating_add(ms(5)), root_only()).sequence, pass);
    if (pass == 2) {
      EXPECT_THAT(sequences(three.history()), ElementsAre(0, 1, 2));
      storage = three.history().older.data();
    }
  }
  const SampleHistory wrapped = three.history();
  EXPECT_THAT(sequences(wrapped), ElementsAre(2, 3, 4));
  EXPECT_EQ(wrapped.newer.data(), storage);
  EXPECT_EQ(wrapped.older.data(), storage + 2);
}

}  // namespace
}  // namespace vek_guard
