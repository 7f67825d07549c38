#include "vek_guard/platform_memory.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "support/file_state.h"
#include "support/temp_dir.h"

namespace vek_guard::platform {
namespace {

constexpr char kWarning[] =
    "some avg10=12.50 avg60=3.10 avg300=0.80 total=912345\n"
    "full avg10=1.25 avg60=0.10 avg300=0.00 total=12345\n";

TEST(PsiParse, ReadsBothTenSecondAveragesAndRejectsAnythingElse) {
  EXPECT_EQ(parse_psi(kWarning), (PsiAverages{12.5, 1.25}));
  // Without a "full" line the level can reach warning but never critical.
  EXPECT_EQ(parse_psi("some avg10=55.00 avg60=1.00 avg300=0.00 total=7"),
            (PsiAverages{55.0, std::nullopt}));
  for (const char* text :
       {"", "full avg10=1.00 avg60=0 avg300=0 total=0\n", "some avg60=1.00 total=0\n",
        "some avg10=abc total=0\n", "some avg10=-1.00 total=0\n",
        "some avg10=1.00 total=0\nsome avg10=2.00 total=0\n", "some avg10=1.00 avg10=2.00\n",
        "some avg10=1.00 total=0\nfull avg10=x total=0\n"}) {
    EXPECT_EQ(parse_psi(text), std::nullopt) << "accepted: " << text;
  }
}

TEST(PressureChangeDetector, ThresholdsAreInclusiveAndOnlyChangesNotify) {
  EXPECT_EQ(pressure_level_bits({9.99, 4.99}), kPressureLevelNormal);
  EXPECT_EQ(pressure_level_bits({10.0, std::nullopt}), kPressureLevelWarning);
  EXPECT_EQ(pressure_level_bits({0.0, 5.0}), kPressureLevelCritical);

  PressureChangeDetector detector;
  // Normal is assumed before the first reading: a quiet system never notifies.
  EXPECT_EQ(detector.feed("some avg10=0.00 total=0\n"), std::nullopt);
  EXPECT_EQ(detector.feed(kWarning), kPressureLevelWarning);
  EXPECT_EQ(detector.feed(kWarning), std::nullopt);
  EXPECT_EQ(detector.feed("garbage"), std::nullopt);
  EXPECT_EQ(detector.current_level_bits(), kPressureLevelWarning);
}

TEST(Meminfo, ConvertsKilobytesToWholePagesAndRejectsMalformedFiles) {
  EXPECT_EQ(parse_meminfo("MemTotal: 16384000 kB\nUnevictable: 19392 kB\nZswap: 8192 kB\n", 4096),
            (VmPageCounts{2048, 4848}));
  // A partial page is dropped, not rounded up; no Zswap line means no compressor.
  EXPECT_EQ(parse_meminfo("Unevictable: 6 kB\n", 4096), (VmPageCounts{0, 1}));
  // The last one fits in kilobytes (2^54) but not in bytes.
  for (const char* text :
       {"Zswap: 4 kB\n", "Unevictable: 12 MB\n", "Unevictable: 12 kB\nUnevictable: 12 kB\n",
        "Unevictable: 18014398509481984 kB\n"}) {
    EXPECT_EQ(parse_meminfo(text, 4096), std::nullopt) << "accepted: " << text;
  }
  EXPECT_EQ(parse_meminfo("Unevictable: 12 kB\n", 0), std::nullopt);

  test_support::TempDir dir;
  ASSERT_TRUE(test_support::write_file(dir.file("garbled"), "nothing useful\n"));
  EXPECT_EQ(read_vm_statistics(dir.file("garbled").c_str()).error(), EINVAL);
}

// The kept file is read again from its start each time, whatever its size,
// and opened again after it could not be read.
TEST(Meminfo, AKeptFileIsReadAfreshEachTime) {
  test_support::TempDir dir;
  const std::string path = dir.file("meminfo");
  VmStatisticsFile file(path.c_str());
  EXPECT_EQ(file.read().error(), ENOENT);
  ASSERT_TRUE(test_support::write_file(path, "Unevictable: 8 kB\n"));
  EXPECT_EQ(file.read()->pages, (VmPageCounts{0, 2}));
  // Longer than one read's buffer: the rest is read to the end.
  const std::string padding(20000, 'x');
  ASSERT_TRUE(test_support::write_file(path, "Pad: " + padding + "\nUnevictable: 16 kB\n"));
  EXPECT_EQ(file.read()->pages, (VmPageCounts{0, 4}));
}

// Readings taken on the thread are checked through the advisory monitor.
TEST(PressureWatcher, RejectsBadFilesReportsTheFirstReadingAndWakesToStop) {
  test_support::TempDir dir;
  const std::string path = dir.file("psi");
  std::atomic<uint64_t> seen{0};
  const auto notify = [&](uint64_t bits) { seen.store(bits); };
  const std::chrono::hours hour(1);
  EXPECT_EQ(PressureWatcher::start(path, hour, notify).error(), ENOENT);
  ASSERT_TRUE(test_support::write_file(path, "not a pressure file\n"));
  EXPECT_EQ(PressureWatcher::start(path, hour, notify).error(), EINVAL);
  ASSERT_TRUE(test_support::write_file(path, kWarning));
  EXPECT_FALSE(PressureWatcher::start(path, std::chrono::milliseconds(0), notify).ok());

  auto watcher = PressureWatcher::start(path, hour, notify);
  ASSERT_TRUE(watcher.ok());
  EXPECT_EQ(seen.load(), kPressureLevelWarning);
  // With an hour between reads, returning from the destructor at all shows
  // that the thread was woken instead of waiting out its period.
  watcher->reset();
}

}  // namespace
}  // namespace vek_guard::platform
