#include "vek_guard/identity.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <tuple>
#include <utility>

namespace vek_guard {
namespace {

// Spare slots beyond the counted number of pids: a fill that reaches them
// means the table grew between the count and the fill.
constexpr int kSpareListingSlots = 16;
// The greatest count whose buffer of count + 16 four-byte slots still has a
// byte size that fits in a signed 32-bit value.
constexpr int64_t kMaxListingCount = std::numeric_limits<int32_t>::max() / 4 - kSpareListingSlots;

constexpr uint64_t kBytesPerGib = uint64_t{1} << 30;
// What one read of a share may be learned to cost per GiB mapped: a bound on
// what a single odd timing can teach.
constexpr Duration kMinPerGib = Duration::from_micros(100);
constexpr Duration kMaxPerGib = Duration::from_secs(10);

InspectionError map_proc_error(const platform::ProcError& error) {
  if (error.is_invalid_data()) return InspectionError::InvalidData;
  switch (error.os_error) {
    case ESRCH:
      return InspectionError::Missing;
    case EPERM:
    case EACCES:
      return InspectionError::PermissionDenied;
    case ENOTSUP:
    case ENOSYS:
      return InspectionError::Unsupported;
    default:
      return InspectionError::Failed;
  }
}

// The records of one pass, looked up by pid. The inventory lists them in
// ascending pid order; a synthetic one may not, so they are sorted here.
class RecordIndex {
 public:
  explicit RecordIndex(const std::vector<ProcessRecord>& records) : sorted_(records.size()) {
    for (std::size_t i = 0; i < records.size(); ++i) sorted_[i] = &records[i];
    std::stable_sort(
        sorted_.begin(), sorted_.end(),
        [](const ProcessRecord* a, const ProcessRecord* b) { return a->pid < b->pid; });
  }

  // The first record with `pid`, or null.
  const ProcessRecord* find(int32_t pid) const {
    const auto it = std::lower_bound(
        sorted_.begin(), sorted_.end(), pid,
        [](const ProcessRecord* record, int32_t value) { return record->pid < value; });
    return it != sorted_.end() && (*it)->pid == pid ? *it : nullptr;
  }

  bool contains(ProcessIdentity identity) const {
    for (auto it = std::lower_bound(
             sorted_.begin(), sorted_.end(), identity.pid,
             [](const ProcessRecord*record, int32_t value) { return record->pid < value; });
         it != sorted_.end() && (*it)->pid == identity.pid; ++it) {
      if ((*it)->start_time == identity.start_time) return true;
    }
    return false;
  }

  const std::vector<const ProcessRecord*>& in_pid_order() const { return sorted_; }

