#include "vek_guard/identity.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/fake_proc_tree.h"
#include "support/process_family.h"
#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

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

Duration ms(uint64_t value) { return Duration::from_millis(value); }

// A fake proc tree for the process table: each process is a directory with
// the files that inspections read, listed with an inode number of the
// test's choosing, so a test can fake a pid reused by a new process. Stat
// reads through the table are counted per pid, and so are listings. The
// source has a creation count, which every new or reused pid moves, unless a
// test takes it away.
class FakeProc {
 public:
  using Memory = test_support::FakeProcTree::Memory;

  // Creates or rewrites `pid` under its current inode (a new pid gets one).
  void put(int32_t pid, int32_t ppid, int32_t pgid, uint64_t start, const Memory& memory = {}) {
    files_.put(pid, ppid, pgid, start, memory);
    if (inodes_.try_emplace(pid, next_inode_).second) {
      ++next_inode_;
      if (creations) ++*creations;
    }
  }
  // `pid` now names another process: a new inode, as procfs gives it.
  void reuse(int32_t pid, int32_t ppid, int32_t pgid, uint64_t start) {
    inodes_.erase(pid);
    put(pid, ppid, pgid, start);
  }
  void remove(int32_t pid) {
    files_.remove(pid);
    inodes_.erase(pid);
  }

  platform::ProcessTable table() { return platform::ProcessTable(std::make_unique<Source>(this)); }
  NativeProcessInventory inventory() const { return NativeProcessInventory(files_.path()); }
  int reads(int32_t pid) const { return reads_.contains(pid) ? reads_.at(pid) : 0; }
  std::size_t total_reads() const {
    std::size_t total = 0;
    for (const auto& [pid, count] : reads_) total += static_cast<std::size_t>(count);
    return total;
  }
  void clear_reads() { reads_.clear(); }

  bool fail_next_listing = false;
  int32_t denied = 0;  // a pid whose stat may not be read
  std::optional<uint64_t> creations = 0;
  int listings = 0;

 private:
  class Source final : public platform::ProcessSource {
   public:
    explicit Source(FakeProc* proc) : proc_(proc), files_(proc->files_.path()) {}
    Result<void, platform::ProcError> list(std::vector<platform::ProcListing>* listing) override {
      listing->clear();
      ++proc_->listings;
      if (std::exchange(proc_->fail_next_listing, false))
        return unexpected(platform::ProcError{EIO});
      for (const auto& [pid, inode] : proc_->inodes_) listing->push_back({pid, inode});
      return {};
    }
    Result<platform::ProcStat, platform::ProcError> read_stat(int32_t pid) override {
      ++proc_->reads_[pid];
      if (pid == proc_->denied) return unexpected(platform::ProcError{EACCES});
      return files_.read_stat(pid);
    }
    std::optional<uint64_t> creation_count() override { return proc_->creations; }

   private:
    FakeProc* proc_;
    platform::ProcRootSource files_;
  };

  test_support::FakeProcTree files_;
  std::map<int32_t, uint64_t> inodes_;
  std::map<int32_t, int> reads_;
  uint64_t next_inode_ = 1;
};

std::vector<int32_t> group_of(const platform::ProcessTable& table, int32_t pgid) {
  return read_pid_listing(
             [&](std::span<int32_t> buffer) { return table.list_group_pids(pgid, buffer); })
      .value();
}

