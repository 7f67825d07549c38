// Process identity and the owned group's inventory.
//
// Two questions are answered here, once per sampling pass and on demand:
// which processes belong to the owned process group now (and which have left
// it), and how much OS-accounted memory each of them uses.
//
//  - `NativeProcessInventory` inspects one process (footprint, start time,
//    parent, process group) and, through `sample_group`, lists and inspects
//    every candidate member of the owned group. It keeps no state between
//    calls; what a pass keeps for the next is the caller's process table
//    (platform::ProcessTable).
//  - `IdentityTracker` turns each pass's `GroupInventory` into the counted
//    members, identity events, escape evidence and the aggregate footprint
//    status that the sampler records.
//
// A process is identified by its pid together with its kernel start time, so
// that a reused pid is never taken for the process that had it before.
//
//   NativeProcessInventory inventory;
//   auto root = inventory.inspect(child_pid);
//   auto tracker = IdentityTracker::create(root->identity(), owned_pgid);
//   platform::ProcessTable table;                      // kept between passes
//   auto probe = inventory.sample_group(*tracker, table, now);  // once per pass
//   if (probe) IdentityUpdate update = tracker->update(std::move(*probe));
//
// Everything here runs on the supervision thread only; nothing is locked.
#ifndef VEK_GUARD_IDENTITY_H_
#define VEK_GUARD_IDENTITY_H_

#include <compare>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/platform_proc.h"

namespace vek_guard {

// A pid together with its kernel start time. Ordered by pid, then start time.
// On Linux the start time is in clock ticks since boot; it is never 0 for a
// process the supervisor launched.
struct ProcessIdentity {
  int32_t pid = 0;
  uint64_t start_time = 0;

  friend constexpr auto operator<=>(const ProcessIdentity&, const ProcessIdentity&) = default;
  friend constexpr bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

// The result of inspecting one process.
struct ProcessRecord {
  // Footprint in bytes (see platform_proc.h for what it counts). The native
  // inspector always fills it; synthetic inventories may leave it out, which
  // makes the process unmeasured.
  std::optional<uint64_t> footprint_bytes;
  uint64_t start_time = 0;
  int32_t pid = 0;
  int32_t ppid = 0;
  int32_t pgid = 0;
  // The kernel has recorded the process's exit (a zombie). An exited record
  // read in one step carries ppid 0 and pgid 0.
  bool exited = false;

  constexpr ProcessIdentity identity() const { return ProcessIdentity{pid, start_time}; }

  friend constexpr bool operator==(const ProcessRecord&, const ProcessRecord&) = default;
};

// How inspecting one process can fail. One byte; the values are stable. It
// has no message text: callers map it to their own errors.
enum class InspectionError : uint8_t {
  Missing = 0,           // no such process (any more)
  PermissionDenied = 1,  // the process may not be inspected
  IdentityChanged = 2,   // the pid now names another process
  InvalidData = 3,       // the kernel's answer (or the pid asked for) makes no sense
  Unsupported = 4,       // the system cannot answer the question
  Failed = 5,            // any other failure
};

// One candidate whose inspection failed. The native inventory always fills
// the pid; a failure without one concerns every tracked identity and the root.
struct MemberFailure {
  std::optional<int32_t> pid;
  InspectionError reason = InspectionError::Failed;

  friend constexpr bool operator==(const MemberFailure&, const MemberFailure&) = default;
};

// What a pass did about pages that members share after a fork (see
// NativeProcessInventory::refine_shared_pages). All zero for a pass whose
// raw sum stayed below the refinement level: its footprints are each
// member's own reading.
struct SharedPages {
  // The members that may share pages with another member: those whose
  // parent is a member, the parents of those, and those first seen as a fork
  // of a member.
  uint32_t sharing = 0;
  // Of those, the members counted by a proportional share, read by this pass
  // or an earlier one; the others kept their own reading, which counts
  // shared pages whole.
  uint32_t refined = 0;
  // Of those, the members whose share this pass read.
  uint32_t read = 0;
  // Some member that may share, not forked from another member, kept its own
  // reading because its share has never been read (there was no time, or
  // the pass was not allowed to read): the count is an upper bound that may
  // be far above what the group holds. (A member whose share cannot be read
  // at all, such as a set-user-ID one, always counts its own reading and
  // does not make a pass deferred.)
  bool deferred = false;
  // How much of the family's count lies above what it provably holds (its
  // floor, see refine_shared_pages): the aggregate less this is what the
  // group was seen to hold for certain.
  uint64_t above_floor_bytes = 0;

