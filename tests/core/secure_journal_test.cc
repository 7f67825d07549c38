// The journal with real records: appends, reading back, rebuilding the
// report, publication, and survival of a writer killed at random moments.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/journal_samples.h"
#include "support/report_samples.h"
#include "support/temp_dir.h"
#include "vek_guard/coding.h"
#include "vek_guard/journal.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::journal_entries_of;
using test_support::journal_header_of;
using test_support::journal_records_of;
using test_support::numbered_records;
using test_support::TempDir;
using test_support::write_file;

JournalRecord record_at(uint64_t sequence, JournalEntry entry) {
  return JournalRecord{kJournalRecordVersion, sequence, std::move(entry)};
}

// A journal file's bytes holding these records as written by the journal.
std::string journal_bytes_of(const std::vector<JournalRecord>& records) {
  std::string bytes(kJournalMagic);
  for (const auto& record : records) {
    const std::string payload = encode_journal_record(record);
    append_be32(bytes, static_cast<uint32_t>(payload.size()));
    bytes += payload;
    append_be32(bytes, journal_checksum(
                           {reinterpret_cast<const uint8_t*>(payload.data()), payload.size()}));
  }
  return bytes;
}

Result<JournalRecovery, StorageError> read_journal_at(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(fd.valid()) << path;
  return read_journal(std::move(fd));
}

Result<JournalRecovery, StorageError> read_journal_bytes(const std::string& bytes,
                                                         mode_t mode = 0600) {
  UniqueFd fd = test_support::memory_file(bytes, mode);
  EXPECT_TRUE(fd.valid());
  return read_journal(std::move(fd));
}

const StorageError kInvalidRecord = storage_error(StorageErrorKind::InvalidRecord);

// A private report directory d with the report d/r.json.
class JournalFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(dir().c_str(), 0700), 0); }

  std::string dir() const { return tmp_.file("d"); }
  std::string file(const std::string& name) const { return dir() + "/" + name; }
  std::string report_path() const { return file("r.json"); }
  std::string journal_path() const { return file(".r.json.journal"); }
  std::string temp_path() const { return file(".r.json.tmp"); }

  SecureJournal open_journal(FileIo& io = FileIo::system()) {
    auto journal = SecureJournal::initialize(report_path(), io);
    EXPECT_TRUE(journal.ok());
    return std::move(journal).value();
  }

  // Appends every record, durably exactly where required.
  static void append_all(SecureJournal& journal, const std::vector<JournalRecord>& records) {
    for (const auto& record : records) {
      const auto appended = journal.append(record, entry_requires_sync(record.entry.type()));
      ASSERT_TRUE(appended.ok()) << "record " << record.sequence << ": "
                                 << appended.error().message();
    }
  }

  TempDir tmp_;
};

// ---------------------------------------------------------------------------
// Appending.

using JournalAppend = JournalFixture;

TEST_F(JournalAppend, RefusesRecordsOutOfTurnWithoutWritingAnything) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const ReportV1 report = test_support::valid_run_report();
  const JournalEntry header = JournalEntry::header(journal_header_of(report));
  ASSERT_TRUE(journal.append(record_at(0, header), true).ok());
  EXPECT_EQ(journal.next_sequence(), 1u);
  const std::string before = *file_contents(journal_path());

  EXPECT_EQ(journal.append(record_at(0, header), true).error(), kInvalidRecord);
  EXPECT_EQ(journal.append(record_at(2, JournalEntry::sample(report.samples[0])), false).error(),
            kInvalidRecord);
  JournalRecord wrong_version = record_at(1, JournalEntry::sample(report.samples[0]));
  wrong_version.version = 2;
  EXPECT_EQ(journal.append(wrong_version, false).error(), kInvalidRecord);
  for (auto entry :
       {JournalEntry::signal(report.signals[0]), JournalEntry::transition(report.transitions[0]),
        JournalEntry::checkpoint(report.checkpoint), JournalEntry::outcome(report.outcome),
        JournalEntry::sample_history_reset(), header}) {
    EXPECT_EQ(journal.append(record_at(1, entry), /*durable=*/false).error(), kInvalidRecord)
        << entry.name();
  }
  EXPECT_EQ(*file_contents(journal_path()), before);
  EXPECT_EQ(journal.next_sequence(), 1u);
  EXPECT_FALSE(journal.poisoned());

  // The refused sequence number is offered again and taken; a sample needs
  // no sync.
  const int syncs = io.sync_calls();
  EXPECT_TRUE(journal.append(record_at(1, JournalEntry::sample(report.samples[0])), false).ok());
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_TRUE(journal.append(record_at(2, JournalEntry::signal(report.signals[0])), true).ok());
  EXPECT_EQ(io.sync_calls(), syncs + 1);
  EXPECT_EQ(journal.append_record(record_at(2, header), true).error(),
            StorageErrorKind::InvalidRecord);
  EXPECT_TRUE(journal.append_record(record_at(3, JournalEntry::escape(report.escape)), false).ok());
  EXPECT_EQ(journal.next_sequence(), 4u);
}

