// Decoding the payloads of a full-size journal against building plain
// nlohmann DOMs of the same payloads.
//
// A full journal is what a long run leaves behind: the header, 8,192 samples
// that carry every advisory reading with its metadata, and a few dozen other
// records. The decoder reads each record in place from its payload, building
// no tree, so a DOM parse of the same texts is the yardstick it must stay well
// under: at most 0.3 times as long (BM_DecodeJournalRecords against
// BM_NlohmannDomParse, run side by side).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "vek_guard/journal_record.h"
#include "vek_guard/json_reader.h"
#include "vek_guard/report.h"
#include "vek_guard/version.h"

namespace vek_guard {
namespace {

constexpr std::size_t kSamples = 8192;
constexpr std::size_t kOtherRecords = 40;

AdvisoryMetricMetadata metric_metadata(AdvisoryScope scope, AdvisorySource source, uint64_t at_ms) {
  return {.scope = scope,
          .source = source,
          .captured_at_ms = at_ms,
          .freshness = AdvisoryFreshness::Fresh};
}

SampleWindow full_sample(uint64_t i) {
  const uint64_t at_ms = 100 * i;
  const AdvisoryMetadata metadata{
      .pressure_events =
          metric_metadata(AdvisoryScope::System, AdvisorySource::DispatchMemoryPressure, at_ms),
      .pressure_level =
          metric_metadata(AdvisoryScope::System, AdvisorySource::DispatchMemoryPressure, at_ms),
      .swap_bytes =
          metric_metadata(AdvisoryScope::System, AdvisorySource::SysctlVmSwapusage, at_ms),
      .compressor_bytes =
          metric_metadata(AdvisoryScope::System, AdvisorySource::HostStatistics64, at_ms),
      .wired_bytes =
          metric_metadata(AdvisoryScope::System, AdvisorySource::HostStatistics64, at_ms),
      .growth_bytes_per_second = metric_metadata(AdvisoryScope::OwnedProcessGroup,
                                                 AdvisorySource::DerivedFootprintSamples, at_ms),
  };
  return SampleWindow{
      .captured_at_ms = at_ms,
      .processed_at_ms = at_ms + 1,
      .window_ms = 3,
      .aggregate_footprint_bytes = Observed<uint64_t>::available(1'500'000'000 + 4096 * i),
      .advisory =
          AdvisoryMetrics{
              .pressure_events = Observed<uint64_t>::available(i / 100),
              .swap_bytes = Observed<uint64_t>::available(2'147'483'648),
              .compressor_bytes = Observed<uint64_t>::available(812'345'678 + i),
              .wired_bytes = Observed<uint64_t>::available(3'221'225'472),
              .growth_bytes_per_second = Observed<int64_t>::available(i % 2 == 0 ? 40'960 : -8'192),
              .pressure_level =
                  Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Warning),
              .metadata = metadata,
          },
  };
}

JournalHeader full_header() {
  JournalHeader header;
  header.package_version = std::string(kPackageVersion);
  header.run = {.run_id = "run_0123456789abcdef0123456789abcdef",
                .executable_basename = "python3",
                .argument_count = 4,
                .correlation_hash = std::nullopt};
  header.capabilities = {
      .darwin_footprint = Observed<bool>::available(true),
      .owned_process_group = Observed<bool>::available(true),
      .checkpoint_channel = Observed<bool>::unavailable(UnavailableReason::NotNegotiated)};
  header.configuration.mode = ReportMode::Enforce;
  header.configuration.max_footprint_bytes = 4'294'967'296;
  header.configuration.warning_footprint_bytes = 3'865'470'566;
  header.configuration.recovery_footprint_bytes = 3'435'973'836;
  header.configuration.emergency_footprint_bytes = 5'153'960'755;
  header.configuration.required_breach_samples = 3;
  header.configuration.max_missing_samples = 5;
  header.configuration.sample_interval_ms = 100;
  header.configuration.max_sample_age_ms = 500;
  header.configuration.max_sample_window_ms = 250;
  header.configuration.term_grace_ms = 5000;
  header.configuration.on_parent_exit = OnParentExit::Terminate;
  header.configuration.parent_watch = ParentWatch::Active;
  return header;
}

// The compact payloads of one full journal, in journal order.
std::vector<std::string> full_journal_payloads() {
  std::vector<std::string> payloads;
  uint64_t sequence = 0;
  const auto append = [&](JournalEntry entry) {
    payloads.push_back(encode_journal_record(
        {.version = kJournalRecordVersion, .sequence = sequence++, .entry = std::move(entry)}));
  };
  append(JournalEntry::header(full_header()));
  for (uint64_t i = 0; i < kSamples; ++i) {
    append(JournalEntry::sample(full_sample(i)));
    if (i % (kSamples / kOtherRecords) == 0 && payloads.size() < kSamples + kOtherRecords - 4) {
      append(JournalEntry::transition({.at_ms = 100 * i,
                                       .from = PolicyState::Normal,
                                       .to = PolicyState::Warning,
                                       .aggregate_footprint_bytes = 3'900'000'000}));
    }
  }
  append(JournalEntry::signal({.at_ms = 819'200,
                               .signal = 15,
                               .target = SignalTarget::OwnedProcessGroup,
                               .result = SignalResult::Delivered,
                               .reason = SignalReason::Footprint}));
  append(JournalEntry::checkpoint({.status = CheckpointStatus::TimedOut,
                                   .at_ms = 819'000,
                                   .request_id = 77,
                                   .reason = SignalReason::Footprint,
                                   .artifact = std::nullopt}));
  append(JournalEntry::escape({.detected = Observed<bool>::available(false), .escaped_count = 0}));
  append(
      JournalEntry::outcome({.at_ms = 819'300,
                             .kind = TerminalKind::of(TerminalKind::Tag::PolicyIntervention),
                             .final_footprint_bytes = Observed<uint64_t>::available(4'300'000'000),
                             .child_status = ChildStatus::signaled(15),
                             .owned_group_survivors = false,
                             .parent_exited_at_ms = std::nullopt}));
  return payloads;
}

const std::vector<std::string>& payloads() {
  static const std::vector<std::string> kPayloads = full_journal_payloads();
  return kPayloads;
}

std::size_t total_bytes() {
  std::size_t bytes = 0;
  for (const std::string& payload : payloads()) bytes += payload.size();
  return bytes;
}

// Runs `parse` over every payload of the journal once per iteration; `parse`
// returns false when a payload that must decode did not.
template <class Parse>
void parse_every_payload(benchmark::State& state, Parse parse) {
  for (auto _ : state) {
    for (const std::string& payload : payloads()) {
      if (!parse(payload)) state.SkipWithError("a payload of the journal did not decode");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes()));
  state.counters["records"] = static_cast<double>(payloads().size());
}

void BM_DecodeJournalRecords(benchmark::State& state) {
  parse_every_payload(state, [](const std::string& payload) {
    Result<JournalRecord, JournalDecodeError> record = decode_journal_record(
        std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    benchmark::DoNotOptimize(record);
    return record.ok();
  });
}
BENCHMARK(BM_DecodeJournalRecords)->Unit(benchmark::kMillisecond);

void BM_NlohmannDomParse(benchmark::State& state) {
  parse_every_payload(state, [](const std::string& payload) {
    nlohmann::json dom = nlohmann::json::parse(payload);
    benchmark::DoNotOptimize(dom);
    return true;
  });
}
BENCHMARK(BM_NlohmannDomParse)->Unit(benchmark::kMillisecond);

// As the journal reader decodes: one reader for every payload, whose buffers
// are reused.
void BM_DecodeJournalRecordsReusingTheReader(benchmark::State& state) {
  JsonReader reader({});
  parse_every_payload(state, [&](const std::string& payload) {
    Result<JournalRecord, JournalDecodeError> record = decode_journal_record(
        std::span(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()), reader);
    benchmark::DoNotOptimize(record);
    return record.ok();
  });
}
BENCHMARK(BM_DecodeJournalRecordsReusingTheReader)->Unit(benchmark::kMillisecond);

// The buffered form's first step for every payload: the whole text built into
// a tree, which the decoder does only for an entry whose "value" comes
// before its "type".
void BM_BufferedTreeOnly(benchmark::State& state) {
  parse_every_payload(state, [](const std::string& payload) {
    Result<BufferedValue, JsonRejection> tree = BufferedValue::parse(payload);
    benchmark::DoNotOptimize(tree);
    return tree.ok();
  });
}
BENCHMARK(BM_BufferedTreeOnly)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vek_guard

BENCHMARK_MAIN();
