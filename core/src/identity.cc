#include "vek_guard/identity.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

namespace vek_guard {
namespace {

// Spare slots beyond the counted number of pids: a fill that reaches them
// means the table grew between the count and the fill.
constexpr int kSpareListingSlots = 16;
// The greatest count whose buffer of count + 16 four-byte slots still has a
// byte size that fits in a signed 32-bit value.
constexpr int64_t kMaxListingCount = std::numeric_limits<int32_t>::max() / 4 - kSpareListingSlots;

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
    tracked_[identity] = TrackedProcess{identity, record->ppid, escaping || already_escaped};

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
  const auto counted = [&](const ProcessRecord& record) {
    return !record.exited &&
           (record.pgid == tracker.owned_pgid() || record.identity() == tracker.root());
  };
  std::vector<ProcessRecord>& records = inventory->records;
  const auto find = [&](int32_t pid) {
    const auto it =
        std::partition_point(records.begin(), records.end(),
                             [&](const ProcessRecord& record) { return record.pid < pid; });
    return it != records.end() && it->pid == pid ? &*it : nullptr;
  };
  for (const int32_t pid : sharing) {
    ProcessRecord* child = find(pid);
    if (child == nullptr || !counted(*child)) continue;
    const ProcessRecord* parent = find(child->ppid);
    if (parent != nullptr && counted(*parent)) child->footprint_bytes = 0;
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

Result<GroupInventory, InspectionError> sample_group(const IdentityTracker& tracker,
                                                     const NativeProcessInventory& inventory) {
  return inventory.sample_group(tracker);
}

}  // namespace vek_guard
