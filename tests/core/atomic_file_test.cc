#include "vek_guard/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/temp_dir.h"

namespace vek_guard {
namespace {

using test_support::exists;
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

TEST(StorageError, MessagesAreFixedAndLeaveOutTheOsError) {
  // In index order, which is part of the contract.
  const std::pair<StorageErrorKind, std::string_view> expected[] = {
      {StorageErrorKind::InvalidTarget, "artifact target path is invalid"},
      {StorageErrorKind::DirectoryNotPrivate, "artifact directory is not private and owned"},
      {StorageErrorKind::JournalExists, "journal target already exists"},
      {StorageErrorKind::JournalCreateFailed, "journal target creation failed"},
      {StorageErrorKind::WriteFailed, "artifact write failed"},
      {StorageErrorKind::SyncFailed, "artifact synchronization failed"},
      {StorageErrorKind::ReadFailed, "artifact read failed"},
      {StorageErrorKind::InvalidRecord, "journal record is invalid"},
      {StorageErrorKind::UnsafeTarget, "artifact output target is unsafe"},
      {StorageErrorKind::FinalReportFailed, "final report creation failed"},
  };
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(static_cast<size_t>(expected[i].first), i);
    EXPECT_EQ(storage_error(expected[i].first, EIO).message(), expected[i].second);
  }
}

using CheckOutputTarget = DirFixture;

TEST_F(CheckOutputTarget, AcceptsOnlyAFreeNameOrTheUsersOwnPrivateFile) {
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  ASSERT_TRUE(write_file(dir_.file("r.json"), "old"));
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  // Set-id and sticky bits do not make a private file public.
  ASSERT_EQ(::chmod(dir_.file("r.json").c_str(), 01600), 0);
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());

  ASSERT_TRUE(write_file(dir_.file("public"), "x", 0644));
  ASSERT_TRUE(write_file(dir_.file("readonly"), "x", 0400));
  ASSERT_EQ(::mkdir(dir_.file("dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink("r.json", dir_.file("link").c_str()), 0);
  ASSERT_EQ(::symlink("missing", dir_.file("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  for (const char* name : {"public", "readonly", "dir", "link", "dangling", "fifo"}) {
    EXPECT_EQ(check_output_target(dir(), name).error(),
              storage_error(StorageErrorKind::UnsafeTarget))
        << name;
  }
  EXPECT_EQ(*file_mode(dir_.file("public")), 0644u);
  // A path through a regular file cannot be looked at: ENOTDIR, not "free".
  EXPECT_EQ(check_output_target(dir(), "public/r.json").error(),
            storage_error(StorageErrorKind::UnsafeTarget, ENOTDIR));
  EXPECT_EQ(check_output_target(dir(), std::string("r\0json", 6)).error(),
            storage_error(StorageErrorKind::InvalidTarget));

  if (!test_support::give_to_other_user(dir_.file("r.json"))) {
    GTEST_SKIP() << "cannot hand a file to another user here";
  }
  EXPECT_EQ(check_output_target(dir(), "r.json").error(),
            storage_error(StorageErrorKind::UnsafeTarget));
}

using ReportTemp = DirFixture;

TEST_F(ReportTemp, IsCreatedPrivateAndNeverReusesAnExistingNameOrFollowsALink) {
  const mode_t old_umask = ::umask(0);
  auto fd = create_report_temp(dir(), ".r.json.tmp");
  ::umask(old_umask);
  ASSERT_TRUE(fd.ok());
  EXPECT_EQ(*file_mode(dir_.file(".r.json.tmp")), 0600u);

  ASSERT_EQ(::symlink("elsewhere", dir_.file(".l.tmp").c_str()), 0);
  for (const char* name : {".r.json.tmp", ".l.tmp"}) {
    EXPECT_EQ(create_report_temp(dir(), name).error(),
              storage_error(StorageErrorKind::UnsafeTarget, EEXIST))
        << name;
  }
  EXPECT_FALSE(exists(dir_.file("elsewhere")));
  EXPECT_EQ(create_report_temp(dir(), "missing/x").error(),
            storage_error(StorageErrorKind::FinalReportFailed, ENOENT));
  // A name with a NUL would be cut short by the system call.
  EXPECT_EQ(create_report_temp(dir(), std::string("a\0b", 3)).error(),
            storage_error(StorageErrorKind::InvalidTarget));
  EXPECT_EQ(rename_in_dir(dir(), std::string(".r.json.tmp\0", 12), dir(), "c"), EINVAL);
  unlink_in_dir(dir(), std::string(".r.json.tmp\0", 12));
  EXPECT_TRUE(exists(dir_.file(".r.json.tmp")));
}

TEST(WriteAll, SurvivesShortAndInterruptedWrites) {
  TempDir dir;
  const UniqueFd fd(::open(dir.file("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  FaultyFileIo io;
  io.dribble_writes();
  EXPECT_EQ(write_all(io, fd.get(), "hello"), 0);
  EXPECT_EQ(io.write_calls(), 10);
  io.interrupt_syncs(3);
  EXPECT_EQ(full_sync(io, fd.get()), 0);
  EXPECT_EQ(io.sync_calls(), 4);
  EXPECT_EQ(*file_contents(dir.file("f")), "hello");
  io.fail_writes_after(0, ENOSPC);
  EXPECT_EQ(write_all(io, fd.get(), "more"), ENOSPC);
  io.fail_syncs_after(0, EIO);
  EXPECT_EQ(full_sync(io, fd.get()), EIO);
}

using Publish = DirFixture;

// Before the rename every failure leaves the old report and removes the
// temporary file; after it only the directory sync can fail, and the new
// report stays. A stale temporary file is neither used nor removed.
TEST_F(Publish, ReplacesInOneStepAndEveryFailureLeavesOneWholeReport) {
  struct Row {
    const char* what;
    std::function<void(FaultyFileIo&)> arrange;
    std::optional<StorageError> error;
    const char* report_after;
  };
  const Row rows[] = {
      {"write", [](FaultyFileIo& io) { io.fail_writes_after(0, ENOSPC); },
       storage_error(StorageErrorKind::FinalReportFailed, ENOSPC), "old"},
      {"sync", [](FaultyFileIo& io) { io.fail_syncs_after(0, EIO); },
       storage_error(StorageErrorKind::FinalReportFailed, EIO), "old"},
      {"rename", [](FaultyFileIo& io) { io.fail_renames(EXDEV); },
       storage_error(StorageErrorKind::FinalReportFailed, EXDEV), "old"},
      {"directory sync", [](FaultyFileIo& io) { io.fail_syncs_after(1, EIO); },
       storage_error(StorageErrorKind::SyncFailed, EIO), "new"},
      {"stale temporary", nullptr, storage_error(StorageErrorKind::UnsafeTarget, EEXIST), "old"},
      {"none", [](FaultyFileIo&) {}, std::nullopt, "new"},
  };
  for (const Row& row : rows) {
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
