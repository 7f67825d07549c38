#include "vek_guard/sampling.h"

#include <malloc.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_proc_tree.h"

namespace vek_guard {
namespace {

using ::testing::ElementsAre;

constexpr ProcessIdentity kRoot{100, 1000};
constexpr int32_t kGroup = 100;
const Duration kNs = Duration::from_nanos(1);

Duration ms(uint64_t value) { return Duration::from_millis(value); }

// Interval 50 ms, age 500 ms, window 250 ms.
FootprintSampler make_sampler(std::size_t capacity = 8) {
  return FootprintSampler(*SamplingConfig::create(ms(50), ms(500), ms(250), capacity),
                          *IdentityTracker::create(kRoot, kGroup));
}

ProcessRecord record(int32_t pid, uint64_t start, int32_t pgid, std::optional<uint64_t> bytes) {
  return ProcessRecord{bytes, start, pid, pid == kRoot.pid ? 1 : kRoot.pid, pgid, false};
}

GroupInventory root_only() { return {{record(kRoot.pid, kRoot.start_time, kGroup, 4096)}, {}}; }

TEST(SamplingConfig, EachBoundIsInclusive) {
  using E = SamplingConfigError;
  const auto fault = [](Duration interval, Duration age, Duration window, std::size_t capacity) {
    const auto created = SamplingConfig::create(interval, age, window, capacity);
    return created ? std::nullopt : std::optional<E>(created.error());
  };
  const Duration s10 = Duration::from_secs(10);
  EXPECT_EQ(fault(ms(10), ms(300), ms(300), 4096), std::nullopt);
  EXPECT_EQ(fault(s10, ms(1), ms(1), 1), std::nullopt);
  EXPECT_EQ(fault(ms(10).saturating_sub(kNs), ms(1), ms(1), 1), E::IntervalOutOfRange);
  EXPECT_EQ(fault(s10.saturating_add(kNs), ms(1), ms(1), 1), E::IntervalOutOfRange);
  EXPECT_EQ(fault(ms(50), ms(300), ms(300).saturating_add(kNs), 1), E::IncoherentAgeAndWindow);
  EXPECT_EQ(fault(ms(50), ms(1), ms(1), 0), E::HistoryCapacityOutOfRange);
  EXPECT_EQ(fault(ms(50), ms(1), ms(1), 4097), E::HistoryCapacityOutOfRange);
  EXPECT_EQ(error_message(E::IntervalOutOfRange), "sample interval is outside 10 ms through 10 s");
}

TEST(FootprintSampler, RecordsWhatTheTrackerSaw) {
  FootprintSampler sampler = make_sampler();
  const MemberFailure denied{150, InspectionError::PermissionDenied};
  const FootprintSample& sample = sampler.record_snapshot(
      ms(100), ms(110),
      GroupInventory{{record(100, 1000, kGroup, 4096), record(101, 2000, 7, 10),
                      record(102, 2100, kGroup, std::nullopt)},
                     {denied}});
  EXPECT_EQ(sample.status, (SampleStatus{SampleStatus::Incomplete{{{102, 2100}}, {denied}, 4096}}));
  EXPECT_TRUE(sample.escaped);
}

// Out-of-order times discard the pass whole; a failed probe still times the
// next pass but teaches the tracker nothing.
TEST(FootprintSampler, OnlyInOrderPassesMoveTheClockAndOnlyProbedOnesTheTracker) {
  FootprintSampler sampler = make_sampler();
  EXPECT_EQ(sampler.delay_until_next(ms(0)), Duration::zero());
  (void)sampler.record_snapshot(
      ms(100), ms(110),
      GroupInventory{{record(100, 1000, kGroup, 1), record(101, 2000, 9, 1)}, {}});
  EXPECT_EQ(sampler.delay_until_next(ms(130)), ms(20));
  EXPECT_EQ(sampler.delay_until_next(ms(9000)), Duration::zero());

  EXPECT_TRUE(sampler.record_snapshot(ms(300), ms(299), root_only()).members.empty());
  EXPECT_EQ(sampler.record_snapshot(ms(99), ms(120), root_only()).status,
            SampleStatus{SampleStatus::ClockRegressed{}});
  EXPECT_EQ(sampler.last_start(), ms(100));
  EXPECT_TRUE(sampler.tracker().tracked().contains({101, 2000}));
  EXPECT_EQ(sampler.delay_until_next(ms(99)), std::nullopt);
  EXPECT_EQ(sampler.record_snapshot(ms(100), ms(120), root_only()).status,
            (SampleStatus{SampleStatus::Complete{4096}}));

  const FootprintSample& failed =
      sampler.record_snapshot(ms(150), ms(160), unexpected(InspectionError::Failed));
  EXPECT_EQ(failed.status, (SampleStatus{SampleStatus::ProbeFailed{InspectionError::Failed}}));
  EXPECT_EQ(sampler.last_start(), ms(150));
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
  EXPECT_EQ(event(ms(1000), ms(1250), ms(1750)),
            (PolicyEvent::Sample{77, ms(1250), ms(1750), ms(250)}));
  EXPECT_FALSE(usable(ms(1000), ms(1250), ms(1750).saturating_add(kNs)));
  EXPECT_FALSE(usable(ms(2000), ms(2250).saturating_add(kNs), ms(2300)));
  EXPECT_FALSE(usable(ms(1000), ms(1250), ms(1249)));  // completed after now
  EXPECT_FALSE(usable(ms(3000), ms(3000), ms(3000)));  // a zero-length pass was never timed
  EXPECT_FALSE(usable(ms(3001), ms(3002), ms(3002)));  // not one of this sampler's passes
  EXPECT_EQ(
      event(ms(2000), ms(2010), ms(2010), {SampleStatus::Incomplete{{}, {}, 77}}).footprint_bytes,
      std::nullopt);
}

// The history covers the newest samples' sequence numbers only; the sample
// of the pass comes back whole.
TEST(FootprintSampler, TheHistoryCoversTheNewestSequenceNumbers) {
  FootprintSampler sampler = make_sampler(3);
  EXPECT_TRUE(sampler.history().empty());
  for (uint64_t at = 100; at <= 500; at += 100) {
    const FootprintSample& sample = sampler.record_snapshot(
        ms(at), ms(at + 5),
        GroupInventory{{record(100, 1000, kGroup, 4096), record(101, 2000, kGroup, 10)}, {}});
    EXPECT_THAT(sample.members,
                ElementsAre(MemberFootprint{100, 1000, 4096}, MemberFootprint{101, 2000, 10}));
    EXPECT_EQ(sampler.history().oldest_sequence, at <= 300 ? 0u : at / 100 - 3);
  }
  EXPECT_EQ(sampler.history().size, 3u);
}

// The heap's bytes in use as the C library's allocator counts them (none
// where a sanitizer's allocator serves the program instead).
std::size_t heap_in_use() {
  const struct mallinfo2 info = ::mallinfo2();
  return info.uordblks + info.hblkhd;
}

// A group of 2,000 members, pass after pass: the sampler keeps nothing of a
// pass beyond the next one, so its memory is that of one pass whatever the
// length of its history. (Keeping every member of each pass in the history
// grew a supervisor watching 2,000 idle processes to hundreds of megabytes.)
TEST(FootprintSampler, ItsMemoryDoesNotGrowWithTheHistory) {
  {
    const std::vector<char> probe(1 << 20, 1);
    if (heap_in_use() < probe.size()) GTEST_SKIP() << "the heap is not the C library's here";
  }
  GroupInventory group = root_only();
  for (int32_t pid = kRoot.pid + 1; pid < kRoot.pid + 2000; ++pid) {
    group.records.push_back(record(pid, 2000 + static_cast<uint64_t>(pid), kGroup, 4096));
  }
  FootprintSampler sampler = make_sampler(SamplingConfig::kMaxHistoryCapacity);
  std::size_t settled = 0;
  for (uint64_t pass = 1; pass <= 100; ++pass) {
    const FootprintSample& sample =
        sampler.record_snapshot(ms(pass * 50), ms(pass * 50 + 5), group);
    ASSERT_EQ(sample.members.size(), 2000u);
    if (pass == 10) settled = heap_in_use();
  }
  EXPECT_LT(heap_in_use(), settled + (1 << 20));
}

// A root and the worker it forked, each reading 1000 kB on its own and
// holding 500 kB as its share.
class ForkedPair {
 public:
  ForkedPair() {
    const test_support::FakeMemory shared{.own_kb = 1000, .mapped_kb = 1000, .share_kb = 500};
    tree_.put(kRoot.pid, 1, kGroup, kRoot.start_time, shared);
    tree_.put(101, kRoot.pid, kGroup, 2000, shared);
  }

