// The journal: its frames, its creation, appends, reading back, rebuilding
// the report, publication, and survival of a writer killed at random moments.
#include "vek_guard/journal.h"

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
#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

using test_support::exists;
using test_support::FaultyFileIo;
using test_support::file_contents;
using test_support::file_mode;
using test_support::journal_entries_of;
using test_support::journal_file_bytes;
using test_support::journal_header_of;
using test_support::journal_records_of;
using test_support::valid_run_report;
using test_support::write_file;
using Type = JournalEntry::Type;
using Records = std::vector<JournalRecord>;

const StorageError kInvalid = storage_error(StorageErrorKind::InvalidRecord);

JournalRecord record_at(uint64_t sequence, JournalEntry entry) {
  return JournalRecord{kJournalRecordVersion, sequence, std::move(entry)};
}

Records first(const Records& records, size_t count) {
  return Records(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
}

std::string journal_bytes_of(const Records& records) {
  std::vector<std::string> payloads;
  for (const JournalRecord& record : records) payloads.push_back(encode_journal_record(record));
  return journal_file_bytes(payloads);
}

// Reads the bytes as a journal and expects the records and the tail.
void expect_recovery(const std::string& bytes, const Records& records, JournalTail tail) {
  auto recovery = read_journal(test_support::memory_file(bytes, 0600));
  ASSERT_TRUE(recovery.ok());
  ASSERT_EQ(recovery->tail, tail);
  ASSERT_EQ(recovery->records, records);
}

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
      ASSERT_TRUE(journal.append(record, entry_requires_sync(record.entry.type())).ok())
          << record.sequence;
    }
  }
};

// ---------------------------------------------------------------------------
// Frames.

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