 private:
  std::vector<const ProcessRecord*> sorted_;
};

// Follows parent pids from `ppid` through this pass's records. It stops, as
// not a descendant, at a parent below 1, at a pid without a record (a parent
// that was reaped breaks the chain: the orphan now belongs to a reaper) or at
// a pid met twice, which only a table that changed under the listing can
// produce.
bool descends_from(int32_t ppid, int32_t root_pid, const RecordIndex& index) {
  std::vector<int32_t> visited;
  int32_t current = ppid;
  for (;;) {
    if (current < 1) return false;
    if (current == root_pid) return true;
    if (std::find(visited.begin(), visited.end(), current) != visited.end()) return false;
    visited.push_back(current);
    const ProcessRecord* parent = index.find(current);
    if (parent == nullptr) return false;
    current = parent->ppid;
  }
}

void push_event(std::vector<IdentityEvent>* events, auto event) {
  events->push_back(IdentityEvent{std::move(event)});
}

}  // namespace

std::vector<int32_t> IdentityTracker::known_pids() const {
  std::vector<int32_t> pids;
  pids.reserve(pid_index_.size() + 1);
  for (const auto& [pid, identity] : pid_index_) pids.push_back(pid);
  // Before the first pass the index is still empty.
  if (!pid_index_.contains(root_.pid))
    pids.insert(std::upper_bound(pids.begin(), pids.end(), root_.pid), root_.pid);
  return pids;
}

bool IdentityTracker::counts(const ProcessRecord& record) const {
  return record.pid >= 1 && record.start_time != 0 && !record.exited &&
         (record.pgid == owned_pgid_ || record.identity() == root_);
}

Result<IdentityTracker, InspectionError> IdentityTracker::create(ProcessIdentity root,
                                                                 int32_t owned_pgid) {
  if (root.pid < 1 || root.start_time == 0 || owned_pgid < 1) {
    return unexpected(InspectionError::InvalidData);
  }
  return IdentityTracker(root, owned_pgid);
}

IdentityUpdate IdentityTracker::update(GroupInventory inventory) {
  IdentityUpdate result;
  const RecordIndex index(inventory.records);

  for (const ProcessRecord* record : index.in_pid_order()) {
    const auto known = pid_index_.find(record->pid);
    if (known != pid_index_.end() && known->second.start_time != record->start_time) {
      push_event(&result.events, IdentityEvent::PidReused{record->pid, known->second.start_time,
                                                          record->start_time});
    }
  }

  for (const auto& [identity, tracked] : tracked_) {
    if (!index.contains(identity)) push_event(&result.events, IdentityEvent::Departed{identity});
  }

  for (const MemberFailure& failure : inventory.failures) {
    const bool vanished_member = failure.reason == InspectionError::Missing &&
                                 failure.pid.has_value() && *failure.pid != root_.pid;
    if (vanished_member) continue;
    result.failures.push_back(failure);
    push_event(&result.events, IdentityEvent::InspectionFailed{failure});
  }

  std::map<ProcessIdentity, TrackedProcess> old_tracked = std::move(tracked_);
  tracked_.clear();
  bool root_seen = false;

  for (const ProcessRecord* record : index.in_pid_order()) {
    if (record->pid < 1 || record->start_time == 0) continue;
    const ProcessIdentity identity = record->identity();
    const bool is_root = identity == root_;
    const bool in_group = record->pgid == owned_pgid_;
    const auto old = old_tracked.find(identity);
    const bool known = old != old_tracked.end();

    bool escaping = false;
    if (known) {
      if (old->second.last_ppid != record->ppid) {
        push_event(&result.events,
                   IdentityEvent::Reparented{identity, record->ppid, old->second.last_ppid});
      }
      escaping = !(in_group || is_root);
    } else if (!is_root) {
      if (descends_from(record->ppid, root_.pid, index)) {
        escaping = !in_group;
      } else if (in_group) {
        push_event(&result.events, IdentityEvent::Reparented{identity, record->ppid, std::nullopt});
      } else {
        continue;  // foreign: neither tracked nor counted
      }
    }
    // An exited process no longer holds memory and cannot move anywhere: it
    // is tracked like a member that is not counted, not as an escape.
    if (escaping && record->exited) escaping = false;

    const bool already_escaped =
        (known && old->second.escaped) || escape_evidence_.contains(identity);
    // Remembered from the pass that first sees it, while its parent is
    // still known to be the member it forked from.
    bool forked_from_member = known && old->second.forked_from_member;
    if (!known && !escaping && counts(*record)) {
      const ProcessRecord* parent = index.find(record->ppid);
      forked_from_member = parent != nullptr && parent != record && counts(*parent);
    }
    tracked_[identity] =
        TrackedProcess{identity, record->ppid, escaping || already_escaped, forked_from_member};

    if (escaping) {
      if (!already_escaped && escaped_count_ != std::numeric_limits<uint64_t>::max()) {
        ++escaped_count_;
      }
      if (escape_evidence_.size() < kMaxEscapeEvidence && !escape_evidence_.contains(identity)) {
        escape_evidence_.insert(identity);
        push_event(&result.events, IdentityEvent::Escaped{identity, record->pgid});
      }
    } else if (!record->exited) {
      result.members.push_back(*record);
    }

    if (is_root) {
      root_seen = true;
      if (record->exited) root_exited_ = true;
    }
  }

  std::sort(
      result.members.begin(), result.members.end(),
      [](const ProcessRecord& a, const ProcessRecord& b) { return a.identity() < b.identity(); });

  result.status = [&]() -> AggregateStatus {
    uint64_t sum = 0;
    std::vector<ProcessIdentity> unmeasured;
    for (const ProcessRecord& member : result.members) {
      if (!member.footprint_bytes) {
        unmeasured.push_back(member.identity());
        continue;
      }
      if (*member.footprint_bytes > std::numeric_limits<uint64_t>::max() - sum) {
        return AggregateStatus{AggregateStatus::Overflow{}};
      }
      sum += *member.footprint_bytes;
    }
    for (const MemberFailure& failure : result.failures) {
      for (const auto& [identity, tracked] : old_tracked) {
        if (!failure.pid || identity.pid == *failure.pid) unmeasured.push_back(identity);
      }
      if (!failure.pid || *failure.pid == root_.pid) unmeasured.push_back(root_);
    }
    // A root that can no longer be seen and was never seen exited may still
    // hold memory somewhere we cannot measure.
    if (!root_exited_ && !root_seen) unmeasured.push_back(root_);

    std::sort(unmeasured.begin(), unmeasured.end());
    unmeasured.erase(std::unique(unmeasured.begin(), unmeasured.end()), unmeasured.end());
    if (unmeasured.empty() && result.failures.empty()) {
      return AggregateStatus{AggregateStatus::Complete{sum}};
    }
    return AggregateStatus{AggregateStatus::Incomplete{std::move(unmeasured), sum}};
  }();

  pid_index_.clear();
  for (const auto& [identity, tracked] : tracked_) pid_index_[identity.pid] = identity;
  pid_index_[root_.pid] = root_;

  result.escaped = escaped_count_ != 0;
  return result;
}

namespace {

// A zombie's address space is already gone, so its footprint is 0 and there
// is nothing more worth reading. Its parent and group are reported as 0: the
// record stands for a process that no longer belongs anywhere, which is what
// the tracker expects of an exited process.
ProcessRecord exited_record(int32_t pid, const platform::ProcStat& first) {
  return ProcessRecord{.footprint_bytes = 0,
                       .start_time = first.start_time,
                       .pid = pid,
                       .ppid = 0,
                       .pgid = 0,
                       .exited = true};
}

// The rest of an inspection once the first stat reading of `pid` is known:
// the footprint, then the second reading, both through `dir`.
Result<ProcessRecord, InspectionError> finish_inspection(int32_t pid,
                                                         const platform::ProcStat& first,
                                                         const platform::ProcessDir& dir) {
  auto footprint = dir.read_footprint();
  if (!footprint) return unexpected(map_proc_error(footprint.error()));
  // The second reading brackets the footprint: through the same descriptor a
  // reaped process fails with ESRCH, and a start time that differs from the
  // first reading means the footprint belongs to another process.
  auto second = dir.read_stat();
  if (!second) return unexpected(map_proc_error(second.error()));
  if (second->start_time != first.start_time) return unexpected(InspectionError::IdentityChanged);
  if (second->pid < 0) return unexpected(InspectionError::InvalidData);
  if (second->pid != pid) return unexpected(InspectionError::IdentityChanged);
  if (second->ppid < 0 || second->pgid < 0) return unexpected(InspectionError::InvalidData);

  return ProcessRecord{.footprint_bytes = *footprint,
                       .start_time = first.start_time,
                       .pid = second->pid,
                       .ppid = second->ppid,
                       .pgid = second->pgid,
                       .exited = second->exited()};
}

// An inspection whose first reading was taken by the pass's refresh of the
// process table. The directory is opened only now, so a pid reused since
// shows up as a start time that differs in the second reading.
Result<ProcessRecord, InspectionError> inspect_from_reading(int32_t pid,
                                                            const platform::ProcStat& first,
                                                            std::string_view proc_root) {
  if (first.exited()) return exited_record(pid, first);
  auto dir = platform::ProcessDir::open(pid, proc_root);
  if (!dir) return unexpected(map_proc_error(dir.error()));
  return finish_inspection(pid, first, *dir);
}

}  // namespace

Result<ProcessRecord, InspectionError> NativeProcessInventory::inspect(int32_t pid) const {
  if (pid < 1) return unexpected(InspectionError::InvalidData);
  auto dir = platform::ProcessDir::open(pid, proc_root_);
  if (!dir) return unexpected(map_proc_error(dir.error()));
  auto first = dir->read_stat();
  if (!first) return unexpected(map_proc_error(first.error()));
  if (first->exited()) return exited_record(pid, *first);
  return finish_inspection(pid, *first, *dir);
}

Result<ProcessRecord, InspectionError> NativeProcessInventory::inspect_expected(
    ProcessIdentity expected) const {
  auto record = inspect(expected.pid);
  if (!record) return record;
  if (record->identity() != expected) return unexpected(InspectionError::IdentityChanged);
  return record;
}

Result<void, InspectionError> NativeProcessInventory::probe_footprint() const {
  auto record = inspect(static_cast<int32_t>(::getpid()));
  if (!record) return unexpected(record.error());
  if (!record->footprint_bytes) return unexpected(InspectionError::Unsupported);
  return {};
}

Result<std::vector<int32_t>, InspectionError> read_pid_listing(const PidListingCall& call) {
  const int count = call(std::span<int32_t>());
  if (count < 0 || count > kMaxListingCount) return unexpected(InspectionError::Failed);
  if (count == 0) return std::vector<int32_t>();

  std::vector<int32_t> pids(static_cast<std::size_t>(count) + kSpareListingSlots, 0);
  const int filled = call(pids);
  if (filled < 0 || static_cast<std::size_t>(filled) >= pids.size()) {
    return unexpected(InspectionError::Failed);
  }
  pids.resize(static_cast<std::size_t>(filled));
  std::erase_if(pids, [](int32_t pid) { return pid < 1; });
  return pids;
}

namespace {

Result<std::vector<int32_t>, InspectionError> candidates_in(const platform::ProcessTable& table,
                                                            std::span<const int32_t> tracked_pids,
                                                            int32_t root_pid, int32_t owned_pgid) {
  std::set<int32_t> seen;
  for (const int32_t pid : tracked_pids) {
    if (pid >= 1) seen.insert(pid);
  }
  seen.insert(root_pid);
  auto group = read_pid_listing(
      [&](std::span<int32_t> buffer) { return table.list_group_pids(owned_pgid, buffer); });
  if (!group) return unexpected(group.error());
  seen.insert(group->begin(), group->end());

  std::deque<int32_t> queue(seen.begin(), seen.end());
  std::set<int32_t> visited;
  while (!queue.empty()) {
    const int32_t pid = queue.front();
    queue.pop_front();
    if (!visited.insert(pid).second) continue;
    auto children = read_pid_listing(
        [&](std::span<int32_t> buffer) { return table.list_child_pids(pid, buffer); });
    if (!children) return unexpected(children.error());
    for (const int32_t child : *children) {
      if (seen.insert(child).second) queue.push_back(child);
    }
  }
  return std::vector<int32_t>(seen.begin(), seen.end());
}

// A child made with CLONE_VM (vfork, posix_spawn, system(), popen()) shows
// its parent's whole memory in its status until it execs, so adding both
// would count those pages twice and could kill a command for memory it holds
// once.
//
// Whether candidate `child` shares the address space of its parent, asked
// only when the parent is a candidate too (one kcmp each), so a group
// without such pairs pays nothing. It is asked before the child's footprint
// is read: a child that shares then either still shares when it is read, or
// has exec'd since and holds next to nothing of its own, whereas asking
// afterwards would miss a child that read as its parent and exec'd in
// between. A leader whose main thread exited has no address space of its own
// to compare (kcmp would find it equal to any other such), and a refused or
// missing kcmp leaves both counted: the sum errs on the safe side.
bool shares_parent_address_space(const platform::ProcStat& child,
                                 const platform::ProcessTable& table,
                                 std::span<const int32_t> candidates) {
  if (child.main_thread_exited() ||
      !std::binary_search(candidates.begin(), candidates.end(), child.ppid)) {
    return false;
  }
  const platform::ProcStat* parent = table.fresh(child.ppid);
  if (parent == nullptr || parent->main_thread_exited()) return false;
  const auto shared = platform::same_address_space(child.ppid, child.pid);
  return shared && *shared;
}

// Gives each child in `sharing` (ascending) a footprint of 0 when it and its
// parent are both counted members (live, and in the owned group or the
// root): its pages are already counted with its parent's.
void count_shared_address_spaces_once(GroupInventory* inventory, const IdentityTracker& tracker,
                                      std::span<const int32_t> sharing) {
  std::vector<ProcessRecord>& records = inventory->records;
  const auto find = [&](int32_t pid) {
    const auto it =
        std::partition_point(records.begin(), records.end(),
                             [&](const ProcessRecord& record) { return record.pid < pid; });
    return it != records.end() && it->pid == pid ? &*it : nullptr;
  };
  for (const int32_t pid : sharing) {
    ProcessRecord* child = find(pid);
    if (child == nullptr || !tracker.counts(*child)) continue;
    const ProcessRecord* parent = find(child->ppid);
    if (parent != nullptr && tracker.counts(*parent)) child->footprint_bytes = 0;
  }
}

void append_inspection(GroupInventory* inventory, int32_t pid,
                       Result<ProcessRecord, InspectionError> inspection) {
  if (inspection) {
    inventory->records.push_back(*inspection);
  } else {
    inventory->failures.push_back(MemberFailure{pid, inspection.error()});
  }
}

}  // namespace

Result<std::vector<int32_t>, InspectionError> NativeProcessInventory::list_group_candidates(
    std::span<const int32_t> tracked_pids, int32_t root_pid, int32_t owned_pgid) const {
  platform::ProcessTable table(proc_root_);
  if (!table.refresh(Duration::zero(), {})) return unexpected(InspectionError::Failed);
  return candidates_in(table, tracked_pids, root_pid, owned_pgid);
}

GroupInventory NativeProcessInventory::inspect_members(std::span<const int32_t> candidates) const {
  GroupInventory inventory;
  inventory.records.reserve(candidates.size());
  for (const int32_t pid : candidates) append_inspection(&inventory, pid, inspect(pid));
  return inventory;
}

Result<GroupInventory, InspectionError> NativeProcessInventory::sample_group(
    const IdentityTracker& tracker, platform::ProcessTable& table, Duration now) const {
  // One refresh serves the group listing, every child listing and the first
  // stat reading of the candidates it read.
  const std::vector<int32_t> known = tracker.known_pids();
  if (!table.refresh(now, known)) return unexpected(InspectionError::Failed);
  auto candidates = candidates_in(table, known, tracker.root().pid, tracker.owned_pgid());
  if (!candidates) return unexpected(InspectionError::Failed);

  // The pids of a fake tree name no live processes whose address spaces
  // could be compared.
  const bool compare_address_spaces = proc_root_ == platform::kProcRoot;
  std::vector<int32_t> sharing;
  GroupInventory inventory;
  inventory.records.reserve(candidates->size());
  for (const int32_t pid : *candidates) {
    const platform::ProcStat* first = table.fresh(pid);
    if (compare_address_spaces && first != nullptr &&
        shares_parent_address_space(*first, table, *candidates)) {
      sharing.push_back(pid);
    }
    append_inspection(
        &inventory, pid,
        first != nullptr ? inspect_from_reading(pid, *first, proc_root_) : inspect(pid));
  }
  count_shared_address_spaces_once(&inventory, tracker, sharing);
  return inventory;
}

Result<GroupInventory, InspectionError> NativeProcessInventory::sample_group(
    const IdentityTracker& tracker) const {
  platform::ProcessTable table(proc_root_);
  return sample_group(tracker, table, Duration::zero());
}

ShareReadCost::ShareReadCost()
    : ShareReadCost([] { return MonotonicInstant::now().since_clock_origin(); }) {}

ShareReadCost::ShareReadCost(Clock clock)
    : clock_(std::move(clock)), per_gib_ns_(kInitialPerGib.as_nanos_saturating()) {}

Duration ShareReadCost::predict(uint64_t mapped_bytes) const {
  const unsigned __int128 ns =
      static_cast<unsigned __int128>(mapped_bytes) * per_gib_ns_ / kBytesPerGib;
  return kFixed.saturating_add(Duration::from_nanos(ns > std::numeric_limits<uint64_t>::max()
                                                        ? std::numeric_limits<uint64_t>::max()
                                                        : static_cast<uint64_t>(ns)));
}

void ShareReadCost::learn(uint64_t mapped_bytes, Duration took) {
  if (mapped_bytes < kLearnFromBytes) return;
  const unsigned __int128 rate =
      static_cast<unsigned __int128>(took.as_nanos_saturating()) * kBytesPerGib / mapped_bytes;
  const uint64_t seen = static_cast<uint64_t>(std::clamp<unsigned __int128>(
      rate, kMinPerGib.as_nanos_saturating(), kMaxPerGib.as_nanos_saturating()));
  // Halfway: one read taken while the machine was busy does not undo what
  // the others taught, and a lasting change is learned within a few.
  per_gib_ns_ = per_gib_ns_ / 2 + seen / 2;
}

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
  return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                      : a + b;
}

