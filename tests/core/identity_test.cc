#include "vek_guard/identity.h"

#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int32_t kGroup = 100;
constexpr ProcessIdentity kRoot{100, 1000};
constexpr uint64_t kPage = 4096;
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

ProcessRecord record(int32_t pid, uint64_t start, int32_t ppid, int32_t pgid,
                     std::optional<uint64_t> footprint = kPage) {
  return ProcessRecord{footprint, start, pid, ppid, pgid, false};
}
ProcessRecord root_record() { return record(kRoot.pid, kRoot.start_time, 1, kGroup); }
ProcessRecord zombie(int32_t pid, uint64_t start) {
  return ProcessRecord{0, start, pid, 0, 0, true};
}

IdentityTracker make_tracker() { return *IdentityTracker::create(kRoot, kGroup); }

IdentityEvent departed(ProcessIdentity id) { return {IdentityEvent::Departed{id}}; }
IdentityEvent reused(int32_t pid, uint64_t old_start, uint64_t new_start) {
  return {IdentityEvent::PidReused{pid, old_start, new_start}};
}
IdentityEvent reparented(ProcessIdentity id, int32_t ppid, std::optional<int32_t> previous) {
  return {IdentityEvent::Reparented{id, ppid, previous}};
}
IdentityEvent escaped(ProcessIdentity id, int32_t pgid) {
  return {IdentityEvent::Escaped{id, pgid}};
}
IdentityEvent failed(std::optional<int32_t> pid, InspectionError reason) {
  return {IdentityEvent::InspectionFailed{MemberFailure{pid, reason}}};
}

AggregateStatus complete(uint64_t total) { return {AggregateStatus::Complete{total}}; }
AggregateStatus incomplete(std::vector<ProcessIdentity> unmeasured, uint64_t measured) {
  return {AggregateStatus::Incomplete{std::move(unmeasured), measured}};
}

std::vector<int32_t> member_pids(const IdentityUpdate& update) {
  std::vector<int32_t> pids;
  for (const ProcessRecord& member : update.members) pids.push_back(member.pid);
  return pids;
}

TEST(IdentityTracker, RefusesAnInvalidRootOrGroup) {
  EXPECT_EQ(IdentityTracker::create({0, 5}, 1).error(), InspectionError::InvalidData);
  EXPECT_EQ(IdentityTracker::create({5, 0}, 1).error(), InspectionError::InvalidData);
  EXPECT_EQ(IdentityTracker::create({5, 5}, 0).error(), InspectionError::InvalidData);
  EXPECT_TRUE(IdentityTracker::create({1, 1}, 1));
}

TEST(IdentityTracker, CountsTheRootAndItsDescendants) {
  IdentityTracker tracker = make_tracker();
  const IdentityUpdate update = tracker.update(
      {{root_record(), record(101, 2000, 100, kGroup, 3 * kPage), record(102, 2100, 101, kGroup)},
       {}});
  EXPECT_THAT(member_pids(update), ElementsAre(100, 101, 102));
  EXPECT_THAT(update.events, IsEmpty());
  EXPECT_EQ(update.status, complete(5 * kPage));
  EXPECT_FALSE(update.escaped);
  EXPECT_EQ(tracker.tracked().size(), 3u);
  EXPECT_EQ(tracker.tracked().at({101, 2000}), (TrackedProcess{{101, 2000}, 100, false}));
  EXPECT_EQ(tracker.pid_index().at(102), (ProcessIdentity{102, 2100}));
}

