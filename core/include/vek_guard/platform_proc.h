// The Linux process layer: what the supervisor knows about other processes,
// read from /proc.
//
// The core inspects processes in the shape of the per-process resource-usage
// and BSD-information calls (start time and exit, pid, parent, process group,
// physical footprint) and lists pids in the shape of the process-group and
// child listings (a count first, then a fill into a buffer with spare slots).
// This layer gives it exactly that from Linux sources:
//
//   start time    field 22 (`starttime`, clock ticks since boot) of stat
//   exited        state field (3rd) of stat is 'Z' or 'X' and no other
//                 thread of the process is alive (field 20, num_threads)
//   pid/ppid/pgid fields 1, 4 and 5 of stat
//   footprint     RssAnon + RssShmem + VmSwap + HugetlbPages of status,
//                 kB x 1024
//
// A thread-group leader whose main thread has exited (pthread_exit from
// main while a worker runs on) shows 'Z' too, but it is alive as long as any
// of its threads is: its num_threads counts them, and its own status has no
// memory counters any more, so its footprint is read from a live thread's
// `task/TID/status`.
//
// The footprint counts what the kernel charges to a process for memory it
// cannot simply drop, and leaves clean file cache out. A page shared after a
// fork is counted once per process that maps it, so a sum over processes errs
// on the safe side: it may reach a limit early, never late. Huge pages
// (hugetlbfs, MAP_HUGETLB) are in none of the other counters and are counted
// the same way, once per process that maps them. The proportional share of
// the same counters (Pss_Anon + Pss_Shmem + SwapPss of smaps_rollup)
// divides each page among the processes that map it, so a sum of shares
// counts it once; but the kernel walks the page tables to produce it, 10 to
// 20 ms per GiB mapped against some 10 us for `status`, so the core reads it
// only for processes that may share pages and only when the cheap sum is near
// a limit.
//
// Parsing is kept apart from I/O: the parsers take text, and every I/O entry
// point takes the proc root (default "/proc"), so tests can feed literals or
// point the layer at a fake tree of `<root>/<pid>/stat` and `status` files.
// The process table also reads through a ProcessSource, which tests replace
// to fake what a tree of files cannot (a pid reused under a new inode).
//
//   auto dir = platform::ProcessDir::open(pid);
//   if (!dir) return map(dir.error());
//   auto stat = dir->read_stat();       // fails with ESRCH once pid is gone
//   auto bytes = dir->read_footprint();
//
// Everything here is for one thread at a time per object; there is no global
// state. Every descriptor is opened close-on-exec and owned by a UniqueFd.
#ifndef VEK_GUARD_PLATFORM_PROC_H_
#define VEK_GUARD_PLATFORM_PROC_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::platform {

// The proc root every I/O function uses unless told otherwise.
inline constexpr std::string_view kProcRoot = "/proc";

// Why a call of this layer failed: the errno of the failing system call, or
// invalid data when a file was read but its text does not parse.
//
// The errno values are those the core maps: a missing /proc/PID (ENOENT or
// ESRCH) is always reported as ESRCH, so "the process is gone" has exactly one
// spelling; EACCES and EPERM pass through; everything else passes through as
// the call reported it.
struct ProcError {
  // The errno of the failed call; 0 means invalid data.
  int os_error = 0;

  static constexpr ProcError invalid_data() { return ProcError{0}; }
  // `error` as the core should see it (ENOENT becomes ESRCH).
  static ProcError from_errno(int error);

  constexpr bool is_invalid_data() const { return os_error == 0; }

  friend constexpr bool operator==(const ProcError&, const ProcError&) = default;
};

// The fields of /proc/PID/stat that the core reads.
struct ProcStat {
  int32_t pid = 0;          // field 1
  char state = '\0';        // field 3, e.g. 'R', 'S', 'Z'
  int32_t ppid = 0;         // field 4
  int32_t pgid = 0;         // field 5
  uint64_t start_time = 0;  // field 22, clock ticks since boot
  int32_t threads = 0;      // field 20, the live threads of the process
  uint32_t flags = 0;       // field 9, the kernel's PF_* flags of the leader

