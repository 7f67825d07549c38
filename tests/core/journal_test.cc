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
#include "support/temp_dir.h"
#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::journal_file_bytes;
using test_support::TempDir;
using test_support::write_file;

// What read_journal_frames returned, with every payload it handed over.
struct FrameRead {
  Result<JournalTail, StorageError> tail = JournalTail::Clean;
  std::vector<std::string> payloads;
};

FrameRead read_frames_of(UniqueFd fd, int refuse_at = -1) {
  FrameRead read;
  EXPECT_TRUE(fd.valid());
  read.tail = read_journal_frames(std::move(fd), [&](std::span<const uint8_t> payload) {
    if (static_cast<int>(read.payloads.size()) == refuse_at) return false;
    read.payloads.emplace_back(payload.begin(), payload.end());
    return true;
  });
  return read;
}

FrameRead read_frames_from_bytes(const std::string& bytes, mode_t mode = 0600, int refuse_at = -1) {
  return read_frames_of(test_support::memory_file(bytes, mode), refuse_at);
}

const std::vector<std::string> kPayloads = {"{\"first\":0}", "x", std::string(40, 'p'),
                                            "{\"last\":3}"};

TEST(JournalFrame, IsLengthPayloadAndIsoHdlcCrc32BigEndian) {
  const std::string check = "123456789";
  EXPECT_EQ(journal_checksum({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
            0xCBF43926u);
  EXPECT_EQ(journal_checksum({}), 0u);
  std::string frame = "left over from the previous frame";
  begin_journal_frame(&frame);
  frame += check;
  seal_journal_frame(&frame);
  EXPECT_EQ(frame, std::string("\x00\x00\x00\x09"
                               "123456789"
                               "\xCB\xF4\x39\x26",
                               17));
}

TEST(JournalFrames, ReadBackEveryPayloadUpToTheLimits) {
  FrameRead read = read_frames_from_bytes(journal_file_bytes(kPayloads));
  EXPECT_EQ(read.tail, JournalTail::Clean);
  EXPECT_EQ(read.payloads, kPayloads);
  read = read_frames_from_bytes(std::string(kJournalMagic));
  EXPECT_EQ(read.tail, JournalTail::Clean);
  EXPECT_TRUE(read.payloads.empty());
  // A payload the caller refuses ends the journal there.
  read = read_frames_from_bytes(journal_file_bytes(kPayloads), 0600, /*refuse_at=*/1);
  EXPECT_EQ(read.tail, JournalTail::Corrupt);
  EXPECT_EQ(read.payloads, std::vector<std::string>{kPayloads[0]});

  const std::string biggest(kMaxJournalPayloadBytes, 'b');
  read = read_frames_from_bytes(journal_file_bytes({"a", biggest}));
  EXPECT_EQ(read.tail, JournalTail::Clean);
  EXPECT_EQ(read.payloads, (std::vector<std::string>{"a", biggest}));
  // A length one over the limit is refused before anything of it is read.
  std::string oversized = journal_file_bytes({"a"});
  append_be32(oversized, kMaxJournalPayloadBytes + 1);
  oversized += std::string(kMaxJournalPayloadBytes + 5, 'b');
  read = read_frames_from_bytes(oversized);
  EXPECT_EQ(read.tail, JournalTail::Corrupt);
  EXPECT_EQ(read.payloads, std::vector<std::string>{"a"});

  std::vector<std::string> most(kMaxJournalRecords, "r");
  EXPECT_EQ(read_frames_from_bytes(journal_file_bytes(most)).tail, JournalTail::Clean);
  most.push_back("r");
  read = read_frames_from_bytes(journal_file_bytes(most));
  EXPECT_EQ(read.tail, JournalTail::Corrupt);
  EXPECT_EQ(read.payloads.size(), kMaxJournalRecords);
}

TEST(JournalFrames, OnlyTheUsersPrivateJournalWithTheWholeMagicIsRead) {
  const StorageError invalid = storage_error(StorageErrorKind::InvalidRecord);
  const std::string bytes = journal_file_bytes(kPayloads);
  EXPECT_EQ(read_frames_from_bytes(bytes, 0640).tail.error(), invalid);
  EXPECT_EQ(read_frames_from_bytes(bytes, 0400).tail.error(), invalid);
  // Sticky and set-id bits do not count.
  EXPECT_EQ(read_frames_from_bytes(bytes, 01600).tail, JournalTail::Clean);
  EXPECT_EQ(read_frames_from_bytes("VEKGJNL").tail.error(),
            storage_error(StorageErrorKind::ReadFailed));
  EXPECT_EQ(read_frames_from_bytes(std::string("VEKGJNL\x02", 8)).tail.error(), invalid);

  TempDir dir;
  EXPECT_EQ(read_frames_of(UniqueFd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)))
                .tail.error(),
            invalid);
  // A descriptor that cannot be read is a read failure with its errno.
  ASSERT_TRUE(write_file(dir.file("j"), bytes));
  EXPECT_EQ(
      read_frames_of(UniqueFd(::open(dir.file("j").c_str(), O_WRONLY | O_CLOEXEC))).tail.error(),
      storage_error(StorageErrorKind::ReadFailed, EBADF));
  if (!test_support::give_to_other_user(dir.file("j"))) {
    GTEST_SKIP() << "cannot hand a file to another user here";
  }
  EXPECT_EQ(
      read_frames_of(UniqueFd(::open(dir.file("j").c_str(), O_RDONLY | O_CLOEXEC))).tail.error(),
      invalid);
}