TEST(IdentityTracker, AnEscapeIsCountedAndReportedOnceAndTheFlagOutlivesTheReturn) {
  IdentityTracker tracker = make_tracker();
  const ProcessIdentity child{101, 2000};
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});

  const IdentityUpdate left = tracker.update({{root_record(), record(101, 2000, 100, 555)}, {}});
  EXPECT_THAT(member_pids(left), ElementsAre(100));
  EXPECT_THAT(left.events, ElementsAre(escaped(child, 555)));
  EXPECT_TRUE(left.escaped);
  EXPECT_EQ(left.status, complete(kPage));
  EXPECT_EQ(tracker.escaped_count(), 1u);

  const IdentityUpdate still_out =
      tracker.update({{root_record(), record(101, 2000, 100, 555)}, {}});
  EXPECT_THAT(still_out.events, IsEmpty());
  EXPECT_EQ(tracker.escaped_count(), 1u);

  const IdentityUpdate back = tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});
  EXPECT_THAT(member_pids(back), ElementsAre(100, 101));
  EXPECT_THAT(back.events, IsEmpty());
  EXPECT_TRUE(back.escaped);
  EXPECT_TRUE(tracker.tracked().at(child).escaped);

  // Leaving a second time is not a second escape.
  const IdentityUpdate again = tracker.update({{root_record(), record(101, 2000, 100, 556)}, {}});
  EXPECT_THAT(again.events, IsEmpty());
  EXPECT_EQ(tracker.escaped_count(), 1u);
}

TEST(IdentityTracker, EscapesBeyondTheEvidenceLimitAreCountedWithoutEvents) {
  IdentityTracker tracker = make_tracker();
  GroupInventory inventory{{root_record()}, {}};
  for (int32_t pid = 200; pid < 265; ++pid) {
    inventory.records.push_back(record(pid, 7, 100, 900 + pid));
  }
  // An exited process outside the group is not an escape.
  inventory.records.push_back(zombie(300, 7));
  inventory.records.back().ppid = 100;

  const IdentityUpdate update = tracker.update(std::move(inventory));
  EXPECT_EQ(tracker.escaped_count(), 65u);
  EXPECT_EQ(tracker.escape_evidence().size(), IdentityTracker::kMaxEscapeEvidence);
  ASSERT_EQ(update.events.size(), 64u);
  EXPECT_EQ(update.events.front(), escaped({200, 7}, 1100));
  EXPECT_EQ(update.events.back(), escaped({263, 7}, 1163));
  EXPECT_FALSE(tracker.escape_evidence().contains({264, 7}));
  EXPECT_TRUE(tracker.tracked().at({264, 7}).escaped);
  EXPECT_FALSE(tracker.tracked().at({300, 7}).escaped);
  EXPECT_THAT(member_pids(update), ElementsAre(100));

  // The 65th stays counted once while it stays out.
  (void)tracker.update({{root_record(), record(264, 7, 100, 1164)}, {}});
  EXPECT_EQ(tracker.escaped_count(), 65u);
}

TEST(IdentityTracker, NonDescendantsCountOnlyWhenTheyJoinTheGroup) {
  IdentityTracker tracker = make_tracker();
  const IdentityUpdate update = tracker.update(
      {{record(50, 1, 0, 50), root_record(), record(120, 3000, 50, kGroup),
        record(130, 3100, 50, 777)},
       {}});
  EXPECT_THAT(member_pids(update), ElementsAre(100, 120));
  EXPECT_THAT(update.events, ElementsAre(reparented({120, 3000}, 50, std::nullopt)));
  EXPECT_FALSE(tracker.tracked().contains({130, 3100}));
  EXPECT_FALSE(tracker.tracked().contains({50, 1}));
  EXPECT_EQ(tracker.escaped_count(), 0u);
}

TEST(IdentityTracker, AGrandchildWhoseParentWasReapedStaysAMemberWhileInTheGroup) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update(
      {{root_record(), record(101, 2000, 100, kGroup), record(102, 2100, 101, kGroup)}, {}});

  // The parent is reaped; the grandchild now belongs to init.
  const IdentityUpdate orphaned =
      tracker.update({{record(1, 1, 0, 1), root_record(), record(102, 2100, 1, kGroup)}, {}});
  EXPECT_THAT(member_pids(orphaned), ElementsAre(100, 102));
  EXPECT_THAT(orphaned.events,
              ElementsAre(departed({101, 2000}), reparented({102, 2100}, 1, 101)));

  const IdentityUpdate left = tracker.update({{root_record(), record(102, 2100, 1, 102)}, {}});
  EXPECT_THAT(left.events, ElementsAre(escaped({102, 2100}, 102)));
  EXPECT_THAT(member_pids(left), ElementsAre(100));

  // First seen only after its parent was reaped: a member in the group,
  // ignored outside it.
  const IdentityUpdate late = tracker.update(
      {{root_record(), record(140, 4000, 1, kGroup), record(141, 4100, 1, 141)}, {}});
  EXPECT_THAT(member_pids(late), ElementsAre(100, 140));
  EXPECT_THAT(late.events, ElementsAre(departed({102, 2100}),
                                       reparented({140, 4000}, 1, std::nullopt)));
  EXPECT_EQ(tracker.escaped_count(), 1u);
}

