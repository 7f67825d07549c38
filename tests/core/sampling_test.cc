#include "vek_guard/sampling.h"

#include <unistd.h>

#include <cstdint>
#include <limits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/process_family.h"

namespace vek_guard {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr ProcessIdentity kRoot{100, 1000};
constexpr int32_t kGroup = 100;

Duration ms(uint64_t value) { return Duration::from_millis(value); }
Duration ns(uint64_t value) { return Duration::from_nanos(value); }

SamplingConfig config(std::size_t capacity = 8) {
  return *SamplingConfig::create(ms(50), ms(500), ms(250), capacity);
}

FootprintSampler make_sampler(std::size_t capacity = 8) {
  return FootprintSampler(config(capacity), *IdentityTracker::create(kRoot, kGroup));
}

ProcessRecord record(int32_t pid, uint64_t start, int32_t ppid, int32_t pgid,
                     std::optional<uint64_t> footprint) {
  return ProcessRecord{footprint, start, pid, ppid, pgid, false};
}

GroupInventory group(std::vector<ProcessRecord> records, std::vector<MemberFailure> failures = {}) {
  return GroupInventory{std::move(records), std::move(failures)};
}

GroupInventory root_only(uint64_t footprint = 4096) {
  return group({record(kRoot.pid, kRoot.start_time, 1, kGroup, footprint)});
}

TEST(SamplingConfig, AcceptsIntervalsAtTheBoundsAndRefusesOneStepBeyond) {
  EXPECT_TRUE(SamplingConfig::create(ms(10), ms(1), ms(1), 1));
  EXPECT_TRUE(SamplingConfig::create(Duration::from_secs(10), ms(1), ms(1), 1));
  for (const Duration interval :
       {Duration::from_micros(9'999), ms(10).saturating_sub(ns(1)),
        Duration::from_secs(10).saturating_add(ns(1)), Duration::zero(), Duration::max()}) {
    const auto refused = SamplingConfig::create(interval, ms(1), ms(1), 1);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), SamplingConfigError::IntervalOutOfRange);
  }
  // The interval is checked first, whatever else is wrong.
  EXPECT_EQ(SamplingConfig::create(ms(1), Duration::zero(), ms(1), 0).error(),
            SamplingConfigError::IntervalOutOfRange);
}

TEST(SamplingConfig, RequiresAWindowWithinANonZeroAge) {
  const auto equal = SamplingConfig::create(ms(50), ms(300), ms(300), 16);
  ASSERT_TRUE(equal);
  EXPECT_EQ(equal->sample_interval(), ms(50));
  EXPECT_EQ(equal->max_sample_age(), ms(300));
  EXPECT_EQ(equal->max_sample_window(), ms(300));
  EXPECT_EQ(equal->history_capacity(), 16u);

  EXPECT_EQ(SamplingConfig::create(ms(50), ms(300), ms(300).saturating_add(ns(1)), 16).error(),
            SamplingConfigError::IncoherentAgeAndWindow);
  EXPECT_EQ(SamplingConfig::create(ms(50), ms(300), Duration::zero(), 16).error(),
            SamplingConfigError::IncoherentAgeAndWindow);
  // Both an incoherent age and a bad capacity: the age is reported.
  EXPECT_EQ(SamplingConfig::create(ms(50), Duration::zero(), ms(1), 0).error(),
            SamplingConfigError::IncoherentAgeAndWindow);
}

TEST(SamplingConfig, BoundsTheHistoryCapacity) {
  EXPECT_TRUE(SamplingConfig::create(ms(50), ms(1), ms(1), 1));
  EXPECT_TRUE(SamplingConfig::create(ms(50), ms(1), ms(1), 4096));
  EXPECT_EQ(SamplingConfig::create(ms(50), ms(1), ms(1), 0).error(),
            SamplingConfigError::HistoryCapacityOutOfRange);
  EXPECT_EQ(SamplingConfig::create(ms(50), ms(1), ms(1), 4097).error(),
            SamplingConfigError::HistoryCapacityOutOfRange);
}

