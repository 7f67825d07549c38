#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "vek_guard/fd_io.h"
#include "vek_guard/platform_memory.h"

namespace vek_guard::platform {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Calls `line_fn` for each line of `text` (without its line feed); stops and
// returns false as soon as `line_fn` does.
template <class LineFn>
bool for_each_line(std::string_view text, LineFn&& line_fn) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (!line_fn(line)) return false;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return true;
}

// A plain non-negative decimal such as "12.34"; from_chars alone would also
// accept "inf", "nan" and exponents, none of which the kernel prints.
std::optional<double> parse_percentage(std::string_view s) {
  if (s.empty()) return std::nullopt;
  for (const char c : s) {
    if ((c < '0' || c > '9') && c != '.') return std::nullopt;
  }
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::fixed);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// The avg10 value of one "some ..." or "full ..." line after its kind word.
std::optional<double> parse_psi_fields(std::string_view fields) {
  std::optional<double> avg10;
  while (!fields.empty()) {
    const std::size_t space = fields.find(' ');
    const std::string_view field = fields.substr(0, space);
    fields = space == std::string_view::npos ? std::string_view() : fields.substr(space + 1);
    if (field.empty()) continue;
    const std::size_t eq = field.find('=');
    if (eq == 0 || eq == std::string_view::npos) return std::nullopt;
    if (field.substr(0, eq) != "avg10") continue;
    if (avg10) return std::nullopt;
    avg10 = parse_percentage(field.substr(eq + 1));
    if (!avg10) return std::nullopt;
  }
  return avg10;
}

std::optional<uint64_t> parse_kb_value(std::string_view rest) {
  rest = trim(rest);
  std::size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  if (digits == 0 || trim(rest.substr(digits)) != "kB") return std::nullopt;
  uint64_t kb = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + digits, kb);
  if (ec != std::errc() || end != rest.data() + digits) return std::nullopt;
  return kb;
}

}  // namespace

std::optional<PsiAverages> parse_psi(std::string_view text) {
  std::optional<double> some;
  std::optional<double> full;
  const bool ok = for_each_line(text, [&](std::string_view line) {
    line = trim(line);
    if (line.empty()) return true;
    const std::size_t space = line.find(' ');
    const std::string_view kind = line.substr(0, space);
    std::optional<double>* slot = nullptr;
    if (kind == "some") {
      slot = &some;
    } else if (kind == "full") {
      slot = &full;
    } else {
      return false;
    }
    if (*slot || space == std::string_view::npos) return false;
    *slot = parse_psi_fields(line.substr(space + 1));
    return slot->has_value();
  });
  if (!ok || !some) return std::nullopt;
  return PsiAverages{*some, full};
}

uint64_t pressure_level_bits(const PsiAverages& averages) {
  if (averages.full_avg10 && *averages.full_avg10 >= kCriticalFullAvg10) {
    return kPressureLevelCritical;
  }
  if (averages.some_avg10 >= kWarningSomeAvg10) return kPressureLevelWarning;
  return kPressureLevelNormal;
}

std::optional<uint64_t> PressureChangeDetector::feed(std::string_view psi_text) {
  const std::optional<PsiAverages> averages = parse_psi(psi_text);
  if (!averages) return std::nullopt;
  const uint64_t bits = pressure_level_bits(*averages);
  if (bits == level_bits_) return std::nullopt;
  level_bits_ = bits;
  return bits;
}

Result<std::string, int> read_small_file(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return unexpected(errno);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read_some(fd.get(), buffer, sizeof(buffer));
    if (n < 0) return unexpected(errno);
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

Result<std::unique_ptr<PressureWatcher>, int> PressureWatcher::start(
    std::string path, std::chrono::milliseconds period, Notify notify) {
  if (period.count() <= 0) return unexpected(EINVAL);
  const Result<std::string, int> first = read_small_file(path.c_str());
  if (!first) return unexpected(first.error());
  if (!parse_psi(*first)) return unexpected(EINVAL);

  UniqueFd wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake_fd.valid()) return unexpected(errno);
  std::unique_ptr<PressureWatcher> watcher(
      new PressureWatcher(std::move(path), period, std::move(notify), std::move(wake_fd)));
  // The first reading is delivered before the thread exists, so a system
  // already under pressure is reported as soon as the watcher is up.
  if (const std::optional<uint64_t> bits = watcher->detector_.feed(*first)) {
    watcher->notify_(*bits);
  }
  try {
    watcher->thread_ = std::thread([w = watcher.get()] { w->run(); });
  } catch (const std::system_error& e) {
    return unexpected(e.code().value() != 0 ? e.code().value() : EAGAIN);
  }
  return watcher;
}

PressureWatcher::PressureWatcher(std::string path, std::chrono::milliseconds period, Notify notify,
                                 UniqueFd wake_fd)
    : path_(std::move(path)),
      period_(period),
      notify_(std::move(notify)),
      wake_fd_(std::move(wake_fd)) {}

PressureWatcher::~PressureWatcher() {
  if (!thread_.joinable()) return;
  const uint64_t one = 1;
  // An eventfd write fails only when the counter would overflow, which means
  // it is already readable; the thread sees the wake-up either way.
  (void)write_all(wake_fd_.get(), &one, sizeof(one));
  thread_.join();
}

