// The journal of one run: its creation, appends, publication, and survival
// of a writer killed at random moments. Reading it back is
// journal_reader_test.cc.
#include "vek_guard/journal.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/journal_checks.h"
#include "support/journal_samples.h"
#include "support/report_dir.h"
#include "support/report_samples.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::expect_recovery;
using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::first;
using test_support::journal_header_of;
using test_support::journal_records_of;
using test_support::record_at;
using test_support::Records;
using test_support::valid_run_report;
using test_support::write_file;

const StorageError kInvalid = test_support::kInvalidRecord;

class JournalFixture : public test_support::ReportDirTest {
 protected:
  SecureJournal open_journal(FileIo& io = FileIo::system(), const std::string& name = "r.json") {
    auto journal = SecureJournal::initialize(file(name), io);
    EXPECT_TRUE(journal.ok());
    return std::move(journal).value();
  }

  // Appends every record, durably exactly where required.
  static void append_all(SecureJournal& journal, const Records& records) {
    for (const auto& record : records) {
      ASSERT_TRUE(journal.append(record.entry, entry_requires_sync(record.entry.type())).ok())
          << record.sequence;
    }
  }
};

// ---------------------------------------------------------------------------
// Creating the journal. What a planted report, journal or directory gets is
// run end to end in the command line's security tests.