  friend constexpr bool operator==(const SharedPages&, const SharedPages&) = default;
};

// The result of one group probe: the records of the candidates that could be
// inspected, in ascending pid order, and the failures of the others, in the
// same order; and what the pass did about shared pages.
struct GroupInventory {
  std::vector<ProcessRecord> records;
  std::vector<MemberFailure> failures;
  SharedPages shared_pages;

  friend bool operator==(const GroupInventory&, const GroupInventory&) = default;
};

// What the tracker remembers of one identity between passes.
struct TrackedProcess {
  ProcessIdentity identity;
  int32_t last_ppid = 0;
  // Sticky: once set for an identity it stays set.
  bool escaped = false;
  // Sticky: when first seen it was a counted member whose parent was a
  // counted member of the same pass, so it may share pages with its parent
  // and its siblings after a fork, even once the parent has gone.
  bool forked_from_member = false;

  friend constexpr bool operator==(const TrackedProcess&, const TrackedProcess&) = default;
};

// One identity change seen by a pass. Within a pass, events come in this
// order: every PidReused (ascending pid), every Departed (identity order),
// every InspectionFailed (failure order), then Reparented and Escaped as the
// records are classified in ascending pid order.
struct IdentityEvent {
  // A tracked identity that no record of this pass carries.
  struct Departed {
    ProcessIdentity identity;
    friend constexpr bool operator==(const Departed&, const Departed&) = default;
  };
  // A record whose pid was last tracked under another start time.
  struct PidReused {
    int32_t pid = 0;
    uint64_t old_start_time = 0;
    uint64_t new_start_time = 0;
    friend constexpr bool operator==(const PidReused&, const PidReused&) = default;
  };
  // A tracked process whose parent changed (previous_ppid present), or a new
  // process that joined the owned group without descending from the root
  // (previous_ppid absent).
  struct Reparented {
    ProcessIdentity identity;
    int32_t ppid = 0;
    std::optional<int32_t> previous_ppid;
    friend constexpr bool operator==(const Reparented&, const Reparented&) = default;
  };
  // A process that left the owned group, with the group it is in now.
  // Reported once per identity, for at most 64 identities per run.
  struct Escaped {
    ProcessIdentity identity;
    int32_t pgid = 0;
    friend constexpr bool operator==(const Escaped&, const Escaped&) = default;
  };
  // A candidate's failed inspection that the pass kept.
  struct InspectionFailed {
    MemberFailure failure;
    friend constexpr bool operator==(const InspectionFailed&, const InspectionFailed&) = default;
  };

  // The alternative index is the event kind (Departed 0 ... InspectionFailed 4).
  std::variant<Departed, PidReused, Reparented, Escaped, InspectionFailed> value;

  friend constexpr bool operator==(const IdentityEvent&, const IdentityEvent&) = default;
};

// The aggregate footprint of one pass's counted members.
struct AggregateStatus {
  // Every member measured and no failure kept: the total in bytes.
  struct Complete {
    // No default member initializer: it would keep the variant from being
    // default-constructible inside the enclosing class. Value-initialized.
    uint64_t total_bytes;
    friend constexpr bool operator==(const Complete&, const Complete&) = default;
  };
  // Something could not be measured: the identities concerned (sorted, no
  // duplicates) and the sum of what was measured.
  struct Incomplete {
    std::vector<ProcessIdentity> unmeasured;
    uint64_t measured_bytes = 0;
    friend bool operator==(const Incomplete&, const Incomplete&) = default;
  };
  // The members' footprints do not fit in 64 bits.
  struct Overflow {
    friend constexpr bool operator==(const Overflow&, const Overflow&) = default;
  };

  std::variant<Complete, Incomplete, Overflow> value;

  friend bool operator==(const AggregateStatus&, const AggregateStatus&) = default;
};

// The result of IdentityTracker::update.
struct IdentityUpdate {
  // The counted members' records (live members only), by pid then start.
  std::vector<ProcessRecord> members;
  std::vector<IdentityEvent> events;
  // The failures the pass kept (see IdentityTracker::update).
  std::vector<MemberFailure> failures;
  AggregateStatus status;
  // The tracker has counted at least one escaped identity during the run
  // (cumulative, not this pass only).
  bool escaped = false;