  // The kernel's flag for a thread that has begun to exit.
  static constexpr uint32_t kExitingFlag = 0x4;  // PF_EXITING

  // The whole process has exited: it is a zombie ('Z') or being torn down
  // ('X') and no thread of it runs on. A zombie leader still counts itself
  // here, so a process that has fully exited shows at most 1.
  constexpr bool exited() const { return (state == 'Z' || state == 'X') && threads <= 1; }

  // Alive, but on its way out: its leader, still running, has begun to exit
  // (killed, or ending), and it runs no more code of its own while the
  // kernel releases what it held, which for a large process takes a while.
  constexpr bool exiting() const {
    return !exited() && !main_thread_exited() && (flags & kExitingFlag) != 0;
  }

  // The leader's own thread has exited while others of the process run on:
  // alive, with its memory reachable only through a live thread.
  constexpr bool main_thread_exited() const {
    return (state == 'Z' || state == 'X') && threads > 1;
  }

  friend constexpr bool operator==(const ProcStat&, const ProcStat&) = default;
};

// Parses the text of /proc/PID/stat. The command name (field 2) is enclosed in
// parentheses and may itself hold spaces and parentheses, so the fields after
// it are read after the *last* ')'. Fails with invalid data when a field is
// missing or out of range for its type.
[[nodiscard]] Result<ProcStat, ProcError> parse_proc_stat(std::string_view text);

// Parses the text of /proc/PID/status and returns RssAnon + RssShmem + VmSwap
// + HugetlbPages in bytes. A counter that is absent counts as 0 (a zombie or
// a kernel thread has none of them, and kernels before 4.4 no HugetlbPages).
// Fails with invalid data when a present counter is not "<digits> kB", or
// when the sum in bytes does not fit in 64 bits.
[[nodiscard]] Result<uint64_t, ProcError> parse_status_footprint(std::string_view text);

// What one reading of /proc/PID/status tells about a process's memory.
struct StatusMemory {
  // The footprint (parse_status_footprint).
  uint64_t footprint_bytes = 0;
  // HugetlbPages: the part of the footprint that proportional counters leave
  // out.
  uint64_t hugetlb_bytes = 0;
  // VmRSS + VmSwap: every page the process maps, resident or swapped out,
  // file pages included. Reading its smaps_rollup walks them all, so this is
  // what predicts the cost of that read.
  uint64_t mapped_bytes = 0;

  friend constexpr bool operator==(const StatusMemory&, const StatusMemory&) = default;
};

// Parses the text of /proc/PID/status into a StatusMemory. Fails with invalid
// data when it has no RssAnon (a process without an address space: a zombie,
// a kernel thread, a leader whose main thread exited), or as
// parse_status_footprint fails; other absent counters count as 0.
[[nodiscard]] Result<StatusMemory, ProcError> parse_status_memory(std::string_view text);

// What one reading of /proc/PID/smaps_rollup tells about the pages a process
// shares.
struct ProportionalShare {
  // Pss_Anon + Pss_Shmem + SwapPss: the process's proportional share of what
  // its footprint counts (huge pages aside), each page divided by the number
  // of processes that map it.
  uint64_t share_bytes = 0;
  // Anonymous - (Shared_Clean + Shared_Dirty), or 0 when that is negative: a
  // lower bound of the anonymous pages that this process alone maps. The
  // rollup counts private pages only as Private_Clean and Private_Dirty,
  // which mix in file pages that no footprint counts (program text, a
  // privately read file), so they cannot stand for memory the process holds.
  // Every anonymous page it shares is among its shared pages, so taking all
  // of those from its anonymous pages leaves no more than its private
  // anonymous ones: short by the shared file pages (its libraries, a few
  // MiB), and without private shared-memory and swapped pages, but never
  // above what it holds alone.
  uint64_t private_anon_bytes = 0;

  friend constexpr bool operator==(const ProportionalShare&, const ProportionalShare&) = default;
};