class JournalInit : public JournalFixture {
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

TEST_F(JournalInit, RefusesPathsWithoutARealName) {
  for (const std::string& path : {std::string("/"), std::string(".."), std::string(""),
                                  dir() + "/r.json/..", dir() + std::string("/r\0.json", 8)}) {
    EXPECT_EQ(init_error(path), storage_error(StorageErrorKind::InvalidTarget)) << path;
  }
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

// ---------------------------------------------------------------------------
// Appending.

using JournalAppend = JournalFixture;

TEST_F(JournalAppend, NumbersRecordsInTurnAndARefusalWritesAndUsesNothing) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const ReportV1 report = valid_run_report();
  const JournalEntry header = JournalEntry::header(journal_header_of(report));
  const JournalEntry sample = JournalEntry::sample(report.samples[0]);
  const JournalEntry signal = JournalEntry::signal(report.signals[0]);
  ASSERT_TRUE(journal.append(header, true));
  const std::string before = *file_contents(journal_path());

  // Signals and outcomes (among others) must be durable.
  for (const JournalEntry& entry : {signal, JournalEntry::outcome(report.outcome)}) {
    EXPECT_EQ(journal.append(entry, false).error(), kInvalid) << entry.name();
  }
  EXPECT_EQ(*file_contents(journal_path()), before);
  EXPECT_FALSE(journal.poisoned());
  EXPECT_EQ(journal.next_sequence(), 1u);

  // The refused sequence number goes to the next record taken; only a
  // durable append syncs.
  const int syncs = io.sync_calls();
  EXPECT_TRUE(journal.append(sample, false).ok());
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_TRUE(journal.append(signal, true).ok());
  EXPECT_EQ(io.sync_calls(), syncs + 1);
  expect_recovery(*file_contents(journal_path()),
                  {record_at(0, header), record_at(1, sample), record_at(2, signal)},
                  JournalTail::Clean);
}

TEST_F(JournalAppend, APayloadOfExactlyTheLimitIsTheLargestWritten) {
  SecureJournal journal = open_journal();
  JournalHeader header = journal_header_of(valid_run_report());
  header.package_version.clear();
  const size_t base = encode_journal_record(record_at(0, JournalEntry::header(header))).size();
  header.package_version.assign(kMaxJournalPayloadBytes + 1 - base, 'v');
  EXPECT_EQ(journal.append(JournalEntry::header(header), true).error(), kInvalid);
  header.package_version.pop_back();
  const JournalRecord largest = record_at(0, JournalEntry::header(header));
  ASSERT_EQ(encode_journal_record(largest).size(), kMaxJournalPayloadBytes);
  ASSERT_TRUE(journal.append(largest.entry, true).ok());
  expect_recovery(*file_contents(journal_path()), {largest}, JournalTail::Clean);
}

// After a failed write the file may end in a torn frame: nothing more is
// appended and nothing is published.
TEST_F(JournalAppend, AFailedWritePoisonsTheJournalForGood) {
  const Records records = journal_records_of(valid_run_report());
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  ASSERT_TRUE(journal.append(records[0].entry, true).ok());
  // The length goes out, the payload does not.
  io.dribble_writes();
  io.fail_writes_after(static_cast<int>(kFrameLengthBytes), ENOSPC);
  EXPECT_EQ(journal.append(records[1].entry, false).error(),
            storage_error(StorageErrorKind::WriteFailed, ENOSPC));
  io.heal();
  EXPECT_EQ(journal.append(records[1].entry, false).error(), kInvalid);
  // Finalize gives up before reading (which would call the torn journal
  // invalid) and syncs or writes nothing.
  const int syncs = io.sync_calls();
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_FALSE(exists(report_path()));
  expect_recovery(*file_contents(journal_path()), {records[0]}, JournalTail::Truncated);
}

// ---------------------------------------------------------------------------
// Publishing.

using JournalFinalize = JournalFixture;

// Every refusal leaves the old report and the journal as they were; only a
// failed sync of the journal itself poisons it, and a failed directory sync
// comes after the report is in place. Failures of the publication itself are
// the atomic file's table.
TEST_F(JournalFinalize, PublishesThePrivateReportOnlyFromACompleteJournal) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  const ReportV1 report = valid_run_report();
  const Records records = journal_records_of(report);
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  append_all(journal, first(records, records.size() - 1));  // no outcome yet
  EXPECT_EQ(journal.finalize().error(), kInvalid);
  append_all(journal, {records.back()});
  // Made public during the run.
  ASSERT_EQ(::chmod(report_path().c_str(), 0644), 0);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::UnsafeTarget));
  EXPECT_EQ(*file_contents(report_path()), "old");
  ASSERT_EQ(::chmod(report_path().c_str(), 0600), 0);

  // Journal, temporary report, then the directory.
  io.fail_syncs_after(2, EIO);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed, EIO));
  EXPECT_EQ(*file_contents(report_path()), *report.to_json_pretty());
  EXPECT_FALSE(journal.poisoned());
  io.heal();
  ASSERT_EQ(::unlink(report_path().c_str()), 0);
  auto published = journal.finalize();
  ASSERT_TRUE(published.ok()) << published.error().message();
  EXPECT_EQ(published->report, report);
  EXPECT_EQ(published->summary, "vek-guard: child_signaled at 300ms; 2 samples, 1 signal\n");
  EXPECT_EQ(*file_contents(report_path()), *report.to_json_pretty());
  EXPECT_EQ(*file_mode(report_path()), 0600u);
  EXPECT_FALSE(exists(temp_path()));
  expect_recovery(*file_contents(journal_path()), records, JournalTail::Clean);

  io.fail_syncs_after(0, EIO);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed, EIO));
  EXPECT_TRUE(journal.poisoned());
}