uint64_t saturating_sub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// One member of a pass's sharing family.
struct FamilyMember {
  std::size_t index = 0;  // into the pass's records
  // Its parent's record, when the parent is a member that takes part.
  std::optional<std::size_t> parent;
};

// The sharing family of a pass, by pid: the counted members with a non-zero
// reading whose parent is such a member, those parents, and such members the
// tracker first saw as a fork of one.
std::vector<FamilyMember> sharing_family(const std::vector<ProcessRecord>& records,
                                         const IdentityTracker& tracker) {
  // (pid, index) of the members that may take part, ascending by pid.
  std::vector<std::pair<int32_t, std::size_t>> members;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ProcessRecord& record = records[i];
    if (tracker.counts(record) && record.footprint_bytes.value_or(0) != 0) {
      members.emplace_back(record.pid, i);
    }
  }
  std::sort(members.begin(), members.end());
  const auto member_index = [&](int32_t pid) -> std::optional<std::size_t> {
    const auto it =
        std::lower_bound(members.begin(), members.end(), std::pair<int32_t, std::size_t>{pid, 0});
    if (it == members.end() || it->first != pid) return std::nullopt;
    return it->second;
  };

  std::vector<bool> in_family(records.size(), false);
  std::vector<std::optional<std::size_t>> parents(records.size());
  for (const auto& [pid, index] : members) {
    const ProcessRecord& record = records[index];
    const std::optional<std::size_t> parent =
        record.ppid != pid ? member_index(record.ppid) : std::nullopt;
    const auto tracked = tracker.tracked().find(record.identity());
    const bool forked = tracked != tracker.tracked().end() && tracked->second.forked_from_member;
    if (parent) in_family[*parent] = true;
    if (parent || forked) in_family[index] = true;
    parents[index] = parent;
  }
  std::vector<FamilyMember> family;
  for (const auto& [pid, index] : members) {
    if (in_family[index]) family.push_back({index, parents[index]});
  }
  // A worker alone (its parent and siblings gone) shares with no member:
  // all it maps is the group's.
  if (family.size() == 1) family.clear();
  return family;
}