// After the first refresh, a pass reads the pids it needs, new and reused
// pids, and a share of the others in turn: each of them once within two
// seconds, not once a pass.
TEST(ProcessTableSeam, ReadsWhatCanHaveChangedAndTheRestInTurns) {
  FakeProc proc;
  proc.creations.reset();  // listed on every pass
  proc.put(10, 1, 10, 500);
  for (int32_t pid = 1000; pid < 1300; ++pid) proc.put(pid, 1, pid, 600);
  proc.denied = 1299;
  platform::ProcessTable table = proc.table();
  const std::vector<int32_t> needed = {10};
  ASSERT_TRUE(table.refresh(ms(0), needed));
  EXPECT_EQ(proc.total_reads(), 301u);
  EXPECT_EQ(table.size(), 301u);
  EXPECT_THAT(group_of(table, 1299), IsEmpty());  // kept unread

  proc.clear_reads();
  for (uint64_t at = 10; at <= 1990; at += 10) ASSERT_TRUE(table.refresh(ms(at), needed));
  EXPECT_EQ(proc.reads(10), 199);
  for (int32_t pid = 1000; pid < 1300; ++pid) EXPECT_EQ(proc.reads(pid), 1) << pid;

  proc.put(2000, 10, 10, 700);    // forked by a member
  proc.reuse(1005, 10, 10, 800);  // the pid of a process that exited, given to a new child
  proc.put(1007, 1, 10, 600);     // moved into the group by setpgid: read only in its turn
  proc.remove(1006);
  proc.clear_reads();
  ASSERT_TRUE(table.refresh(ms(1990), needed));  // no time passed: no turns
  EXPECT_EQ(proc.total_reads(), 3u);
  EXPECT_THAT(group_of(table, 10), ElementsAre(10, 1005, 2000));
  EXPECT_EQ(table.find(1006), nullptr);
  EXPECT_NE(table.fresh(2000), nullptr);
  EXPECT_EQ(table.fresh(1008), nullptr);
  EXPECT_NE(table.find(1008), nullptr);

  proc.fail_next_listing = true;
  EXPECT_FALSE(table.refresh(ms(2000), needed));
  EXPECT_FALSE(table.listed());
  EXPECT_THAT(group_of(table, 10), IsEmpty());
  proc.clear_reads();
  ASSERT_TRUE(table.refresh(ms(2010), needed));  // after a failure: everything
  EXPECT_EQ(proc.total_reads(), table.size());
  EXPECT_THAT(group_of(table, 10), ElementsAre(10, 1005, 1007, 2000));
}

// A process of the command's session can move into the group by setpgid
// without a new pid or inode; its turn comes within 2 s whatever the
// interval, however the move falls between two passes.
TEST(ProcessTableSeam, AProcessJoiningFromOutsideIsSeenWithinTwoSeconds) {
  for (const uint64_t interval : {10, 50, 300, 700, 1000, 2000}) {
    SCOPED_TRACE(interval);
    FakeProc proc;
    proc.put(10, 1, 10, 500);
    for (int32_t pid = 1000; pid < 1200; ++pid) proc.put(pid, 1, pid, 600);
    platform::ProcessTable table = proc.table();
    uint64_t at = 0;
    ASSERT_TRUE(table.refresh(ms(at), {}));
    // The worst moment to join: just after the pass that read it.
    const int before = proc.reads(1100);
    while (proc.reads(1100) == before) ASSERT_TRUE(table.refresh(ms(at += interval), {}));
    const uint64_t joined = at;
    proc.put(1100, 1, 10, 600);
    while (group_of(table, 10).size() < 2) ASSERT_TRUE(table.refresh(ms(at += interval), {}));
    EXPECT_LE(at - joined, 2000u);
  }
}

