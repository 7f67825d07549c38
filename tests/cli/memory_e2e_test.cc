// What a group is counted to hold, end to end: real jobs that hold GiBs the
// way forked workers, short-lived children, processes outside the group and
// huge pages make a group hold them, under the real program. These tests
// take a GiB or two each, so ctest runs them one at a time (see
// tests/CMakeLists.txt), never beside each other.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/e2e.h"
#include "support/file_state.h"
#include "support/memory_cgroup.h"
#include "support/subprocess.h"

namespace vek_guard::test_support {
namespace {

using nlohmann::json;
using std::chrono::seconds;

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kGiB = 1 << 30;
// The default sample interval, given explicitly.
constexpr std::string_view kDefaultInterval = "50ms";

std::string helper(std::string_view name) { return helper_path(VEK_GUARD_HELPER_DIR, name); }

std::string bytes(uint64_t value) { return std::to_string(value); }

int64_t monotonic_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// Runs `vek-guard MODE` with a report in `area`; `limit` only for run.
SubprocessResult supervise(const RunArea& area, std::string_view mode,
                           const std::vector<std::string>& command, const std::string& limit = "") {
  std::vector<std::string> argv = {VEK_GUARD_BINARY, std::string(mode)};
  if (!limit.empty()) argv.insert(argv.end(), {"--max-footprint", limit});
  argv.insert(argv.end(), {"--sample-interval", std::string(kDefaultInterval), "--report",
                           area.report_path(), "--"});
  argv.insert(argv.end(), command.begin(), command.end());
  SubprocessResult result = run_subprocess({.argv = argv}, seconds(60));
  EXPECT_FALSE(result.timed_out) << "the supervision did not end in time";
  return result;
}

uint64_t largest_aggregate(const json& report) {
  uint64_t largest = 0;
  for (const json& sample : report["samples"]) {
    largest = std::max(largest, sample["aggregate_footprint_bytes"].value("value", uint64_t{0}));
  }
  return largest;
}

uint64_t calibration_peak(const json& report) {
  return report["calibration"]["peak_aggregate_footprint_bytes"].value("value", uint64_t{0});
}

double mib(uint64_t value) { return static_cast<double>(value) / kMiB; }

// A pool of eight workers forked over a 1 GiB dataset its parent loaded,
// each keeping 50 MiB of its own: each worker's own reading counts the whole
// dataset, nine times 1 GiB in all, and their nine shares take longer to
// read than one pass may spend. Counted as the kernel counts it, it holds
// under 1.5 GiB: it runs under a 2 GiB limit, and observe's peak, from
// which a user picks a limit, is what a memory cgroup holding it peaked at.
TEST(MemoryE2e, APoolOfForkedWorkersIsCountedAsTheKernelCountsIt) {
  const std::vector<std::string> pool = {
      helper("memory"), "pool",           "--shared-bytes", bytes(kGiB), "--workers", "8",
      "--own-bytes",    bytes(50 * kMiB), "--hold-ms",      "2000"};
  {
    RunArea area;
    const SubprocessResult result = supervise(area, "run", pool, "2GiB");
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    const json report = published_report(area);
    EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{});
    EXPECT_LT(largest_aggregate(report), 2 * kGiB);
  }
  std::string why_not;
  std::optional<MemoryCgroup> cgroup = MemoryCgroup::create(&why_not);
  if (!cgroup) GTEST_SKIP() << "observe against the kernel's count: " << why_not;
  RunArea area;
  std::vector<std::string> joined = pool;
  joined.insert(joined.end(), {"--cgroup-procs", cgroup->procs_file()});
  const SubprocessResult result = supervise(area, "observe", joined);
  EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
  const uint64_t kernel = cgroup->peak_bytes().value_or(0);
  const uint64_t peak = calibration_peak(published_report(area));
  EXPECT_GE(kernel, kGiB + 8 * 50 * kMiB);
  EXPECT_GE(peak, kernel - kernel * 15 / 100) << mib(peak) << " MiB against " << mib(kernel);
  EXPECT_LE(peak, kernel + kernel * 15 / 100) << mib(peak) << " MiB against " << mib(kernel);
}

// A parent growing to 1.5 GiB while it keeps eight children of 20 ms alive:
// each child forked after a pass's listing takes a part of every shared page
// in the parent's proportional share, and is gone before anyone reads it. The
// parent stays counted whole: stopped within two samples of crossing the
// limit (SIGTERM, or SIGKILL at the band), and observe's peak is at least
// what it held.
TEST(MemoryE2e, ForkChurnHidesNothingOfTheParent) {
  const auto churn = [](const std::string& stamp) {
    return std::vector<std::string>{helper("memory"), "churn",
                                    "--grow-to",      bytes(kGiB + kGiB / 2),
                                    "--step",         bytes(64 * kMiB),
                                    "--children",     "8",
                                    "--child-ms",     "20",
                                    "--hold-ms",      "1000",
                                    "--crossing",     bytes(kGiB),
                                    "--stamp",        stamp};
  };
  {
    RunArea area;
    const int64_t launched_ns = monotonic_ns();
    const SubprocessResult result = supervise(area, "run", churn(area.file("crossed")), "1GiB");
    EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
    const json report = published_report(area);
    const std::vector<SignalRow> signals = signal_rows(report);
    ASSERT_FALSE(signals.empty());
    EXPECT_EQ(signals.front().reason, "footprint");
    const std::string crossed = read_file(area.file("crossed"));
    if (!crossed.empty()) {
      // The run's clock starts after this test's, so this is no earlier than
      // the crossing in the report's times.
      const uint64_t crossing_ms =
          static_cast<uint64_t>(std::stoll(crossed) - launched_ns) / 1'000'000;
      const uint64_t signal_ms = report["signals"][0]["at_ms"].get<uint64_t>();
      // A sample counts from its pass's start: the parent's reading is taken
      // first thing.
      int samples_after = 0;
      for (const json& sample : report["samples"]) {
        const uint64_t at = sample["captured_at_ms"].get<uint64_t>();
        const uint64_t started = at - std::min(at, sample["window_ms"].get<uint64_t>());
        if (started >= crossing_ms && at <= signal_ms) ++samples_after;
      }
      EXPECT_LE(samples_after, 2) << "crossed at " << crossing_ms << " ms, signalled at "
                                  << signal_ms << " ms";
    }
  }
  RunArea area;
  const SubprocessResult result = supervise(area, "observe", churn(area.file("crossed")));
  EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
  EXPECT_GE(calibration_peak(published_report(area)), 1400 * kMiB);
}

// The root writes 1 GiB of shared memory that one member and 31 processes
// that left the group map as well: the root's proportional share is a 33rd
// of it, but the group holds all of it.
TEST(MemoryE2e, TheRootStaysCountedWhoeverMapsItsMemory) {
  RunArea area;
  const SubprocessResult result =
      supervise(area, "run",
                {helper("memory"), "shared-root", "--bytes", bytes(kGiB), "--readers", "31",
                 "--step", bytes(32 * kMiB)},
                "256MiB");
  EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
  const json report = published_report(area);
  const std::vector<SignalRow> signals = signal_rows(report);
  ASSERT_FALSE(signals.empty());
  EXPECT_EQ(signals.front().reason, "footprint");
  EXPECT_EQ(report["escape"]["escaped_count"], 31);
}

// 500 MiB and four workers forked from it: each worker shows all of it as
// its own until it writes to it, 2.5 GiB in all, far past the emergency
// band. Near the limit the family is counted by what it holds: 500 MiB,
// while the workers idle, in every sample. Once each writes its own copy
// the group holds 2.5 GiB, and is stopped. The interval leaves a busy
// machine room to read the shares well within the sample window.
TEST(MemoryE2e, ForkedWorkersAreCountedByWhatTheyHoldTogether) {
  constexpr uint64_t kHeld = 500 * kMiB;
  for (const bool write : {false, true}) {
    SCOPED_TRACE(write ? "each worker writes its copy" : "idle workers");
    RunArea area;
    const std::string idle = area.file("idle");
    const SubprocessResult result = run_subprocess(
        {.argv = run_argv(
             VEK_GUARD_BINARY, area.report_path(),
             {.max_footprint = "1GiB",
              .sample_interval = "500ms",
              .command = {helper("actor"), "fork", "--bytes", bytes(kHeld), "--workers", "4",
                          "--idle-ms", "1500", "--write", write ? "1" : "0", "--stamp", idle}})},
        seconds(60));
    EXPECT_TRUE(exists(idle)) << "stopped while the workers were idle";
    const json report = published_report(area);
    if (write) {
      EXPECT_EQ(result.exit_code, 75);
      const std::vector<SignalRow> signals = signal_rows(report);
      ASSERT_FALSE(signals.empty());
      EXPECT_EQ(signals.back().reason, "footprint");
      continue;
    }
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(signal_rows(report), std::vector<SignalRow>{});
    EXPECT_GE(largest_aggregate(report), kHeld - kHeld / 10);
    EXPECT_LE(largest_aggregate(report), kHeld + kHeld / 10);
  }
}

// The machine's pool of huge pages, grown for one test and given back.
class HugePages {
 public:
  // Room for `bytes` more of huge pages, or nothing (why in `*why_not`).
  static std::optional<HugePages> reserve(uint64_t bytes, std::string* why_not) {
    const uint64_t page = huge_page_bytes();
    const std::optional<uint64_t> before = pages();
    if (::geteuid() != 0 || page == 0 || !before) {
      *why_not = "raising nr_hugepages needs root and a kernel with huge pages";
      return std::nullopt;
    }
    HugePages reserved(*before);
    const uint64_t wanted = *before + (bytes + page - 1) / page;
    if (!set_pages(wanted) || pages().value_or(0) < wanted) {
      *why_not = "the kernel could not find " + std::to_string(bytes / kMiB) + " MiB of huge pages";
      return std::nullopt;
    }
    return reserved;
  }
  HugePages(HugePages&& other) noexcept : before_(std::exchange(other.before_, std::nullopt)) {}
  HugePages& operator=(HugePages&&) = delete;
  ~HugePages() {
    if (before_) set_pages(*before_);
  }

