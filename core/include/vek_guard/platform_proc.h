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
//   footprint     RssAnon + RssShmem + VmSwap of status, kB x 1024
//
// A thread-group leader whose main thread has exited (pthread_exit from
// main while a worker runs on) shows 'Z' too, but it is alive as long as any
// of its threads is: its num_threads counts them, and its own status has no
// memory counters any more, so its footprint is read from a live thread's
// `task/TID/status`.
//
// The footprint counts what the kernel charges to a process for memory it
// cannot simply drop, and leaves clean file cache out. A page shared after a
// fork is counted once per process that maps it, so a group's sum errs on the
// safe side: it may reach a limit early, never late.
//
// Parsing is kept apart from I/O: the parsers take text, and every I/O entry
// point takes the proc root (default "/proc"), so tests can feed literals or
// point the layer at a fake tree of `<root>/<pid>/stat` and `status` files.
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
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

  // The whole process has exited: it is a zombie ('Z') or being torn down
  // ('X') and no thread of it runs on. A zombie leader still counts itself
  // here, so a process that has fully exited shows at most 1.
  constexpr bool exited() const { return (state == 'Z' || state == 'X') && threads <= 1; }

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
// in bytes. A counter that is absent counts as 0 (a zombie or a kernel thread
// has none of them). Fails with invalid data when a present counter is not
// "<digits> kB", or when the sum in bytes does not fit in 64 bits.
[[nodiscard]] Result<uint64_t, ProcError> parse_status_footprint(std::string_view text);

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
// Reading `stat` and `status` through this descriptor pins the process
// instance that was opened: once it has been reaped, every read fails with
// ESRCH, even if its pid has since been given to another process. A zombie is
// still readable.
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

 private:
  explicit ProcessDir(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

// A snapshot of the process table: the stat reading of every process, from
// one scan of `<proc_root>/[0-9]*/stat`.
//
// The kernel offers no list of a process group's members, so a sampling pass
// scans once and serves both the group listing and every child listing of
// the pass from this snapshot. That keeps a pass at one scan however many
// listings it makes, and gives every listing of the pass the same view of
// the table. The readings also serve as the first of the two start-time
// readings of each member's inspection, so the pass reads no stat twice
// more than it must.
class ProcessTable {
 public:
  // Scans the proc root. Processes that vanish during the scan, or whose stat
  // may not be read (EACCES, EPERM: not ours to supervise), are left out.
  // Fails when the root cannot be opened or listed, or when a stat that could
  // be read does not parse.
  [[nodiscard]] static Result<ProcessTable, ProcError> scan(std::string_view proc_root = kProcRoot);

  // Both listings have the shape of the listing calls they stand in for: with
  // an empty buffer they return the number of pids there are; otherwise they
  // write at most buffer.size() pids in ascending order and return how many
  // they wrote. A return equal to buffer.size() may mean the list was cut.
  // They never fail: the snapshot is already in memory.
  //
  // The members of process group `pgid`.
  int list_group_pids(int32_t pgid, std::span<int32_t> buffer) const;
  // The processes whose parent is `pid`.
  int list_child_pids(int32_t pid, std::span<int32_t> buffer) const;

  // The reading of `pid`, or null when the scan did not see it.
  const ProcStat* find(int32_t pid) const;

  // Every reading, in ascending pid order.
  const std::vector<ProcStat>& entries() const { return by_pid_; }

 private:
  explicit ProcessTable(std::vector<ProcStat> entries);

  std::vector<ProcStat> by_pid_;
  // Indexes into by_pid_, sorted by (pgid, pid) and by (ppid, pid).
  std::vector<uint32_t> by_pgid_;
  std::vector<uint32_t> by_ppid_;
};

}  // namespace vek_guard::platform

#endif  // VEK_GUARD_PLATFORM_PROC_H_
