#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
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
// or duplicate a JSON member in both the writer and the reader, so no round
// trip could notice.
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

TEST(TaggedValues, VariantsStayApartEvenWithEqualPayloads) {
  EXPECT_NE(Observed<bool>::available(false), Observed<bool>::unknown());
  EXPECT_NE(Observed<uint64_t>::available(0), Observed<uint64_t>::unknown());
  EXPECT_EQ(Observed<uint64_t>(), Observed<uint64_t>::unknown());
  // A stale time and an available u64 share a payload type but not a variant.
  const Observed<uint64_t> stale = Observed<uint64_t>::stale(5);
  EXPECT_NE(Observed<uint64_t>::available(5), stale);
  EXPECT_EQ(stale.status(), ObservedStatus::Stale);
  EXPECT_EQ(stale.last_seen_at_ms(), 5U);
  EXPECT_EQ(stale.value(), nullptr);
  EXPECT_EQ(Observed<int64_t>::error(ObservationError::Internal).code(),
            ObservationError::Internal);
  EXPECT_NE(ChildStatus::exited(9), ChildStatus::signaled(9));

  std::vector<std::pair<std::size_t, int>> seen;
  const auto record = [&](auto index, const auto& payload) {
    if constexpr (std::is_same_v<std::decay_t<decltype(payload)>, uint8_t>) {
      seen.emplace_back(index(), payload);
    } else {
      seen.emplace_back(index(), -1);
    }
  };
  visit_indexed(ChildStatus::exited(3).storage(), record);
  visit_indexed(ChildStatus::signaled(9).storage(), record);
  visit_indexed(TerminalKind::of(TerminalKind::Tag::PolicyIntervention).storage(), record);
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, int>>{{0, 3}, {1, 9}, {5, -1}}));

  // Only the child kinds carry a number.
  EXPECT_EQ(TerminalKind::child_signaled(9).number(), 9);
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::ChildExited, 3), TerminalKind::child_exited(3));
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::LaunchNotFound, 3),
            TerminalKind::of(TerminalKind::Tag::LaunchNotFound));
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::LaunchNotFound, 3).number(), std::nullopt);
}

}  // namespace
}  // namespace vek_guard
