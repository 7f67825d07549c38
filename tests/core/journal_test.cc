#include "vek_guard/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/journal_samples.h"
#include "support/report_dir.h"
#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::journal_file_bytes;
using test_support::write_file;

const StorageError kInvalid = storage_error(StorageErrorKind::InvalidRecord);

// What read_journal_frames returned, with every payload it handed over.
struct FrameRead {
  Result<JournalTail, StorageError> tail = JournalTail::Clean;
  std::vector<std::string> payloads;
};

FrameRead read_frames(const std::string& bytes, mode_t mode = 0600) {
  FrameRead read;
  read.tail = read_journal_frames(test_support::memory_file(bytes, mode),
                                  [&](std::span<const uint8_t> payload) {
                                    read.payloads.emplace_back(payload.begin(), payload.end());
                                    return true;
                                  });
  return read;
}

TEST(JournalFrame, IsLengthPayloadAndIsoHdlcCrc32BigEndian) {
  std::string frame = "left over from the previous frame";
  begin_journal_frame(&frame);
  frame += "123456789";
  seal_journal_frame(&frame);
  EXPECT_EQ(frame, std::string("\x00\x00\x00\x09"
                               "123456789"
                               "\xCB\xF4\x39\x26",
                               17));
}

TEST(JournalFrames, PayloadSizeAndRecordCountStopAtTheirLimits) {
  const std::string biggest(kMaxJournalPayloadBytes, 'b');
  FrameRead read = read_frames(journal_file_bytes({"a", biggest}));
  EXPECT_EQ(read.tail, JournalTail::Clean);
  EXPECT_EQ(read.payloads, (std::vector<std::string>{"a", biggest}));
  // A length one over the limit is refused before anything of it is read.
  std::string oversized = journal_file_bytes({"a"});
  append_be32(oversized, kMaxJournalPayloadBytes + 1);
  oversized += std::string(kMaxJournalPayloadBytes + 5, 'b');
  read = read_frames(oversized);
  EXPECT_EQ(read.tail, JournalTail::Corrupt);
  EXPECT_EQ(read.payloads, std::vector<std::string>{"a"});

  std::vector<std::string> most(kMaxJournalRecords, "r");
  EXPECT_EQ(read_frames(journal_file_bytes(most)).tail, JournalTail::Clean);
  most.push_back("r");
  read = read_frames(journal_file_bytes(most));
  EXPECT_EQ(read.tail, JournalTail::Corrupt);
  EXPECT_EQ(read.payloads.size(), kMaxJournalRecords);
}

TEST(JournalFrames, OnlyAPrivateJournalWithTheWholeMagicIsRead) {
  const std::string bytes = journal_file_bytes({"x"});
  EXPECT_EQ(read_frames(bytes, 0640).tail.error(), kInvalid);
  // Sticky and set-id bits do not count.
  EXPECT_EQ(read_frames(bytes, 01600).tail, JournalTail::Clean);
  EXPECT_EQ(read_frames("VEKGJNL").tail.error(), storage_error(StorageErrorKind::ReadFailed));
  EXPECT_EQ(read_frames(std::string("VEKGJNL\x02", 8)).tail.error(), kInvalid);
}

// ---------------------------------------------------------------------------
// Creating the journal. What a planted report, journal or directory gets is
// run end to end in the command line's security tests.

class JournalInit : public test_support::ReportDirTest {
 protected:
  static StorageError init_error(const std::string& path, FileIo& io = FileIo::system()) {
    auto journal = SecureJournal::initialize(path, io);
    EXPECT_FALSE(journal.ok()) << path;
    return journal.ok() ? StorageError{} : journal.error();
  }
};

TEST_F(JournalInit, CreatesAPrivateJournalHoldingOnlyTheMagicBesideTheUsersReport) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  const mode_t old_umask = ::umask(0);
  auto journal = SecureJournal::initialize(dir() + "//./r.json/");
  ::umask(old_umask);
  ASSERT_TRUE(journal.ok()) << journal.error().message();
  EXPECT_EQ(journal->report_file_name(), "r.json");
  EXPECT_EQ(*file_contents(journal_path()), kJournalMagic);
  EXPECT_EQ(*file_mode(journal_path()), 0600u);
  // The old report stays until publication.
  EXPECT_EQ(*file_contents(report_path()), "old");
}

TEST_F(JournalInit, RefusesPathsWithoutARealNameAndADirectoryWithGroupAccess) {
  for (const std::string& path : {std::string("/"), std::string(".."), std::string(""),
                                  dir() + "/r.json/..", dir() + std::string("/r\0.json", 8)}) {
    EXPECT_EQ(init_error(path), storage_error(StorageErrorKind::InvalidTarget)) << path;
  }
  ASSERT_EQ(::chmod(dir().c_str(), 01750), 0);
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::DirectoryNotPrivate));
  // The sticky bit does not make a 0700 directory any less private.
  ASSERT_EQ(::chmod(dir().c_str(), 01700), 0);
  EXPECT_TRUE(SecureJournal::initialize(report_path()).ok());
}

TEST_F(JournalInit, ABareNameLivesInTheCurrentDirectory) {
  // The working directory belongs to the whole test process, so it changes
  // only in a child.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::chdir(dir().c_str()) != 0) ::_exit(100);
    ::_exit(SecureJournal::initialize("r.json").ok() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(exists(journal_path()));
}

// A failed write of the magic is run end to end on a full volume.
TEST_F(JournalInit, AFailedSyncOfTheJournalOrTheDirectoryIsReported) {
  for (int good_syncs : {0, 1}) {
    FaultyFileIo io;
    io.fail_syncs_after(good_syncs, EIO);
    EXPECT_EQ(init_error(report_path(), io), storage_error(StorageErrorKind::SyncFailed, EIO));
    ASSERT_EQ(::unlink(journal_path().c_str()), 0);
  }
}

}  // namespace
}  // namespace vek_guard