// The children of every process of a pass, by parent pid: what a member's
// private pages may have been shared with since they were read.
class ChildIndex {
 public:
  explicit ChildIndex(const std::vector<ProcessRecord>& records) {
    for (const ProcessRecord& record : records) {
      if (record.pid >= 1 && record.start_time != 0 && record.ppid != record.pid) {
        links_.emplace_back(record.ppid, record.identity());
      }
    }
    std::sort(links_.begin(), links_.end());
  }

  // The children of `pid`, sorted.
  std::vector<ProcessIdentity> of(int32_t pid) const {
    std::vector<ProcessIdentity> children;
    for (auto it = first(pid); it != links_.end() && it->first == pid; ++it) {
      children.push_back(it->second);
    }
    return children;
  }

  // Whether `pid` has a child.
  bool any_of(int32_t pid) const {
    const auto it = first(pid);
    return it != links_.end() && it->first == pid;
  }

  // Whether every child of `pid` is among `known` (sorted).
  bool all_among(int32_t pid, const std::vector<ProcessIdentity>& known) const {
    for (auto it = first(pid); it != links_.end() && it->first == pid; ++it) {
      if (!std::binary_search(known.begin(), known.end(), it->second)) return false;
    }
    return true;
  }

 private:
  using Link = std::pair<int32_t, ProcessIdentity>;