  friend bool operator==(const IdentityUpdate&, const IdentityUpdate&) = default;
};

// The identity bookkeeping of one run, owned by the sampler.
//
// Across passes, tracked() holds exactly the identities classified in the
// latest pass that reached update(); escape_evidence() only grows, up to 64
// identities; escaped_count() only grows (saturating); root_exited() only
// goes from false to true.
class IdentityTracker {
 public:
  // The most escaped identities kept as evidence (and reported as events).
  static constexpr std::size_t kMaxEscapeEvidence = 64;

  // A tracker for the launched command `root` and the owned process group.
  // InvalidData when the root's pid is below 1, its start time is 0, or the
  // group id is below 1.
  [[nodiscard]] static Result<IdentityTracker, InspectionError> create(ProcessIdentity root,
                                                                       int32_t owned_pgid);

  // Consumes one pass's inventory: classifies each record as member, escaping
  // or foreign, updates what is tracked and returns the pass's members,
  // events, kept failures and aggregate status.
  //
  // A failure is kept unless it is Missing for a pid other than the root's
  // (a member that exited between listing and inspection is dropped
  // silently; the root never is). Every kept failure makes the pass
  // incomplete, and so does a root that can no longer be seen and was never
  // seen exited. A process that leaves the owned group while alive is counted
  // once in escaped_count() and reported once as Escaped; if it comes back it
  // is a member again but keeps its escaped flag. A new process that is in
  // the owned group without descending from the root is a member (reported
  // as Reparented without a previous parent); a new process outside the
  // group that does not descend from the root is ignored.
  //
  // Call it only for a pass whose probe succeeded and whose times were in
  // order; other passes must leave the tracker alone.
  IdentityUpdate update(GroupInventory inventory);

  const ProcessIdentity& root() const { return root_; }
  int32_t owned_pgid() const { return owned_pgid_; }
  // The identities classified in the last pass, with what is remembered of
  // each.
  const std::map<ProcessIdentity, TrackedProcess>& tracked() const { return tracked_; }
  // pid -> the identity last tracked under it; after a pass it always maps
  // the root's pid to the root.
  const std::map<int32_t, ProcessIdentity>& pid_index() const { return pid_index_; }
  // The escaped identities that were reported, at most kMaxEscapeEvidence.
  const std::set<ProcessIdentity>& escape_evidence() const { return escape_evidence_; }
  // Distinct identities seen escaping, saturating; it keeps counting after
  // the evidence set is full.
  uint64_t escaped_count() const { return escaped_count_; }
  // A record with the root's identity has shown it exited.
  bool root_exited() const { return root_exited_; }
  // The pids of the tracked identities and the root's, ascending, each once:
  // the pids a pass must read afresh.
  std::vector<int32_t> known_pids() const;
  // Whether update() adds `record`'s footprint to the aggregate: a live
  // process in the owned group, or the root. (Any other record is escaping,
  // exited or foreign.)
  bool counts(const ProcessRecord& record) const;

 private:
  IdentityTracker(ProcessIdentity root, int32_t owned_pgid)
      : root_(root), owned_pgid_(owned_pgid) {}

  ProcessIdentity root_;
  std::map<ProcessIdentity, TrackedProcess> tracked_;
  std::map<int32_t, ProcessIdentity> pid_index_;
  std::set<ProcessIdentity> escape_evidence_;
  uint64_t escaped_count_ = 0;
  int32_t owned_pgid_ = 0;
  bool root_exited_ = false;
};

// How long reading one process's proportional share takes, learned from the
// reads timed so far, and the clock they are timed on. The kernel walks the
// page tables for it, so the time grows with the pages the process maps
// (VmRSS + VmSwap): a prediction is a fixed part plus a rate per GiB mapped.
// The rate starts at kInitialPerGib and after each read of at least
// kLearnFromBytes moves halfway to what that read took, so a slow or busy
// machine is learned within a few reads. Kept by the sampler from one pass
// to the next.
class ShareReadCost {
 public:
  // Reads the clock the deadlines are on.
  using Clock = std::function<Duration()>;

  // Above what a quiet machine takes (11 to 15 ms per GiB measured), so the
  // first reads are not started too late.
  static constexpr Duration kInitialPerGib = Duration::from_millis(20);
  // Opening the directory and reading stat, status and a short
  // smaps_rollup.
  static constexpr Duration kFixed = Duration::from_micros(100);
  // Smaller reads are mostly their fixed part and teach nothing of the rate.
  static constexpr uint64_t kLearnFromBytes = uint64_t{64} << 20;