TEST(IdentityTracker, AReusedPidIsANewIdentity) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});
  const IdentityUpdate update =
      tracker.update({{root_record(), record(101, 2500, 100, kGroup, 2 * kPage)}, {}});
  EXPECT_THAT(update.events, ElementsAre(reused(101, 2000, 2500), departed({101, 2000})));
  EXPECT_EQ(update.status, complete(3 * kPage));
  EXPECT_FALSE(tracker.tracked().contains({101, 2000}));
  EXPECT_EQ(tracker.pid_index().at(101), (ProcessIdentity{101, 2500}));
}

TEST(IdentityTracker, AMemberThatVanishesBeforeInspectionIsDroppedButTheRootIsNot) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});

  const IdentityUpdate vanished =
      tracker.update({{root_record()}, {MemberFailure{101, InspectionError::Missing}}});
  EXPECT_THAT(vanished.events, ElementsAre(departed({101, 2000})));
  EXPECT_THAT(vanished.failures, IsEmpty());
  EXPECT_EQ(vanished.status, complete(kPage));

  const IdentityUpdate root_missing =
      tracker.update({{}, {MemberFailure{100, InspectionError::Missing}}});
  EXPECT_THAT(root_missing.events,
              ElementsAre(departed(kRoot), failed(100, InspectionError::Missing)));
  EXPECT_THAT(root_missing.failures,
              ElementsAre(MemberFailure{100, InspectionError::Missing}));
  EXPECT_EQ(root_missing.status, incomplete({kRoot}, 0));
}

TEST(IdentityTracker, AKeptFailureLeavesItsTrackedIdentitiesUnmeasured) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update(
      {{root_record(), record(101, 2000, 100, kGroup), record(102, 2100, 100, kGroup)}, {}});
  const IdentityUpdate update = tracker.update(
      {{root_record(), record(102, 2100, 100, kGroup)},
       {MemberFailure{101, InspectionError::PermissionDenied}}});
  EXPECT_THAT(update.events, ElementsAre(departed({101, 2000}),
                                         failed(101, InspectionError::PermissionDenied)));
  EXPECT_EQ(update.status, incomplete({{101, 2000}}, 2 * kPage));
}

TEST(IdentityTracker, AFailureWithoutAPidConcernsEveryIdentity) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});
  const IdentityUpdate update =
      tracker.update({{root_record()}, {MemberFailure{std::nullopt, InspectionError::Missing}}});
  EXPECT_THAT(update.failures, ElementsAre(MemberFailure{std::nullopt, InspectionError::Missing}));
  EXPECT_EQ(update.status, incomplete({kRoot, {101, 2000}}, kPage));
}

TEST(IdentityTracker, ARootNeverSeenExitedKeepsEveryPassIncomplete) {
  IdentityTracker tracker = make_tracker();
  for (int pass = 0; pass < 3; ++pass) {
    const IdentityUpdate update = tracker.update({{record(101, 2000, 1, kGroup)}, {}});
    EXPECT_EQ(update.status, incomplete({kRoot}, kPage)) << pass;
  }
  EXPECT_EQ(tracker.pid_index().at(kRoot.pid), kRoot);

  // Once seen exited, its absence is no longer a gap.
  (void)tracker.update({{zombie(kRoot.pid, kRoot.start_time)}, {}});
  EXPECT_TRUE(tracker.root_exited());
  EXPECT_EQ(tracker.update({{}, {}}).status, complete(0));
}

TEST(IdentityTracker, AnExitedMemberIsTrackedButNotCounted) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup)}, {}});
  const IdentityUpdate update = tracker.update({{root_record(), zombie(101, 2000)}, {}});
  EXPECT_THAT(member_pids(update), ElementsAre(100));
  EXPECT_THAT(update.events, ElementsAre(reparented({101, 2000}, 0, 100)));
  EXPECT_TRUE(tracker.tracked().contains({101, 2000}));
  EXPECT_EQ(tracker.escaped_count(), 0u);
  EXPECT_FALSE(tracker.root_exited());
}