TEST_F(JournalAppend, APayloadOfExactlyTheLimitIsTheLargestWritten) {
  SecureJournal journal = open_journal();
  JournalHeader header = journal_header_of(test_support::valid_run_report());
  header.package_version.clear();
  const size_t base = encode_journal_record(record_at(0, JournalEntry::header(header))).size();
  header.package_version.assign(kMaxJournalPayloadBytes + 1 - base, 'v');
  EXPECT_EQ(journal.append(record_at(0, JournalEntry::header(header)), true).error(),
            kInvalidRecord);
  header.package_version.pop_back();
  const JournalRecord largest = record_at(0, JournalEntry::header(header));
  ASSERT_EQ(encode_journal_record(largest).size(), kMaxJournalPayloadBytes);
  ASSERT_TRUE(journal.append(largest, true).ok());

  auto recovery = read_journal_at(journal_path());
  ASSERT_TRUE(recovery.ok());
  EXPECT_EQ(recovery->tail, JournalTail::Clean);
  ASSERT_EQ(recovery->records.size(), 1u);
  EXPECT_EQ(recovery->records[0], largest);
}

TEST_F(JournalAppend, AFailedFrameWritePoisonsTheJournalForGood) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const auto records = journal_records_of(test_support::valid_run_report());
  ASSERT_TRUE(journal.append(records[0], true).ok());
  // The length goes out, the payload does not.
  io.dribble_writes();
  io.fail_writes_after(static_cast<int>(kFrameLengthBytes), ENOSPC);
  EXPECT_EQ(journal.append(records[1], false).error(),
            storage_error(StorageErrorKind::WriteFailed, ENOSPC));
  EXPECT_TRUE(journal.poisoned());
  io.heal();
  EXPECT_EQ(journal.append(records[1], false).error(), kInvalidRecord);
  EXPECT_EQ(journal.append(records[2], false).error(), kInvalidRecord);
  EXPECT_EQ(journal.next_sequence(), 1u);

  // Finalize gives up before reading: a readable journal would otherwise
  // be reported as torn (InvalidRecord), and nothing is synced or written.
  const int syncs = io.sync_calls();
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_FALSE(exists(report_path()));
  EXPECT_FALSE(exists(temp_path()));

  // On disk the half-written frame is a torn tail behind the intact header.
  auto recovery = read_journal_at(journal_path());
  ASSERT_TRUE(recovery.ok());
  EXPECT_EQ(recovery->tail, JournalTail::Truncated);
  EXPECT_EQ(recovery->records, std::vector<JournalRecord>{records[0]});
}

TEST_F(JournalAppend, AFailedSyncPoisonsTheJournalForGood) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const auto records = journal_records_of(test_support::valid_run_report());
  io.fail_syncs_after(0, EIO);
  EXPECT_EQ(journal.append(records[0], true).error(),
            storage_error(StorageErrorKind::SyncFailed, EIO));
  io.heal();
  EXPECT_TRUE(journal.poisoned());
  EXPECT_EQ(journal.append_record(records[1], false).error(), StorageErrorKind::InvalidRecord);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
}

// ---------------------------------------------------------------------------
// Reading back.

using JournalRead = JournalFixture;

