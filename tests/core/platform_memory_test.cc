#include "vek_guard/platform_memory.h"

#include <errno.h>
#include <stdio.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/file_state.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace vek_guard::platform {
namespace {

constexpr char kQuiet[] =
    "some avg10=0.00 avg60=0.00 avg300=0.00 total=0\n"
    "full avg10=0.00 avg60=0.00 avg300=0.00 total=0\n";
constexpr char kWarning[] =
    "some avg10=12.50 avg60=3.10 avg300=0.80 total=912345\n"
    "full avg10=1.25 avg60=0.10 avg300=0.00 total=12345\n";
constexpr char kCritical[] =
    "some avg10=40.00 avg60=20.00 avg300=5.00 total=99999999\n"
    "full avg10=7.00 avg60=2.00 avg300=1.00 total=5555555\n";

TEST(PsiParse, ReadsBothTenSecondAveragesAndRejectsAnythingElse) {
  EXPECT_EQ(parse_psi(kWarning), (PsiAverages{12.5, 1.25}));
  // Line order and a missing final line feed do not matter.
  EXPECT_EQ(parse_psi("full avg10=2.00 avg60=0 avg300=0 total=1\n"
                      "some avg10=3.00 avg60=0 avg300=0 total=1"),
            (PsiAverages{3.0, 2.0}));
  // Without a "full" line the level can reach warning but never critical.
  const auto some_only = parse_psi("some avg10=55.00 avg60=1.00 avg300=0.00 total=7\n");
  EXPECT_EQ(some_only, (PsiAverages{55.0, std::nullopt}));
  EXPECT_EQ(pressure_level_bits(*some_only), kPressureLevelWarning);

  // Among them: no "some" line, no avg10, signs, infinities and exponents the
  // kernel never prints, repeated lines and fields, fields without a name.
  for (const char* text :
       {"", "hello world\n", "full avg10=1.00 avg60=0 avg300=0 total=0\n",
        "some avg10=1.00 total=0\nsome avg10=2.00 total=0\n", "some avg60=1.00 total=0\n",
        "some avg10= avg60=0 total=0\n", "some avg10=abc total=0\n", "some avg10=-1.00 total=0\n",
        "some avg10=inf total=0\n", "some avg10=1e3 total=0\n", "some avg10=1.00 avg10=2.00\n",
        "some avg10=1.00 total\n", "some avg10=1.00 =5\n", "some\n",
        "some avg10=1.00 total=0\nfull avg10=x total=0\n"}) {
    EXPECT_EQ(parse_psi(text), std::nullopt) << "accepted: " << text;
  }
}

TEST(PressureChangeDetector, ThresholdsAreInclusiveAndOnlyChangesNotify) {
  EXPECT_EQ(pressure_level_bits({9.99, 4.99}), kPressureLevelNormal);
  EXPECT_EQ(pressure_level_bits({10.0, 4.99}), kPressureLevelWarning);
  EXPECT_EQ(pressure_level_bits({0.0, 5.0}), kPressureLevelCritical);
  EXPECT_EQ(pressure_level_bits({99.0, 50.0}), kPressureLevelCritical);

  PressureChangeDetector detector;
  // Normal is assumed before the first reading: a quiet system never notifies.
  EXPECT_EQ(detector.feed(kQuiet), std::nullopt);
  EXPECT_EQ(detector.feed(kWarning), kPressureLevelWarning);
  EXPECT_EQ(detector.feed(kWarning), std::nullopt);
  // An unreadable reading does not move the level.
  EXPECT_EQ(detector.feed("garbage"), std::nullopt);
  EXPECT_EQ(detector.current_level_bits(), kPressureLevelWarning);
  EXPECT_EQ(detector.feed(kCritical), kPressureLevelCritical);
  EXPECT_EQ(detector.feed(kQuiet), kPressureLevelNormal);
}

TEST(Meminfo, ConvertsKilobytesToWholePagesAndRejectsMalformedFiles) {
  EXPECT_EQ(parse_meminfo("MemTotal:       16384000 kB\n"
                          "Unevictable:       19392 kB\n"
                          "Zswap:              8192 kB\n"
                          "Zswapped:          40000 kB\n",
                          4096),
            (VmPageCounts{2048, 4848}));
  // A partial page is dropped, not rounded up; no Zswap line means no compressor.
  EXPECT_EQ(parse_meminfo("MemFree: 5 kB\nUnevictable: 6 kB\n", 4096), (VmPageCounts{0, 1}));
  EXPECT_EQ(parse_meminfo("Unevictable: 64 kB\nZswap: 64 kB", 65536), (VmPageCounts{1, 1}));

  for (const char* text :
       {"Zswap: 4 kB\n", "Unevictable: kB\n", "Unevictable: 12\n", "Unevictable: 12 MB\n",
        "Unevictable: -12 kB\n", "Unevictable: 12 kB\nUnevictable: 12 kB\n",
        "Unevictable: 12 kB\nZswap: x kB\n", "Unevictable: 99999999999999999999999 kB\n"}) {
    EXPECT_EQ(parse_meminfo(text, 4096), std::nullopt) << "accepted: " << text;
  }
  // Fits in kilobytes but not in bytes.
  const uint64_t big_kb = std::numeric_limits<uint64_t>::max() / 1024 + 1;
  EXPECT_EQ(parse_meminfo("Unevictable: " + std::to_string(big_kb) + " kB\n", 4096), std::nullopt);
  EXPECT_EQ(parse_meminfo("Unevictable: 12 kB\n", 0), std::nullopt);

  test_support::TempDir dir;
  ASSERT_TRUE(test_support::write_file(dir.file("meminfo"), "Unevictable: 40 kB\nZswap: 0 kB\n"));
  const auto stats = read_vm_statistics(dir.file("meminfo").c_str());
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->pages.wired_pages, 40 * 1024 / stats->page_size);
  EXPECT_EQ(read_vm_statistics(dir.file("absent").c_str()).error(), ENOENT);
  ASSERT_TRUE(test_support::write_file(dir.file("garbled"), "nothing useful\n"));
  EXPECT_EQ(read_vm_statistics(dir.file("garbled").c_str()).error(), EINVAL);