TEST(IdentityTracker, AggregatesWithOverflowChecksAndUnmeasuredMembers) {
  IdentityTracker tracker = make_tracker();
  const uint64_t half = kU64Max / 2;
  EXPECT_EQ(tracker
                .update({{record(100, 1000, 1, kGroup, half),
                          record(101, 2000, 100, kGroup, kU64Max - half)},
                         {}})
                .status,
            complete(kU64Max));
  EXPECT_EQ(tracker
                .update({{record(100, 1000, 1, kGroup, half),
                          record(101, 2000, 100, kGroup, kU64Max - half + 1)},
                         {MemberFailure{101, InspectionError::Failed}}})
                .status,
            AggregateStatus{AggregateStatus::Overflow{}});
  EXPECT_EQ(tracker
                .update({{root_record(), record(101, 2000, 100, kGroup, std::nullopt)}, {}})
                .status,
            incomplete({{101, 2000}}, kPage));
}

TEST(IdentityTracker, EmitsEventsInTheirFixedOrder) {
  IdentityTracker tracker = make_tracker();
  (void)tracker.update({{root_record(), record(101, 2000, 100, kGroup),
                         record(102, 2100, 100, kGroup), record(103, 2200, 100, kGroup)},
                        {}});
  const IdentityUpdate update = tracker.update(
      {{root_record(), record(101, 2000, 1, kGroup), record(102, 2100, 100, 9),
        record(103, 2900, 100, kGroup), record(104, 3000, 1, kGroup)},
       {MemberFailure{105, InspectionError::InvalidData}}});
  EXPECT_THAT(update.events,
              ElementsAre(reused(103, 2200, 2900), departed({103, 2200}),
                          failed(105, InspectionError::InvalidData),
                          reparented({101, 2000}, 1, 100), escaped({102, 2100}, 9),
                          reparented({104, 3000}, 1, std::nullopt)));
}

TEST(PidListing, CountsThenFillsWithSpareSlots) {
  int calls = 0;
  const auto listing = read_pid_listing([&](std::span<int32_t> buffer) {
    ++calls;
    if (buffer.empty()) return 3;
    EXPECT_EQ(buffer.size(), 3u + 16u);
    buffer[0] = 7;
    buffer[1] = 0;
    buffer[2] = -4;
    buffer[3] = 9;
    return 4;  // the table grew by one: still within the spare slots
  });
  ASSERT_TRUE(listing);
  EXPECT_THAT(*listing, ElementsAre(7, 9));
  EXPECT_EQ(calls, 2);

  calls = 0;
  EXPECT_THAT(*read_pid_listing([&](std::span<int32_t>) { return ++calls, 0; }), IsEmpty());
  EXPECT_EQ(calls, 1);
}

TEST(PidListing, FailsOnNegativeHugeOrPossiblyCutLists) {
  EXPECT_EQ(read_pid_listing([](std::span<int32_t>) { return -1; }).error(),
            InspectionError::Failed);
  EXPECT_EQ(read_pid_listing([](std::span<int32_t> b) { return b.empty() ? 2 : -1; }).error(),
            InspectionError::Failed);
  EXPECT_EQ(read_pid_listing([](std::span<int32_t>) { return 536870896; }).error(),
            InspectionError::Failed);
  EXPECT_EQ(read_pid_listing([](std::span<int32_t> b) {
              return b.empty() ? 2 : static_cast<int>(b.size());
            }).error(),
            InspectionError::Failed);
  EXPECT_TRUE(read_pid_listing([](std::span<int32_t> b) {
    if (!b.empty()) std::fill(b.begin(), b.end(), 5);
    return b.empty() ? 2 : static_cast<int>(b.size()) - 1;
  }));
}

// ---------------------------------------------------------------------------
// The inventory against a fake proc tree.

