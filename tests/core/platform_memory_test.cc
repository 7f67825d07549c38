#include "vek_guard/platform_memory.h"

#include <errno.h>
#include <stdio.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

TEST(PsiParse, ReadsBothTenSecondAverages) {
  EXPECT_EQ(parse_psi(kWarning), (PsiAverages{12.5, 1.25}));
  EXPECT_EQ(parse_psi(kQuiet), (PsiAverages{0.0, 0.0}));
  // Order of the lines and a missing final line feed do not matter.
  EXPECT_EQ(parse_psi("full avg10=2.00 avg60=0 avg300=0 total=1\n"
                      "some avg10=3.00 avg60=0 avg300=0 total=1"),
            (PsiAverages{3.0, 2.0}));
}

TEST(PsiParse, MissingFullLineLeavesFullAbsent) {
  const auto averages = parse_psi("some avg10=55.00 avg60=1.00 avg300=0.00 total=7\n");
  ASSERT_TRUE(averages.has_value());
  EXPECT_EQ(averages->some_avg10, 55.0);
  EXPECT_FALSE(averages->full_avg10.has_value());
  // Without "full" the level can reach warning but never critical.
  EXPECT_EQ(pressure_level_bits(*averages), kPressureLevelWarning);
}

TEST(PsiParse, RejectsGarbage) {
  const char* const bad[] = {
      "",
      "\n",
      "hello world\n",
      "full avg10=1.00 avg60=0 avg300=0 total=0\n",  // no "some" line
      "some avg10=1.00 total=0\nsome avg10=2.00 total=0\n",
      "some avg60=1.00 avg300=0.00 total=0\n",  // no avg10
      "some avg10= avg60=0 total=0\n",
      "some avg10=abc avg60=0 total=0\n",
      "some avg10=-1.00 avg60=0 total=0\n",
      "some avg10=inf avg60=0 total=0\n",
      "some avg10=nan avg60=0 total=0\n",
      "some avg10=1e3 avg60=0 total=0\n",
      "some avg10=1.00 avg10=2.00 total=0\n",
      "some avg10=1.00 total\n",
      "some avg10=1.00 =5\n",
      "some\n",
      "some avg10=1.00 total=0\nweird avg10=1.00\n",
      "some avg10=1.00 total=0\nfull avg10=x total=0\n",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(parse_psi(text).has_value()) << "accepted: " << text;
  }
}

TEST(PsiLevel, ThresholdsAreInclusiveAndCriticalWins) {
  EXPECT_EQ(pressure_level_bits({0.0, 0.0}), kPressureLevelNormal);
  EXPECT_EQ(pressure_level_bits({9.99, 4.99}), kPressureLevelNormal);
  EXPECT_EQ(pressure_level_bits({10.0, 4.99}), kPressureLevelWarning);
  EXPECT_EQ(pressure_level_bits({0.0, 5.0}), kPressureLevelCritical);
  EXPECT_EQ(pressure_level_bits({99.0, 50.0}), kPressureLevelCritical);
}

TEST(PressureChangeDetector, NotifiesOnlyWhenTheLevelChanges) {
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
  EXPECT_EQ(detector.feed(kQuiet), std::nullopt);
}

TEST(Meminfo, ConvertsKilobytesToPages) {
  constexpr char kText[] =
      "MemTotal:       16384000 kB\n"
      "Unevictable:       19392 kB\n"
      "Mlocked:               0 kB\n"
      "Zswap:              8192 kB\n"
      "Zswapped:          40000 kB\n";
  EXPECT_EQ(parse_meminfo(kText, 4096), (VmPageCounts{2048, 4848}));
  // A partial page is dropped, not rounded up.
  EXPECT_EQ(parse_meminfo("Unevictable: 6 kB\n", 4096), (VmPageCounts{0, 1}));
  EXPECT_EQ(parse_meminfo("Unevictable: 64 kB\nZswap: 64 kB", 65536), (VmPageCounts{1, 1}));
}

TEST(Meminfo, MissingZswapMeansNoCompressor) {
  EXPECT_EQ(parse_meminfo("MemFree: 5 kB\nUnevictable: 8 kB\n", 4096), (VmPageCounts{0, 2}));
}

TEST(Meminfo, RejectsMissingOrMalformedValues) {
  const uint64_t big_kb = std::numeric_limits<uint64_t>::max() / 1024 + 1;
  const std::string overflow = "Unevictable: " + std::to_string(big_kb) + " kB\n";
  const std::string bad[] = {
      "",
      "Zswap: 4 kB\n",  // no Unevictable
      "Unevictable: kB\n",
      "Unevictable: 12\n",
      "Unevictable: 12 MB\n",
      "Unevictable: -12 kB\n",
      "Unevictable: 12 kB\nUnevictable: 12 kB\n",
      "Unevictable: 12 kB\nZswap: x kB\n",
      "Unevictable: 99999999999999999999999 kB\n",
      overflow,
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(parse_meminfo(text, 4096).has_value()) << "accepted: " << text;
  }
  EXPECT_FALSE(parse_meminfo("Unevictable: 12 kB\n", 0).has_value());
}

