// The journal with real records: appends, reading back, rebuilding the
// report, publication, and survival of a writer killed at random moments.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/faulty_file_io.h"
#include "support/file_state.h"
#include "support/journal_samples.h"
#include "support/report_dir.h"
#include "support/report_samples.h"
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
using test_support::write_file;
using Type = JournalEntry::Type;
using Records = std::vector<JournalRecord>;

JournalRecord record_at(uint64_t sequence, JournalEntry entry) {
  return JournalRecord{kJournalRecordVersion, sequence, std::move(entry)};
}

Records first(const Records& records, size_t count) {
  return Records(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
}

std::string journal_bytes_of(const Records& records) {
  std::vector<std::string> payloads;
  for (const JournalRecord& record : records) payloads.push_back(encode_journal_record(record));
  return test_support::journal_file_bytes(payloads);
}

// Reads the bytes as a journal and expects the records and the tail.
void expect_recovery(const std::string& bytes, const Records& records, JournalTail tail) {
  auto recovery = read_journal(test_support::memory_file(bytes, 0600));
  ASSERT_TRUE(recovery.ok());
  ASSERT_EQ(recovery->tail, tail);
  ASSERT_EQ(recovery->records, records);
}

const StorageError kInvalidRecord = storage_error(StorageErrorKind::InvalidRecord);

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
      const auto appended = journal.append(record, entry_requires_sync(record.entry.type()));
      ASSERT_TRUE(appended.ok()) << "record " << record.sequence << ": "
                                 << appended.error().message();
    }
  }
};

// ---------------------------------------------------------------------------
// Appending.

using JournalAppend = JournalFixture;

TEST_F(JournalAppend, RefusesRecordsOutOfTurnWithoutWritingAnything) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const ReportV1 report = test_support::valid_run_report();
  const JournalEntry header = JournalEntry::header(journal_header_of(report));
  const JournalEntry sample = JournalEntry::sample(report.samples[0]);
  ASSERT_TRUE(journal.append(record_at(0, header), true).ok());
  const std::string before = *file_contents(journal_path());

  JournalRecord wrong_version = record_at(1, sample);
  wrong_version.version = 2;
  for (const JournalRecord& record : {record_at(0, header), record_at(2, sample), wrong_version}) {
    EXPECT_EQ(journal.append(record, false).error(), kInvalidRecord) << record.sequence;
  }
  // Everything but samples, escape evidence, artifact errors and calibration
  // must be durable.
  for (const JournalEntry& entry :
       {JournalEntry::signal(report.signals[0]), JournalEntry::transition(report.transitions[0]),
        JournalEntry::checkpoint(report.checkpoint), JournalEntry::outcome(report.outcome),
        JournalEntry::sample_history_reset(), header}) {
    EXPECT_EQ(journal.append(record_at(1, entry), /*durable=*/false).error(), kInvalidRecord)
        << entry.name();
  }
  EXPECT_EQ(*file_contents(journal_path()), before);
  EXPECT_FALSE(journal.poisoned());

  // The refused sequence number is offered again and taken; only a durable
  // append syncs.
  const int syncs = io.sync_calls();
  EXPECT_TRUE(journal.append(record_at(1, sample), false).ok());
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
  expect_recovery(*file_contents(journal_path()), {largest}, JournalTail::Clean);
}

