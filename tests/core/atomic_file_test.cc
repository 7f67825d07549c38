#include "vek_guard/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <utility>

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
  // The table is in index order, which is part of the contract.
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& [kind, message] = expected[i];
    EXPECT_EQ(static_cast<size_t>(kind), i);
    EXPECT_EQ(storage_error(kind, EIO).message(), message);
  }
}

TEST(HiddenSiblingName, PutsADotBeforeAndTheSuffixAfter) {
  EXPECT_EQ(*hidden_sibling_name("r.json", ".journal"), ".r.json.journal");
  EXPECT_EQ(*hidden_sibling_name("r.json", ".tmp"), ".r.json.tmp");
  EXPECT_EQ(*hidden_sibling_name(".x", ""), "..x");
}

using CheckOutputTarget = DirFixture;

TEST_F(CheckOutputTarget, AcceptsAFreeNameAndTheUsersOwnPrivateFile) {
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  ASSERT_TRUE(write_file(dir_.file("r.json"), "old"));
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
  // Set-id and sticky bits do not make a private file public.
  ASSERT_EQ(::chmod(dir_.file("r.json").c_str(), 01600), 0);
  EXPECT_TRUE(check_output_target(dir(), "r.json").ok());
}

TEST_F(CheckOutputTarget, RefusesEverythingElseWithoutTouchingIt) {
  ASSERT_TRUE(write_file(dir_.file("public"), "x", 0644));
  ASSERT_TRUE(write_file(dir_.file("readonly"), "x", 0400));
  ASSERT_EQ(::mkdir(dir_.file("dir").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(dir_.file("target"), "x"));
  ASSERT_EQ(::symlink("target", dir_.file("link").c_str()), 0);
  ASSERT_EQ(::symlink("missing", dir_.file("dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
  for (const char* name : {"public", "readonly", "dir", "link", "dangling", "fifo"}) {
    const auto result = check_output_target(dir(), name);
    ASSERT_FALSE(result.ok()) << name;
    EXPECT_EQ(result.error(), storage_error(StorageErrorKind::UnsafeTarget)) << name;
  }
  EXPECT_EQ(*file_mode(dir_.file("public")), 0644u);
  EXPECT_EQ(*file_contents(dir_.file("public")), "x");
}

TEST_F(CheckOutputTarget, RefusesAnotherUsersFile) {
  ASSERT_TRUE(write_file(dir_.file("r.json"), "x"));
  if (!test_support::give_to_other_user(dir_.file("r.json"))) {
    GTEST_SKIP() << "cannot hand a file to another user here";
  }
  EXPECT_EQ(check_output_target(dir(), "r.json").error(),
            storage_error(StorageErrorKind::UnsafeTarget));
}

TEST_F(CheckOutputTarget, ReportsWhyAnEntryCannotBeExamined) {
  ASSERT_TRUE(write_file(dir_.file("file"), "x"));
  // A path through a regular file cannot be looked at: ENOTDIR, not "free".
  EXPECT_EQ(check_output_target(dir(), "file/r.json").error(),
            storage_error(StorageErrorKind::UnsafeTarget, ENOTDIR));
  EXPECT_EQ(check_output_target(dir(), std::string("r\0json", 6)).error(),
            storage_error(StorageErrorKind::InvalidTarget));
}

using ReportTemp = DirFixture;

TEST_F(ReportTemp, IsCreatedPrivateEvenUnderAPermissiveUmask) {
  const mode_t old_umask = ::umask(0);
  auto fd = create_report_temp(dir(), ".r.json.tmp");
  ::umask(old_umask);
  ASSERT_TRUE(fd.ok());
  EXPECT_EQ(*file_mode(dir_.file(".r.json.tmp")), 0600u);
  EXPECT_EQ(::write(fd->get(), "ab", 2), 2);
}

TEST_F(ReportTemp, NeverReusesAnExistingNameOrFollowsALink) {
  ASSERT_TRUE(write_file(dir_.file(".r.json.tmp"), "stale"));
  ASSERT_EQ(::symlink("elsewhere", dir_.file(".l.tmp").c_str()), 0);
  EXPECT_EQ(create_report_temp(dir(), ".r.json.tmp").error(),
            storage_error(StorageErrorKind::UnsafeTarget, EEXIST));
  EXPECT_EQ(create_report_temp(dir(), ".l.tmp").error(),
            storage_error(StorageErrorKind::UnsafeTarget, EEXIST));
  EXPECT_EQ(*file_contents(dir_.file(".r.json.tmp")), "stale");
  EXPECT_FALSE(exists(dir_.file("elsewhere")));
  EXPECT_EQ(create_report_temp(dir(), "missing/x").error(),
            storage_error(StorageErrorKind::FinalReportFailed, ENOENT));
  EXPECT_EQ(create_report_temp(dir(), std::string("a\0b", 3)).error(),
            storage_error(StorageErrorKind::InvalidTarget));
}

TEST_F(ReportTemp, RenameReplacesAndUnlinkRemoves) {
  ASSERT_TRUE(write_file(dir_.file("a"), "new"));
  ASSERT_TRUE(write_file(dir_.file("b"), "old"));
  EXPECT_EQ(rename_in_dir(dir(), "a", dir(), "b"), 0);
  EXPECT_EQ(*file_contents(dir_.file("b")), "new");
  EXPECT_FALSE(exists(dir_.file("a")));
  EXPECT_EQ(rename_in_dir(dir(), "a", dir(), "b"), ENOENT);
  EXPECT_EQ(rename_in_dir(dir(), std::string("b\0", 2), dir(), "c"), EINVAL);
  unlink_in_dir(dir(), "b");
  EXPECT_FALSE(exists(dir_.file("b")));
  unlink_in_dir(dir(), "b");  // already gone: nothing to report
}

TEST(WriteAll, SurvivesShortAndInterruptedWrites) {
  TempDir dir;
  const int fd = ::open(dir.file("f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  UniqueFd owner(fd);
  FaultyFileIo io;
  io.dribble_writes();
  EXPECT_EQ(write_all(io, fd, "hello"), 0);
  EXPECT_EQ(io.write_calls(), 10);
  io.interrupt_syncs(3);
  EXPECT_EQ(full_sync(io, fd), 0);
  EXPECT_EQ(io.sync_calls(), 4);
  EXPECT_EQ(*file_contents(dir.file("f")), "hello");
  io.fail_writes_after(0, ENOSPC);
  EXPECT_EQ(write_all(io, fd, "more"), ENOSPC);
  io.fail_syncs_after(0, EIO);
  EXPECT_EQ(full_sync(io, fd), EIO);
}

using Publish = DirFixture;

TEST_F(Publish, ReplacesTheReportInOneStepAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(write_file(dir_.file("r.json"), "old"));
  FaultyFileIo io;
  ASSERT_TRUE(publish_atomically(io, dir(), ".r.json.tmp", "r.json", "new\n").ok());
  EXPECT_EQ(*file_contents(dir_.file("r.json")), "new\n");
  EXPECT_EQ(*file_mode(dir_.file("r.json")), 0600u);
  EXPECT_FALSE(exists(dir_.file(".r.json.tmp")));
  // The file and then the directory were made durable.
  EXPECT_EQ(io.sync_calls(), 2);
}

TEST_F(Publish, FailuresBeforeTheRenameLeaveTheOldReportAndRemoveTheTemporaryFile) {
  struct Case {
    const char* what;
    void (*arrange)(FaultyFileIo&);
    int os_error;
  };
  const Case cases[] = {
      {"write", [](FaultyFileIo& io) { io.fail_writes_after(0, ENOSPC); }, ENOSPC},
      {"sync", [](FaultyFileIo& io) { io.fail_syncs_after(0, EIO); }, EIO},
      {"rename", [](FaultyFileIo& io) { io.fail_renames(EXDEV); }, EXDEV},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(write_file(dir_.file("r.json"), "old"));
    FaultyFileIo io;
    c.arrange(io);
    const auto result = publish_atomically(io, dir(), ".r.json.tmp", "r.json", "new");
    ASSERT_FALSE(result.ok()) << c.what;
    EXPECT_EQ(result.error(), storage_error(StorageErrorKind::FinalReportFailed, c.os_error))
        << c.what;
    EXPECT_EQ(*file_contents(dir_.file("r.json")), "old") << c.what;
    EXPECT_FALSE(exists(dir_.file(".r.json.tmp"))) << c.what;
  }
}

TEST_F(Publish, AFailedDirectorySyncStillLeavesTheNewReportInPlace) {
  FaultyFileIo io;
  io.fail_syncs_after(1, EIO);
  EXPECT_EQ(publish_atomically(io, dir(), ".r.json.tmp", "r.json", "new").error(),
            storage_error(StorageErrorKind::SyncFailed, EIO));
  EXPECT_EQ(*file_contents(dir_.file("r.json")), "new");
  EXPECT_FALSE(exists(dir_.file(".r.json.tmp")));
}

TEST_F(Publish, AStaleTemporaryFileIsNeitherUsedNorRemoved) {
  ASSERT_TRUE(write_file(dir_.file(".r.json.tmp"), "stale"));
  EXPECT_EQ(publish_atomically(FileIo::system(), dir(), ".r.json.tmp", "r.json", "new").error(),
            storage_error(StorageErrorKind::UnsafeTarget, EEXIST));
  EXPECT_EQ(*file_contents(dir_.file(".r.json.tmp")), "stale");
  EXPECT_FALSE(exists(dir_.file("r.json")));
}

}  // namespace
}  // namespace vek_guard
