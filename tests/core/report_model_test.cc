#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "vek_guard/report.h"

namespace vek_guard {
namespace {

// Collects the keys a record's field description visits.
template <Record R>
std::vector<std::string> keys_of() {
  std::vector<std::string> keys;
  const R record{};
  R::for_each_field(record, [&](FieldKey key, const auto&) { keys.emplace_back(key.name); });
  return keys;
}

template <class R>
class RecordFields : public ::testing::Test {};

using AllRecords =
    ::testing::Types<RunIdentity, Capabilities, ReportConfiguration, AdvisoryMetricMetadata,
                     AdvisoryMetadata, AdvisoryMetrics, SampleWindow, TransitionRecord,
                     SignalRecord, CheckpointArtifactRecord, CheckpointRecord, EscapeEvidence,
                     ArtifactErrorRecord, TerminalOutcome, CalibrationArtifact, PrivacyDefaults,
                     ReportV1>;
TYPED_TEST_SUITE(RecordFields, AllRecords);

// A description that forgets a field, or names one twice, would silently drop
// or duplicate a JSON member in both the writer and the reader, and the round
// trips fill records through the same description, so they cannot notice.
TYPED_TEST(RecordFields, DescriptionVisitsEveryFieldOnceWithUniqueKeys) {
  const std::vector<std::string> keys = keys_of<TypeParam>();
  EXPECT_EQ(keys.size(), TypeParam::kFieldCount);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
}

// The writer's exact texts leave these orders open: absent optionals hide
// parts of them, and the advisory records list the same metrics differently.
TEST(RecordFields, KeysFollowDeclarationOrder) {
  EXPECT_EQ(
      keys_of<AdvisoryMetrics>(),
      (std::vector<std::string>{"pressure_events", "swap_bytes", "compressor_bytes", "wired_bytes",
                                "growth_bytes_per_second", "pressure_level", "metadata"}));
  EXPECT_EQ(
      keys_of<AdvisoryMetadata>(),
      (std::vector<std::string>{"pressure_events", "pressure_level", "swap_bytes",
                                "compressor_bytes", "wired_bytes", "growth_bytes_per_second"}));
  EXPECT_EQ(
      keys_of<ReportV1>(),
      (std::vector<std::string>{"schema_version", "package_version", "run", "capabilities",
                                "configuration", "samples", "transitions", "signals", "checkpoint",
                                "escape", "artifact_errors", "outcome", "calibration", "privacy"}));
  EXPECT_EQ(keys_of<TerminalOutcome>(),
            (std::vector<std::string>{"at_ms", "kind", "final_footprint_bytes", "child_status",
                                      "owned_group_survivors", "parent_exited_at_ms"}));
}

// Every variant has its own name, and the name reads back as that variant: a
// name given twice would read back as the first of the two.
template <UnitEnum... E>
void expect_distinct_names_that_read_back() {
  (
      [] {
        std::set<std::string_view> seen;
        for (std::size_t i = 0; i < EnumTable<E>::kNames.size(); ++i) {
          const auto value = static_cast<E>(i);
          EXPECT_TRUE(seen.insert(enum_name(value)).second) << enum_name(value);
          EXPECT_EQ(enum_from_name<E>(enum_name(value)), value) << enum_name(value);
        }
      }(),
      ...);
}

TEST(EnumTables, EveryVariantHasOneDistinctNameThatReadsBack) {
  expect_distinct_names_that_read_back<
      ReportMode, OnParentExit, ParentWatch, SignalTarget, SignalResult, SignalReason,
      CheckpointStatus, ArtifactKind, ArtifactErrorCode, UnavailableReason, ObservationError,
      MemoryPressureLevel, AdvisoryScope, AdvisorySource, AdvisoryFreshness, UploadPolicy,
      RetentionPolicy, CapturePolicy, CalibrationGuidance, PolicyState>();
}

}  // namespace
}  // namespace vek_guard