  std::vector<Link>::const_iterator first(int32_t pid) const {
    return std::lower_bound(links_.begin(), links_.end(), Link{pid, ProcessIdentity{}});
  }

  std::vector<Link> links_;  // (parent pid, child), sorted
};

// The /proc directory of the process `member` describes, opened by pid and
// checked by its start time (the pid may be a newcomer's by now): from then
// on every read through it describes that process, or fails with ESRCH once
// it has been reaped. Without a directory, `left` tells whether the process
// has exited or been reaped since its inspection, as opposed to a failure
// that tells nothing.
struct MemberDir {
  std::optional<platform::ProcessDir> dir;
  bool left = false;
};

MemberDir open_member(const ProcessRecord& member, std::string_view proc_root) {
  auto dir = platform::ProcessDir::open(member.pid, proc_root);
  if (!dir) return {.left = dir.error().os_error == ESRCH};
  const auto stat = dir->read_stat();
  if (!stat) return {.left = stat.error().os_error == ESRCH};
  if (stat->start_time != member.start_time || stat->exited()) return {.left = true};
  return {.dir = std::move(*dir)};
}

struct ShareReading {
  // Its proportional share, huge pages included, when `proportional`; else
  // its own reading.
  uint64_t bytes = 0;
  // With a share: its own reading and its private anonymous pages, taken
  // with it.
  uint64_t own_bytes = 0;
  uint64_t private_bytes = 0;
  bool proportional = false;
  // It has let go of its memory since its inspection (exited, reaped, or on
  // its way out without an address space): it reads 0.
  bool left = false;
};