TEST_F(JournalRead, GivesBackEveryAppendedRecord) {
  const auto records = journal_records_of(test_support::valid_observe_report());
  {
    SecureJournal journal = open_journal();
    append_all(journal, records);
  }
  auto recovery = read_journal_at(journal_path());
  ASSERT_TRUE(recovery.ok());
  EXPECT_EQ(recovery->tail, JournalTail::Clean);
  EXPECT_EQ(recovery->records, records);
}

TEST_F(JournalRead, ACutInsideTheLastFrameKeepsEveryEarlierRecord) {
  const auto records = journal_records_of(test_support::valid_run_report());
  const std::string whole = journal_bytes_of(records);
  const std::string without_last =
      journal_bytes_of(std::vector<JournalRecord>(records.begin(), records.end() - 1));
  const std::vector<JournalRecord> earlier(records.begin(), records.end() - 1);
  for (size_t cut = without_last.size() + 1; cut < whole.size(); ++cut) {
    auto recovery = read_journal_bytes(whole.substr(0, cut));
    ASSERT_TRUE(recovery.ok());
    ASSERT_EQ(recovery->tail, JournalTail::Truncated) << "cut at " << cut;
    ASSERT_EQ(recovery->records, earlier) << "cut at " << cut;
    ASSERT_EQ(recovery->to_report().error(), kInvalidRecord);
  }
}

TEST_F(JournalRead, RecordsOutOfTurnOrUndecodableEndTheJournalAsCorrupt) {
  const auto records = journal_records_of(test_support::valid_run_report());
  const auto corrupt_after = [&](std::vector<JournalRecord> written, size_t kept) {
    auto recovery = read_journal_bytes(journal_bytes_of(written));
    ASSERT_TRUE(recovery.ok());
    EXPECT_EQ(recovery->tail, JournalTail::Corrupt);
    EXPECT_EQ(recovery->records,
              std::vector<JournalRecord>(records.begin(), records.begin() + kept));
  };
  // Sequences 0, 1, 3.
  auto gap = std::vector<JournalRecord>(records.begin(), records.begin() + 3);
  gap[2].sequence = 3;
  corrupt_after(gap, 2);
  // A repeated record.
  auto repeated = std::vector<JournalRecord>(records.begin(), records.begin() + 3);
  repeated[2] = repeated[1];
  corrupt_after(repeated, 2);
  // A version this program does not write.
  auto versioned = std::vector<JournalRecord>(records.begin(), records.begin() + 2);
  versioned[1].version = 2;
  corrupt_after(versioned, 1);

  // A payload with a correct checksum that is not a record.
  std::string bytes = journal_bytes_of({records[0]});
  const std::string junk = "{\"version\":1,\"sequence\":1}";
  append_be32(bytes, static_cast<uint32_t>(junk.size()));
  bytes += junk;
  append_be32(bytes,
              journal_checksum({reinterpret_cast<const uint8_t*>(junk.data()), junk.size()}));
  auto recovery = read_journal_bytes(bytes);
  ASSERT_TRUE(recovery.ok());
  EXPECT_EQ(recovery->tail, JournalTail::Corrupt);
  EXPECT_EQ(recovery->records.size(), 1u);
}

TEST_F(JournalRead, AnyFlippedBitInARecordIsCorruptAtThatRecord) {
  const auto records = journal_records_of(test_support::valid_run_report());
  const std::string whole = journal_bytes_of(records);
  // The transition record sits in the middle of the journal.
  const size_t index = 1 + test_support::valid_run_report().samples.size();
  ASSERT_EQ(records[index].entry.type(), JournalEntry::Type::Transition);
  const size_t begin =
      journal_bytes_of(std::vector<JournalRecord>(records.begin(), records.begin() + index))
          .size() +
      kFrameLengthBytes;
  const size_t size = encode_journal_record(records[index]).size();
  for (size_t bit = 0; bit < size * 8; ++bit) {
    std::string damaged = whole;
    damaged[begin + bit / 8] = static_cast<char>(damaged[begin + bit / 8] ^ (1 << (bit % 8)));
    auto recovery = read_journal_bytes(damaged);
    ASSERT_TRUE(recovery.ok());
    ASSERT_EQ(recovery->tail, JournalTail::Corrupt) << "bit " << bit;
    ASSERT_EQ(recovery->records,
              std::vector<JournalRecord>(records.begin(), records.begin() + index))
        << "bit " << bit;
  }
}