  // A sampler of the pair, its refinement timed on a clock that moves
  // 1 ms per reading, from `clock`.
  FootprintSampler sampler(ShareRefinement refinement) {
    return FootprintSampler(
        *SamplingConfig::create(ms(50), ms(500), ms(250), 8),
        *IdentityTracker::create(kRoot, kGroup), NativeProcessInventory(tree_.path()), refinement,
        ShareReadCost([this] { return std::exchange(clock, clock.saturating_add(ms(1))); }));
  }

  Duration clock;

 private:
  test_support::FakeProcTree tree_;
};

// A clock that stands still but for the steps a test takes.
class SteppedClock final : public RunClock {
 public:
  Duration now() override { return now_; }
  void wait(Duration duration, const TerminalSignalMonitor*, const OwnedProcess*) override {
    now_ = now_.saturating_add(duration);
  }

 private:
  Duration now_;
};

// Once the root has exited, the group lives while a process of it is read
// alive now: every process the table last saw in it is read again, tracked
// or not (here no pass ever sampled the member). Of the live ones, a process
// on its way out (PF_EXITING) is not running: no kill has missed it.
TEST(FootprintSampler, TheGroupLivesWhileAMemberIsReadAliveNow) {
  test_support::FakeProcTree tree;
  tree.put(kRoot.pid, 1, kGroup, kRoot.start_time);
  tree.put(101, kRoot.pid, kGroup, 2000);
  FootprintSampler sampler(*SamplingConfig::create(ms(50), ms(500), ms(250), 8),
                           *IdentityTracker::create(kRoot, kGroup),
                           NativeProcessInventory(tree.path()));
  SteppedClock clock;
  const auto alive_and_running = [&] {
    clock.wait(ms(1), nullptr, nullptr);
    const bool alive = sampler.owned_group_alive(clock).value();
    return std::pair(alive, sampler.owned_group_running());
  };
  EXPECT_EQ(alive_and_running(), std::pair(true, true));
  tree.set_state(kRoot.pid, 'Z');
  EXPECT_EQ(alive_and_running(), std::pair(true, true));
  tree.set_state(101, 'R', platform::ProcStat::kExitingFlag);
  EXPECT_EQ(alive_and_running(), std::pair(true, false));
  tree.set_state(101, 'Z');
  EXPECT_EQ(alive_and_running(), std::pair(false, false));
}

std::tuple<uint32_t, uint32_t, uint32_t, bool> fields(const SharedPages& shared) {
  return {shared.sharing, shared.refined, shared.read, shared.deferred};
}

// Run mode refines every pass that reaches the level, and only those.
TEST(FootprintSampler, RefinesEveryPassAtTheLevel) {
  MonotonicRunClock start;  // the passes' times
  for (const uint64_t level_kb : {2000, 2001}) {
    SCOPED_TRACE(level_kb);
    ForkedPair pair;
    FootprintSampler sampler = pair.sampler(ShareRefinement::at_level(level_kb * 1024));
    for (int pass = 0; pass < 2; ++pass) {
      const FootprintSample& sample = sampler.sample_native(start);
      EXPECT_EQ(sample.status.complete_bytes(), (level_kb == 2000 ? 1000 : 2000) * 1024);
      EXPECT_EQ(fields(sample.shared_pages),
                level_kb == 2000 ? fields({2, 2, 2, false}) : fields({}));
    }
  }
}

// Observe mode refines a pass that could raise the peak, then reads no share
// for nine times as long as that took: the passes in between count the pair
// from the shares read before. Once allowed, a pass reads again.
TEST(FootprintSampler, RefinesAbovePeakAtABoundedRate) {
  MonotonicRunClock start;  // the passes' times
  ForkedPair pair;
  FootprintSampler sampler = pair.sampler(ShareRefinement::above_peak());
  const auto pass = [&] {
    const FootprintSample& sample = sampler.sample_native(start);
    return std::pair(sample.status.complete_bytes().value_or(0) / 1024,
                     fields(sample.shared_pages));
  };
  EXPECT_EQ(pass(), std::pair(uint64_t{1000}, fields({2, 2, 2, false})));
  EXPECT_EQ(pass(), std::pair(uint64_t{1000}, fields({2, 2, 0, false})));
  pair.clock = pair.clock.saturating_add(ms(100));
  EXPECT_EQ(pass(), std::pair(uint64_t{1000}, fields({2, 2, 2, false})));
}

}  // namespace
}  // namespace vek_guard