// What `member` holds now:
//  - its proportional share, unless that read is predicted to end after
//    `deadline` (nothing: the member keeps what it counts);
//  - 0 when it has left since its inspection, as a member that vanishes
//    before its inspection is not counted either: its pages are gone or
//    going;
//  - when its share cannot be read (not permitted, no Pss_Anon, or no
//    address space: a leader whose main thread exited, or a process on its
//    way out), its own reading taken again (0, and left, for one on its way
//    out), or nothing when that fails too.
std::optional<ShareReading> read_share(const ProcessRecord& member, Duration deadline,
                                       ShareReadCost& cost, std::string_view proc_root) {
  constexpr ShareReading kLeft{.left = true};
  const MemberDir opened = open_member(member, proc_root);
  if (!opened.dir) return opened.left ? std::optional(kLeft) : std::nullopt;
  const platform::ProcessDir& dir = *opened.dir;
  const auto own_reading = [&]() -> std::optional<ShareReading> {
    const auto own = dir.read_footprint();
    if (!own) return own.error().os_error == ESRCH ? std::optional(kLeft) : std::nullopt;
    return ShareReading{.bytes = *own, .left = *own == 0};
  };
  const auto status = dir.read_status_memory();
  if (!status) {
    if (status.error().os_error == ESRCH) return kLeft;
    // No address space of its own to walk: its own reading finds a live
    // thread's, or none.
    return status.error().is_invalid_data() ? own_reading() : std::nullopt;
  }
  const Duration began = cost.now();
  if (began.saturating_add(cost.predict(status->mapped_bytes)) > deadline) return std::nullopt;
  const auto share = dir.read_proportional_share();
  // Its own reading tells a process that has gone (ESRCH) from one whose
  // share is not to be read.
  if (!share) return own_reading();
  cost.learn(status->mapped_bytes, cost.now().saturating_sub(began));
  // The proportional counters leave huge pages out; they count whole, as in
  // the member's own reading.
  return ShareReading{.bytes = saturating_add(share->share_bytes, status->hugetlb_bytes),
                      .own_bytes = status->footprint_bytes,
                      .private_bytes = share->private_anon_bytes,
                      .proportional = true};
}