// The report is rebuilt only from the file the journal appended to, holding
// exactly what it appended under its own header. Another run's journal
// renamed over its name or copied into its file (of the very same size: run
// ids have one length), or bytes added to it, fail as a journal that does not
// read back, and nothing is published.
TEST_F(JournalFinalize, PublishesOnlyFromTheFileItAppendedTo) {
  const ReportV1 report = valid_run_report();
  ReportV1 other = report;
  other.run.run_id = "run_" + std::string(32, 'b');
  std::string other_journal;
  {
    SecureJournal journal = open_journal(FileIo::system(), "other.json");
    append_all(journal, journal_records_of(other));
    other_journal = *file_contents(file(".other.json.journal"));
  }
  const struct {
    const char* what;
    std::function<bool()> tamper;
    StorageError error;
  } rows[] = {
      {"renamed over",
       [&] {
         return write_file(file("planted"), other_journal) &&
                ::rename(file("planted").c_str(), journal_path().c_str()) == 0;
       },
       kInvalid},
      {"copied into", [&] { return write_file(journal_path(), other_journal); }, kInvalid},
      {"grown",
       [&] {
         const UniqueFd fd(::open(journal_path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
         return ::write(fd.get(), "\0", 1) == 1;
       },
       kInvalid},
      {"removed", [&] { return ::unlink(journal_path().c_str()) == 0; },
       storage_error(StorageErrorKind::ReadFailed, ENOENT)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ::unlink(journal_path().c_str());
    ::unlink(report_path().c_str());
    SecureJournal journal = open_journal();
    append_all(journal, journal_records_of(report));
    ASSERT_TRUE(row.tamper());
    const auto finalized = journal.finalize();
    EXPECT_EQ(finalized.ok() ? std::nullopt : std::optional(finalized.error()), row.error);
    EXPECT_FALSE(exists(report_path()));
    EXPECT_FALSE(exists(temp_path()));
  }
}

// A report of several pieces whose write fails after the first: no report,
// no temporary file.
TEST_F(JournalFinalize, AReportWriteThatFailsPartWayPublishesNothing) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  ReportV1 report = valid_run_report();
  report.samples.assign(500, report.samples.front());
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  append_all(journal, journal_records_of(report));
  io.fail_writes_after(1, ENOSPC);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::FinalReportFailed, ENOSPC));
  EXPECT_EQ(*file_contents(report_path()), "old");
  EXPECT_FALSE(exists(temp_path()));
}

// ---------------------------------------------------------------------------
// Crash safety.

// The record a killed writer appends at position i: the header, then samples.
JournalRecord crash_record(uint64_t i, const ReportV1& report) {
  if (i == 0) return record_at(0, JournalEntry::header(journal_header_of(report)));
  SampleWindow sample = report.samples[i % report.samples.size()];
  sample.captured_at_ms = i;
  return record_at(i, JournalEntry::sample(sample));
}

using JournalCrash = JournalFixture;

TEST_F(JournalCrash, AWriterKilledAtRandomMomentsLeavesAReadableJournal) {
  const ReportV1 report = valid_run_report();
  std::mt19937 random(20261206);
  int truncated = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "r" + std::to_string(round) + ".json";
    // Every other writer writes a byte at a time, so that most kills land
    // inside a frame rather than between two.
    FaultyFileIo io;
    if (round % 2 == 1) io.dribble_writes();
    SecureJournal journal = open_journal(io, name);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (uint64_t i = 0; i < 200000; ++i) {
        // Every sixteenth append is durable, as a signal's would be.
        if (!journal.append(crash_record(i, report).entry, i % 16 == 0)) ::_exit(1);
      }
      ::_exit(0);
    }
    // Anywhere from before the first append to deep into the run.
    const timespec delay{0, static_cast<long>(random() % 20000) * 1000};
    ::nanosleep(&delay, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "ended by itself";

    const std::string journal_file = file("." + name + ".journal");
    auto recovery = read_journal(UniqueFd(::open(journal_file.c_str(), O_RDONLY | O_CLOEXEC)));
    ASSERT_TRUE(recovery.ok()) << recovery.error().message();
    ASSERT_NE(recovery->tail, JournalTail::Corrupt);
    if (recovery->tail == JournalTail::Truncated) ++truncated;
    for (uint64_t i = 0; i < recovery->records.size(); ++i) {
      ASSERT_EQ(recovery->records[i], crash_record(i, report));
    }
  }
  EXPECT_GT(truncated, 0) << "no kill landed inside a frame";
}

}  // namespace
}  // namespace vek_guard