// Parses the text of /proc/PID/smaps_rollup into a ProportionalShare. Fails
// with invalid data when one of Pss_Anon, Pss_Shmem and SwapPss is missing (a
// process without an address space shows none; kernels before 5.x lack
// Pss_Anon), when a counter read is not "<digits> kB", or when a sum in bytes
// does not fit in 64 bits. Missing Anonymous or Shared_* lines leave the
// private bound at 0.
[[nodiscard]] Result<ProportionalShare, ProcError> parse_smaps_rollup_share(std::string_view text);

// Whether processes `a` and `b` share one address space (kcmp with
// KCMP_VM). A child made with CLONE_VM, as vfork, posix_spawn, system() and
// popen() make them, shares its parent's until it execs or exits, and its
// status shows all of that memory as its own. Processes without an address
// space (zombies, and leaders whose main thread exited) compare as sharing
// one, so callers compare only processes that have their own.
//
// Errors pass through as the call reported them: ESRCH when either process
// is gone, EPERM when they may not be compared, ENOSYS when the kernel was
// built without kcmp.
[[nodiscard]] Result<bool, ProcError> same_address_space(int32_t a, int32_t b);

// One process's /proc directory, opened once as a directory descriptor.
//
// Reading `stat`, `status` and `smaps_rollup` through this descriptor pins
// the process instance that was opened: once it has been reaped, every read
// fails with ESRCH, even if its pid has since been given to another process.
// A zombie is still readable.
class ProcessDir {
 public:
  // Opens `<proc_root>/<pid>`. Fails with ESRCH when there is no such
  // directory. `pid` must be at least 1 (anything else is invalid data,
  // reported without a system call).
  [[nodiscard]] static Result<ProcessDir, ProcError> open(int32_t pid,
                                                          std::string_view proc_root = kProcRoot);

  // Reads and parses `stat`.
  [[nodiscard]] Result<ProcStat, ProcError> read_stat() const;
  // Reads `status` and returns the footprint in bytes. When the status has
  // no memory counters while other threads of the process run on (a leader
  // whose main thread exited), the footprint is read from the first thread
  // in `task/` whose status has them; when no thread has them any more, the
  // process is on its way out and its footprint is 0.
  [[nodiscard]] Result<uint64_t, ProcError> read_footprint() const;
  // Reads `status` (parse_status_memory): invalid data when the process has
  // no address space of its own.
  [[nodiscard]] Result<StatusMemory, ProcError> read_status_memory() const;
  // Reads `smaps_rollup` (parse_smaps_rollup_share). It costs a walk of the
  // process's page tables (10 to 20 ms per GiB mapped), holding its memory
  // map's lock for reading meanwhile. Permission is that of ptrace: a process
  // of another user, or one that is not dumpable (set-user-ID), gives EACCES.
  [[nodiscard]] Result<ProportionalShare, ProcError> read_proportional_share() const;