// Whether `member` has left since its inspection, as read_share would find;
// a failure that tells nothing counts as still there.
bool has_left(const ProcessRecord& member, std::string_view proc_root) {
  const MemberDir opened = open_member(member, proc_root);
  if (!opened.dir) return opened.left;
  const auto own = opened.dir->read_footprint();
  return own ? *own == 0 : own.error().os_error == ESRCH;
}

// What a family counts from what is known of it: each member's count, and
// the family's floor, the largest own reading plus what the others hold
// alone.
struct FamilyTally {
  std::vector<std::pair<std::size_t, uint64_t>> counts;  // (record index, count)
  uint64_t total = 0;
  uint64_t floor = 0;
  uint32_t refined = 0;
  bool deferred = false;
};

FamilyTally tally_family(const std::vector<FamilyMember>& family,
                         const std::vector<ProcessRecord>& records, const std::vector<bool>& left,
                         const ShareLedger::Entries& entries, const ChildIndex& children) {
  FamilyTally tally;
  uint64_t held_alone = 0;
  uint64_t largest_rest = 0;  // own reading less what it holds alone, at most
  std::size_t largest = 0;    // into `counts`
  for (const FamilyMember& member : family) {
    if (left[member.index]) continue;
    const ProcessRecord& record = records[member.index];
    const ShareLedger::Entry& entry = entries.at(record.identity());
    const uint64_t own = record.footprint_bytes.value_or(0);
    uint64_t count = own;
    uint64_t alone = 0;
    if (entry.share) {
      const ShareLedger::Share& read = *entry.share;
      count = std::min(own, saturating_add(read.share_bytes, saturating_sub(own, read.own_bytes)));
      // Its private pages as read, less what it has let go of since; none
      // once a child forked since maps them too.
      if (children.all_among(record.pid, read.children)) {
        alone = std::min(count,
                         saturating_sub(read.private_bytes, saturating_sub(read.own_bytes, own)));
      }
      ++tally.refined;
    } else if (entry.unreadable) {
      // Counted by its own reading for good.
    } else if (member.parent) {
      // Never read, forked from a member: right after the fork every page
      // it maps is its parent's too, so what its own reading exceeds its
      // parent's is what it holds beyond its parent, at least. (What it has
      // written of the pages it shared counts from its first read, as for a
      // member read before it wrote them.) No other process maps those pages
      // while it has no child of its own: it holds them alone, which keeps
      // the floor whole while its parent counts only a share.
      count = saturating_sub(own, records[*member.parent].footprint_bytes.value_or(0));
      if (!children.any_of(record.pid)) alone = count;
    } else {
      tally.deferred = true;
    }
    if (tally.counts.empty() || own - alone > largest_rest) {
      largest_rest = own - alone;
      largest = tally.counts.size();
    }
    tally.counts.emplace_back(member.index, count);
    tally.total = saturating_add(tally.total, count);
    held_alone = saturating_add(held_alone, alone);
  }
  tally.floor = saturating_add(held_alone, largest_rest);
  if (!tally.counts.empty() && tally.total < tally.floor) {
    // Within the member's own reading: its count was at least what it holds
    // alone, and the others' at least theirs.
    tally.counts[largest].second += tally.floor - tally.total;
    tally.total = tally.floor;
  }
  return tally;
}

}  // namespace