// The writer's frames are checked through the reader; the reader against
// frames built independently (journal_samples), which take this checksum.
TEST(JournalFrame, ChecksumIsIsoHdlcCrc32) {
  const std::string check = "123456789";
  EXPECT_EQ(journal_checksum({reinterpret_cast<const uint8_t*>(check.data()), check.size()}),
            0xCBF43926u);
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

TEST_F(JournalAppend, RefusesRecordsOutOfTurnWithoutWritingAnything) {
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  const ReportV1 report = valid_run_report();
  const JournalEntry sample = JournalEntry::sample(report.samples[0]);
  const JournalEntry signal = JournalEntry::signal(report.signals[0]);
  ASSERT_TRUE(journal.append(record_at(0, JournalEntry::header(journal_header_of(report))), true));
  const std::string before = *file_contents(journal_path());

  JournalRecord wrong_version = record_at(1, sample);
  wrong_version.version = 2;
  // Signals and outcomes (among others) must be durable.
  for (const JournalRecord& record :
       {record_at(0, sample), record_at(2, sample), wrong_version, record_at(1, signal),
        record_at(1, JournalEntry::outcome(report.outcome))}) {
    EXPECT_EQ(journal.append(record, false).error(), kInvalid) << record.entry.name();
  }
  EXPECT_EQ(*file_contents(journal_path()), before);
  EXPECT_FALSE(journal.poisoned());

  // The refused sequence number is offered again and taken; only a durable
  // append syncs.
  const int syncs = io.sync_calls();
  EXPECT_TRUE(journal.append(record_at(1, sample), false).ok());
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_TRUE(journal.append(record_at(2, signal), true).ok());
  EXPECT_EQ(io.sync_calls(), syncs + 1);
}

TEST_F(JournalAppend, APayloadOfExactlyTheLimitIsTheLargestWritten) {
  SecureJournal journal = open_journal();
  JournalHeader header = journal_header_of(valid_run_report());
  header.package_version.clear();
  const size_t base = encode_journal_record(record_at(0, JournalEntry::header(header))).size();
  header.package_version.assign(kMaxJournalPayloadBytes + 1 - base, 'v');
  EXPECT_EQ(journal.append(record_at(0, JournalEntry::header(header)), true).error(), kInvalid);
  header.package_version.pop_back();
  const JournalRecord largest = record_at(0, JournalEntry::header(header));
  ASSERT_EQ(encode_journal_record(largest).size(), kMaxJournalPayloadBytes);
  ASSERT_TRUE(journal.append(largest, true).ok());
  expect_recovery(*file_contents(journal_path()), {largest}, JournalTail::Clean);
}

// After a failed write the file may end in a torn frame: nothing more is
// appended and nothing is published.
TEST_F(JournalAppend, AFailedWritePoisonsTheJournalForGood) {
  const Records records = journal_records_of(valid_run_report());
  FaultyFileIo io;
  SecureJournal journal = open_journal(io);
  ASSERT_TRUE(journal.append(records[0], true).ok());
  // The length goes out, the payload does not.
  io.dribble_writes();
  io.fail_writes_after(static_cast<int>(kFrameLengthBytes), ENOSPC);
  EXPECT_EQ(journal.append(records[1], false).error(),
            storage_error(StorageErrorKind::WriteFailed, ENOSPC));
  io.heal();
  EXPECT_EQ(journal.append(records[1], false).error(), kInvalid);
  // Finalize gives up before reading (which would call the torn journal
  // invalid) and syncs or writes nothing.
  const int syncs = io.sync_calls();
  EXPECT_EQ(journal.finalize().error(), storage_error(StorageErrorKind::SyncFailed));
  EXPECT_EQ(io.sync_calls(), syncs);
  EXPECT_FALSE(exists(report_path()));
  expect_recovery(*file_contents(journal_path()), {records[0]}, JournalTail::Truncated);
}

// ---------------------------------------------------------------------------
// Reading back.

TEST(JournalRead, ACutInsideTheLastFrameKeepsEveryEarlierRecord) {
  const Records records = journal_records_of(valid_run_report());
  const Records earlier = first(records, records.size() - 1);
  const std::string whole = journal_bytes_of(records);
  for (size_t cut = journal_bytes_of(earlier).size() + 1; cut < whole.size(); ++cut) {
    SCOPED_TRACE(cut);
    expect_recovery(whole.substr(0, cut), earlier, JournalTail::Truncated);
  }
}

TEST(JournalRead, AnyFlippedBitInARecordIsCorruptAtThatRecord) {
  const Records records = journal_records_of(valid_run_report());
  const std::string whole = journal_bytes_of(records);
  const size_t index = records.size() / 2;
  const size_t begin = journal_bytes_of(first(records, index)).size() + kFrameLengthBytes;
  for (size_t bit = 0; bit < encode_journal_record(records[index]).size() * 8; ++bit) {
    SCOPED_TRACE(bit);
    std::string damaged = whole;
    damaged[begin + bit / 8] = static_cast<char>(damaged[begin + bit / 8] ^ (1 << (bit % 8)));
    expect_recovery(damaged, first(records, index), JournalTail::Corrupt);
  }
}

TEST(JournalRead, RecordsOutOfTurnOrUndecodableEndTheJournalAsCorrupt) {
  const Records records = journal_records_of(valid_run_report());
  Records gap = first(records, 3);  // sequences 0, 1, 3
  gap[2].sequence = 3;
  expect_recovery(journal_bytes_of(gap), first(records, 2), JournalTail::Corrupt);
  Records versioned = first(records, 2);  // a version this program does not write
  versioned[1].version = 2;
  expect_recovery(journal_bytes_of(versioned), first(records, 1), JournalTail::Corrupt);
  // A payload with a correct checksum that is not a record.
  expect_recovery(
      journal_file_bytes({encode_journal_record(records[0]), "{\"version\":1,\"sequence\":1}"}),
      first(records, 1), JournalTail::Corrupt);
}

// ---------------------------------------------------------------------------
// Rebuilding the report.

TEST(JournalReport, OnlyACleanCompleteJournalInTurnYieldsTheRunsReport) {
  using Entries = std::vector<JournalEntry>;
  using Change = std::function<void(Entries&)>;
  const ReportV1 run = valid_run_report();
  const auto rebuilt = [](const ReportV1& from, const Change& change,
                          JournalTail tail = JournalTail::Clean) {
    Entries entries = journal_entries_of(from);
    change(entries);
    return JournalRecovery{test_support::numbered_records(std::move(entries)), tail}.to_report();
  };
  const Change unchanged = [](Entries&) {};
  EXPECT_EQ(rebuilt(run, unchanged).value(), run);
  // header, sample, sample, reset, sample, ...: only the samples after the reset count.
  EXPECT_EQ(rebuilt(run,
                    [&](Entries& e) {
                      e.insert(e.begin() + 3, {JournalEntry::sample_history_reset(),
                                               JournalEntry::sample(run.samples[1])});
                    })
                ->samples,
            std::vector<SampleWindow>{run.samples[1]});

  const auto without = [](Type type) {
    return [type](Entries& e) { std::erase_if(e, [&](auto& x) { return x.type() == type; }); };
  };
  const auto doubled = [](Type type) {
    return [type](Entries& e) {
      const auto it = std::find_if(e.begin(), e.end(), [&](auto& x) { return x.type() == type; });
      e.insert(it, *it);
    };
  };
  EXPECT_TRUE(rebuilt(run, without(Type::Sample)).ok());
  EXPECT_TRUE(rebuilt(run, doubled(Type::Signal)).ok());
  for (const Change& change : std::vector<Change>{
           without(Type::Header), without(Type::Checkpoint), without(Type::Outcome),
           doubled(Type::Outcome),
           [](Entries& e) { e.insert(e.begin() + 1, 2, JournalEntry::sample_history_reset()); },
           [](Entries& e) { std::swap(e[0], e[1]); },
           [&](Entries& e) { e.push_back(JournalEntry::signal(run.signals[0])); }}) {
    EXPECT_EQ(rebuilt(run, change).error(), kInvalid);
  }
  // Every record intact but the tail torn: no report at all.
  EXPECT_EQ(rebuilt(run, unchanged, JournalTail::Truncated).error(), kInvalid);
  // A complete journal must still describe a valid report.
  ReportV1 invalid = run;
  invalid.signals[0].signal = 0;
  ASSERT_FALSE(invalid.validate().ok());
  EXPECT_EQ(rebuilt(invalid, unchanged).error(), kInvalid);
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
        if (!journal.append(crash_record(i, report), i % 16 == 0)) ::_exit(1);
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
