#include "vek_guard/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::TempDir;
using test_support::write_file;

class DirFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_fd_.reset(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir_fd_.valid());
  }
  int dir() const { return dir_fd_.get(); }

  TempDir dir_;
  UniqueFd dir_fd_;
};

// The other kinds' messages are checked where the command line prints them.
TEST(StorageError, MessagesLeaveOutTheOsError) {
  for (const auto& [kind, message] :
       {std::pair{StorageErrorKind::JournalCreateFailed, "journal target creation failed"},
        std::pair{StorageErrorKind::SyncFailed, "artifact synchronization failed"},
        std::pair{StorageErrorKind::ReadFailed, "artifact read failed"},
        std::pair{StorageErrorKind::InvalidRecord, "journal record is invalid"},
        std::pair{StorageErrorKind::FinalReportFailed, "final report creation failed"}}) {
    EXPECT_EQ(storage_error(kind, EIO).message(), message);
  }
}

using CheckOutputTarget = DirFixture;

// Links, fifos and the rest of the planted entries are run end to end in the
// command line's security tests.
TEST_F(CheckOutputTarget, AcceptsOnlyAFreeNameOrTheUsersOwnPrivateFile) {
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  // Sticky and set-id bits do not make a private file public.
  ASSERT_TRUE(write_file(dir_.file("r.json"), "old", 01600));
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  ASSERT_TRUE(write_file(dir_.file("public"), "x", 0644));
  ASSERT_EQ(::mkdir(dir_.file("dir").c_str(), 0700), 0);
  for (const char* name : {"public", "dir"}) {
    EXPECT_EQ(check_output_target(dir(), name).error(),
              storage_error(StorageErrorKind::UnsafeTarget))
        << name;
  }
  // A path through a regular file cannot be looked at: not a free name.
  EXPECT_EQ(check_output_target(dir(), "public/r.json").error(),
            storage_error(StorageErrorKind::UnsafeTarget, ENOTDIR));
  EXPECT_EQ(check_output_target(dir(), std::string("r\0json", 6)).error(),
            storage_error(StorageErrorKind::InvalidTarget));
}

using ReportTemp = DirFixture;

TEST_F(ReportTemp, IsPrivateWhateverTheUmaskAndANameWithANulIsRefused) {
  const mode_t old_umask = ::umask(0);
  auto fd = create_report_temp(dir(), ".r.json.tmp");
  ::umask(old_umask);
  ASSERT_TRUE(fd.ok());
  EXPECT_EQ(*file_mode(dir_.file(".r.json.tmp")), 0600u);
  // The system call would cut the name short at the NUL.
  EXPECT_EQ(create_report_temp(dir(), std::string("a\0b", 3)).error(),
            storage_error(StorageErrorKind::InvalidTarget));
  EXPECT_EQ(rename_in_dir(dir(), std::string(".r.json.tmp\0", 12), dir(), "c"), EINVAL);
}

// Failures are passed on as the publication table below shows.
TEST(WriteAll, SurvivesShortAndInterruptedWritesAndSyncs) {
  TempDir dir;
  const UniqueFd fd(::open(dir.file("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  FaultyFileIo io;
  io.dribble_writes();
  io.interrupt_syncs(3);
  EXPECT_EQ(write_all(io, fd.get(), "hello"), 0);
  EXPECT_EQ(full_sync(io, fd.get()), 0);
  EXPECT_EQ(io.sync_calls(), 4);
  EXPECT_EQ(*file_contents(dir.file("f")), "hello");
}

using Publish = DirFixture;

// Before the rename every failure leaves the old report and removes the
// temporary file; after it only the directory sync can fail, and the new
// report stays. A stale temporary file is neither used nor removed.
TEST_F(Publish, ReplacesInOneStepAndEveryFailureLeavesOneWholeReport) {
  using Arrange = void (*)(FaultyFileIo&);
  const struct {
    const char* what;
    Arrange arrange;  // null: a stale temporary file is there
    std::optional<StorageError> error;
    const char* report_after;
  } rows[] = {
      {"write", [](FaultyFileIo& io) { io.fail_writes_after(0, ENOSPC); },
       storage_error(StorageErrorKind::FinalReportFailed, ENOSPC), "old"},
      {"sync", [](FaultyFileIo& io) { io.fail_syncs_after(0, EIO); },
       storage_error(StorageErrorKind::FinalReportFailed, EIO), "old"},
      {"rename", [](FaultyFileIo& io) { io.fail_renames(EXDEV); },
       storage_error(StorageErrorKind::FinalReportFailed, EXDEV), "old"},
      {"directory sync", [](FaultyFileIo& io) { io.fail_syncs_after(1, EIO); },
       storage_error(StorageErrorKind::SyncFailed, EIO), "new"},
      // A failed call that leaves no errno is still a failure.
      {"write without errno", [](FaultyFileIo& io) { io.fail_writes_after(0, 0); },
       storage_error(StorageErrorKind::FinalReportFailed, EIO), "old"},
      {"sync without errno", [](FaultyFileIo& io) { io.fail_syncs_after(0, 0); },
       storage_error(StorageErrorKind::FinalReportFailed, EIO), "old"},
      {"rename without errno", [](FaultyFileIo& io) { io.fail_renames_without_errno(); },
       storage_error(StorageErrorKind::FinalReportFailed, EIO), "old"},
      {"stale temporary", nullptr, storage_error(StorageErrorKind::UnsafeTarget, EEXIST), "old"},
      {"none", [](FaultyFileIo&) {}, std::nullopt, "new"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(write_file(dir_.file("r.json"), "old"));
    FaultyFileIo io;
    if (row.arrange) {
      row.arrange(io);
    } else {
      ASSERT_TRUE(write_file(dir_.file(".r.json.tmp"), "stale"));
    }
    const auto published = publish_atomically(io, dir(), ".r.json.tmp", "r.json", "new");
    EXPECT_EQ(published.ok() ? std::nullopt : std::optional(published.error()), row.error);
    EXPECT_EQ(*file_contents(dir_.file("r.json")), row.report_after);
    EXPECT_EQ(file_contents(dir_.file(".r.json.tmp")),
              row.arrange ? std::nullopt : std::optional<std::string>("stale"));
    ::unlink(dir_.file(".r.json.tmp").c_str());
  }
}

}  // namespace
}  // namespace vek_guard