SharedPages NativeProcessInventory::refine_shared_pages(GroupInventory* inventory,
                                                        const IdentityTracker& tracker,
                                                        const RefinementTerms& terms,
                                                        ShareReadCost& cost,
                                                        ShareLedger& ledger) const {
  std::vector<ProcessRecord>& records = inventory->records;
  inventory->shared_pages = {};
  // The sum the tracker will make of these records, saturating: an overflow
  // is far above any level.
  uint64_t raw = 0;
  for (const ProcessRecord& record : records) {
    if (tracker.counts(record) && record.footprint_bytes) {
      raw = saturating_add(raw, *record.footprint_bytes);
    }
  }
  // The ledger keeps members only. (A group that never had a family, most
  // of them, pays nothing here.)
  if (!ledger.entries_.empty()) {
    const RecordIndex index(records);
    std::erase_if(ledger.entries_, [&](const auto& entry) {
      const ProcessRecord* record = index.find(entry.first.pid);
      return record == nullptr || record->identity() != entry.first || !tracker.counts(*record) ||
             !record->footprint_bytes;
    });
  }
  if (raw < terms.level_bytes) return {};
  const std::vector<FamilyMember> family = sharing_family(records, tracker);
  if (family.empty()) return {};

  SharedPages& shared = inventory->shared_pages;
  shared.sharing = static_cast<uint32_t>(std::min<std::size_t>(family.size(), UINT32_MAX));
  const uint64_t pass = ++ledger.passes_;
  for (const FamilyMember& member : family) {
    const auto [entry, first_seen] = ledger.entries_.try_emplace(records[member.index].identity());
    // Known from before this pass: ahead of the members read by the last
    // one, behind any left waiting longer.
    if (first_seen) entry->second.known_since = pass - 1;
  }
  const auto entry_of = [&](const FamilyMember& member) -> ShareLedger::Entry& {
    return ledger.entries_.at(records[member.index].identity());
  };
  const ChildIndex children(records);

  std::vector<bool> left(records.size(), false);
  // Past this, the group provably holds enough that no share could change
  // what is done about it: the reads would only delay it.
  bool decided = false;
  if (terms.enough_bytes != std::numeric_limits<uint64_t>::max()) {
    uint64_t family_own = 0;
    for (const FamilyMember& member : family) {
      family_own = saturating_add(family_own, records[member.index].footprint_bytes.value_or(0));
    }
    const FamilyTally known = tally_family(family, records, left, ledger.entries_, children);
    decided = saturating_add(raw - std::min(raw, family_own), known.floor) >= terms.enough_bytes;
  }
  if (terms.allowed && !decided) {
    std::vector<FamilyMember> order = family;
    std::stable_sort(order.begin(), order.end(), [&](const FamilyMember& a, const FamilyMember& b) {
      const ShareLedger::Entry& x = entry_of(a);
      const ShareLedger::Entry& y = entry_of(b);
      return std::tuple(x.known_since, x.share.has_value(), a.parent.has_value()) <
             std::tuple(y.known_since, y.share.has_value(), b.parent.has_value());
    });
    std::vector<std::size_t> read;  // members whose share this pass read
    for (const FamilyMember& member : order) {
      ProcessRecord& record = records[member.index];
      const std::optional<ShareReading> reading =
          read_share(record, terms.deadline, cost, proc_root_);
      if (!reading) continue;
      if (reading->left) {
        record.footprint_bytes = 0;
        left[member.index] = true;
        continue;
      }
      ShareLedger::Entry& entry = entry_of(member);
      entry.known_since = pass;
      entry.unreadable = !reading->proportional;
      if (!reading->proportional) {
        record.footprint_bytes = reading->bytes;
        entry.share.reset();
        continue;
      }
      // The reading taken with the share is the later one.
      record.footprint_bytes = reading->own_bytes;
      entry.share = ShareLedger::Share{.share_bytes = reading->bytes,
                                       .own_bytes = reading->own_bytes,
                                       .private_bytes = reading->private_bytes,
                                       .children = children.of(record.pid)};
      read.push_back(member.index);
    }
    // A member that leaves while the family is read takes its part of the
    // shared pages with it, and the shares read after it count them whole:
    // it counts 0, as one that left before its read. (The shares read before
    // it are then too low until read again; the floor below bounds that.)
    for (const std::size_t index : read) {
      if (has_left(records[index], proc_root_)) {
        records[index].footprint_bytes = 0;
        left[index] = true;
      } else {
        ++shared.read;
      }
    }
  }

  const FamilyTally tally = tally_family(family, records, left, ledger.entries_, children);
  for (const FamilyMember& member : family) {
    if (left[member.index]) ledger.entries_.erase(records[member.index].identity());
  }
  shared.refined = tally.refined;
  shared.deferred = tally.deferred;
  shared.above_floor_bytes = tally.total - tally.floor;
  for (const auto& [index, count] : tally.counts) records[index].footprint_bytes = count;
  return shared;
}

Result<GroupInventory, InspectionError> sample_group(const IdentityTracker& tracker,
                                                     const NativeProcessInventory& inventory) {
  return inventory.sample_group(tracker);
}

}  // namespace vek_guard