  // Timed on the monotonic clock.
  ShareReadCost();
  explicit ShareReadCost(Clock clock);

  Duration now() const { return clock_(); }
  // The predicted time to read the share of a process that maps
  // `mapped_bytes`.
  Duration predict(uint64_t mapped_bytes) const;
  // Learns from one read of a process that maps `mapped_bytes`, which took
  // `took`.
  void learn(uint64_t mapped_bytes, Duration took);
  // The current rate per GiB mapped.
  Duration per_gib() const { return Duration::from_nanos(per_gib_ns_); }

 private:
  Clock clock_;
  uint64_t per_gib_ns_;
};

// The terms of one pass's refinement (see refine_shared_pages).
struct RefinementTerms {
  // The pass refines when the raw sum of its counted members reaches this.
  uint64_t level_bytes = std::numeric_limits<uint64_t>::max();
  // When false, a pass that reaches the level reads no share: it counts the
  // family from what earlier passes read.
  bool allowed = true;
  // No read is started that is predicted to end after this reading of the
  // cost's clock.
  Duration deadline = Duration::max();
  // No share is read when the group provably holds this much already (its
  // members outside the family, plus the family's floor): the count cannot
  // come out below it, and reads would only delay what is done about it.
  uint64_t enough_bytes = std::numeric_limits<uint64_t>::max();
};

// What the refinement keeps of the members that may share pages from one
// pass to the next (see refine_shared_pages), by identity: the proportional
// share read last, with the member's own reading and its private pages at
// that moment and the children it had then, and how old that knowledge is.
// Kept by the sampler for the whole run; its size follows the family's.
class ShareLedger {
 public:
  // What was read of one member.
  struct Share {
    // Its proportional share, huge pages included.
    uint64_t share_bytes = 0;
    // Its own reading (footprint) taken with the share.
    uint64_t own_bytes = 0;
    // The anonymous pages it alone mapped (a lower bound).
    uint64_t private_bytes = 0;
    // Its children then, sorted: a child forked since maps its private
    // pages too.
    std::vector<ProcessIdentity> children;

    friend bool operator==(const Share&, const Share&) = default;
  };
  struct Entry {
    // Absent while it has never been read.
    std::optional<Share> share;
    // The refining pass of the last read, or the one before the member was
    // first seen by a refining pass: the stalest knowledge is read first.
    uint64_t known_since = 0;
    // Its share cannot be read (not permitted, or not on this kernel): it
    // counts its own reading, for good.
    bool unreadable = false;

    friend bool operator==(const Entry&, const Entry&) = default;
  };

  using Entries = std::map<ProcessIdentity, Entry>;

  const Entries& entries() const { return entries_; }
  // Refining passes so far.
  uint64_t passes() const { return passes_; }

 private:
  friend class NativeProcessInventory;

  Entries entries_;
  uint64_t passes_ = 0;
};

// Inspects processes through /proc. It holds only the proc root it reads
// (default "/proc"), so it is cheap to copy and any number of them may exist.
class NativeProcessInventory {
 public:
  NativeProcessInventory() = default;
  // Reads `proc_root` instead of /proc (a fake tree in tests).
  explicit NativeProcessInventory(std::string proc_root) : proc_root_(std::move(proc_root)) {}

  // Inspects `pid`: footprint, start time, parent, process group and whether
  // it has exited. The start time is read twice, before and after the
  // footprint, through one descriptor of /proc/PID; a change between the two
  // gives IdentityChanged. An exited process (a zombie with no thread left)
  // is answered from its first reading alone: footprint 0, ppid 0, pgid 0,
  // exited true. A leader whose main thread exited while other threads run
  // on is alive, and its footprint is theirs.
  //
  // Errors: a pid below 1 gives InvalidData without any system call; a
  // missing process gives Missing; EPERM and EACCES give PermissionDenied;
  // ENOTSUP and ENOSYS give Unsupported; a file that does not parse, or a
  // negative pid, ppid or pgid, gives InvalidData; a record for another pid
  // gives IdentityChanged; anything else gives Failed.
  [[nodiscard]] Result<ProcessRecord, InspectionError> inspect(int32_t pid) const;

  // Inspects expected.pid and returns the record only when it has that pid
  // and that start time, else IdentityChanged. Inspection errors pass
  // through.
  [[nodiscard]] Result<ProcessRecord, InspectionError> inspect_expected(
      ProcessIdentity expected) const;