TEST(SamplingConfig, MessagesAreFixed) {
  EXPECT_EQ(error_message(SamplingConfigError::IntervalOutOfRange),
            "sample interval is outside 10 ms through 10 s");
  EXPECT_EQ(error_message(SamplingConfigError::IncoherentAgeAndWindow),
            "sample age and window bounds are incoherent");
  EXPECT_EQ(error_message(SamplingConfigError::HistoryCapacityOutOfRange),
            "sample history capacity is outside 1 through 4096");
}

TEST(FootprintSampler, RecordsAPassThroughTheTracker) {
  FootprintSampler sampler = make_sampler();
  const FootprintSample& sample = sampler.record_snapshot(
      ms(100), ms(110),
      group({record(100, 1000, 1, kGroup, 4096), record(101, 2000, 100, 7, 10),
             record(102, 2100, 100, kGroup, std::nullopt)},
            {MemberFailure{150, InspectionError::PermissionDenied}}));
  EXPECT_THAT(sample.members, ElementsAre(MemberFootprint{100, 1000, 4096},
                                          MemberFootprint{102, 2100, std::nullopt}));
  EXPECT_THAT(sample.events,
              ElementsAre(IdentityEvent{IdentityEvent::InspectionFailed{
                              MemberFailure{150, InspectionError::PermissionDenied}}},
                          IdentityEvent{IdentityEvent::Escaped{{101, 2000}, 7}}));
  EXPECT_EQ(sample.status, (SampleStatus{SampleStatus::Incomplete{
                               {{102, 2100}},
                               {MemberFailure{150, InspectionError::PermissionDenied}},
                               4096}}));
  EXPECT_EQ(sample.status.kind(), SampleStatus::Kind::Incomplete);
  EXPECT_TRUE(sample.escaped);
  EXPECT_EQ(sample.started_at, ms(100));
  EXPECT_EQ(sample.completed_at, ms(110));
  EXPECT_EQ(sample.sequence, 0u);
  EXPECT_EQ(sampler.tracker().escaped_count(), 1u);
  EXPECT_EQ(sampler.last_start(), ms(100));

  const FootprintSample& overflow = sampler.record_snapshot(
      ms(200), ms(210),
      group({record(100, 1000, 1, kGroup, std::numeric_limits<uint64_t>::max()),
             record(103, 3000, 100, kGroup, 1)}));
  EXPECT_EQ(overflow.status.kind(), SampleStatus::Kind::AggregateOverflow);
  EXPECT_EQ(overflow.sequence, 1u);
}

TEST(FootprintSampler, ARegressedClockDiscardsThePassAndLeavesEverythingAlone) {
  FootprintSampler sampler = make_sampler();
  (void)sampler.record_snapshot(ms(100), ms(110),
                                group({record(100, 1000, 1, kGroup, 1),
                                       record(101, 2000, 100, 9, 1)}));
  ASSERT_EQ(sampler.tracker().escaped_count(), 1u);

  // Completed before it started.
  const FootprintSample& backwards = sampler.record_snapshot(ms(300), ms(299), root_only());
  EXPECT_EQ(backwards.status, SampleStatus{SampleStatus::ClockRegressed{}});
  EXPECT_THAT(backwards.members, IsEmpty());
  EXPECT_THAT(backwards.events, IsEmpty());
  EXPECT_FALSE(backwards.escaped);
  EXPECT_EQ(backwards.sequence, 1u);
  EXPECT_EQ(sampler.last_start(), ms(100));
  EXPECT_TRUE(sampler.tracker().tracked().contains({101, 2000}));

  // Started before the last in-order pass.
  const FootprintSample& earlier = sampler.record_snapshot(ms(99), ms(120), root_only());
  EXPECT_EQ(earlier.status.kind(), SampleStatus::Kind::ClockRegressed);
  EXPECT_EQ(sampler.last_start(), ms(100));
  EXPECT_EQ(sampler.delay_until_next(ms(99)), std::nullopt);

  // Starting at the very same time is in order.
  const FootprintSample& same = sampler.record_snapshot(ms(100), ms(120), root_only());
  EXPECT_EQ(same.status, (SampleStatus{SampleStatus::Complete{4096}}));
  EXPECT_EQ(same.sequence, 3u);
  EXPECT_EQ(sampler.recorded(), 4u);
}