// ---------------------------------------------------------------------------
// Creating the journal.

class JournalInit : public test_support::ReportDirTest {
 protected:
  StorageError init_error(const std::string& path) {
    auto journal = SecureJournal::initialize(path);
    EXPECT_FALSE(journal.ok()) << path;
    return journal.ok() ? StorageError{} : journal.error();
  }
};

TEST_F(JournalInit, CreatesAPrivateJournalHoldingOnlyTheMagic) {
  const mode_t old_umask = ::umask(0);
  auto journal = SecureJournal::initialize(report_path());
  ::umask(old_umask);
  ASSERT_TRUE(journal.ok()) << journal.error().message();
  EXPECT_EQ(*file_contents(journal_path()), kJournalMagic);
  EXPECT_EQ(*file_mode(journal_path()), 0600u);
  EXPECT_FALSE(exists(report_path()));
  EXPECT_EQ(journal->journal_path(), journal_path());
  EXPECT_EQ(journal->journal_file_name(), ".r.json.journal");
}

TEST_F(JournalInit, TheNameIsTheLastRealComponent) {
  for (const std::string& path :
       {dir() + "/./r.json", dir() + "//r.json/", dir() + "/r.json/."}) {
    auto journal = SecureJournal::initialize(path);
    ASSERT_TRUE(journal.ok()) << path << ": " << journal.error().message();
    EXPECT_EQ(journal->report_file_name(), "r.json");
    EXPECT_TRUE(exists(journal_path()));
    ASSERT_EQ(::unlink(journal_path().c_str()), 0);
  }
  for (const std::string& path :
       {std::string("/"), std::string("."), std::string(".."), std::string(""), std::string("./."),
        std::string("//"), dir() + "/..", dir() + "/r.json/..",
        dir() + std::string("/r\0.json", 8)}) {
    EXPECT_EQ(init_error(path), storage_error(StorageErrorKind::InvalidTarget)) << path;
  }
}

TEST_F(JournalInit, TheDirectoryMustBeTheUsersOwnPrivateOneAndNoLink) {
  ASSERT_EQ(::chmod(dir().c_str(), 0750), 0);
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::DirectoryNotPrivate));
  // The sticky bit does not make a 0700 directory any less private.
  ASSERT_EQ(::chmod(dir().c_str(), 01700), 0);
  ASSERT_TRUE(SecureJournal::initialize(report_path()).ok());
  ASSERT_EQ(::unlink(journal_path().c_str()), 0);

  ASSERT_EQ(::symlink("d", beside("link").c_str()), 0);
  const StorageError linked = init_error(beside("link") + "/r.json");
  EXPECT_EQ(linked.kind, StorageErrorKind::DirectoryNotPrivate);
  EXPECT_TRUE(linked.os_error.has_value());
  EXPECT_EQ(init_error(beside("missing") + "/r.json"),
            storage_error(StorageErrorKind::DirectoryNotPrivate, ENOENT));
  EXPECT_FALSE(exists(journal_path()));

  if (!test_support::give_to_other_user(dir())) {
    GTEST_SKIP() << "cannot hand a directory to another user here";
  }
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::DirectoryNotPrivate));
  EXPECT_FALSE(exists(journal_path()));
}