  // Whether footprints can be observed at all: inspects the calling process.
  // Success when its record carries a footprint, Unsupported when it does
  // not, the inspection error otherwise (Missing when /proc is not mounted).
  [[nodiscard]] Result<void, InspectionError> probe_footprint() const;

  // The candidate members of one pass, in ascending order: every process of
  // `owned_pgid`, every pid of `tracked_pids` that is at least 1, `root_pid`,
  // and all their descendants however deep, each once. Reads the whole
  // process table once. Any listing failure gives Failed.
  [[nodiscard]] Result<std::vector<int32_t>, InspectionError> list_group_candidates(
      std::span<const int32_t> tracked_pids, int32_t root_pid, int32_t owned_pgid) const;

  // Inspects every candidate in order: a success appends its record, a
  // failure appends a MemberFailure with the pid and the reason.
  GroupInventory inspect_members(std::span<const int32_t> candidates) const;

  // One group probe (see the free function sample_group below) through
  // `table`, which the caller keeps from one pass to the next: the pass
  // refreshes it at `now` with the tracker's known_pids() as the pids it
  // must read fresh, and takes the candidates from it (see
  // platform::ProcessTable for what a refresh reads). A candidate that the
  // refresh read has that reading as the first of its two start-time
  // readings, so it costs one status and one stat read more; any other
  // candidate is inspected in full. The only error is Failed, when the
  // refresh fails.
  //
  // Members that share one address space count once. A child made with
  // CLONE_VM (vfork, posix_spawn, system(), popen(), until it execs) shows
  // its parent's whole memory as its own; when such a child and its parent
  // are both counted members (live, and in the owned group or the root),
  // the child's record carries a footprint of 0, since its pages are already
  // counted with the parent's. This is decided here, where the address
  // spaces can be compared (kcmp, one call per member whose parent is a
  // member), so the tracker still just adds up what the records say. Where
  // the comparison is refused or unsupported both are counted, which errs on
  // the safe side; a fake proc root compares nothing.
  [[nodiscard]] Result<GroupInventory, InspectionError> sample_group(const IdentityTracker& tracker,
                                                                     platform::ProcessTable& table,
                                                                     Duration now) const;

  // One group probe through a table of its own, which reads every process.
  [[nodiscard]] Result<GroupInventory, InspectionError> sample_group(
      const IdentityTracker& tracker) const;