TEST(FootprintSampler, AFailedProbeMovesTheClockButNotTheTracker) {
  FootprintSampler sampler = make_sampler();
  (void)sampler.record_snapshot(ms(100), ms(110), root_only());
  const FootprintSample& failed =
      sampler.record_snapshot(ms(150), ms(160), unexpected(InspectionError::Failed));
  EXPECT_EQ(failed.status, (SampleStatus{SampleStatus::ProbeFailed{InspectionError::Failed}}));
  EXPECT_THAT(failed.members, IsEmpty());
  EXPECT_FALSE(failed.escaped);
  EXPECT_EQ(sampler.last_start(), ms(150));
  EXPECT_TRUE(sampler.tracker().tracked().contains(kRoot));
}

TEST(FootprintSampler, ASampleIsUsableOnlyWhenCompleteAndWellTimed) {
  FootprintSampler sampler = make_sampler();  // age 500 ms, window 250 ms
  const FootprintSample& sample = sampler.record_snapshot(ms(1000), ms(1250), root_only(77));
  ASSERT_EQ(sample.status.kind(), SampleStatus::Kind::Complete);

  // Latency exactly the window and age exactly the limit are still usable.
  const PolicyEvent::Sample event = sampler.policy_event(sample, ms(1750));
  EXPECT_EQ(event, (PolicyEvent::Sample{.footprint_bytes = 77,
                                        .completed_at = ms(1250),
                                        .now = ms(1750),
                                        .latency = ms(250)}));
  EXPECT_EQ(sampler.policy_event(sample, ms(1750).saturating_add(ns(1))).footprint_bytes,
            std::nullopt);
  // Completed after now.
  EXPECT_EQ(sampler.policy_event(sample, ms(1249)).footprint_bytes, std::nullopt);

  const FootprintSample& slow =
      sampler.record_snapshot(ms(2000), ms(2250).saturating_add(ns(1)), root_only(77));
  EXPECT_EQ(sampler.policy_event(slow, ms(2300)).footprint_bytes, std::nullopt);

  // A pass of zero length is recorded but never usable.
  const FootprintSample& instant = sampler.record_snapshot(ms(3000), ms(3000), root_only(77));
  EXPECT_EQ(instant.status.kind(), SampleStatus::Kind::Complete);
  const PolicyEvent::Sample zero = sampler.policy_event(instant, ms(3000));
  EXPECT_EQ(zero.footprint_bytes, std::nullopt);
  EXPECT_EQ(zero.latency, Duration::zero());

  // A sample that started after the last in-order start was not made by this
  // sampler's passes.
  FootprintSample foreign = instant;
  foreign.started_at = ms(3001);
  foreign.completed_at = ms(3002);
  EXPECT_EQ(sampler.policy_event(foreign, ms(3002)).footprint_bytes, std::nullopt);

  const FootprintSample& incomplete = sampler.record_snapshot(
      ms(4000), ms(4010), group({record(100, 1000, 1, kGroup, std::nullopt)}));
  EXPECT_EQ(sampler.policy_event(incomplete, ms(4010)).footprint_bytes, std::nullopt);

  const FootprintSample& regressed = sampler.record_snapshot(ms(5000), ms(4990), root_only());
  const PolicyEvent::Sample backwards = sampler.policy_event(regressed, ms(5000));
  EXPECT_EQ(backwards.footprint_bytes, std::nullopt);
  EXPECT_EQ(backwards.latency, Duration::zero());
}

TEST(FootprintSampler, TimesTheNextPassFromTheStartOfThePrevious) {
  FootprintSampler sampler = make_sampler();  // interval 50 ms
  EXPECT_EQ(sampler.delay_until_next(ms(0)), Duration::zero());
  EXPECT_EQ(sampler.delay_until_next(ms(12345)), Duration::zero());

  (void)sampler.record_snapshot(ms(1000), ms(1030), root_only());
  EXPECT_EQ(sampler.delay_until_next(ms(1030)), ms(20));
  EXPECT_EQ(sampler.delay_until_next(ms(1000)), ms(50));
  EXPECT_EQ(sampler.delay_until_next(ms(1050)), Duration::zero());
  EXPECT_EQ(sampler.delay_until_next(ms(9000)), Duration::zero());
  EXPECT_EQ(sampler.delay_until_next(ms(999)), std::nullopt);

  // A regressed pass does not move the reference.
  (void)sampler.record_snapshot(ms(1040), ms(1039), root_only());
  EXPECT_EQ(sampler.delay_until_next(ms(1030)), ms(20));
}

