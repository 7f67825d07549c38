// A memory cgroup of its own for one command of a test, to hold what the
// kernel's own accounting says against what vek-guard counts.
#ifndef VEK_GUARD_TESTS_SUPPORT_MEMORY_CGROUP_H_
#define VEK_GUARD_TESTS_SUPPORT_MEMORY_CGROUP_H_

#include <cstdint>
#include <optional>
#include <string>

namespace vek_guard::test_support {

// A child of the test process's own memory cgroup (so whatever accounts for
// the test goes on accounting for the command), made where this machine lets
// the test make one: as root, with the memory controller of cgroup v1, or of
// cgroup v2 where its peak can be read (memory.peak, kernel 5.19 and later)
// and a child can have the controller. Removed when destroyed, once the
// processes that joined it have gone.
class MemoryCgroup {
 public:
  // The cgroup, or nothing with the reason in `*why_not`.
  static std::optional<MemoryCgroup> create(std::string* why_not);

  MemoryCgroup(MemoryCgroup&& other) noexcept;
  MemoryCgroup& operator=(MemoryCgroup&&) = delete;
  ~MemoryCgroup();

  // The file a process writes its pid to, to join.
  std::string procs_file() const { return dir_ + "/cgroup.procs"; }

  // The most memory the kernel has charged to it at once: v1's
  // memory.max_usage_in_bytes or v2's memory.peak; nothing when it cannot
  // be read. That counts what its processes' footprints count (anonymous
  // and shared memory) and, besides, whatever page cache they bring in and
  // the kernel memory spent on them (page tables: some 2 MiB per GiB a
  // process maps). For a command that reads and writes no files and joins
  // before it holds anything, the difference is that kernel memory, about
  // 1 % of what a family of forked workers maps; the other counters that
  // compare like with like (anonymous and shared memory in memory.stat) are
  // current values only, which a peak read by polling would miss.
  std::optional<uint64_t> peak_bytes() const;

 private:
  MemoryCgroup(std::string dir, std::string peak_file)
      : dir_(std::move(dir)), peak_file_(std::move(peak_file)) {}

  std::string dir_;
  std::string peak_file_;
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_MEMORY_CGROUP_H_
