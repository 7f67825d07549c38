// Costs of the journal on the run's hot path and at its end:
//  - one non-durable sample append (encode + frame write), the per-sample
//    cost during supervision;
//  - finalize of a full-size journal (header, 8,192 samples with full
//    advisory metadata, the closing records): sync, read back, rebuild,
//    validate, write the report, rename; target at most 80 ms;
//  - reading that journal back, next to a plain read of the same file and
//    the JSON decoding of its payloads on their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "support/journal_samples.h"
#include "support/report_samples.h"
#include "support/temp_dir.h"
#include "vek_guard/journal.h"
#include "vek_guard/journal_reader.h"
#include "vek_guard/version.h"

namespace vek_guard {
namespace {

using test_support::journal_records_of;

constexpr size_t kFullHistory = 8192;

JournalRecord record_at(uint64_t sequence, JournalEntry entry) {
  return JournalRecord{kJournalRecordVersion, sequence, std::move(entry)};
}

// The report of a long run: the sampler's whole history, every sample with
// full advisory metadata, followed by the run's closing records.
ReportV1 full_size_report() {
  ReportV1 report = test_support::valid_run_report();
  report.samples.clear();
  for (size_t i = 0; i < kFullHistory; ++i) {
    report.samples.push_back(test_support::sample_with_full_advisory(50 * (i + 1)));
  }
  const uint64_t end = 50 * (kFullHistory + 2);
  report.transitions[0].at_ms = end - 40;
  report.signals[0].at_ms = end - 30;
  report.outcome.at_ms = end;
  if (!report.validate()) {
    std::fprintf(stderr, "journal_bench: the full-size report does not validate\n");
    std::abort();
  }
  return report;
}

SecureJournal must_initialize(const std::string& report_path) {
  auto journal = SecureJournal::initialize(report_path);
  if (!journal) {
    std::fprintf(stderr, "journal_bench: initialize: %s\n", journal.error().message().data());
    std::abort();
  }
  return std::move(journal).value();
}

void must_append(SecureJournal& journal, const JournalRecord& record) {
  if (!journal.append(record.entry, entry_requires_sync(record.entry.type()))) {
    std::fprintf(stderr, "journal_bench: append %llu failed\n",
                 static_cast<unsigned long long>(record.sequence));
    std::abort();
  }
}

// A directory with a complete full-size journal in it, written once.
struct WrittenJournal {
  WrittenJournal() {
    SecureJournal journal = must_initialize(dir.file("r.json"));
    for (const auto& record : journal_records_of(full_size_report())) must_append(journal, record);
    path = journal.journal_path();
  }
  test_support::TempDir dir;
  std::string path;
};

const WrittenJournal& written_journal() {
  static const WrittenJournal* journal = new WrittenJournal();
  return *journal;
}

void BM_AppendSampleNonDurable(benchmark::State& state) {
  const SampleWindow sample = test_support::sample_with_full_advisory(50);
  const JournalHeader header{
      1, std::string(kPackageVersion), test_support::valid_run_report().run, {}, {}, {}};
  test_support::TempDir dir;
  int generation = 0;
  std::unique_ptr<SecureJournal> journal;
  const auto fresh_journal = [&] {
    journal = std::make_unique<SecureJournal>(
        must_initialize(dir.file("r" + std::to_string(generation++) + ".json")));
    must_append(*journal, record_at(0, JournalEntry::header(header)));
  };
  fresh_journal();
  for (auto _ : state) {
    // Keep the file at a realistic size (a run's worth of samples).
    if (journal->next_sequence() > 2 * kFullHistory) {
      state.PauseTiming();
      fresh_journal();
      state.ResumeTiming();
    }
    if (!journal->append(JournalEntry::sample(sample), false)) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetLabel(
      std::to_string(encode_journal_record(record_at(1, JournalEntry::sample(sample))).size()) +
      "-byte payload");
}
BENCHMARK(BM_AppendSampleNonDurable);

void BM_FinalizeFullJournal(benchmark::State& state) {
  const std::vector<JournalRecord> records = journal_records_of(full_size_report());
  for (auto _ : state) {
    state.PauseTiming();
    auto dir = std::make_unique<test_support::TempDir>();
    SecureJournal journal = must_initialize(dir->file("r.json"));
    for (const auto& record : records) must_append(journal, record);
    state.ResumeTiming();
    auto published = journal.finalize();
    if (!published) {
      state.SkipWithError("finalize failed");
      break;
    }
    benchmark::DoNotOptimize(published->summary);
    state.PauseTiming();
    dir.reset();
    state.ResumeTiming();
  }
  state.SetLabel(std::to_string(records.size()) + " records");
}
BENCHMARK(BM_FinalizeFullJournal)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ReadJournal(benchmark::State& state) {
  const WrittenJournal& written = written_journal();
  for (auto _ : state) {
    auto recovery = read_journal(UniqueFd(::open(written.path.c_str(), O_RDONLY | O_CLOEXEC)));
    if (!recovery || recovery->tail != JournalTail::Clean) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(recovery->records.data());
  }
}
BENCHMARK(BM_ReadJournal)->Unit(benchmark::kMillisecond);

// The floor under BM_ReadJournal: the same bytes into memory, nothing else.
void BM_PlainReadOfTheSameFile(benchmark::State& state) {
  const WrittenJournal& written = written_journal();
  struct stat st {};
  ::stat(written.path.c_str(), &st);
  std::string buffer(static_cast<size_t>(st.st_size), '\0');
  for (auto _ : state) {
    UniqueFd fd(::open(written.path.c_str(), O_RDONLY | O_CLOEXEC));
    size_t done = 0;
    while (done < buffer.size()) {
      const ssize_t got = ::read(fd.get(), buffer.data() + done, buffer.size() - done);
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * st.st_size);
}
BENCHMARK(BM_PlainReadOfTheSameFile)->Unit(benchmark::kMillisecond);

// The other part of the floor: decoding every payload from memory.
void BM_DecodePayloadsOnly(benchmark::State& state) {
  std::vector<std::string> payloads;
  for (const auto& record : journal_records_of(full_size_report())) {
    payloads.push_back(encode_journal_record(record));
  }
  for (auto _ : state) {
    for (const auto& payload : payloads) {
      auto record =
          decode_journal_record({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
      benchmark::DoNotOptimize(record);
    }
  }
}
BENCHMARK(BM_DecodePayloadsOnly)->Unit(benchmark::kMillisecond);

// The in-memory part of finalize: rebuilding and validating the report from
// the records, then its pretty JSON text.
void BM_RebuildAndEncodeReport(benchmark::State& state) {
  const JournalRecovery recovery{journal_records_of(full_size_report()), JournalTail::Clean};
  for (auto _ : state) {
    auto report = recovery.to_report();
    if (!report) {
      state.SkipWithError("rebuild failed");
      break;
    }
    auto text = report->to_json_pretty();
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_RebuildAndEncodeReport)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vek_guard

BENCHMARK_MAIN();