std::vector<uint64_t> sequences(const SampleHistory& history) {
  std::vector<uint64_t> out;
  for (std::size_t i = 0; i < history.size(); ++i) out.push_back(history[i].sequence);
  return out;
}

TEST(FootprintSampler, AHistoryOfOneKeepsOnlyTheLatestPass) {
  FootprintSampler sampler = make_sampler(1);
  EXPECT_TRUE(sampler.history().empty());
  for (uint64_t pass = 0; pass < 4; ++pass) {
    const FootprintSample& sample =
        sampler.record_snapshot(ms(100 * (pass + 1)), ms(100 * (pass + 1) + 5), root_only());
    EXPECT_EQ(sample.sequence, pass);
    EXPECT_THAT(sequences(sampler.history()), ElementsAre(pass));
  }
}

TEST(FootprintSampler, AFullHistoryWrapsInItsOwnStorage) {
  FootprintSampler sampler = make_sampler(3);
  for (uint64_t pass = 0; pass < 3; ++pass) {
    (void)sampler.record_snapshot(ms(100 * (pass + 1)), ms(100 * (pass + 1) + 5), root_only());
  }
  const SampleHistory full = sampler.history();
  EXPECT_THAT(sequences(full), ElementsAre(0, 1, 2));
  EXPECT_TRUE(full.newer.empty());
  const FootprintSample* storage = full.older.data();

  (void)sampler.record_snapshot(ms(400), ms(405), root_only());
  (void)sampler.record_snapshot(ms(500), ms(505), root_only());
  const SampleHistory wrapped = sampler.history();
  EXPECT_THAT(sequences(wrapped), ElementsAre(2, 3, 4));
  ASSERT_EQ(wrapped.older.size(), 1u);
  ASSERT_EQ(wrapped.newer.size(), 2u);
  EXPECT_EQ(wrapped.newer.data(), storage);
  EXPECT_EQ(wrapped.older.data(), storage + 2);
  EXPECT_EQ(sampler.recorded(), 5u);
}

TEST(FootprintSampler, SamplesALiveGroup) {
  test_support::ProcessFamily family;
  test_support::ReportPipe ready;
  const pid_t leader = family.fork_child([&] {
    ::setpgid(0, 0);
    ready.send(1);
    test_support::sleep_forever();
  });
  ASSERT_EQ(ready.receive(), 1);
  const NativeProcessInventory inventory;
  const auto root = inventory.inspect(leader);
  ASSERT_TRUE(root);

  FootprintSampler sampler(config(), *IdentityTracker::create(root->identity(), leader));
  const MonotonicInstant start = MonotonicInstant::now();
  const FootprintSample& sample = sampler.sample_native(start);
  EXPECT_LE(sample.started_at, sample.completed_at);
  ASSERT_EQ(sample.members.size(), 1u);
  EXPECT_EQ(sample.members[0].pid, leader);
  EXPECT_EQ(sample.status.complete_bytes(), sample.members[0].footprint_bytes);
  EXPECT_GT(*sample.status.complete_bytes(), 0u);

  // Once the root is gone and was never seen exited, nothing is complete:
  // the root, still a candidate, fails as Missing and is never dropped.
  family.kill_and_reap(leader);
  const FootprintSample& after = sampler.sample_native(start);
  EXPECT_EQ(after.status, (SampleStatus{SampleStatus::Incomplete{
                              {root->identity()}, {MemberFailure{leader, InspectionError::Missing}},
                              0}}));
  EXPECT_EQ(sampler.policy_event(after, start.elapsed()).footprint_bytes, std::nullopt);
}

}  // namespace
}  // namespace vek_guard