// While no process is created the listing is not taken again, except once
// a second; the pids a pass needs are still read every pass, and the rest in
// turn. A creation, a reused pid among them, is listed on the next pass, and
// so is everything after a failure.
TEST(ProcessTableSeam, ListsAgainOnlyAfterACreationOrOnceASecond) {
  FakeProc proc;
  proc.put(10, 1, 10, 500);
  proc.put(11, 10, 10, 501);
  for (int32_t pid = 1000; pid < 1100; ++pid) proc.put(pid, 1, pid, 600);
  platform::ProcessTable table = proc.table();
  const std::vector<int32_t> needed = {10, 11};
  ASSERT_TRUE(table.refresh(ms(0), needed));
  proc.clear_reads();
  for (uint64_t at = 10; at <= 500; at += 10) ASSERT_TRUE(table.refresh(ms(at), needed));
  EXPECT_EQ(proc.listings, 1);
  EXPECT_EQ(proc.reads(10), 50);
  EXPECT_GT(proc.total_reads(), 100u);  // the turns go on

  proc.remove(11);  // an exit moves no count: a needed pid is read and found gone
  ASSERT_TRUE(table.refresh(ms(510), needed));
  EXPECT_EQ(proc.listings, 1);
  EXPECT_EQ(table.find(11), nullptr);

  proc.put(2000, 10, 10, 700);
  proc.reuse(1005, 10, 10, 800);
  ASSERT_TRUE(table.refresh(ms(520), needed));
  EXPECT_EQ(proc.listings, 2);
  EXPECT_THAT(group_of(table, 10), ElementsAre(10, 1005, 2000));
  EXPECT_NE(table.fresh(2000), nullptr);

  ASSERT_TRUE(table.refresh(ms(1519), needed));
  EXPECT_EQ(proc.listings, 2);
  ASSERT_TRUE(table.refresh(ms(1520), needed));
  EXPECT_EQ(proc.listings, 3);

  proc.put(2001, 10, 10, 900);
  proc.fail_next_listing = true;
  EXPECT_FALSE(table.refresh(ms(1530), needed));
  ASSERT_TRUE(table.refresh(ms(1540), needed));  // the count has not moved since
  EXPECT_EQ(proc.listings, 5);
  EXPECT_THAT(group_of(table, 10), ElementsAre(10, 1005, 2000, 2001));

  proc.creations.reset();  // a source that cannot tell is listed every time
  ASSERT_TRUE(table.refresh(ms(1550), needed));
  ASSERT_TRUE(table.refresh(ms(1560), needed));
  EXPECT_EQ(proc.listings, 7);
}

// What a pass must see on the very next pass, with no turn to help (the
// passes all come at the same time): a child forked by a member, a
// grandchild that stays in the group after its parent exited, a member that
// leaves the group (counted once), and a pid reused by a new member.
TEST(NativeInventoryFakeTree, ChangesAreSeenOnTheNextPass) {
  FakeProc proc;
  proc.put(10, 1, 10, 500);
  proc.put(11, 10, 10, 501);
  proc.put(30, 1, 30, 502);
  platform::ProcessTable table = proc.table();
  const NativeProcessInventory inventory = proc.inventory();
  IdentityTracker tracker = *IdentityTracker::create({10, 500}, 10);
  const auto pass = [&] {
    auto probe = inventory.sample_group(tracker, table, ms(0));
    EXPECT_TRUE(probe);
    return probe ? tracker.update(std::move(*probe)) : IdentityUpdate{};
  };
  EXPECT_THAT(member_pids(pass()), ElementsAre(10, 11));

  proc.put(12, 11, 10, 503);
  proc.put(13, 12, 10, 504);
  proc.put(11, 10, 11, 501);
  proc.reuse(30, 10, 10, 505);
  EXPECT_THAT(member_pids(pass()), ElementsAre(10, 12, 13, 30));
  EXPECT_EQ(tracker.escaped_count(), 1u);

  proc.remove(12);
  proc.put(13, 1, 10, 504);
  const IdentityUpdate after = pass();
  EXPECT_THAT(member_pids(after), ElementsAre(10, 13, 30));
  EXPECT_THAT(after.events, Contains(reparented({13, 504}, 1, 12)));
  EXPECT_EQ(tracker.escaped_count(), 1u);
}

// The family of the refinement tests: the root 10 and its workers 11 and
// 12, each reading 1000 kB on its own, of which 400 kB it holds alone and
// 600 kB all three share: its share is 200 + 400 kB, and the family holds
// 1800 kB. A worker 13 that left the group maps the same, and its share must
// not be read.
constexpr FakeProc::Memory kFamily{
    .own_kb = 1000, .mapped_kb = 1000, .share_kb = 600, .private_kb = 400};