class FakeProc {
 public:
  void add(int32_t pid, const std::string& stat, const std::string& status = "RssAnon: 8 kB\n") {
    const std::string dir = root_.file(std::to_string(pid));
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    std::ofstream(dir + "/stat") << stat;
    std::ofstream(dir + "/status") << status;
  }
  void add(int32_t pid, char state, int32_t ppid, int32_t pgid, uint64_t start) {
    add(pid, std::to_string(pid) + " (p) " + state + " " + std::to_string(ppid) + " " +
                 std::to_string(pgid) + " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " +
                 std::to_string(start) + " 0 0\n");
  }
  NativeProcessInventory inventory() const { return NativeProcessInventory(root_.path()); }

 private:
  test_support::TempDir root_;
};

TEST(NativeInventoryFakeTree, MapsWhatTheTreeHoldsToRecordsAndErrors) {
  FakeProc proc;
  proc.add(10, 'S', 1, 10, 500);
  proc.add(11, 'S', 10, 10, 501);
  proc.add(12, "13 (p) S 10 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 502\n");  // another pid
  proc.add(14, "14 (p) S -1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 503\n");
  proc.add(15, 'S', 10, 10, 504);
  proc.add(16, "16 (p) S 10 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 505\n", "RssAnon: lots kB\n");
  const NativeProcessInventory inventory = proc.inventory();

  EXPECT_EQ(*inventory.inspect(11), (ProcessRecord{8192, 501, 11, 10, 10, false}));
  EXPECT_EQ(inventory.inspect(12).error(), InspectionError::IdentityChanged);
  EXPECT_EQ(inventory.inspect(14).error(), InspectionError::InvalidData);
  EXPECT_EQ(inventory.inspect(16).error(), InspectionError::InvalidData);
  EXPECT_EQ(inventory.inspect(99).error(), InspectionError::Missing);
  EXPECT_EQ(inventory.inspect_expected({11, 501})->pid, 11);
  EXPECT_EQ(inventory.inspect_expected({11, 999}).error(), InspectionError::IdentityChanged);
  EXPECT_EQ(inventory.inspect_expected({99, 1}).error(), InspectionError::Missing);
}

TEST(NativeInventoryFakeTree, CandidatesAreTheGroupTrackedPidsRootAndAllDescendants) {
  FakeProc proc;
  proc.add(1, 'S', 0, 1, 1);
  proc.add(10, 'S', 1, 10, 500);   // root
  proc.add(11, 'S', 10, 10, 501);  // child in the group
  proc.add(12, 'S', 11, 40, 502);  // grandchild in another group
  proc.add(13, 'S', 12, 41, 503);  // its child, deeper still
  proc.add(20, 'S', 1, 10, 504);   // joined the group from outside
  proc.add(21, 'S', 20, 10, 505);
  proc.add(30, 'S', 1, 30, 506);   // foreign
  proc.add(31, 'S', 30, 30, 507);  // foreign child
  proc.add(50, 'S', 1, 50, 508);   // tracked from an earlier pass
  proc.add(51, 'S', 50, 50, 509);
  const NativeProcessInventory inventory = proc.inventory();

  const std::vector<int32_t> tracked = {50, 0, -3, 77};
  const auto candidates = inventory.list_group_candidates(tracked, 10, 10);
  ASSERT_TRUE(candidates);
  EXPECT_THAT(*candidates, ElementsAre(10, 11, 12, 13, 20, 21, 50, 51, 77));

  const GroupInventory members = inventory.inspect_members(*candidates);
  EXPECT_EQ(members.records.size(), 8u);
  EXPECT_THAT(members.failures, ElementsAre(MemberFailure{77, InspectionError::Missing}));

  IdentityTracker tracker = *IdentityTracker::create({10, 500}, 10);
  auto probe = sample_group(tracker, inventory);
  ASSERT_TRUE(probe);
  const IdentityUpdate update = tracker.update(std::move(*probe));
  EXPECT_THAT(member_pids(update), ElementsAre(10, 11, 20, 21));
  EXPECT_EQ(tracker.escaped_count(), 2u);  // 12 and 13 descend from the root outside the group

  EXPECT_EQ(sample_group(tracker, NativeProcessInventory("/nonexistent-proc-root")).error(),
            InspectionError::Failed);
}

}  // namespace
}  // namespace vek_guard
