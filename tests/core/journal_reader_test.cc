// Reading a journal back: its frames, its records, and the report rebuilt
// from them.
#include "vek_guard/journal_reader.h"

#include <sys/types.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/file_state.h"
#include "support/journal_checks.h"
#include "support/journal_samples.h"
#include "support/report_samples.h"
#include "vek_guard/coding.h"

namespace vek_guard {
namespace {

using test_support::expect_recovery;
using test_support::first;
using test_support::journal_bytes_of;
using test_support::journal_entries_of;
using test_support::journal_file_bytes;
using test_support::journal_records_of;
using test_support::Records;
using test_support::valid_run_report;
using Type = JournalEntry::Type;

const StorageError kInvalid = test_support::kInvalidRecord;

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

}  // namespace
}  // namespace vek_guard