void put_family(FakeProc& proc) {
  proc.put(10, 1, 10, 500, kFamily);
  proc.put(11, 10, 10, 501, kFamily);
  proc.put(12, 10, 10, 502, kFamily);
  proc.put(13, 10, 13, 503, kFamily);
}

// Printable.
std::tuple<uint32_t, uint32_t, uint32_t, bool, uint64_t> fields(const SharedPages& shared) {
  return {shared.sharing, shared.refined, shared.read, shared.deferred,
          shared.above_floor_bytes / 1024};
}

constexpr RefinementTerms kAnySum{.level_bytes = 0};
constexpr RefinementTerms kNoReads{.level_bytes = 0, .allowed = false};

std::map<int32_t, uint64_t> footprints_kb(const GroupInventory& inventory) {
  std::map<int32_t, uint64_t> footprints;
  for (const ProcessRecord& record : inventory.records) {
    footprints[record.pid] = record.footprint_bytes.value_or(0) / 1024;
  }
  return footprints;
}

// Passes over a fake family as the sampler makes them: probe, refine, then
// the tracker's update, with what the refinement knows kept in between.
class FamilyPasses {
 public:
  explicit FamilyPasses(FakeProc& proc) : proc_(proc), table_(proc.table()) {}

  // One pass; `between` runs after its probe, before its refinement.
  std::map<int32_t, uint64_t> pass(const RefinementTerms& terms,
                                   const std::function<void(FakeProc&)>& between = nullptr) {
    now_ = now_.saturating_add(ms(10));
    auto probe = inventory_.sample_group(tracker_, table_, now_);
    EXPECT_TRUE(probe);
    if (!probe) return {};
    if (between) between(proc_);
    shared = inventory_.refine_shared_pages(&*probe, tracker_, terms, cost, ledger);
    EXPECT_EQ(probe->shared_pages, shared);
    std::map<int32_t, uint64_t> kb = footprints_kb(*probe);
    (void)tracker_.update(std::move(*probe));
    return kb;
  }

  // The members whose share the last pass read.
  std::vector<int32_t> read_last() const {
    std::vector<int32_t> pids;
    for (const auto& [identity, entry] : ledger.entries()) {
      if (entry.known_since == ledger.passes() && entry.share) pids.push_back(identity.pid);
    }
    return pids;
  }

  Duration clock;  // the cost's clock: it moves 10 ms per reading
  ShareReadCost cost{[this] { return std::exchange(clock, clock.saturating_add(ms(10))); }};
  ShareLedger ledger;
  SharedPages shared;

 private:
  FakeProc& proc_;
  platform::ProcessTable table_;
  const NativeProcessInventory inventory_ = proc_.inventory();
  IdentityTracker tracker_ = *IdentityTracker::create({10, 500}, 10);
  Duration now_;
};

// Two of the family's workers sharing its 600 kB between them.
constexpr FakeProc::Memory kPair{
    .own_kb = 1000, .mapped_kb = 1000, .share_kb = 700, .private_kb = 400};