TEST_F(JournalRead, OnlyAPrivateJournalOfTheUserIsRead) {
  const std::string bytes = journal_bytes_of(journal_records_of(test_support::valid_run_report()));
  EXPECT_EQ(read_journal_bytes(bytes, 0640).error(), kInvalidRecord);
  EXPECT_TRUE(read_journal_bytes(bytes, 0600).ok());
  ASSERT_TRUE(write_file(tmp_.file("j"), bytes, 0600));
  if (!test_support::give_to_other_user(tmp_.file("j"))) {
    GTEST_SKIP() << "cannot hand a file to another user here";
  }
  EXPECT_EQ(read_journal_at(tmp_.file("j")).error(), kInvalidRecord);
}

// ---------------------------------------------------------------------------
// Rebuilding the report.

JournalRecovery recovery_of(std::vector<JournalEntry> entries,
                            JournalTail tail = JournalTail::Clean) {
  return JournalRecovery{numbered_records(std::move(entries)), tail};
}

TEST(JournalReport, RebuildsTheRunsReport) {
  for (const ReportV1& report :
       {test_support::valid_run_report(), test_support::valid_observe_report()}) {
    auto rebuilt = recovery_of(journal_entries_of(report)).to_report();
    ASSERT_TRUE(rebuilt.ok());
    EXPECT_EQ(*rebuilt, report);
  }
}

TEST(JournalReport, OnlyACleanNonEmptyJournalYieldsAReport) {
  const auto entries = journal_entries_of(test_support::valid_run_report());
  EXPECT_EQ(recovery_of(entries, JournalTail::Truncated).to_report().error(), kInvalidRecord);
  EXPECT_EQ(recovery_of(entries, JournalTail::Corrupt).to_report().error(), kInvalidRecord);
  EXPECT_EQ(recovery_of({}).to_report().error(), kInvalidRecord);
}

TEST(JournalReport, AHistoryResetDropsEarlierSamplesOnce) {
  const ReportV1 report = test_support::valid_run_report();
  auto entries = journal_entries_of(report);
  // header, sample, sample, reset, sample, ...
  entries.insert(entries.begin() + 3, JournalEntry::sample_history_reset());
  entries.insert(entries.begin() + 4, JournalEntry::sample(report.samples[1]));
  auto rebuilt = recovery_of(entries).to_report();
  ASSERT_TRUE(rebuilt.ok());
  EXPECT_EQ(rebuilt->samples, std::vector<SampleWindow>{report.samples[1]});

  // A reset before any sample leaves nothing to drop.
  auto early = journal_entries_of(report);
  early.insert(early.begin() + 1, JournalEntry::sample_history_reset());
  EXPECT_EQ(recovery_of(early).to_report()->samples, report.samples);

  entries.insert(entries.begin() + 5, JournalEntry::sample_history_reset());
  EXPECT_EQ(recovery_of(entries).to_report().error(), kInvalidRecord);
}

TEST(JournalReport, TheOutcomeComesOnceAndLast) {
  const ReportV1 report = test_support::valid_run_report();
  auto trailing = journal_entries_of(report);
  trailing.push_back(JournalEntry::signal(report.signals[0]));
  EXPECT_EQ(recovery_of(trailing).to_report().error(), kInvalidRecord);

  auto twice = journal_entries_of(report);
  twice.push_back(JournalEntry::outcome(report.outcome));
  EXPECT_EQ(recovery_of(twice).to_report().error(), kInvalidRecord);

  // An outcome right after the header: no checkpoint, no escape.
  EXPECT_EQ(recovery_of({JournalEntry::header(journal_header_of(report)),
                         JournalEntry::outcome(report.outcome)})
                .to_report()
                .error(),
            kInvalidRecord);
}

