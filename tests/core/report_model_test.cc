#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
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
// or duplicate a JSON member in both the writer and the reader.
TYPED_TEST(RecordFields, DescriptionVisitsEveryFieldOnceWithUniqueKeys) {
  const std::vector<std::string> keys = keys_of<TypeParam>();
  EXPECT_EQ(keys.size(), TypeParam::kFieldCount);
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), keys.size());
}

TEST(RecordFields, KeysFollowDeclarationOrder) {
  EXPECT_EQ(keys_of<AdvisoryMetrics>(),
            (std::vector<std::string>{"pressure_events", "swap_bytes", "compressor_bytes",
                                      "wired_bytes", "growth_bytes_per_second", "pressure_level",
                                      "metadata"}));
  EXPECT_EQ(keys_of<AdvisoryMetadata>(),
            (std::vector<std::string>{"pressure_events", "pressure_level", "swap_bytes",
                                      "compressor_bytes", "wired_bytes",
                                      "growth_bytes_per_second"}));
  EXPECT_EQ(keys_of<ReportV1>(),
            (std::vector<std::string>{"schema_version", "package_version", "run", "capabilities",
                                      "configuration", "samples", "transitions", "signals",
                                      "checkpoint", "escape", "artifact_errors", "outcome",
                                      "calibration", "privacy"}));
  EXPECT_EQ(keys_of<TerminalOutcome>(),
            (std::vector<std::string>{"at_ms", "kind", "final_footprint_bytes", "child_status",
                                      "owned_group_survivors", "parent_exited_at_ms"}));
}

TEST(RecordFields, OnlyTheDocumentedFieldsHaveSpecialLayouts) {
  std::vector<std::string> special;
  const auto collect = [&](FieldKey key, const auto&) {
    if (key.style != FieldStyle::Plain) special.emplace_back(key.name);
  };
  const CalibrationArtifact calibration{};
  const TerminalOutcome outcome{};
  CalibrationArtifact::for_each_field(calibration, collect);
  TerminalOutcome::for_each_field(outcome, collect);
  EXPECT_EQ(special, (std::vector<std::string>{"automatic_limit_bytes", "kind"}));
}

template <UnitEnum E>
void expect_round_trip(std::size_t count) {
  ASSERT_EQ(EnumTable<E>::kNames.size(), count);
  std::set<std::string_view> seen;
  for (std::size_t i = 0; i < count; ++i) {
    const auto value = static_cast<E>(i);
    const std::string_view name = enum_name(value);
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(seen.insert(name).second) << name;
    EXPECT_EQ(enum_from_name<E>(name), value) << name;
  }
}

TEST(EnumTables, EveryVariantHasOneDistinctNameThatReadsBack) {
  expect_round_trip<ReportMode>(2);
  expect_round_trip<OnParentExit>(2);
  expect_round_trip<ParentWatch>(5);
  expect_round_trip<SignalTarget>(2);
  expect_round_trip<SignalResult>(4);
  expect_round_trip<SignalReason>(7);
  expect_round_trip<CheckpointStatus>(5);
  expect_round_trip<ArtifactKind>(3);
  expect_round_trip<ArtifactErrorCode>(5);
  expect_round_trip<UnavailableReason>(4);
  expect_round_trip<ObservationError>(5);
  expect_round_trip<MemoryPressureLevel>(3);
  expect_round_trip<AdvisoryScope>(2);
  expect_round_trip<AdvisorySource>(4);
  expect_round_trip<AdvisoryFreshness>(4);
  expect_round_trip<UploadPolicy>(1);
  expect_round_trip<RetentionPolicy>(1);
  expect_round_trip<CapturePolicy>(2);
  expect_round_trip<CalibrationGuidance>(1);
  expect_round_trip<PolicyState>(8);
}

TEST(EnumTables, NamesMatchExactlyAndCaseSensitively) {
  EXPECT_EQ(enum_name(PolicyState::Emergency), "emergency");
  EXPECT_EQ(enum_name(ParentWatch::ParentIsLaunchd), "parent_is_launchd");
  EXPECT_EQ(enum_from_name<ReportMode>("enforce"), ReportMode::Enforce);
  EXPECT_EQ(enum_from_name<ReportMode>("Enforce"), std::nullopt);
  EXPECT_EQ(enum_from_name<ReportMode>(" enforce"), std::nullopt);
  EXPECT_EQ(enum_from_name<ReportMode>("enforc"), std::nullopt);
  EXPECT_EQ(enum_from_name<ReportMode>(""), std::nullopt);
}

TEST(Observed, AvailableFalseOrZeroIsNotUnknown) {
  EXPECT_NE(Observed<bool>::available(false), Observed<bool>::unknown());
  EXPECT_NE(Observed<uint64_t>::available(0), Observed<uint64_t>::unknown());
  EXPECT_EQ(Observed<uint64_t>(), Observed<uint64_t>::unknown());
  // A stale time and an available u64 share a payload type but not a variant.
  EXPECT_NE(Observed<uint64_t>::available(5), Observed<uint64_t>::stale(5));
  EXPECT_EQ(Observed<uint64_t>::stale(5).status(), ObservedStatus::Stale);
  EXPECT_EQ(Observed<uint64_t>::stale(5).last_seen_at_ms(), 5U);
  EXPECT_EQ(Observed<uint64_t>::stale(5).value(), nullptr);
  EXPECT_EQ(Observed<int64_t>::error(ObservationError::Internal).code(),
            ObservationError::Internal);
}

TEST(TaggedValues, VisitIndexedTellsAlternativesOfTheSameTypeApart) {
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
}

TEST(TaggedValues, TerminalKindCarriesANumberOnlyForChildKinds) {
  EXPECT_EQ(TerminalKind::child_signaled(9).number(), 9);
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::ChildExited, 3), TerminalKind::child_exited(3));
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::LaunchNotFound, 3).number(), std::nullopt);
  EXPECT_EQ(TerminalKind::of(TerminalKind::Tag::LaunchNotFound, 3),
            TerminalKind::of(TerminalKind::Tag::LaunchNotFound));
  EXPECT_EQ(terminal_kind_name(TerminalKind::Tag::PartialArtifactFailure),
            "partial_artifact_failure");
  EXPECT_NE(ChildStatus::exited(9), ChildStatus::signaled(9));
}

}  // namespace
}  // namespace vek_guard