 private:
  static constexpr const char* kPages = "/proc/sys/vm/nr_hugepages";

  explicit HugePages(uint64_t before) : before_(before) {}

  static uint64_t huge_page_bytes() {
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
      if (line.starts_with("Hugepagesize:")) return std::stoull(line.substr(13)) * 1024;
    }
    return 0;
  }
  static std::optional<uint64_t> pages() {
    std::ifstream in(kPages);
    uint64_t count = 0;
    if (!(in >> count)) return std::nullopt;
    return count;
  }
  static bool set_pages(uint64_t count) {
    std::ofstream out(kPages);
    out << count << "\n";
    out.flush();
    return static_cast<bool>(out);
  }

  std::optional<uint64_t> before_;
};

// Huge pages are in none of the counters of anonymous, shared or swapped
// memory: 64 MiB of them are counted whole, and stopped under a 48 MiB
// limit.
TEST(MemoryE2e, HugePagesAreCounted) {
  std::string why_not;
  const std::optional<HugePages> reserved = HugePages::reserve(64 * kMiB, &why_not);
  if (!reserved) GTEST_SKIP() << why_not;
  const std::vector<std::string> huge = {helper("memory"), "huge",      "--bytes",
                                         bytes(64 * kMiB), "--hold-ms", "500"};
  {
    RunArea area;
    const SubprocessResult result = supervise(area, "observe", huge);
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_GE(calibration_peak(published_report(area)), 64 * kMiB);
  }
  RunArea area;
  const SubprocessResult result = supervise(area, "run", huge, "48MiB");
  EXPECT_EQ(result.exit_code, 75) << result.stderr_text;
  const std::vector<SignalRow> signals = signal_rows(published_report(area));
  ASSERT_FALSE(signals.empty());
  EXPECT_EQ(signals.front().reason, "footprint");
}

}  // namespace
}  // namespace vek_guard::test_support