  // Counts the pages that members share after a fork once, where it matters,
  // within the time the pass has: gives the members that may share pages a
  // footprint from their proportional share (smaps_rollup: Pss_Anon +
  // Pss_Shmem + SwapPss, plus their huge pages), read now or by an earlier
  // pass and kept in `ledger`, and returns what it did (also stored in the
  // inventory's shared_pages).
  //
  // Each member's own reading counts a page it shares whole, so a parent and
  // the workers it forked each count the parent's memory again until they
  // write to it: an upper bound that may be many times what the group holds.
  // The proportional share divides each page among the processes that map
  // it, so the shares of all who share a page add up to that page once. But
  // reading a share walks the process's page tables (10 to 20 ms per GiB it
  // maps), so nothing is read unless both hold:
  //  - the raw sum of the counted members (IdentityTracker::counts, with the
  //    footprints as they are) reaches terms.level_bytes; and
  //  - some counted members may share pages: a member whose parent is a
  //    member, the parent of such a member (its own reading counts the
  //    shared pages whole too), and a member that the tracker first saw as a
  //    fork of a member (TrackedProcess::forked_from_member: workers keep
  //    sharing with each other after their parent has gone). A member whose
  //    reading is 0 holds nothing to count twice and takes no part; that
  //    includes a child counted 0 because it shares its parent's address
  //    space, whose share would be its parent's whole memory.
  // A group of one process, or one below the level, costs one pass over the
  // records and nothing more (the ledger forgets the members that are gone).
  //
  // Reads. The family's shares are read stalest first: members never read
  // (the longest-known first), then those read longest ago; among equals,
  // parents before their children (an unread parent counts all it maps, an
  // unread child little more than it holds beyond its parent). A read is started
  // only when it is predicted to end by terms.deadline, from the member's
  // mapped pages (VmRSS + VmSwap) at the rate `cost` has learned; one that
  // does not fit is skipped and smaller ones after it may still fit. So every
  // pass reads what its budget allows, and a member is re-read within as many
  // refining passes as the family has members whose read fits the budget
  // (in practice the whole family every pass or two: see the README). Each
  // member is read through a directory descriptor of its /proc/PID whose stat
  // shows the record's start time, so what is read belongs to the process
  // the record describes (or fails with ESRCH once it has been reaped). A
  // member that has exited or been reaped since its inspection, found by its
  // read or by a check after the reads, counts 0 and is forgotten, as a
  // member that vanishes before its inspection is not counted either. One
  // whose share cannot be read (not permitted, no Pss_Anon on this kernel, a
  // leader whose main thread exited) counts its own reading taken again. No
  // read at all when terms.allowed is false, or when what the group provably
  // holds (its members outside the family, and the family's floor below)
  // reaches terms.enough_bytes.
  //
  // What a member counts: its share S and its own reading O read together,
  // and its own reading C now (taken with the share when read by this pass):
  //  - read: min(C, S + max(0, C - O)): what it has grown since counts
  //    whole, and what it has given back counts nothing, since a page it
  //    freed may have been one counted at a fraction. A share is never above
  //    the reading it was taken with, and none is counted above C;
  //  - never read, forked from a member (its parent is one): what C exceeds
  //    its parent's own reading, at least what it holds beyond its parent's
  //    pages, all of which it mapped when it was forked;
  //  - never read otherwise: C, an upper bound (the pass is then deferred).
  // The family's total is then held between two bounds the group provably
  // respects:
  //  - at least the largest own reading of one member plus what the others
  //    hold alone: their private anonymous pages
  //    (ProportionalShare::private_anon_bytes as last read, less what their
  //    own reading has shrunk since, and 0 for one that has forked a child
  //    since: the child maps them too), or for a worker not read yet that
  //    has no child, what it holds beyond its parent. Every page one member
  //    maps is held by the group whoever else maps it, and so is every page
  //    another member alone maps. This is what keeps a
  //    share from hiding memory: a share divides a page among every process
  //    that maps it, members or not, at the moment of the read, so children
  //    forked after the listing, or processes outside the group that map the
  //    same memory, would otherwise take part of it out of the count. It
  //    also holds the root, and any member, at no less than its own reading;
  //  - at most the sum of the members' own readings.
  // When the shares add up to less than the floor, the difference goes to
  // the member whose own reading gave it (which stays within its own
  // reading). What remains uncounted is what a share of a member other than
  // the largest leaves out of the pages it shares with processes outside the
  // group, and, until the member's next read, what it has come to hold
  // without its own reading growing (a page it shared and has written to).
  //
  // This is done here, on the inventory before the tracker's update, rather
  // than on the update: the sampler times the whole pass, refinement
  // included, and must leave the tracker untouched when the pass's times
  // turn out to be out of order, which it knows only at the pass's end. The
  // tracker still only adds up what the records say.
  SharedPages refine_shared_pages(GroupInventory* inventory, const IdentityTracker& tracker,
                                  const RefinementTerms& terms, ShareReadCost& cost,
                                  ShareLedger& ledger) const;

  const std::string& proc_root() const { return proc_root_; }

 private:
  std::string proc_root_{platform::kProcRoot};
};

// Reads one pid listing in the shape of the listing calls. `call` stands for
// one listing call: given an empty buffer it returns the number of pids;
// given a buffer it fills it and returns how many it wrote; a negative return
// is a failure. The listing counts first, refuses a count whose buffer size in
// bytes would not fit in 32 bits, fills a buffer of count + 16 slots and
// treats a full buffer as a list that may have been cut short; pids below 1
// are dropped. Every failure is Failed.
using PidListingCall = std::function<int(std::span<int32_t> buffer)>;
[[nodiscard]] Result<std::vector<int32_t>, InspectionError> read_pid_listing(
    const PidListingCall& call);

// One group probe for the tracker's group: the candidates that
// `list_group_candidates` gives for the tracked identities' pids, the root
// pid and the owned group id, inspected in ascending order as
// `inspect_members` does (a failure becomes a MemberFailure). The only error
// is Failed, when the listing fails. The sampler makes its passes through
// NativeProcessInventory::sample_group with the table it keeps.
[[nodiscard]] Result<GroupInventory, InspectionError> sample_group(
    const IdentityTracker& tracker,
    const NativeProcessInventory& inventory = NativeProcessInventory());

}  // namespace vek_guard

#endif  // VEK_GUARD_IDENTITY_H_