// Who is refined, and when: only members that may share pages, only once
// the cheap sum reaches the level, and a member that left counts 0. The
// family's floor, its largest own reading plus what the others hold alone,
// makes up for shares read while a member that has left still shared.
TEST(ShareRefinement, OnlyAFamilyAtTheLevelIsReadAndOnlyItsSharingMembers) {
  using Change = std::function<void(FakeProc&)>;
  const Change none = [](FakeProc&) {};
  struct Row {
    const char* what;
    Change before = [](FakeProc&) {};  // before the pass that is refined
    Change after = [](FakeProc&) {};   // between its probe and its refinement
    RefinementTerms terms;
    std::map<int32_t, uint64_t> kb;  // footprints of 10, 11, 12 afterwards
    SharedPages shared;
    Change earlier = nullptr;  // when set: after an earlier pass, before this one
  };
  const auto raw = std::map<int32_t, uint64_t>{{10, 1000}, {11, 1000}, {12, 1000}};
  // clang-format off
  const std::vector<Row> rows = {
      {"below the level", none, none, {.level_bytes = 3000 * 1024 + 1}, raw, {}},
      {"at the level", none, none, {.level_bytes = 3000 * 1024},
       {{10, 600}, {11, 600}, {12, 600}}, {3, 3, 3, false, 0}},
      // Never read: the root counts its own reading, an upper bound, and its
      // children what theirs exceeds it; nothing is known to be held alone.
      {"not allowed", none, none, kNoReads, {{10, 1000}, {11, 0}, {12, 0}}, {3, 0, 0, true, 0}},
      // Its floor, 1000 kB before any read, is enough: nothing is read.
      {"provably past enough", none, none, {.level_bytes = 0, .enough_bytes = 1000 * 1024},
       {{10, 1000}, {11, 0}, {12, 0}}, {3, 0, 0, true, 0}},
      {"not yet past enough", none, none, {.level_bytes = 0, .enough_bytes = 1000 * 1024 + 1},
       {{10, 600}, {11, 600}, {12, 600}}, {3, 3, 3, false, 0}},
      {"a process of its own", [](FakeProc& p) { p.remove(11); p.remove(12); }, none, kAnySum,
       {{10, 1000}}, {}},
      // Like a child that shares its parent's address space: nothing twice.
      {"a child reading 0", [](FakeProc& p) { p.remove(12); p.put(11, 10, 10, 501, {.own_kb = 0}); },
       none, kAnySum, {{10, 1000}, {11, 0}}, {}},
      {"a share that cannot be read",
       [](FakeProc& p) { p.put(12, 10, 10, 502, {.own_kb = 900, .mapped_kb = 1000}); }, none,
       kAnySum, {{10, 600}, {11, 600}, {12, 900}}, {3, 2, 2, false, 400 * 1024}},
      // 10 and 12 were read as if 11 still shared with them: the floor gives
      // 10 what 11 took with it.
      {"a member reaped before its read", none, [](FakeProc& p) { p.remove(11); }, kAnySum,
       {{10, 800}, {11, 0}, {12, 600}}, {3, 2, 2, false, 0}},
      {"a pid reused before its read", none, [](FakeProc& p) { p.put(12, 10, 10, 999); }, kAnySum,
       {{10, 800}, {11, 600}, {12, 0}}, {3, 2, 2, false, 0}},
      // The tracker remembers that 12 and 14 were forked from a member: they
      // go on sharing with each other after their parent has gone.
      {"workers whose parent exited",
       [](FakeProc& p) { p.put(12, 11, 10, 502, kPair); p.put(14, 11, 10, 504, kPair); }, none,
       kAnySum, {{10, 1000}, {12, 700}, {14, 700}}, {2, 2, 2, false, 0},
       [](FakeProc& p) { p.remove(11); p.put(12, 1, 10, 502, kPair); p.put(14, 1, 10, 504, kPair); }},
  };
  // clang-format on
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeProc proc;
    put_family(proc);
    row.before(proc);
    FamilyPasses passes(proc);
    if (row.earlier) {
      passes.pass({});
      row.earlier(proc);
    }
    std::map<int32_t, uint64_t> kb = passes.pass(row.terms, row.after);
    EXPECT_EQ(fields(passes.shared), fields(row.shared));
    EXPECT_EQ(kb[13], 1000u);  // escaped: not counted, so not read
    kb.erase(13);
    EXPECT_EQ(kb, row.kb);
  }
}

