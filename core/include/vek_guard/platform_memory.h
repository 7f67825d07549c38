// System-wide memory readings on Linux: pressure, swap and virtual-memory
// statistics.
//
// The advisory observer wants three things the kernel offers under other
// names here:
//  - a memory-pressure event source that reports a level (normal, warning,
//    critical as bits 1, 2, 4) only when it changes. Linux has pressure stall
//    information (PSI) in /proc/pressure/memory instead, so a background
//    thread reads it, turns the averages into a level and reports changes;
//  - the swap space in use, from sysinfo(2);
//  - the compressor and wired page counts with the page size, from
//    /proc/meminfo (Zswap: and Unevictable:) and sysconf(_SC_PAGESIZE).
//
// Parsing is kept apart from I/O: every parser takes text, so tests feed it
// literals, and every reader takes the path it reads, so tests can point it at
// a file of their own.
//
//   auto watcher = platform::PressureWatcher::start(
//       platform::kPressureMemoryPath, platform::kPressureReadPeriod,
//       [](uint64_t level_bits) { /* store it */ });
//   if (!watcher) { /* no pressure source on this system */ }
#ifndef VEK_GUARD_PLATFORM_MEMORY_H_
#define VEK_GUARD_PLATFORM_MEMORY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "vek_guard/error.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard::platform {

// ---------------------------------------------------------------------------
// Memory pressure

// Level bits, as a notification carries them. Exactly one is set in every
// level this layer computes; a reader must still cope with none of them.
inline constexpr uint64_t kPressureLevelNormal = 1;
inline constexpr uint64_t kPressureLevelWarning = 2;
inline constexpr uint64_t kPressureLevelCritical = 4;

// Thresholds on the ten-second averages (percent of wall time). Critical
// wins over warning: `full` means every runnable task was stalled on memory,
// which is the stronger signal.
inline constexpr double kCriticalFullAvg10 = 5.0;
inline constexpr double kWarningSomeAvg10 = 10.0;

inline constexpr const char* kPressureMemoryPath = "/proc/pressure/memory";

// How often the watcher reads the pressure file when nothing else wakes it.
inline constexpr std::chrono::milliseconds kPressureReadPeriod{1000};

// The ten-second averages of one reading of a PSI file. `full` is absent when
// the file has no "full" line (kernels before 5.13 printed none for some
// resources); a memory reading without it can then never be critical.
struct PsiAverages {
  double some_avg10 = 0.0;
  std::optional<double> full_avg10;

  friend bool operator==(const PsiAverages&, const PsiAverages&) = default;
};

// Parses the text of a PSI file: lines "some avg10=A avg60=B avg300=C total=T"
// and optionally "full ...", in any order. Returns nothing for anything else:
// a missing "some" line, a line of another kind, a repeated kind, an avg10
// that is missing, negative, not finite or not a plain decimal number.
// The other fields are not needed and not checked beyond their key=value form.
std::optional<PsiAverages> parse_psi(std::string_view text);

// The level bits for a reading: critical when full avg10 >= 5.0, else warning
// when some avg10 >= 10.0, else normal.
uint64_t pressure_level_bits(const PsiAverages& averages);

// Turns successive readings into change notifications, as the event source
// the core expects does: a level is reported only when it differs from the
// previous one, and the level before the first reading is taken to be normal
// (so a quiet system yields no notification at all).
//
// Not thread-safe; the watcher owns one and feeds it from its thread.
class PressureChangeDetector {
 public:
  // Feeds one PSI text. Returns the new level bits when the level changed;
  // nothing when it did not or when the text does not parse (a reading that
  // cannot be understood does not move the level).
  std::optional<uint64_t> feed(std::string_view psi_text);

  uint64_t current_level_bits() const { return level_bits_; }

 private:
  uint64_t level_bits_ = kPressureLevelNormal;
};

// Reads a whole small file (a /proc file) into a string. Returns the errno of
// the failed open or read. EINTR is retried.
Result<std::string, int> read_small_file(const char* path);