TEST(Meminfo, ReadsTheFileItIsGiven) {
  test_support::TempDir dir;
  const std::string path = dir.file("meminfo");
  std::ofstream(path) << "Unevictable: 40 kB\nZswap: 0 kB\n";
  const auto stats = read_vm_statistics(path.c_str());
  ASSERT_TRUE(stats.ok());
  EXPECT_GT(stats->page_size, 0U);
  EXPECT_EQ(stats->pages.wired_pages, 40 * 1024 / stats->page_size);

  const auto missing = read_vm_statistics(dir.file("absent").c_str());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);

  std::ofstream(dir.file("garbled")) << "nothing useful\n";
  const auto garbled = read_vm_statistics(dir.file("garbled").c_str());
  ASSERT_FALSE(garbled.ok());
  EXPECT_EQ(garbled.error(), EINVAL);
}

TEST(Meminfo, ThisSystemParses) {
  // The parser must accept what the running kernel actually prints.
  EXPECT_TRUE(read_vm_statistics().ok());
  EXPECT_TRUE(swap_used_bytes().ok());
}

// Writes a PSI text into `path` atomically (rename), so the watcher never
// reads half a file.
void publish(const std::string& path, const char* text) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary);
    out << text;
  }
  ASSERT_EQ(::rename(temporary.c_str(), path.c_str()), 0);
}

// Collects notifications from the watcher thread.
class Recorder {
 public:
  void add(uint64_t bits) {
    const std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(bits);
  }
  std::vector<uint64_t> seen() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // Waits (bounded) until `count` notifications have arrived.
  bool wait_for(std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (seen().size() >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<uint64_t> seen_;
};

TEST(PressureWatcher, RefusesAFileItCannotUse) {
  test_support::TempDir dir;
  const auto missing = PressureWatcher::start(dir.file("absent"), std::chrono::milliseconds(5),
                                              [](uint64_t) {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error(), ENOENT);

  publish(dir.file("psi"), "not a pressure file\n");
  const auto garbled = PressureWatcher::start(dir.file("psi"), std::chrono::milliseconds(5),
                                              [](uint64_t) {});
  ASSERT_FALSE(garbled.ok());
  EXPECT_EQ(garbled.error(), EINVAL);

  publish(dir.file("psi"), kQuiet);
  EXPECT_FALSE(
      PressureWatcher::start(dir.file("psi"), std::chrono::milliseconds(0), [](uint64_t) {})
          .ok());
}

TEST(PressureWatcher, ReportsChangesFromItsThreadAndStopsWhenDropped) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  publish(path, kWarning);
  Recorder recorder;
  {
    auto watcher = PressureWatcher::start(path, std::chrono::milliseconds(5),
                                          [&recorder](uint64_t bits) { recorder.add(bits); });
    ASSERT_TRUE(watcher.ok());
    // The first reading is reported before start returns.
    EXPECT_EQ(recorder.seen(), std::vector<uint64_t>{kPressureLevelWarning});

    publish(path, kCritical);
    ASSERT_TRUE(recorder.wait_for(2));
    publish(path, "garbage\n");
    publish(path, kQuiet);
    ASSERT_TRUE(recorder.wait_for(3));
  }
  // The destructor has joined the thread: nothing arrives any more.
  const std::vector<uint64_t> expected{kPressureLevelWarning, kPressureLevelCritical,
                                       kPressureLevelNormal};
  EXPECT_EQ(recorder.seen(), expected);
  publish(path, kCritical);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(recorder.seen(), expected);
}

TEST(PressureWatcher, DropsPromptlyWithALongPeriod) {
  // With an hour between reads, returning from the destructor at all shows
  // that the thread was woken instead of waiting out its period.
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  publish(path, kQuiet);
  auto watcher = PressureWatcher::start(path, std::chrono::hours(1), [](uint64_t) {});
  ASSERT_TRUE(watcher.ok());
  watcher->reset();
}

TEST(PressureWatcher, RunsOnTheSystemPressureFile) {
  auto watcher = PressureWatcher::start(kPressureMemoryPath, kPressureReadPeriod, [](uint64_t) {});
  if (!watcher.ok()) GTEST_SKIP() << "no pressure information on this system";
  watcher->reset();
}

TEST(MonotonicClock, ReadsForwards) {
  const auto first = monotonic_clock_ns();
  const auto second = monotonic_clock_ns();
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(second.has_value());
  EXPECT_LE(*first, *second);
}

}  // namespace
}  // namespace vek_guard::platform