// Between its reads a member counts its last share plus what its own
// reading has grown since; what it gave back counts nothing (a freed page
// may have been counted at a fraction), and it never counts more than its
// own reading.
TEST(ShareRefinement, BetweenReadsAMemberCountsItsShareAndWhatItGrewSince) {
  FakeProc proc;
  put_family(proc);
  FamilyPasses passes(proc);
  EXPECT_EQ(passes.pass(kAnySum),
            (std::map<int32_t, uint64_t>{{10, 600}, {11, 600}, {12, 600}, {13, 1000}}));
  proc.put(10, 1, 10, 500, {.own_kb = 500});    // below its share
  proc.put(11, 10, 10, 501, {.own_kb = 1500});  // grew by 500
  proc.put(12, 10, 10, 502, {.own_kb = 800});   // gave back 200
  EXPECT_EQ(passes.pass(kNoReads),
            (std::map<int32_t, uint64_t>{{10, 500}, {11, 1100}, {12, 600}, {13, 1000}}));
  // Held alone for certain: 11 its 400 kB; 12 its 400 kB less the 200 it
  // gave back; 10 nothing, having given back more than it held alone.
  // Floor: 11's 1500 kB less its own 400, plus 600 kB: 1700 kB.
  EXPECT_EQ(fields(passes.shared), fields({3, 3, 0, false, 500 * 1024}));
}

// A share divides a page among every process that maps it when it is read:
// children forked after the listing and gone by the next, or processes
// outside the group, take part of it out of the count. The floor keeps the
// largest member whole, and the others' private pages; a member that forked
// since its read no longer holds its private pages alone.
TEST(ShareRefinement, TheFloorKeepsTheLargestMemberWholeAndTheOthersPrivatePages) {
  {
    SCOPED_TRACE("processes outside the group map the root's memory");
    FakeProc proc;
    proc.put(10, 1, 10, 500, {.own_kb = 33000, .mapped_kb = 33000, .share_kb = 1000});
    proc.put(11, 10, 10, 501, {.own_kb = 33000, .mapped_kb = 33000, .share_kb = 1000});
    FamilyPasses passes(proc);
    EXPECT_EQ(passes.pass(kAnySum), (std::map<int32_t, uint64_t>{{10, 32000}, {11, 1000}}));
  }
  {
    SCOPED_TRACE("children forked and gone between the listing and the reads");
    FakeProc proc;
    proc.put(10, 1, 10, 500, {.own_kb = 9000, .mapped_kb = 9000, .share_kb = 1000});
    for (int32_t child = 11; child <= 18; ++child) proc.put(child, 10, 10, 490 + child, {9000});
    FamilyPasses passes(proc);
    const auto churn = [](FakeProc& p) {
      for (int32_t child = 11; child <= 18; ++child) p.remove(child);
    };
    const std::map<int32_t, uint64_t> kb = passes.pass(kAnySum, churn);
    EXPECT_EQ(kb.at(10), 9000u);
    for (int32_t child = 11; child <= 18; ++child) EXPECT_EQ(kb.at(child), 0u) << child;
  }
  {
    // As a pool's workers, forked from a parent read while fewer shared its
    // pages: each holds what its own reading exceeds the parent's, alone.
    SCOPED_TRACE("workers not read yet of a parent read before them");
    FakeProc proc;
    proc.put(10, 1, 10, 500, {.own_kb = 1000, .mapped_kb = 1000, .share_kb = 250});
    proc.put(11, 10, 10, 501, {.own_kb = 1000, .mapped_kb = 1000, .share_kb = 250});
    FamilyPasses passes(proc);
    passes.pass({.level_bytes = 0, .deadline = passes.clock.saturating_add(ms(15))});
    EXPECT_THAT(passes.read_last(), ElementsAre(10));
    for (int32_t worker = 11; worker <= 13; ++worker) {
      proc.put(worker, 10, 10, 490 + worker, {.own_kb = 1050, .mapped_kb = 1050});
    }
    EXPECT_EQ(passes.pass(kNoReads),
              (std::map<int32_t, uint64_t>{{10, 1000}, {11, 50}, {12, 50}, {13, 50}}));
  }
  {
    SCOPED_TRACE("a child forked since the read and a child gone since");
    FakeProc proc;
    put_family(proc);
    FamilyPasses passes(proc);
    passes.pass(kAnySum);
    proc.remove(12);
    // The family was read as three sharing: 12's part of the shared pages is
    // 10's and 11's now, which the floor finds.
    EXPECT_EQ(passes.pass(kNoReads),
              (std::map<int32_t, uint64_t>{{10, 800}, {11, 600}, {13, 1000}}));
    EXPECT_EQ(fields(passes.shared), fields({2, 2, 0, false, 0}));
    EXPECT_FALSE(passes.ledger.entries().contains({12, 502}));
    // 14, forked since, maps all of 10's pages: 10 holds nothing alone for
    // certain any more, and 14 nothing beyond 10.
    proc.put(14, 10, 10, 504, {.own_kb = 1000, .mapped_kb = 1000});
    EXPECT_EQ(passes.pass(kNoReads),
              (std::map<int32_t, uint64_t>{{10, 800}, {11, 600}, {13, 1000}, {14, 0}}));
    EXPECT_EQ(fields(passes.shared), fields({3, 2, 0, false, 0}));
  }
}

