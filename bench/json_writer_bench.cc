// The report writer against a general-purpose JSON library on the largest
// report a run can publish: 4096 samples, each with full advisory metadata.
//
// The baseline builds the same report as an nlohmann::ordered_json (keys in
// record order, absent optionals left out, the outcome's kind flattened) and
// dumps it with two-space indentation, which gives the same text; the
// benchmark checks that before timing anything.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "vek_guard/json_writer.h"
#include "vek_guard/report.h"
#include "vek_guard/version.h"

namespace vek_guard {
namespace {

constexpr std::size_t kSamples = 4096;

AdvisoryMetricMetadata metadata_entry(AdvisoryScope scope, AdvisorySource source,
                                      uint64_t captured_at_ms) {
  AdvisoryMetricMetadata entry;
  entry.scope = scope;
  entry.source = source;
  entry.captured_at_ms = captured_at_ms;
  entry.freshness = AdvisoryFreshness::Fresh;
  return entry;
}

SampleWindow full_sample(uint64_t index) {
  const uint64_t at = 1000 + index * 50;
  SampleWindow sample;
  sample.captured_at_ms = at;
  sample.processed_at_ms = at + 2;
  sample.window_ms = 3;
  sample.aggregate_footprint_bytes = Observed<uint64_t>::available(512'000'000 + index * 4096);
  AdvisoryMetrics& advisory = sample.advisory;
  advisory.pressure_events = Observed<uint64_t>::available(index / 100);
  advisory.swap_bytes = Observed<uint64_t>::available(1'073'741'824);
  advisory.compressor_bytes = Observed<uint64_t>::available(268'435'456 + index);
  advisory.wired_bytes = Observed<uint64_t>::available(2'147'483'648);
  advisory.growth_bytes_per_second =
      Observed<int64_t>::available(static_cast<int64_t>(index % 7) * 81'920 - 200'000);
  advisory.pressure_level = Observed<MemoryPressureLevel>::available(MemoryPressureLevel::Normal);
  AdvisoryMetadata metadata;
  using enum AdvisoryScope;
  using enum AdvisorySource;
  metadata.pressure_events = metadata_entry(System, DispatchMemoryPressure, at);
  metadata.pressure_level = metadata_entry(System, DispatchMemoryPressure, at);
  metadata.swap_bytes = metadata_entry(System, SysctlVmSwapusage, at);
  metadata.compressor_bytes = metadata_entry(System, HostStatistics64, at);
  metadata.wired_bytes = metadata_entry(System, HostStatistics64, at);
  metadata.growth_bytes_per_second = metadata_entry(OwnedProcessGroup, DerivedFootprintSamples, at);
  advisory.metadata = metadata;
  return sample;
}

ReportV1 large_report() {
  ReportV1 report;
  report.package_version = std::string(kPackageVersion);
  report.run.run_id = "run_0123456789abcdef0123456789abcdef";
  report.run.executable_basename = "python3";
  report.run.argument_count = 3;
  report.capabilities.darwin_footprint = Observed<bool>::available(true);
  report.capabilities.owned_process_group = Observed<bool>::available(true);
  report.capabilities.checkpoint_channel = Observed<bool>::available(true);
  ReportConfiguration& config = report.configuration;
  config.mode = ReportMode::Enforce;
  config.max_footprint_bytes = 4'000'000'000;
  config.warning_footprint_bytes = 3'000'000'000;
  config.recovery_footprint_bytes = 2'000'000'000;
  config.emergency_footprint_bytes = 5'000'000'000;
  config.required_breach_samples = 3;
  config.max_missing_samples = 5;
  config.sample_interval_ms = 50;
  config.max_sample_age_ms = 250;
  config.max_sample_window_ms = 100;
  config.checkpoint_timeout_ms = 10'000;
  config.term_grace_ms = 5'000;
  config.on_parent_exit = OnParentExit::Terminate;
  config.parent_watch = ParentWatch::Active;
  report.samples.reserve(kSamples);
  for (uint64_t i = 0; i < kSamples; ++i) report.samples.push_back(full_sample(i));
  const uint64_t end = report.samples.back().processed_at_ms + 10;
  TransitionRecord transition;
  transition.at_ms = end - 5;
  transition.from = PolicyState::Normal;
  transition.to = PolicyState::Exited;
  report.transitions.push_back(transition);
  report.escape.detected = Observed<bool>::available(false);
  report.outcome.at_ms = end;
  report.outcome.kind = TerminalKind::child_exited(0);
  report.outcome.final_footprint_bytes = Observed<uint64_t>::available(530'000'000);
  report.outcome.child_status = ChildStatus::exited(0);
  report.outcome.owned_group_survivors = false;
  report.privacy = PrivacyDefaults::defaults();
  return report;
}

// The baseline: the report as an nlohmann::ordered_json, built from the same
// field descriptions.
template <class T>
nlohmann::ordered_json as_nlohmann(const T& value);

template <class T>
void add_nlohmann_field(nlohmann::ordered_json& object, FieldKey key, const T& value) {
  if constexpr (TaggedValue<T>) {
    if (key.style == FieldStyle::Flattened) {
      const nlohmann::ordered_json tagged = as_nlohmann(value);
      for (const auto& [name, member] : tagged.items()) object[name] = member;
      return;
    }
  }
  if constexpr (requires { value.has_value(); }) {
    if (value.has_value()) {
      object[std::string(key.name)] = as_nlohmann(*value);
    } else if (key.style == FieldStyle::NullWhenAbsent) {
      object[std::string(key.name)] = nullptr;
    }
  } else {
    object[std::string(key.name)] = as_nlohmann(value);
  }
}

template <class T>
nlohmann::ordered_json as_nlohmann(const T& value) {
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                std::is_integral_v<T>) {
    return nlohmann::ordered_json(value);
  } else if constexpr (UnitEnum<T>) {
    return nlohmann::ordered_json(enum_name(value));
  } else if constexpr (requires {
                         value.begin();
                         value.end();
                       }) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto& element : value) array.push_back(as_nlohmann(element));
    return array;
  } else if constexpr (TaggedValue<T>) {
    using Table = TaggedTable<T>;
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object[std::string(Table::kTagKey)] = Table::kNames[value.storage().index()];
    visit_indexed(value.storage(), [&](auto index, const auto& payload) {
      if constexpr (!std::is_same_v<std::decay_t<decltype(payload)>, std::monostate>) {
        object[std::string(Table::kPayloadKeys[decltype(index)::value])] = as_nlohmann(payload);
      }
    });
    return object;
  } else {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    T::for_each_field(
        value, [&](FieldKey key, const auto& member) { add_nlohmann_field(object, key, member); });
    return object;
  }
}

const ReportV1& report_under_test() {
  static const ReportV1 report = [] {
    ReportV1 built = large_report();
    // Both sides must produce the same text, or the comparison means nothing.
    const auto ours = built.to_json_pretty();
    if (!ours || *ours != as_nlohmann(built).dump(2) + "\n") {
      std::fprintf(stderr, "json_writer_bench: the two texts differ or the report is invalid\n");
      std::abort();
    }
    return built;
  }();
  return report;
}

void BM_ReportToJsonPretty(benchmark::State& state) {
  const ReportV1& report = report_under_test();
  std::size_t bytes = 0;
  for (auto _ : state) {
    auto text = report.to_json_pretty();
    bytes = text->size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes * state.iterations()));
  state.counters["text_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ReportToJsonPretty)->Unit(benchmark::kMillisecond);

// The writer alone, without the validation pass.
void BM_PrettyWriterOnly(benchmark::State& state) {
  const ReportV1& report = report_under_test();
  for (auto _ : state) {
    std::string text = to_json(report, JsonLayout::Pretty);
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_PrettyWriterOnly)->Unit(benchmark::kMillisecond);

void BM_ValidateOnly(benchmark::State& state) {
  const ReportV1& report = report_under_test();
  for (auto _ : state) {
    auto valid = report.validate();
    benchmark::DoNotOptimize(valid);
  }
}
BENCHMARK(BM_ValidateOnly)->Unit(benchmark::kMillisecond);

void BM_NlohmannOrderedJsonBuildAndDump(benchmark::State& state) {
  const ReportV1& report = report_under_test();
  for (auto _ : state) {
    std::string text = as_nlohmann(report).dump(2);
    text.push_back('\n');
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_NlohmannOrderedJsonBuildAndDump)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vek_guard

BENCHMARK_MAIN();
