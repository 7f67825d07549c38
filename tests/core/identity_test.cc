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
  for (const auto& [root, group] :
       {std::pair<ProcessIdentity, int32_t>{{0, 5}, 1}, {{5, 0}, 1}, {{5, 5}, 0}}) {
    EXPECT_EQ(IdentityTracker::create(root, group).error(), InspectionError::InvalidData);
  }
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
      {"a reused pid is a new identity", GroupInventory{{root_record(), child}},
       {{root_record(), record(101, 2500, 100, kGroup, 2 * kPage)}},
       {100, 101}, {reused(101, 2000, 2500), departed({101, 2000})}, complete(3 * kPage)},
      {"a root that vanished is not", GroupInventory{{root_record(), child}},
       {{}, {MemberFailure{100, E::Missing}}},
       {}, {departed(kRoot), departed({101, 2000}), failed(100, E::Missing)},
       incomplete({kRoot}, 0)},
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
      {"events come in their fixed order",
       GroupInventory{{root_record(), child, sibling, record(103, 2200, 100, kGroup)}},
       {{root_record(), record(101, 2000, 1, kGroup), record(102, 2100, 100, 9),
         record(103, 2900, 100, kGroup), record(104, 3000, 1, kGroup), record(130, 3100, 50, 777)},
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
  }
}

TEST(IdentityTracker, EachEscapeIsCountedOnceAndOnlyTheFirst64AreReported) {
  IdentityTracker tracker = make_tracker();
  const auto pass_with = [&](int32_t outside) {
    GroupInventory inventory{{root_record()}, {}};
    for (int32_t pid = 200; pid < 265; ++pid) {
      inventory.records.push_back(record(pid, 7, 100, outside == 0 ? kGroup : outside + pid));
    }
    return tracker.update(std::move(inventory));
  };
  (void)pass_with(0);
  const IdentityUpdate out = pass_with(900);
  EXPECT_EQ(tracker.escaped_count(), 65u);
  ASSERT_EQ(out.events.size(), 64u);
  EXPECT_EQ(out.events.front(), escaped({200, 7}, 1100));
  EXPECT_EQ(out.events.back(), escaped({263, 7}, 1163));
  EXPECT_THAT(pass_with(900).events, IsEmpty());  // staying out is no new escape
  const IdentityUpdate back = pass_with(0);
  EXPECT_EQ(back.members.size(), 66u);
  EXPECT_THAT(back.events, IsEmpty());
  EXPECT_TRUE(back.escaped);
  EXPECT_THAT(pass_with(1900).events, IsEmpty());  // nor is leaving a second time
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

TEST(NativeInventoryFakeTree, CandidatesAreTheGroupTrackedPidsRootAndAllDescendants) {
  test_support::TempDir root;
  const auto add_dir = [&](const std::string& name) {
    EXPECT_EQ(::mkdir(root.file(name).c_str(), 0700), 0);
    return root.file(name);
  };
  const auto add = [&](int32_t pid, int32_t ppid, int32_t pgid, uint64_t start) {
    const std::string dir = add_dir(std::to_string(pid));
    std::ofstream(dir + "/stat") << pid << " (p) S " << ppid << " " << pgid
                                 << " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " << start << " 0 0\n";
    std::ofstream(dir + "/status") << "RssAnon: 8 kB\n";
  };
  add(1, 0, 1, 1);
  add(10, 1, 10, 500);   // root
  add(11, 10, 10, 501);  // child in the group
  add(12, 11, 40, 502);  // grandchild in another group
  add(13, 12, 41, 503);  // its child, deeper still
  add(20, 1, 10, 504);   // joined the group from outside
  add(30, 1, 30, 506);   // foreign
  add(50, 1, 50, 508);   // tracked from an earlier pass
  add(51, 50, 50, 509);
  add_dir("self");  // not a pid
  add_dir("77");    // exited before its stat was read
  const NativeProcessInventory inventory(root.path());

  const auto candidates =
      inventory.list_group_candidates(std::vector<int32_t>{50, 0, -3, 77}, 10, 10);
  ASSERT_TRUE(candidates);
  EXPECT_THAT(*candidates, ElementsAre(10, 11, 12, 13, 20, 50, 51, 77));
  EXPECT_THAT(inventory.inspect_members(*candidates).failures,
              ElementsAre(MemberFailure{77, InspectionError::Missing}));

  IdentityTracker tracker = *IdentityTracker::create({10, 500}, 10);
  auto probe = sample_group(tracker, inventory);
  ASSERT_TRUE(probe);
  EXPECT_THAT(member_pids(tracker.update(std::move(*probe))), ElementsAre(10, 11, 20));
  EXPECT_EQ(tracker.escaped_count(), 2u);  // 12 and 13 descend from the root outside the group
  EXPECT_EQ(sample_group(tracker, NativeProcessInventory("/nonexistent-proc-root")).error(),
            InspectionError::Failed);
}

}  // namespace
}  // namespace vek_guard