// A pass reads what its budget allows, stalest first: members never read
// (among them parents before their children), then those read longest ago.
// The clock moves 10 ms per reading and a read takes two, so with 15 ms
// left at each pass's start one share fits per pass.
TEST(ShareRefinement, SharesAreReadStalestFirstWithinTheBudget) {
  FakeProc proc;
  constexpr FakeProc::Memory kSmall{
      .own_kb = 1000, .mapped_kb = 1000, .share_kb = 600, .private_kb = 400};
  proc.put(10, 1, 10, 500, kSmall);
  proc.put(11, 10, 10, 501, kSmall);
  proc.put(12, 10, 10, 502, kSmall);
  FamilyPasses passes(proc);
  const auto pass = [&] {
    passes.pass({.level_bytes = 0, .deadline = passes.clock.saturating_add(ms(15))});
    return passes.read_last();
  };
  EXPECT_THAT(pass(), ElementsAre(10));
  EXPECT_THAT(pass(), ElementsAre(11));
  EXPECT_THAT(pass(), ElementsAre(12));
  EXPECT_THAT(pass(), ElementsAre(10));
  // A newcomer waits behind the knowledge older than the last pass.
  proc.put(13, 10, 10, 503, kSmall);
  EXPECT_THAT(pass(), ElementsAre(11));
  EXPECT_THAT(pass(), ElementsAre(12));
  EXPECT_THAT(pass(), ElementsAre(13));
}

