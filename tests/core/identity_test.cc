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

// One pass of a fresh tracker, after an optional earlier pass, and what it
// must yield.
struct Pass {
  const char* what;
  std::optional<GroupInventory> earlier;
  GroupInventory inventory;
  std::vector<int32_t> members;
  std::vector<IdentityEvent> events;
  AggregateStatus status;
  bool escaped = false;
};

TEST(IdentityTracker, MembersEventsAndTotalsOfOnePass) {
  using E = InspectionError;
  const ProcessRecord child = record(101, 2000, 100, kGroup);
  const ProcessRecord sibling = record(102, 2100, 100, kGroup);
  const uint64_t half = kU64Max / 2;
  // clang-format off
  const std::vector<Pass> passes = {
      {"the root and its descendants count", {},
       {{root_record(), record(101, 2000, 100, kGroup, 3 * kPage), record(102, 2100, 101, kGroup)}},
       {100, 101, 102}, {}, complete(5 * kPage)},
      {"a non-descendant counts only in the group", {},
       {{record(50, 1, 0, 50), root_record(), record(120, 3000, 50, kGroup),
         record(130, 3100, 50, 777)}},
       {100, 120}, {reparented({120, 3000}, 50, std::nullopt)}, complete(2 * kPage)},
      {"a member that leaves the group escapes", GroupInventory{{root_record(), child}},
       {{root_record(), record(101, 2000, 100, 555)}},
       {100}, {escaped({101, 2000}, 555)}, complete(kPage), true},
      {"a reused pid is a new identity", GroupInventory{{root_record(), child}},
       {{root_record(), record(101, 2500, 100, kGroup, 2 * kPage)}},
       {100, 101}, {reused(101, 2000, 2500), departed({101, 2000})}, complete(3 * kPage)},
      {"a member that vanished is dropped", GroupInventory{{root_record(), child}},
       {{root_record()}, {MemberFailure{101, E::Missing}}},
       {100}, {departed({101, 2000})}, complete(kPage)},
      {"a root that vanished is not", GroupInventory{{root_record(), child}},
       {{}, {MemberFailure{100, E::Missing}}},
       {}, {departed(kRoot), departed({101, 2000}), failed(100, E::Missing)},
       incomplete({kRoot}, 0)},
      {"a kept failure leaves its identities unmeasured",
       GroupInventory{{root_record(), child, sibling}},
       {{root_record(), sibling}, {MemberFailure{101, E::PermissionDenied}}},
       {100, 102}, {departed({101, 2000}), failed(101, E::PermissionDenied)},
       incomplete({{101, 2000}}, 2 * kPage)},
      {"a failure without a pid concerns every identity", GroupInventory{{root_record(), child}},
       {{root_record()}, {MemberFailure{std::nullopt, E::Missing}}},
       {100}, {departed({101, 2000}), failed(std::nullopt, E::Missing)},
       incomplete({kRoot, {101, 2000}}, kPage)},
      // Exited: no longer in the group, yet neither an escape nor counted.
      {"an exited member", GroupInventory{{root_record(), child}},
       {{root_record(), zombie(101, 2000)}},
       {100}, {reparented({101, 2000}, 0, 100)}, complete(kPage)},
      {"a total of exactly the maximum", {},
       {{record(100, 1000, 1, kGroup, half), record(101, 2000, 100, kGroup, kU64Max - half)}},
       {100, 101}, {}, complete(kU64Max)},
      {"one byte more overflows, whatever failed", {},
       {{record(100, 1000, 1, kGroup, half), record(101, 2000, 100, kGroup, kU64Max - half + 1)},
        {MemberFailure{101, E::Failed}}},
       {100, 101}, {failed(101, E::Failed)}, AggregateStatus{AggregateStatus::Overflow{}}},
      {"a member without a footprint", {},
       {{root_record(), record(101, 2000, 100, kGroup, std::nullopt)}},
       {100, 101}, {}, incomplete({{101, 2000}}, kPage)},
      // The parent is reaped, so the grandchild now belongs to init.
      {"an orphan stays a member while in the group",
       GroupInventory{{root_record(), child, record(102, 2100, 101, kGroup)}},
       {{record(1, 1, 0, 1), root_record(), record(102, 2100, 1, kGroup)}},
       {100, 102}, {departed({101, 2000}), reparented({102, 2100}, 1, 101)}, complete(2 * kPage)},
      {"a root never seen leaves every pass incomplete",
       GroupInventory{{record(101, 2000, 1, kGroup)}}, {{record(101, 2000, 1, kGroup)}},
       {101}, {}, incomplete({kRoot}, kPage)},
      {"a root seen exited leaves no gap", GroupInventory{{zombie(kRoot.pid, kRoot.start_time)}},
       {}, {}, {departed(kRoot)}, complete(0)},
      {"events come in their fixed order",
       GroupInventory{{root_record(), child, sibling, record(103, 2200, 100, kGroup)}},
       {{root_record(), record(101, 2000, 1, kGroup), record(102, 2100, 100, 9),
         record(103, 2900, 100, kGroup), record(104, 3000, 1, kGroup)},
        {MemberFailure{105, E::InvalidData}}},
       {100, 101, 103, 104},
       {reused(103, 2200, 2900), departed({103, 2200}), failed(105, E::InvalidData),
        reparented({101, 2000}, 1, 100), escaped({102, 2100}, 9),
        reparented({104, 3000}, 1, std::nullopt)},
       incomplete({}, 4 * kPage), true},
  };
  // clang-format on
  for (const Pass& pass : passes) {
    SCOPED_TRACE(pass.what);
    IdentityTracker tracker = make_tracker();
    if (pass.earlier) (void)tracker.update(*pass.earlier);
    const IdentityUpdate update = tracker.update(pass.inventory);
    EXPECT_EQ(member_pids(update), pass.members);
    EXPECT_EQ(update.events, pass.events);
    EXPECT_EQ(update.status, pass.status);
    EXPECT_EQ(update.escaped, pass.escaped);
    std::vector<MemberFailure> kept;
    for (const IdentityEvent& event : pass.events) {
      const auto* failure = std::get_if<IdentityEvent::InspectionFailed>(&event.value);
      if (failure != nullptr) kept.push_back(failure->failure);
    }
    EXPECT_EQ(update.failures, kept);
  }
}