TEST(JournalReport, EveryPartMustBeThereOnce) {
  const ReportV1 report = test_support::valid_run_report();
  const auto without = [&](JournalEntry::Type type) {
    auto entries = journal_entries_of(report);
    std::erase_if(entries, [&](const JournalEntry& e) { return e.type() == type; });
    return recovery_of(entries).to_report();
  };
  EXPECT_EQ(without(JournalEntry::Type::Header).error(), kInvalidRecord);
  EXPECT_EQ(without(JournalEntry::Type::Checkpoint).error(), kInvalidRecord);
  EXPECT_EQ(without(JournalEntry::Type::Escape).error(), kInvalidRecord);
  EXPECT_EQ(without(JournalEntry::Type::Outcome).error(), kInvalidRecord);

  const ReportV1 observe = test_support::valid_observe_report();
  ASSERT_TRUE(observe.calibration.has_value());
  EXPECT_TRUE(without(JournalEntry::Type::Sample).ok());
  const auto doubled = [&](const ReportV1& from, JournalEntry::Type type) {
    auto entries = journal_entries_of(from);
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [&](const JournalEntry& e) { return e.type() == type; });
    entries.insert(it, *it);
    return recovery_of(entries).to_report();
  };
  EXPECT_EQ(doubled(report, JournalEntry::Type::Checkpoint).error(), kInvalidRecord);
  EXPECT_EQ(doubled(report, JournalEntry::Type::Escape).error(), kInvalidRecord);
  EXPECT_EQ(doubled(observe, JournalEntry::Type::Calibration).error(), kInvalidRecord);
  EXPECT_EQ(doubled(report, JournalEntry::Type::Header).error(), kInvalidRecord);
  EXPECT_TRUE(doubled(report, JournalEntry::Type::Signal).ok());

  // The header belongs first.
  auto swapped = journal_entries_of(report);
  std::swap(swapped[0], swapped[1]);
  EXPECT_EQ(recovery_of(swapped).to_report().error(), kInvalidRecord);
}

TEST(JournalReport, ACompleteJournalMustStillDescribeAValidReport) {
  ReportV1 report = test_support::valid_run_report();
  report.signals[0].signal = 0;
  ASSERT_FALSE(report.validate().ok());
  EXPECT_EQ(recovery_of(journal_entries_of(report)).to_report().error(), kInvalidRecord);
}

// ---------------------------------------------------------------------------
// Publishing.

using JournalFinalize = JournalFixture;

TEST_F(JournalFinalize, PublishesThePrivateReportAndKeepsTheJournal) {
  const ReportV1 report = test_support::valid_run_report();
  SecureJournal journal = open_journal();
  append_all(journal, journal_records_of(report));
  const std::string journal_before = *file_contents(journal_path());

  auto published = journal.finalize();
  ASSERT_TRUE(published.ok()) << published.error().message();
  EXPECT_EQ(published->report, report);
  EXPECT_EQ(published->summary, "vek-guard: child_signaled at 300ms; 2 samples, 1 signal\n");
  EXPECT_EQ(*file_contents(report_path()), *report.to_json_pretty());
  EXPECT_EQ(*file_mode(report_path()), 0600u);
  EXPECT_FALSE(exists(temp_path()));
  EXPECT_EQ(*file_contents(journal_path()), journal_before);
}

TEST_F(JournalFinalize, ReplacesOnlyTheUsersOwnPrivateReport) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  SecureJournal journal = open_journal();
  append_all(journal, journal_records_of(test_support::valid_run_report()));
  // Made public during the run: refused and left as it is.
  ASSERT_EQ(::chmod(report_path().c_str(), 0644), 0);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::UnsafeTarget));
  EXPECT_EQ(*file_contents(report_path()), "old");
  EXPECT_EQ(*file_mode(report_path()), 0644u);
  EXPECT_TRUE(exists(journal_path()));
  EXPECT_FALSE(exists(temp_path()));

  ASSERT_EQ(::chmod(report_path().c_str(), 0600), 0);
  ASSERT_TRUE(journal.finalize().ok());
  EXPECT_EQ(*file_contents(report_path()), *test_support::valid_run_report().to_json_pretty());
}

TEST_F(JournalFinalize, AStaleTemporaryReportBlocksPublicationAndStays) {
  SecureJournal journal = open_journal();
  append_all(journal, journal_records_of(test_support::valid_run_report()));
  ASSERT_TRUE(write_file(temp_path(), "crashed run"));
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::UnsafeTarget, EEXIST));
  EXPECT_EQ(*file_contents(temp_path()), "crashed run");
  EXPECT_FALSE(exists(report_path()));
}