// The budget: a read is started only when it is predicted to end by the
// deadline, predicted from what the member maps at the rate learned so far.
// The clock moves 10 ms per reading. The root (1 GiB) is predicted at 20.1
// ms, ends at 10 ms and teaches 15 ms per GiB; 11 (1 GiB) no longer fits;
// 12 (64 MiB) still does, and teaches 87.5 ms per GiB. Unread, 11 counts
// what its own reading exceeds its parent's.
TEST(ShareRefinement, AReadThatWouldEndAfterTheDeadlineIsNotStarted) {
  FakeProc proc;
  proc.put(10, 1, 10, 500, {.own_kb = 1000, .mapped_kb = 1 << 20, .share_kb = 400});
  proc.put(11, 10, 10, 501, {.own_kb = 1000, .mapped_kb = 1 << 20, .share_kb = 400});
  proc.put(12, 10, 10, 502, {.own_kb = 1000, .mapped_kb = 1 << 16, .share_kb = 400});
  for (const uint64_t deadline_ms : {35, 0}) {
    SCOPED_TRACE(deadline_ms);
    FamilyPasses passes(proc);
    const std::map<int32_t, uint64_t> kb =
        passes.pass({.level_bytes = 0, .deadline = ms(deadline_ms)});
    if (deadline_ms == 0) {
      EXPECT_EQ(fields(passes.shared), fields({3, 0, 0, true, 0}));
      EXPECT_EQ(passes.cost.per_gib(), ShareReadCost::kInitialPerGib);
      continue;
    }
    // The root holds at least its own 1000 kB: it makes up the 200 kB the
    // shares leave out.
    EXPECT_EQ(fields(passes.shared), fields({3, 2, 2, false, 0}));
    EXPECT_EQ(kb, (std::map<int32_t, uint64_t>{{10, 600}, {11, 0}, {12, 400}}));
    EXPECT_EQ(passes.cost.per_gib(), Duration::from_micros(87'500));
  }
}

// The same on real processes: the root of a group starts a child that
// double-forks a grandchild and exits, and a child that leaves by setsid; a
// process of the same session is moved into the group from outside.
TEST(NativeInventory, ARealGroupsChangesAndAJoinerAreSeen) {
  int go[2];
  int report[2];
  ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const UniqueFd pipe_ends[] = {UniqueFd(go[0]), UniqueFd(go[1]), UniqueFd(report[0]),
                                UniqueFd(report[1])};
  test_support::ForkedChild root([&] {
    ::setpgid(0, 0);
    char byte;
    if (::read(go[0], &byte, 1) != 1) return;
    // Neither of these is the test's to reap: both end on their own too.
    const auto tell = [&](int32_t value) {
      (void)!::write(report[1], &value, sizeof value);
      test_support::sleep_forever();
    };
    if (::fork() == 0) {
      const pid_t parent = ::getpid();
      if (::fork() == 0) {
        ::alarm(30);
        while (::getppid() == parent) ::usleep(1000);  // until its parent has exited
        tell(::getpid());
      }
      ::_exit(0);
    }
    if (::fork() == 0) {
      ::alarm(30);
      ::setsid();
      tell(-::getpid());
    }
    test_support::sleep_forever();
  });
  struct Cleanup {
    pid_t group = 0;
    pid_t escaper = 0;
    ~Cleanup() {
      if (group > 0) ::kill(-group, SIGKILL);
      if (escaper > 0) ::kill(escaper, SIGKILL);
    }
  } cleanup{root.pid()};
  test_support::ForkedChild outsider(test_support::sleep_forever);
  ASSERT_GT(root.pid(), 0);
  ::setpgid(root.pid(), root.pid());
  const auto root_record = NativeProcessInventory().inspect(root.pid());
  ASSERT_TRUE(root_record);
  IdentityTracker tracker = *IdentityTracker::create(root_record->identity(), root.pid());
  platform::ProcessTable table;
  const NativeProcessInventory inventory;
  uint64_t at = 0;
  const auto members = [&] {
    auto probe = inventory.sample_group(tracker, table, ms(at));
    EXPECT_TRUE(probe);
    return probe ? member_pids(tracker.update(std::move(*probe))) : std::vector<int32_t>{};
  };
  EXPECT_THAT(members(), ElementsAre(root.pid()));

  ASSERT_EQ(::write(go[1], "x", 1), 1);
  int32_t told[2];
  for (std::size_t got = 0; got < sizeof told;) {
    pollfd readable{report[0], POLLIN, 0};
    ASSERT_EQ(::poll(&readable, 1, 10'000), 1) << "the root's children never reported";
    const ssize_t n = ::read(report[0], reinterpret_cast<char*>(told) + got, sizeof told - got);
    ASSERT_GT(n, 0);
    got += static_cast<std::size_t>(n);
  }
  const int32_t grandchild = std::max(told[0], told[1]);
  const int32_t escaper = -std::min(told[0], told[1]);
  cleanup.escaper = escaper;
  EXPECT_THAT(members(), ElementsAre(root.pid(), grandchild));
  EXPECT_THAT(members(), ElementsAre(root.pid(), grandchild));
  EXPECT_EQ(tracker.escaped_count(), 1u);

  ASSERT_EQ(::setpgid(outsider.pid(), root.pid()), 0);
  const uint64_t joined = at;
  while (at - joined <= 2000 && members().size() < 3) at += 10;
  EXPECT_LE(at - joined, 2000u);
  EXPECT_THAT(members(), UnorderedElementsAre(root.pid(), grandchild, outsider.pid()));
}

}  // namespace
}  // namespace vek_guard