// The background reader of a PSI file.
//
// It reads the file once per period and calls `notify` (on its own thread)
// with the new level bits whenever the level changes; it wakes once per
// period. It arms no PSI trigger: the levels come from ten-second averages, so
// a read a second misses little, while releasing a trigger costs the kernel
// tens of milliseconds, which every supervised command would wait for at its
// end. Stopping does not wait out the period: the destructor wakes the thread
// through an eventfd and joins it.
//
// Not copyable or movable: the thread refers to the object.
class PressureWatcher {
 public:
  using Notify = std::function<void(uint64_t level_bits)>;

  // Reads and parses `path` once on the calling thread (the first reading,
  // which notifies at once if the level is not normal), then starts the
  // thread. Fails with an errno when the file cannot be read (ENOENT without
  // PSI), EINVAL when its text does not parse, or the errno of the eventfd
  // or thread creation. `period` must be positive.
  static Result<std::unique_ptr<PressureWatcher>, int> start(std::string path,
                                                             std::chrono::milliseconds period,
                                                             Notify notify);

  // Wakes the thread and joins it; returns once the thread has ended. No
  // notification is delivered after the destructor returns.
  ~PressureWatcher();

  PressureWatcher(const PressureWatcher&) = delete;
  PressureWatcher& operator=(const PressureWatcher&) = delete;

  // Number of times the thread has returned from its wait (periods and
  // spurious wake-ups alike); for measuring how often it wakes.
  uint64_t wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

 private:
  PressureWatcher(std::string path, std::chrono::milliseconds period, Notify notify,
                  UniqueFd wake_fd);
  void run();
  void read_once();

  const std::string path_;
  const std::chrono::milliseconds period_;
  const Notify notify_;
  PressureChangeDetector detector_;
  UniqueFd wake_fd_;
  std::atomic<uint64_t> wakeups_{0};
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Clock

// CLOCK_MONOTONIC in nanoseconds; nothing when the call fails, the seconds
// are negative or the nanosecond count does not fit in 64 bits.
std::optional<uint64_t> monotonic_clock_ns();

// ---------------------------------------------------------------------------
// Swap

// Swap space in use, in bytes: (totalswap - freeswap) × mem_unit from
// sysinfo(2). Fails with the errno of sysinfo (ENOSYS where it does not
// exist), EINVAL when the kernel reports more free swap than total, or
// EOVERFLOW when the product does not fit in 64 bits.
Result<uint64_t, int> swap_used_bytes();

// ---------------------------------------------------------------------------
// Virtual-memory statistics

inline constexpr const char* kMeminfoPath = "/proc/meminfo";

// Page counts as the core expects them from the host statistics: compressor
// pages (the compressed swap cache, Zswap:) and wired pages (memory that
// cannot be paged out, Unevictable:).
struct VmPageCounts {
  uint64_t compressor_pages = 0;
  uint64_t wired_pages = 0;

  friend bool operator==(const VmPageCounts&, const VmPageCounts&) = default;
};

// Parses /proc/meminfo text: each count is the line's kB value × 1024 ÷
// page_size (truncating). Zswap: absent means there is no compressor (0
// pages). Returns nothing when Unevictable: is absent, either line is
// malformed ("Key: <digits> kB"), a value × 1024 overflows, or page_size is 0.
std::optional<VmPageCounts> parse_meminfo(std::string_view text, uint64_t page_size);

// The page counts with the page size that goes with them.
struct VmStatistics {
  uint64_t page_size = 0;
  VmPageCounts pages;

  friend bool operator==(const VmStatistics&, const VmStatistics&) = default;
};

// Reads sysconf(_SC_PAGESIZE) and `meminfo_path`. Fails with the errno of the
// failed sysconf (EINVAL if it gave none) or read, or EINVAL when the text
// does not parse.
Result<VmStatistics, int> read_vm_statistics(const char* meminfo_path = kMeminfoPath);

// `read_vm_statistics` for a caller that reads every sampling pass: the file
// is opened on the first read and kept, and each read takes it again from
// its start with one pread, which makes the kernel write it anew. A failed
// read closes it, so the next one opens it again. Not thread-safe; movable.
class VmStatisticsFile {
 public:
  explicit VmStatisticsFile(const char* meminfo_path = kMeminfoPath) : path_(meminfo_path) {}

  Result<VmStatistics, int> read();

 private:
  const char* path_;
  UniqueFd fd_;
};

}  // namespace vek_guard::platform

#endif  // VEK_GUARD_PLATFORM_MEMORY_H_