// After a failed write the file may end in a torn frame, and after a failed
// sync the kernel may have dropped the pages: either way nothing more is
// appended and nothing is published.
TEST_F(JournalAppend, AFailedWriteOrSyncPoisonsTheJournalForGood) {
  const Records records = journal_records_of(test_support::valid_run_report());
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  ASSERT_TRUE(journal.append(records[0], true).ok());
  // The length goes out, the payload does not.
  io.dribble_writes();
  io.fail_writes_after(static_cast<int>(kFrameLengthBytes), ENOSPC);
  EXPECT_EQ(journal.append(records[1], false).error(),
            storage_error(StorageErrorKind::WriteFailed, ENOSPC));
  EXPECT_TRUE(journal.poisoned());
  io.heal();
  EXPECT_EQ(journal.append(records[1], false).error(), kInvalidRecord);
  EXPECT_EQ(journal.next_sequence(), 1u);
  // Finalize gives up before reading (which would call the torn journal
  // invalid) and syncs or writes nothing.
  const int syncs = io.sync_calls();
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_FALSE(exists(report_path()));
  EXPECT_FALSE(exists(temp_path()));
  expect_recovery(*file_contents(journal_path()), {records[0]}, JournalTail::Truncated);

  FaultyFileIo sync_io;
  SecureJournal synced = open_journal(sync_io, "s.json");
  sync_io.fail_syncs_after(0, EIO);
  EXPECT_EQ(synced.append(records[0], true).error(),
            storage_error(StorageErrorKind::SyncFailed, EIO));
  sync_io.heal();
  EXPECT_TRUE(synced.poisoned());
  EXPECT_EQ(synced.append(records[1], false).error(), kInvalidRecord);
  EXPECT_EQ(synced.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
}

// ---------------------------------------------------------------------------
// Reading back.

TEST(JournalRead, ACutInsideTheLastFrameKeepsEveryEarlierRecord) {
  const Records records = journal_records_of(test_support::valid_run_report());
  const Records earlier = first(records, records.size() - 1);
  const std::string whole = journal_bytes_of(records);
  for (size_t cut = journal_bytes_of(earlier).size() + 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    expect_recovery(whole.substr(0, cut), earlier, JournalTail::Truncated);
  }
}

TEST(JournalRead, AnyFlippedBitInARecordIsCorruptAtThatRecord) {
  const Records records = journal_records_of(test_support::valid_run_report());
  const std::string whole = journal_bytes_of(records);
  // The transition record sits in the middle of the journal.
  const size_t index = 1 + test_support::valid_run_report().samples.size();
  ASSERT_EQ(records[index].entry.type(), Type::Transition);
  const size_t begin = journal_bytes_of(first(records, index)).size() + kFrameLengthBytes;
  for (size_t bit = 0; bit < encode_journal_record(records[index]).size() * 8; ++bit) {
    SCOPED_TRACE(bit);
    std::string damaged = whole;
    damaged[begin + bit / 8] = static_cast<char>(damaged[begin + bit / 8] ^ (1 << (bit % 8)));
    expect_recovery(damaged, first(records, index), JournalTail::Corrupt);
  }
}

TEST(JournalRead, RecordsOutOfTurnOrUndecodableEndTheJournalAsCorrupt) {
  const Records records = journal_records_of(test_support::valid_run_report());
  Records gap = first(records, 3);  // sequences 0, 1, 3
  gap[2].sequence = 3;
  expect_recovery(journal_bytes_of(gap), first(records, 2), JournalTail::Corrupt);
  Records repeated = first(records, 3);
  repeated[2] = repeated[1];
  expect_recovery(journal_bytes_of(repeated), first(records, 2), JournalTail::Corrupt);
  Records versioned = first(records, 2);  // a version this program does not write
  versioned[1].version = 2;
  expect_recovery(journal_bytes_of(versioned), first(records, 1), JournalTail::Corrupt);
  // A payload with a correct checksum that is not a record.
  expect_recovery(test_support::journal_file_bytes(
                      {encode_journal_record(records[0]), "{\"version\":1,\"sequence\":1}"}),
                  first(records, 1), JournalTail::Corrupt);
}

// ---------------------------------------------------------------------------
// Rebuilding the report.

Result<ReportV1, StorageError> report_of(std::vector<JournalEntry> entries,
                                         JournalTail tail = JournalTail::Clean) {
  return JournalRecovery{test_support::numbered_records(std::move(entries)), tail}.to_report();
}

TEST(JournalReport, RebuildsTheRunsReportWithTheSamplesAfterTheLastReset) {
  for (const ReportV1& report :
       {test_support::valid_run_report(), test_support::valid_observe_report()}) {
    EXPECT_EQ(report_of(journal_entries_of(report)).value(), report);
  }
  const ReportV1 report = test_support::valid_run_report();
  auto entries = journal_entries_of(report);
  // header, sample, sample, reset, sample, ...
  entries.insert(entries.begin() + 3, JournalEntry::sample_history_reset());
  entries.insert(entries.begin() + 4, JournalEntry::sample(report.samples[1]));
  EXPECT_EQ(report_of(entries)->samples, std::vector<SampleWindow>{report.samples[1]});
  // A reset before any sample leaves nothing to drop.
  auto early = journal_entries_of(report);
  early.insert(early.begin() + 1, JournalEntry::sample_history_reset());
  EXPECT_EQ(report_of(early)->samples, report.samples);
}

TEST(JournalReport, OnlyACleanCompleteJournalInTurnYieldsAReport) {
  using Entries = std::vector<JournalEntry>;
  const ReportV1 run = test_support::valid_run_report();
  const ReportV1 observe = test_support::valid_observe_report();
  const auto without = [](Type type) {
    return [type](Entries& e) {
      std::erase_if(e, [&](const JournalEntry& x) { return x.type() == type; });
    };
  };
  const auto doubled = [](Type type) {
    return [type](Entries& e) {
      const auto it =
          std::find_if(e.begin(), e.end(), [&](const JournalEntry& x) { return x.type() == type; });
      e.insert(it, *it);
    };
  };
  struct Row {
    const char* what;
    const ReportV1& from;
    std::function<void(Entries&)> change;
    bool ok;
  };
  const Row rows[] = {
      {"without header", run, without(Type::Header), false},
      {"without checkpoint", run, without(Type::Checkpoint), false},
      {"without escape", run, without(Type::Escape), false},
      {"without outcome", run, without(Type::Outcome), false},
      {"without samples", run, without(Type::Sample), true},
      {"two headers", run, doubled(Type::Header), false},
      {"two checkpoints", run, doubled(Type::Checkpoint), false},
      {"two escapes", run, doubled(Type::Escape), false},
      {"two calibrations", observe, doubled(Type::Calibration), false},
      {"two outcomes", run, doubled(Type::Outcome), false},
      {"two signals", run, doubled(Type::Signal), true},
      {"two resets", run,
       [](Entries& e) { e.insert(e.begin() + 1, 2, JournalEntry::sample_history_reset()); }, false},
      {"header not first", run, [](Entries& e) { std::swap(e[0], e[1]); }, false},
      {"signal after the outcome", run,
       [&](Entries& e) { e.push_back(JournalEntry::signal(run.signals[0])); }, false},
      {"outcome right after the header", run,
       [](Entries& e) { e.erase(e.begin() + 1, e.end() - 1); }, false},
      {"nothing", run, [](Entries& e) { e.clear(); }, false},
  };
  for (const Row& row : rows) {
    Entries entries = journal_entries_of(row.from);
    row.change(entries);
    const auto rebuilt = report_of(entries);
    EXPECT_EQ(rebuilt.ok(), row.ok) << row.what;
    if (!rebuilt.ok()) {
      EXPECT_EQ(rebuilt.error(), kInvalidRecord) << row.what;
    }
  }
  // Every record intact but the tail torn or damaged: no report at all.
  EXPECT_EQ(report_of(journal_entries_of(run), JournalTail::Truncated).error(), kInvalidRecord);
  EXPECT_EQ(report_of(journal_entries_of(run), JournalTail::Corrupt).error(), kInvalidRecord);
  // A complete journal must still describe a valid report.
  ReportV1 invalid = run;
  invalid.signals[0].signal = 0;
  ASSERT_FALSE(invalid.validate().ok());
  EXPECT_EQ(report_of(journal_entries_of(invalid)).error(), kInvalidRecord);
}

// ---------------------------------------------------------------------------
// Publishing.

using JournalFinalize = JournalFixture;

TEST_F(JournalFinalize, PublishesThePrivateReportAndKeepsTheJournal) {
  const ReportV1 report = test_support::valid_run_report();
  const Records records = journal_records_of(report);
  SecureJournal journal = open_journal();
  append_all(journal, records);
  const std::string journal_before = *file_contents(journal_path());

  auto published = journal.finalize();
  ASSERT_TRUE(published.ok()) << published.error().message();
  EXPECT_EQ(published->report, report);
  EXPECT_EQ(published->summary, "vek-guard: child_signaled at 300ms; 2 samples, 1 signal\n");
  EXPECT_EQ(*file_contents(report_path()), *report.to_json_pretty());
  EXPECT_EQ(*file_mode(report_path()), 0600u);
  EXPECT_FALSE(exists(temp_path()));
  EXPECT_EQ(*file_contents(journal_path()), journal_before);
  expect_recovery(journal_before, records, JournalTail::Clean);
}

// Every refusal or failure leaves the old report, the journal and any stale
// temporary file as they were; only a failed sync of the journal itself
// poisons it, and a failed directory sync comes after the report is in place.
TEST_F(JournalFinalize, FailuresPublishNothingAndOnlyAFailedJournalSyncPoisons) {
  ASSERT_TRUE(write_file(report_path(), "old"));
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const Records records = journal_records_of(test_support::valid_run_report());
  append_all(journal, first(records, records.size() - 1));  // no outcome yet
  EXPECT_EQ(journal.finalize().error(), kInvalidRecord);
  append_all(journal, {records.back()});
  // Made public during the run.
  ASSERT_EQ(::chmod(report_path().c_str(), 0644), 0);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::UnsafeTarget));
  EXPECT_EQ(*file_mode(report_path()), 0644u);
  ASSERT_EQ(::chmod(report_path().c_str(), 0600), 0);
  // A crashed run's temporary report.
  ASSERT_TRUE(write_file(temp_path(), "crashed run"));
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::UnsafeTarget, EEXIST));
  EXPECT_EQ(*file_contents(temp_path()), "crashed run");
  ASSERT_EQ(::unlink(temp_path().c_str()), 0);

  io.fail_writes_after(0, ENOSPC);
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::FinalReportFailed, ENOSPC));
  EXPECT_FALSE(exists(temp_path()));
  EXPECT_EQ(*file_contents(report_path()), "old");
  EXPECT_TRUE(exists(journal_path()));
  EXPECT_FALSE(journal.poisoned());
  io.heal();
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
    SecureJournal journal = open_journal(io, name);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (uint64_t i = 0; i < kMaxRecords; ++i) {
        const JournalRecord record = crash_record(i, report);
        if (!journal.append(record, entry_requires_sync(record.entry.type()))) ::_exit(1);
      }
      ::_exit(0);
    }
    // Anywhere from before the first append to deep into the run.
    const timespec delay{0, static_cast<long>(random() % 20000) * 1000};
    ::nanosleep(&delay, nullptr);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the writer ended by itself before it was killed (status " << status << ")";

    const std::string journal_file = file("." + name + ".journal");
    auto recovery = read_journal(UniqueFd(::open(journal_file.c_str(), O_RDONLY | O_CLOEXEC)));
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