TEST_F(JournalInit, WhatTheNamesAlreadyHoldIsNeitherFollowedNorReplaced) {
  ASSERT_TRUE(write_file(report_path(), "old", 0644));
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::UnsafeTarget));
  EXPECT_EQ(*file_mode(report_path()), 0644u);
  ASSERT_EQ(::mkdir(file("dir.json").c_str(), 0700), 0);
  EXPECT_EQ(init_error(file("dir.json")), storage_error(StorageErrorKind::InvalidTarget));
  ASSERT_EQ(::symlink("r.json", file("link.json").c_str()), 0);
  EXPECT_EQ(init_error(file("link.json")), storage_error(StorageErrorKind::InvalidTarget));
  EXPECT_FALSE(exists(file(".dir.json.journal")));
  EXPECT_FALSE(exists(file(".link.json.journal")));

  // An earlier journal, or a link in its place, is left as it is.
  ASSERT_EQ(::chmod(report_path().c_str(), 0600), 0);
  ASSERT_TRUE(write_file(journal_path(), "earlier run", 0600));
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::JournalExists, EEXIST));
  EXPECT_EQ(*file_contents(journal_path()), "earlier run");
  ASSERT_EQ(::unlink(journal_path().c_str()), 0);
  ASSERT_EQ(::symlink("elsewhere", journal_path().c_str()), 0);
  EXPECT_EQ(init_error(report_path()), storage_error(StorageErrorKind::JournalExists, EEXIST));
  EXPECT_FALSE(exists(file("elsewhere")));
  // The user's own private report is fine, and stays until publication.
  ASSERT_EQ(::unlink(journal_path().c_str()), 0);
  EXPECT_TRUE(SecureJournal::initialize(report_path()).ok());
  EXPECT_EQ(*file_contents(report_path()), "old");
}

TEST_F(JournalInit, ABareNameLivesInTheCurrentDirectory) {
  // The working directory belongs to the whole test process, so it changes
  // only in a child.
  const auto run_in = [](const std::string& cwd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(cwd.c_str()) != 0) ::_exit(100);
      auto journal = SecureJournal::initialize("r.json");
      ::_exit(journal.ok() ? 0 : 1 + static_cast<int>(journal.error().kind));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run_in(dir()), 0);
  EXPECT_TRUE(exists(journal_path()));
  ASSERT_EQ(::mkdir(file("open").c_str(), 0755), 0);
  EXPECT_EQ(run_in(file("open")), 1 + static_cast<int>(StorageErrorKind::DirectoryNotPrivate));
  EXPECT_FALSE(exists(file("open/.r.json.journal")));
}

TEST_F(JournalInit, AFailedWriteOrSyncOfTheMagicIsReported) {
  FaultyFileIo io;
  io.fail_writes_after(0, ENOSPC);
  EXPECT_EQ(SecureJournal::initialize(report_path(), io).error(),
            storage_error(StorageErrorKind::WriteFailed, ENOSPC));
  // The journal created before the failure stays, like every journal.
  EXPECT_TRUE(exists(journal_path()));
  // The journal's own sync, then the directory's.
  for (int good_syncs : {0, 1}) {
    ASSERT_EQ(::unlink(journal_path().c_str()), 0);
    FaultyFileIo sync_io;
    sync_io.fail_syncs_after(good_syncs, EIO);
    EXPECT_EQ(SecureJournal::initialize(report_path(), sync_io).error(),
              storage_error(StorageErrorKind::SyncFailed, EIO));
    EXPECT_EQ(*file_contents(journal_path()), kJournalMagic);
  }
}

// The singular signal is checked by the publication test in secure_journal_test.
TEST(SummaryLine, CountsSamplesAndSignalsWithPlurals) {
  const auto line = [](TerminalKind kind, uint64_t at_ms, size_t samples, size_t signals) {
    ReportV1 report;
    report.outcome.at_ms = at_ms;
    report.outcome.kind = kind;
    report.samples.resize(samples);
    report.signals.resize(signals);
    return summary_line(report);
  };
  EXPECT_EQ(line(TerminalKind::child_exited(0), 5230, 1, 2),
            "vek-guard: child_exited at 5230ms; 1 sample, 2 signals\n");
  EXPECT_EQ(
      line(TerminalKind::of(TerminalKind::Tag::PartialArtifactFailure), UINT64_MAX, 0, 0),
      "vek-guard: partial_artifact_failure at 18446744073709551615ms; 0 samples, 0 signals\n");
}

}  // namespace
}  // namespace vek_guard