  // The parsers must accept what the running kernel actually prints.
  EXPECT_TRUE(read_vm_statistics().ok());
  EXPECT_TRUE(swap_used_bytes().ok());
  const auto first = monotonic_clock_ns();
  const auto second = monotonic_clock_ns();
  ASSERT_TRUE(first && second);
  EXPECT_LE(*first, *second);
}

// Replaces the file by a rename, so the watcher never reads half of it.
void publish(const std::string& path, const char* text) {
  ASSERT_TRUE(test_support::write_file(path + ".new", text));
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
}

TEST(PressureWatcher, ReportsChangesFromItsThreadUntilDropped) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  const auto ignore = [](uint64_t) {};
  EXPECT_EQ(
      PressureWatcher::start(dir.file("absent"), std::chrono::milliseconds(5), ignore).error(),
      ENOENT);
  publish(path, "not a pressure file\n");
  EXPECT_EQ(PressureWatcher::start(path, std::chrono::milliseconds(5), ignore).error(), EINVAL);
  publish(path, kWarning);
  EXPECT_FALSE(PressureWatcher::start(path, std::chrono::milliseconds(0), ignore).ok());

  std::mutex mutex;
  std::vector<uint64_t> seen;
  const auto arrived = [&](std::size_t count) {
    return test_support::eventually(
        [&] {
          const std::lock_guard<std::mutex> lock(mutex);
          return seen.size() >= count;
        },
        std::chrono::seconds(30));
  };
  {
    auto watcher = PressureWatcher::start(path, std::chrono::milliseconds(5), [&](uint64_t bits) {
      const std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(bits);
    });
    ASSERT_TRUE(watcher.ok());
    {
      // The first reading is reported before start returns.
      const std::lock_guard<std::mutex> lock(mutex);
      EXPECT_EQ(seen.size(), 1u);
    }
    publish(path, kCritical);
    ASSERT_TRUE(arrived(2));
    publish(path, "garbage\n");
    publish(path, kQuiet);
    ASSERT_TRUE(arrived(3));
  }
  // Dropping the watcher joined its thread, so the list is final.
  EXPECT_EQ(seen, (std::vector<uint64_t>{kPressureLevelWarning, kPressureLevelCritical,
                                         kPressureLevelNormal}));

  // With an hour between reads, returning from the destructor at all shows
  // that the thread was woken instead of waiting out its period.
  auto slow = PressureWatcher::start(path, std::chrono::hours(1), ignore);
  ASSERT_TRUE(slow.ok());
  slow->reset();
  // Where the system has pressure information, the real file works too.
  if (auto system = PressureWatcher::start(kPressureMemoryPath, kPressureReadPeriod, ignore);
      system.ok()) {
    system->reset();
  }
}

}  // namespace
}  // namespace vek_guard::platform