TEST(IdentityTracker, AnEscapeIsCountedAndReportedOnceAndTheFlagOutlivesTheReturn) {
  IdentityTracker tracker = make_tracker();
  const auto pass_in = [&](int32_t pgid) {
    return tracker.update({{root_record(), record(101, 2000, 100, pgid)}});
  };
  (void)pass_in(kGroup);
  EXPECT_THAT(pass_in(555).events, ElementsAre(escaped({101, 2000}, 555)));
  EXPECT_THAT(pass_in(555).events, IsEmpty());

  const IdentityUpdate back = pass_in(kGroup);
  EXPECT_THAT(member_pids(back), ElementsAre(100, 101));
  EXPECT_THAT(back.events, IsEmpty());
  EXPECT_TRUE(back.escaped);
  // Leaving a second time is not a second escape.
  EXPECT_THAT(pass_in(556).events, IsEmpty());
  EXPECT_EQ(tracker.escaped_count(), 1u);
}

TEST(IdentityTracker, EscapesBeyondTheEvidenceLimitAreCountedWithoutEvents) {
  IdentityTracker tracker = make_tracker();
  GroupInventory inventory{{root_record()}, {}};
  for (int32_t pid = 200; pid < 265; ++pid) {
    inventory.records.push_back(record(pid, 7, 100, 900 + pid));
  }
  const IdentityUpdate update = tracker.update(std::move(inventory));
  EXPECT_EQ(tracker.escaped_count(), 65u);
  ASSERT_EQ(update.events.size(), 64u);
  EXPECT_EQ(update.events.front(), escaped({200, 7}, 1100));
  EXPECT_EQ(update.events.back(), escaped({263, 7}, 1163));

  // The 65th stays counted once while it stays out.
  (void)tracker.update({{root_record(), record(264, 7, 100, 1164)}, {}});
  EXPECT_EQ(tracker.escaped_count(), 65u);
}

TEST(PidListing, CountsThenFillsWithinTheSpareSlots) {
  int calls = 0;
  const auto listing = read_pid_listing([&](std::span<int32_t> buffer) {
    ++calls;
    if (buffer.empty()) return 3;
    EXPECT_EQ(buffer.size(), 3u + 16u);
    const int32_t pids[] = {7, 0, -4, 9};  // the table grew by one: still within the spare slots
    std::copy(std::begin(pids), std::end(pids), buffer.begin());
    return 4;
  });
  EXPECT_THAT(listing.value(), ElementsAre(7, 9));
  EXPECT_EQ(calls, 2);
  calls = 0;
  EXPECT_THAT(read_pid_listing([&](std::span<int32_t>) { return ++calls, 0; }).value(), IsEmpty());
  EXPECT_EQ(calls, 1);

  // {count, filled}: the greatest count is 2^31 / 4 - 16 - 1, and a fill that
  // reaches the last spare slot may have been cut.
  const std::pair<int, int> answers[] = {{-1, 0}, {2, -1}, {536870896, 0}, {2, 18}, {2, 17}};
  for (const auto& [count, filled] : answers) {
    const auto cut = read_pid_listing([&](std::span<int32_t> buffer) {
      std::fill(buffer.begin(), buffer.end(), 5);
      return buffer.empty() ? count : filled;
    });
    EXPECT_TRUE(filled == 17 ? cut.ok() : cut.error() == InspectionError::Failed)
        << count << " " << filled;
  }
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
  proc.add(11, 'S', 10, 10, 501);
  proc.add(12, "13 (p) S 10 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 502\n");  // another pid
  proc.add(14, "14 (p) S -1 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 503\n");
  proc.add(16, "16 (p) S 10 10 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 505\n", "RssAnon: lots kB\n");
  const NativeProcessInventory inventory = proc.inventory();

  EXPECT_EQ(*inventory.inspect(11), (ProcessRecord{8192, 501, 11, 10, 10, false}));
  EXPECT_EQ(inventory.inspect(12).error(), InspectionError::IdentityChanged);
  EXPECT_EQ(inventory.inspect(14).error(), InspectionError::InvalidData);
  EXPECT_EQ(inventory.inspect(16).error(), InspectionError::InvalidData);
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