 private:
  explicit ProcessDir(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

// One entry of a listing of the proc root: a pid and the inode number of its
// directory. procfs gives each process instance a directory inode of its
// own, so a pid that has gone and come back as another process comes back
// with another inode. (An inode may also change when the kernel drops the
// directory from its cache: that costs one more read, nothing else.)
struct ProcListing {
  int32_t pid = 0;
  uint64_t inode = 0;

  friend constexpr bool operator==(const ProcListing&, const ProcListing&) = default;
};

// Where a ProcessTable gets its facts: the listing of the processes and the
// stat of one of them. ProcRootSource reads a proc root; tests put a fake in
// its place to fake a reused pid or to count reads.
class ProcessSource {
 public:
  virtual ~ProcessSource() = default;

  // Replaces `*listing` with one entry per process, in any order. Entries of
  // the proc root that are not pids are left out.
  [[nodiscard]] virtual Result<void, ProcError> list(std::vector<ProcListing>* listing) = 0;
  // Reads and parses the stat of `pid`; ESRCH once it is gone.
  [[nodiscard]] virtual Result<ProcStat, ProcError> read_stat(int32_t pid) = 0;
  // A count that moves whenever a process may have entered the listing: the
  // number of tasks (processes and threads) created since boot. Nothing when
  // this source cannot tell, which a table takes as "list every time".
  [[nodiscard]] virtual std::optional<uint64_t> creation_count() { return std::nullopt; }
};

// Parses the text of the proc root's `stat` and returns its `processes`
// count (tasks created since boot), or nothing when it has none.
[[nodiscard]] std::optional<uint64_t> parse_creation_count(std::string_view text);

// Whether the proc mount whose id is `mount_id` in `mountinfo` (the text of
// /proc/self/mountinfo) lists every process of its namespace: it is a proc
// mount and its hidepid option, if any, hides none. Under hidepid=invisible
// or ptraceable a process can enter the listing without being created, by
// becoming visible.
[[nodiscard]] bool proc_mount_lists_every_process(std::string_view mountinfo, uint64_t mount_id);

// The source that reads a proc root: one getdents64 loop over the root's
// directory (kept open from one listing to the next) lists it, and
// `<root>/<pid>/stat` is read relative to that descriptor. The creation
// count is the `processes` line of `<root>/stat`, read through a descriptor
// kept open, and only from a proc mount that lists every process (see
// proc_mount_lists_every_process); anything else, a tree of files among
// them, has no count. Once its buffers have grown to the size of the
// machine's table it allocates nothing more.
class ProcRootSource final : public ProcessSource {
 public:
  explicit ProcRootSource(std::string_view proc_root = kProcRoot);

  Result<void, ProcError> list(std::vector<ProcListing>* listing) override;
  Result<ProcStat, ProcError> read_stat(int32_t pid) override;
  std::optional<uint64_t> creation_count() override;

 private:
  Result<int, ProcError> root_fd();

  std::string proc_root_;
  UniqueFd root_fd_;
  std::string text_;
  std::vector<char> entries_;
  // `<root>/stat`, once the root has been found to count creations; whether
  // it was looked at since the root was opened.
  UniqueFd stat_fd_;
  bool stat_checked_ = false;
};

// What the supervisor knows of the machine's process table, kept from one
// sampling pass to the next so that a pass pays for the processes that can
// concern the owned group, not for every process on the machine.
//
// The kernel offers no list of a process group's members, so each pass
// refreshes the table once and serves the group listing and every child
// listing of the pass from it, all with the same view. A refresh lists the
// processes (pid and directory inode), unless none can have entered the
// listing since the last one (below), and reads stat only for:
//  - pids that were not in the previous listing, or whose inode changed (the
//    pid was reused);
//  - the pids the caller needs fresh: the tracked identities and the root;
//  - a slice of the rest, taken in turns, so that at a steady interval every
//    cached reading is re-read within kRecheckBound (every pass re-reads
//    everything once passes are half that far apart).
// Every other entry keeps its reading; an entry whose pid left the listing is
// dropped. The first refresh, and the first after a failed one, reads every
// process.
//
// Why cached readings are enough: a process can only join a process group of
// its own session (setpgid refuses any other), and leaves its session only
// through setsid, which makes a new one; so a cached process of another
// session can never become a member, and a new child of a member is a new
// pid, read on the pass that first lists it. The one change a cache can miss
// for a while is a process of the same session that moves into the group by
// setpgid from outside the command's tree; the turns bound how long: within
// kRecheckBound at any steady sample interval up to 1 s. A child's parent changes only when
// its parent exits, so the child listing can be answered from the same
// readings.
//
// A refresh lists only when the source's creation count has moved since the
// listing before, or that listing is kRecheckPeriod old. The first refresh,
// and the first after a failed one, always lists, and so does every refresh
// through a source without a count.
//
// Cost of a refresh, plainly: one read of the creation count, one listing
// when the count moved, plus one stat read per new or reused pid, per needed
// pid and per entry whose turn has come (processes x elapsed time /
// (kRecheckBound - elapsed time)); then two arrays of keys are rebuilt. Once warmed up a
// refresh allocates nothing.
//
// The listings and readings describe the table as of the last refresh;
// nothing here reads the system except refresh(). Movable, not copyable.
class ProcessTable {
 public:
  // The listing is taken again at least this often.
  static constexpr Duration kRecheckPeriod = Duration::from_secs(1);
  // At a steady interval, every cached reading is re-read within this bound.
  static constexpr Duration kRecheckBound = Duration::from_secs(2);

  // A table of `proc_root`, through a ProcRootSource.
  explicit ProcessTable(std::string_view proc_root = kProcRoot);
  // A table that reads through `source`.
  explicit ProcessTable(std::unique_ptr<ProcessSource> source);

  ProcessTable(ProcessTable&&) noexcept;
  ProcessTable& operator=(ProcessTable&&) noexcept;
  ~ProcessTable();

  // One pass's refresh at `now` (a monotonic time of the caller's; it paces
  // the re-reads in turn), reading `needed` pids fresh (see the class
  // comment). Processes that vanish before their read are dropped; those
  // whose stat may not be read (EACCES, EPERM: not ours to supervise) are
  // kept without a reading and appear in no listing. Fails when the listing
  // fails, or when a stat that could be read does not parse or fails
  // otherwise; the table then answers nothing until the next refresh, which
  // reads everything.
  [[nodiscard]] Result<void, ProcError> refresh(Duration now, std::span<const int32_t> needed);

  // Both listings have the shape of the listing calls they stand in for: with
  // an empty buffer they return the number of pids there are; otherwise they
  // write at most buffer.size() pids in ascending order and return how many
  // they wrote. A return equal to buffer.size() may mean the list was cut.
  // They never fail: the table is already in memory.
  //
  // The members of process group `pgid`.
  int list_group_pids(int32_t pgid, std::span<int32_t> buffer) const;
  // The processes whose parent is `pid`.
  int list_child_pids(int32_t pid, std::span<int32_t> buffer) const;

  // The reading of `pid` taken by the last refresh, or null when that refresh
  // did not read it.
  const ProcStat* fresh(int32_t pid) const;
  // The latest reading of `pid`, however old, or null when there is none.
  const ProcStat* find(int32_t pid) const;

  // Whether a process of group `pgid` had not exited when it was last read.
  bool has_live_member(int32_t pgid) const;
  // Whether a process of group `pgid` had neither exited nor begun to exit
  // (ProcStat::exiting) when it was last read.
  bool has_running_member(int32_t pgid) const;

  // The last refresh succeeded.
  bool listed() const { return listed_; }
  // The number of processes in the table.
  std::size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    ProcStat stat;
    uint64_t inode = 0;
    int32_t pid = 0;
    bool readable = false;  // `stat` holds a reading
    bool fresh = false;     // read by the last refresh
    bool due = false;       // to be read by the refresh under way
    bool gone = false;      // vanished before its read
  };

  const Entry* entry(int32_t pid) const;
  Result<void, ProcError> fail(ProcError error);
  // Lists the source and merges the listing into `entries_`, marking what
  // is new or reused (everything, when `everything`) as due.
  Result<void, ProcError> merge_listing(bool everything);
  void mark_turns(Duration now);

  std::unique_ptr<ProcessSource> source_;
  std::vector<ProcListing> listing_;
  // Ascending by pid; `next_` is the other half of a double buffer.
  std::vector<Entry> entries_;
  std::vector<Entry> next_;
  // Per entry, its pgid and ppid (-1 without a reading): what the listings
  // search, packed so that a search touches little memory.
  std::vector<int32_t> pgids_;
  std::vector<int32_t> ppids_;
  bool listed_ = false;
  std::optional<Duration> last_refresh_;
  // The creation count read just before the last listing, and its time.
  std::optional<uint64_t> listed_creations_;
  std::optional<Duration> last_listing_;
  // The re-reads in turn go on with the first pid above this one.
  int32_t turn_after_ = 0;
  // What the last share of turns left over a whole entry (see mark_turns).
  uint64_t turn_credit_ = 0;
};

}  // namespace vek_guard::platform

#endif  // VEK_GUARD_PLATFORM_PROC_H_