TEST_F(JournalFinalize, AnIncompleteJournalPublishesNothing) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  SecureJournal journal = open_journal();
  auto records = journal_records_of(test_support::valid_run_report());
  records.pop_back();  // the outcome
  append_all(journal, records);
  EXPECT_EQ(journal.finalize().error(), kInvalidRecord);
  EXPECT_EQ(*file_contents(report_path()), "old");
  EXPECT_FALSE(exists(temp_path()));
  EXPECT_TRUE(exists(journal_path()));
}

TEST_F(JournalFinalize, AFailedTemporaryReportIsRemovedAndTheJournalStaysUsable) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  append_all(journal, journal_records_of(test_support::valid_run_report()));

  io.fail_writes_after(0, ENOSPC);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::FinalReportFailed, ENOSPC));
  io.heal();
  // The journal's sync passes, the temporary file's fails.
  io.fail_syncs_after(1, EIO);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::FinalReportFailed, EIO));
  io.heal();
  io.fail_renames(EXDEV);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::FinalReportFailed, EXDEV));
  io.heal();
  EXPECT_EQ(*file_contents(report_path()), "old");
  EXPECT_FALSE(exists(temp_path()));
  EXPECT_FALSE(journal.poisoned());
  EXPECT_TRUE(journal.finalize().ok());
}

TEST_F(JournalFinalize, AFailedJournalSyncPoisonsAFailedDirectorySyncDoesNot) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  append_all(journal, journal_records_of(test_support::valid_run_report()));
  // Journal, temporary report, then the directory.
  io.fail_syncs_after(2, EIO);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed, EIO));
  EXPECT_EQ(*file_contents(report_path()), *test_support::valid_run_report().to_json_pretty());
  EXPECT_FALSE(journal.poisoned());

  io.heal();
  io.fail_syncs_after(0, EIO);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed, EIO));
  EXPECT_TRUE(journal.poisoned());
}

// ---------------------------------------------------------------------------
// Crash safety.

// The record a killed writer appends at position i (after the header): a
// sample, with a durable signal now and then.
JournalRecord crash_record(uint64_t i, const ReportV1& report) {
  if (i == 0) return record_at(0, JournalEntry::header(journal_header_of(report)));
  if (i % 16 == 0) {
    SignalRecord signal = report.signals[0];
    signal.at_ms = i;
    return record_at(i, JournalEntry::signal(signal));
  }
  SampleWindow sample = report.samples[i % report.samples.size()];
  sample.captured_at_ms = i;
  return record_at(i, JournalEntry::sample(sample));
}

using JournalCrash = JournalFixture;

TEST_F(JournalCrash, AWriterKilledAtRandomMomentsLeavesAReadableJournal) {
  const ReportV1 report = test_support::valid_run_report();
  std::mt19937 random(20261206);
  constexpr int kRounds = 12;
  constexpr uint64_t kMaxRecords = 200000;
  int truncated = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::string name = "r" + std::to_string(round) + ".json";
    // Every other writer writes a byte at a time, so that most kills land
    // inside a frame rather than between two.
    FaultyFileIo io;
    if (round % 2 == 1) io.dribble_writes();
    auto journal = SecureJournal::initialize(file(name), io);
    ASSERT_TRUE(journal.ok());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (uint64_t i = 0; i < kMaxRecords; ++i) {
        const JournalRecord record = crash_record(i, report);
        if (!journal->append(record, entry_requires_sync(record.entry.type()))) ::_exit(1);
      }
      ::_exit(0);
    }
    // Anywhere from before the first append to deep into the run.
    const long delay_us = static_cast<long>(random() % 20000);
    const timespec delay{0, delay_us * 1000};
    ::nanosleep(&delay, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended by itself before it was killed (status " << status << ")";

    auto recovery = read_journal_at(file("." + name + ".journal"));
    ASSERT_TRUE(recovery.ok()) << recovery.error().message();
    ASSERT_NE(recovery->tail, JournalTail::Corrupt) << "round " << round;
    if (recovery->tail == JournalTail::Truncated) ++truncated;
    for (uint64_t i = 0; i < recovery->records.size(); ++i) {
      ASSERT_EQ(recovery->records[i], crash_record(i, report)) << "round " << round;
    }
  }
  EXPECT_GT(truncated, 0) << "no kill landed inside a frame";
}

}  // namespace
}  // namespace vek_guard