void PressureWatcher::read_once() {
  const Result<std::string, int> text = read_small_file(path_.c_str());
  // A failed or garbled read leaves the level where it was; the next period
  // tries again.
  if (!text) return;
  if (const std::optional<uint64_t> bits = detector_.feed(*text)) notify_(*bits);
}

void PressureWatcher::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_read = Clock::now() + period_;
  for (;;) {
    const Clock::duration remaining = next_read - Clock::now();
    // Rounded up so the wait never ends just short of the deadline and spins
    // through a series of zero timeouts.
    const auto timeout_ms =
        std::max<int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(remaining).count());
    pollfd wake = {wake_fd_.get(), POLLIN, 0};
    const int ready = ::poll(&wake, 1, static_cast<int>(std::min<int64_t>(timeout_ms, 60'000)));
    wakeups_.fetch_add(1, std::memory_order_relaxed);
    if (ready < 0) {
      if (errno == EINTR) continue;
      // A wait that keeps failing would spin; ending the thread leaves the
      // readings to age into "stale", which is what they then are.
      return;
    }
    if (wake.revents != 0) return;

    const Clock::time_point now = Clock::now();
    if (now >= next_read) {
      next_read += period_;
      // After a long suspension, do not catch up with a burst of reads.
      if (next_read <= now) next_read = now + period_;
      read_once();
    }
  }
}

std::optional<uint64_t> monotonic_clock_ns() {
  timespec ts{};
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0 || ts.tv_sec < 0 || ts.tv_nsec < 0) {
    return std::nullopt;
  }
  const auto secs = static_cast<uint64_t>(ts.tv_sec);
  const auto nanos = static_cast<uint64_t>(ts.tv_nsec);
  if (secs > (kU64Max - nanos) / 1'000'000'000ULL) return std::nullopt;
  return secs * 1'000'000'000ULL + nanos;
}

Result<uint64_t, int> swap_used_bytes() {
  struct sysinfo info {};
  if (::sysinfo(&info) != 0) return unexpected(errno);
  const uint64_t total = info.totalswap;
  const uint64_t free = info.freeswap;
  const uint64_t unit = info.mem_unit;
  if (free > total) return unexpected(EINVAL);
  const uint64_t used = total - free;
  if (unit != 0 && used > kU64Max / unit) return unexpected(EOVERFLOW);
  return used * unit;
}

std::optional<VmPageCounts> parse_meminfo(std::string_view text, uint64_t page_size) {
  if (page_size == 0) return std::nullopt;
  std::optional<uint64_t> zswap_kb;
  std::optional<uint64_t> unevictable_kb;
  const bool ok = for_each_line(text, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view key = line.substr(0, colon);
    std::optional<uint64_t>* slot = nullptr;
    if (key == "Zswap") {
      slot = &zswap_kb;
    } else if (key == "Unevictable") {
      slot = &unevictable_kb;
    } else {
      return true;
    }
    if (*slot) return false;
    *slot = parse_kb_value(line.substr(colon + 1));
    return slot->has_value();
  });
  if (!ok || !unevictable_kb) return std::nullopt;
  const auto to_pages = [page_size](uint64_t kb) -> std::optional<uint64_t> {
    if (kb > kU64Max / 1024) return std::nullopt;
    return kb * 1024 / page_size;
  };
  const std::optional<uint64_t> compressor = to_pages(zswap_kb.value_or(0));
  const std::optional<uint64_t> wired = to_pages(*unevictable_kb);
  if (!compressor || !wired) return std::nullopt;
  return VmPageCounts{*compressor, *wired};
}

namespace {

Result<VmStatistics, int> vm_statistics_of(std::string_view meminfo) {
  errno = 0;
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (page_size <= 0) return unexpected(errno != 0 ? errno : EINVAL);
  const std::optional<VmPageCounts> pages =
      parse_meminfo(meminfo, static_cast<uint64_t>(page_size));
  if (!pages) return unexpected(EINVAL);
  return VmStatistics{static_cast<uint64_t>(page_size), *pages};
}

}  // namespace

Result<VmStatistics, int> read_vm_statistics(const char* meminfo_path) {
  const Result<std::string, int> text = read_small_file(meminfo_path);
  if (!text) return unexpected(text.error());
  return vm_statistics_of(*text);
}

Result<VmStatistics, int> VmStatisticsFile::read() {
  if (!fd_.valid()) {
    fd_.reset(::open(path_, O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) return unexpected(errno);
  }
  // /proc/meminfo is some 1.5 KiB. The kernel writes the whole file at a
  // read from offset 0 and hands out as much as fits, so a read that leaves
  // room in the buffer has it all; a bigger file is read to its end.
  char buffer[8192];
  ssize_t got = -1;
  do {
    got = ::pread(fd_.get(), buffer, sizeof buffer, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    const int error = errno;
    fd_.reset();
    return unexpected(error);
  }
  if (static_cast<std::size_t>(got) < sizeof buffer) {
    return vm_statistics_of(std::string_view(buffer, static_cast<std::size_t>(got)));
  }
  return read_vm_statistics(path_);
}

}  // namespace vek_guard::platform
