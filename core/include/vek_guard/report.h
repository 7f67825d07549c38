// The records of one supervised run: the final report `ReportV1` and every
// record inside it, with the enumerations they use.
//
// These records are a file format. The same records travel one by one as
// journal entries while the run goes on and are put together again into a
// `ReportV1` from the journal at the end. Each record's JSON keys are its field
// names in declaration order, so the order of the members below is part of the
// format.
//
// One description per type drives every consumer, so that the JSON writer, the
// strict JSON reader and the validator can never disagree on a key or its
// order:
//
//  - every record has `for_each_field(self, visit)`, which calls
//    `visit(FieldKey, member)` for each field in declaration order. It is
//    instantiated on a const record for writing and on a mutable one for
//    reading;
//  - every unit enumeration has one `EnumTable` with the exact JSON string of
//    each variant, used in both directions by `enum_name` / `enum_from_name`;
//  - every tagged enumeration (`Observed<T>`, `ChildStatus`, `TerminalKind`)
//    keeps its variant in a `std::variant` whose alternative index is the
//    variant's index, and has one `TaggedTable` with its tag key, variant names
//    and payload keys.
//
//   SignalRecord signal{.at_ms = 12, .signal = 15,
//                       .target = SignalTarget::OwnedProcessGroup,
//                       .result = SignalResult::Delivered,
//                       .reason = SignalReason::Footprint};
//   SignalRecord::for_each_field(signal, [](FieldKey key, const auto& value) {
//     ...  // "at_ms", then "signal", "target", "result", "reason"
//   });
//
// Records are plain values: they own their strings and lists, are copied or
// moved whole and compare by value. An absent optional field is a state of its
// own (std::nullopt), never a sentinel value.
#ifndef VEK_GUARD_REPORT_H_
#define VEK_GUARD_REPORT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vek_guard/error.h"
#include "vek_guard/policy.h"

namespace vek_guard {

class JsonSink;

// The report (and journal header) schema version.
inline constexpr uint32_t kReportSchemaVersion = 1;

// ---------------------------------------------------------------------------
// Unit enumerations.

// `EnumTable<E>::kNames[i]` is the JSON string of the variant with index i.
// Specialised once per enumeration below.
template <class E>
struct EnumTable;

template <class E>
concept UnitEnum = std::is_enum_v<E> && requires {
  EnumTable<E>::kNames;
};

// The JSON string of `value`; empty for a value outside the table (which no
// record built through the named enumerators can hold).
template <UnitEnum E>
constexpr std::string_view enum_name(E value) {
  const auto index = static_cast<std::size_t>(value);
  const auto& names = EnumTable<E>::kNames;
  return index < names.size() ? names[index] : std::string_view();
}

// The variant whose string is exactly `name` (byte for byte, case included).
template <UnitEnum E>
constexpr std::optional<E> enum_from_name(std::string_view name) {
  const auto& names = EnumTable<E>::kNames;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i].size() == name.size() && names[i] == name) return static_cast<E>(i);
  }
  return std::nullopt;
}

enum class ReportMode : uint8_t { Observe, Enforce };
enum class OnParentExit : uint8_t { Terminate, Detach };
enum class ParentWatch : uint8_t {
  Active,
  ParentIsLaunchd,
  HangupIgnored,
  Detach,
  ParentUnobservable,
};
enum class SignalTarget : uint8_t { OwnedProcessGroup, CooperativeEndpoint };
enum class SignalResult : uint8_t { Delivered, ProcessMissing, PermissionDenied, Failed };
enum class SignalReason : uint8_t {
  Footprint,
  WallTime,
  ExternalSignal,
  RootExitCleanup,
  ParentExit,
  ObservationFailure,
  SupervisorFault,
};
enum class CheckpointStatus : uint8_t {
  NotNegotiated,
  RequestedUnverified,
  AcknowledgedUnverifiedDurability,
  TimedOut,
  Cancelled,
};
enum class ArtifactKind : uint8_t { File, Directory, Opaque };
enum class ArtifactErrorCode : uint8_t {
  CreateFailed,
  WriteFailed,
  SyncFailed,
  RenameFailed,
  PermissionFailed,
};
enum class UnavailableReason : uint8_t { NotSupported, NotNegotiated, NotApplicable, NonUtf8 };
enum class ObservationError : uint8_t {
  PermissionDenied,
  ProcessMissing,
  MalformedKernelData,
  ClockAnomaly,
  Internal,
};
enum class MemoryPressureLevel : uint8_t { Normal, Warning, Critical };
enum class AdvisoryScope : uint8_t { System, OwnedProcessGroup };
enum class AdvisorySource : uint8_t {
  DispatchMemoryPressure,
  SysctlVmSwapusage,
  HostStatistics64,
  DerivedFootprintSamples,
};
enum class AdvisoryFreshness : uint8_t { Fresh, InitialUnknown, Stale, Unavailable };
enum class UploadPolicy : uint8_t { Disabled };
enum class RetentionPolicy : uint8_t { UserManaged };
enum class CapturePolicy : uint8_t { RedactedMetadataOnly, RedactedMetadataWithCorrelationHash };
enum class CalibrationGuidance : uint8_t { ChooseExplicitLimitFromRepeatedRepresentativeRuns };

template <>
struct EnumTable<ReportMode> {
  static constexpr std::array<std::string_view, 2> kNames{"observe", "enforce"};
};
template <>
struct EnumTable<OnParentExit> {
  static constexpr std::array<std::string_view, 2> kNames{"terminate", "detach"};
};
template <>
struct EnumTable<ParentWatch> {
  static constexpr std::array<std::string_view, 5> kNames{
      "active", "parent_is_launchd", "hangup_ignored", "detach", "parent_unobservable"};
};
template <>
struct EnumTable<SignalTarget> {
  static constexpr std::array<std::string_view, 2> kNames{"owned_process_group",
                                                          "cooperative_endpoint"};
};
template <>
struct EnumTable<SignalResult> {
  static constexpr std::array<std::string_view, 4> kNames{"delivered", "process_missing",
                                                          "permission_denied", "failed"};
};
template <>
struct EnumTable<SignalReason> {
  static constexpr std::array<std::string_view, 7> kNames{
      "footprint",   "wall_time",           "external_signal", "root_exit_cleanup",
      "parent_exit", "observation_failure", "supervisor_fault"};
};
template <>
struct EnumTable<CheckpointStatus> {
  static constexpr std::array<std::string_view, 5> kNames{"not_negotiated", "requested_unverified",
                                                          "acknowledged_unverified_durability",
                                                          "timed_out", "cancelled"};
};
template <>
struct EnumTable<ArtifactKind> {
  static constexpr std::array<std::string_view, 3> kNames{"file", "directory", "opaque"};
};
template <>
struct EnumTable<ArtifactErrorCode> {
  static constexpr std::array<std::string_view, 5> kNames{
      "create_failed", "write_failed", "sync_failed", "rename_failed", "permission_failed"};
};
template <>
struct EnumTable<UnavailableReason> {
  static constexpr std::array<std::string_view, 4> kNames{"not_supported", "not_negotiated",
                                                          "not_applicable", "non_utf8"};
};
template <>
struct EnumTable<ObservationError> {
  static constexpr std::array<std::string_view, 5> kNames{
      "permission_denied", "process_missing", "malformed_kernel_data", "clock_anomaly", "internal"};
};
template <>
struct EnumTable<MemoryPressureLevel> {
  static constexpr std::array<std::string_view, 3> kNames{"normal", "warning", "critical"};
};
template <>
struct EnumTable<AdvisoryScope> {
  static constexpr std::array<std::string_view, 2> kNames{"system", "owned_process_group"};
};
template <>
struct EnumTable<AdvisorySource> {
  static constexpr std::array<std::string_view, 4> kNames{
      "dispatch_memory_pressure", "sysctl_vm_swapusage", "host_statistics64",
      "derived_footprint_samples"};
};
template <>
struct EnumTable<AdvisoryFreshness> {
  static constexpr std::array<std::string_view, 4> kNames{"fresh", "initial_unknown", "stale",
                                                          "unavailable"};
};
template <>
struct EnumTable<UploadPolicy> {
  static constexpr std::array<std::string_view, 1> kNames{"disabled"};
};
template <>
struct EnumTable<RetentionPolicy> {
  static constexpr std::array<std::string_view, 1> kNames{"user_managed"};
};
template <>
struct EnumTable<CapturePolicy> {
  static constexpr std::array<std::string_view, 2> kNames{
      "redacted_metadata_only", "redacted_metadata_with_correlation_hash"};
};
template <>
struct EnumTable<CalibrationGuidance> {
  static constexpr std::array<std::string_view, 1> kNames{
      "choose_explicit_limit_from_repeated_representative_runs"};
};
template <>
struct EnumTable<PolicyState> {
  static constexpr std::array<std::string_view, 8> kNames{
      "observe",     "normal",    "warning", "checkpoint_requested",
      "terminating", "emergency", "exited",  "supervisor_error"};
};

// ---------------------------------------------------------------------------
// Tagged enumerations.

// `TaggedTable<T>` describes a tagged enumeration T: `kTagKey` is the JSON key
// of its tag, `kNames[i]` the tag string of variant i and `kPayloadKeys[i]`
// the key of that variant's one field (empty for a variant without one). T
// exposes its variant as `storage()`, a std::variant whose alternative i is
// variant i's payload type (std::monostate when it has none), and can be built
// from such a storage.
template <class T>
struct TaggedTable;

template <class T>
concept TaggedValue = requires(const T& value) {
  TaggedTable<T>::kTagKey;
  TaggedTable<T>::kNames;
  TaggedTable<T>::kPayloadKeys;
  value.storage();
};

// Calls `f(std::integral_constant<std::size_t, I>{}, std::get<I>(v))` for the
// alternative I that `v` holds. Unlike std::visit it tells alternatives of the
// same type apart, which the tagged enumerations rely on.
template <class Variant, class F>
constexpr void visit_indexed(Variant&& v, F&& f) {
  constexpr std::size_t kSize = std::variant_size_v<std::remove_cvref_t<Variant>>;
  // clang-format 14 puts the call of an immediately invoked lambda on a line
  // of its own, where it reads as a separate statement.
  // clang-format off
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((v.index() == I ? (f(std::integral_constant<std::size_t, I>{}, std::get<I>(v)), 0) : 0), ...);
  }(std::make_index_sequence<kSize>{});
  // clang-format on
}

// The status of an `Observed` value, in variant index order.
enum class ObservedStatus : uint8_t { Available, Unknown, Unavailable, Stale, Error };

// An observation that may have failed: "available" with its value, "unknown",
// "unavailable" with a reason, "stale" with the last time it was seen, or
// "error" with a code. Exists for T = uint64_t, int64_t, bool and
// MemoryPressureLevel. "available" with false or 0 is a different value from
// "unknown".
template <class T>
class Observed {
 public:
  using Storage = std::variant<T, std::monostate, UnavailableReason, uint64_t, ObservationError>;

  // The default observation is "unknown".
  constexpr Observed() : storage_(std::in_place_index<1>) {}
  constexpr explicit Observed(Storage storage) : storage_(std::move(storage)) {}

  static constexpr Observed available(T value) {
    return Observed(Storage(std::in_place_index<0>, std::move(value)));
  }
  static constexpr Observed unknown() { return Observed(); }
  static constexpr Observed unavailable(UnavailableReason reason) {
    return Observed(Storage(std::in_place_index<2>, reason));
  }
  static constexpr Observed stale(uint64_t last_seen_at_ms) {
    return Observed(Storage(std::in_place_index<3>, last_seen_at_ms));
  }
  static constexpr Observed error(ObservationError code) {
    return Observed(Storage(std::in_place_index<4>, code));
  }

  constexpr ObservedStatus status() const { return static_cast<ObservedStatus>(storage_.index()); }
  constexpr bool is_available() const { return storage_.index() == 0; }

  // The value when available, else null.
  constexpr const T* value() const { return std::get_if<0>(&storage_); }
  constexpr std::optional<UnavailableReason> reason() const { return get<2>(); }
  constexpr std::optional<uint64_t> last_seen_at_ms() const { return get<3>(); }
  constexpr std::optional<ObservationError> code() const { return get<4>(); }

  constexpr const Storage& storage() const { return storage_; }
  constexpr Storage& storage() { return storage_; }

  friend constexpr bool operator==(const Observed&, const Observed&) = default;

 private:
  template <std::size_t I>
  constexpr auto get() const -> std::optional<std::variant_alternative_t<I, Storage>> {
    if (const auto* held = std::get_if<I>(&storage_)) return *held;
    return std::nullopt;
  }

  Storage storage_;
};

template <class T>
struct TaggedTable<Observed<T>> {
  static constexpr std::string_view kTagKey = "status";
  static constexpr std::array<std::string_view, 5> kNames{"available", "unknown", "unavailable",
                                                          "stale", "error"};
  static constexpr std::array<std::string_view, 5> kPayloadKeys{"value", "", "reason",
                                                                "last_seen_at_ms", "code"};
};

// The freshness that an advisory metric's metadata states for an observation
// with this status: available is fresh, unknown initial_unknown, stale stale,
// and unavailable or error unavailable.
constexpr AdvisoryFreshness freshness_for(ObservedStatus status) {
  switch (status) {
    case ObservedStatus::Available:
      return AdvisoryFreshness::Fresh;
    case ObservedStatus::Unknown:
      return AdvisoryFreshness::InitialUnknown;
    case ObservedStatus::Stale:
      return AdvisoryFreshness::Stale;
    case ObservedStatus::Unavailable:
    case ObservedStatus::Error:
      break;
  }
  return AdvisoryFreshness::Unavailable;
}

// The command's exit status: "exited" with its code, or "signaled" with the
// signal number.
class ChildStatus {
 public:
  enum class Kind : uint8_t { Exited, Signaled };
  using Storage = std::variant<uint8_t, uint8_t>;

  constexpr ChildStatus() = default;
  constexpr explicit ChildStatus(Storage storage) : storage_(storage) {}

  static constexpr ChildStatus exited(uint8_t code) {
    return ChildStatus(Storage(std::in_place_index<0>, code));
  }
  static constexpr ChildStatus signaled(uint8_t signal) {
    return ChildStatus(Storage(std::in_place_index<1>, signal));
  }

  constexpr Kind kind() const { return static_cast<Kind>(storage_.index()); }
  // The exit code for "exited", the signal number for "signaled".
  constexpr uint8_t number() const {
    return storage_.index() == 0 ? std::get<0>(storage_) : std::get<1>(storage_);
  }

  constexpr const Storage& storage() const { return storage_; }
  constexpr Storage& storage() { return storage_; }

  friend constexpr bool operator==(const ChildStatus&, const ChildStatus&) = default;

 private:
  Storage storage_;
};

template <>
struct TaggedTable<ChildStatus> {
  static constexpr std::string_view kTagKey = "status";
  static constexpr std::array<std::string_view, 2> kNames{"exited", "signaled"};
  static constexpr std::array<std::string_view, 2> kPayloadKeys{"code", "signal"};
};

// How a run ended. The index order is also the outcome kind of the program's
// execution outcome and decides the exit status. In JSON its tag ("kind") and
// payload stand among the members of the enclosing `TerminalOutcome`.
class TerminalKind {
 public:
  enum class Tag : uint8_t {
    ChildExited,
    ChildSignaled,
    LaunchNotFound,
    LaunchNotExecutable,
    InvalidConfiguration,
    PolicyIntervention,
    SupervisorFailure,
    PartialArtifactFailure,
  };
  using Storage = std::variant<uint8_t, uint8_t, std::monostate, std::monostate, std::monostate,
                               std::monostate, std::monostate, std::monostate>;

  constexpr TerminalKind() = default;
  constexpr explicit TerminalKind(Storage storage) : storage_(storage) {}

  static constexpr TerminalKind child_exited(uint8_t code) {
    return TerminalKind(Storage(std::in_place_index<0>, code));
  }
  static constexpr TerminalKind child_signaled(uint8_t signal) {
    return TerminalKind(Storage(std::in_place_index<1>, signal));
  }
  // A kind without payload; for ChildExited and ChildSignaled `number` is the
  // exit code or signal number.
  static constexpr TerminalKind of(Tag tag, uint8_t number = 0) {
    switch (tag) {
      case Tag::ChildExited:
        return child_exited(number);
      case Tag::ChildSignaled:
        return child_signaled(number);
      case Tag::LaunchNotFound:
        return TerminalKind(Storage(std::in_place_index<2>));
      case Tag::LaunchNotExecutable:
        return TerminalKind(Storage(std::in_place_index<3>));
      case Tag::InvalidConfiguration:
        return TerminalKind(Storage(std::in_place_index<4>));
      case Tag::PolicyIntervention:
        return TerminalKind(Storage(std::in_place_index<5>));
      case Tag::SupervisorFailure:
        return TerminalKind(Storage(std::in_place_index<6>));
      case Tag::PartialArtifactFailure:
        return TerminalKind(Storage(std::in_place_index<7>));
    }
    return TerminalKind(Storage(std::in_place_index<6>));
  }

  constexpr Tag tag() const { return static_cast<Tag>(storage_.index()); }
  // The exit code (child_exited) or signal number (child_signaled); absent for
  // the other kinds.
  constexpr std::optional<uint8_t> number() const {
    if (storage_.index() == 0) return std::get<0>(storage_);
    if (storage_.index() == 1) return std::get<1>(storage_);
    return std::nullopt;
  }

  constexpr const Storage& storage() const { return storage_; }
  constexpr Storage& storage() { return storage_; }

  friend constexpr bool operator==(const TerminalKind&, const TerminalKind&) = default;

 private:
  Storage storage_;
};

template <>
struct TaggedTable<TerminalKind> {
  static constexpr std::string_view kTagKey = "kind";
  static constexpr std::array<std::string_view, 8> kNames{
      "child_exited",          "child_signaled",          "launch_not_found",
      "launch_not_executable", "invalid_configuration",   "policy_intervention",
      "supervisor_failure",    "partial_artifact_failure"};
  static constexpr std::array<std::string_view, 8> kPayloadKeys{"code", "signal", "", "",
                                                                "",     "",       "", ""};
};

// The name of a terminal kind ("child_exited", ...).
constexpr std::string_view terminal_kind_name(TerminalKind::Tag tag) {
  return TaggedTable<TerminalKind>::kNames[static_cast<std::size_t>(tag)];
}

// ---------------------------------------------------------------------------
// Field descriptions.

// How a field is laid out in JSON besides its key.
enum class FieldStyle : uint8_t {
  // Written with its key; an absent optional is left out entirely.
  Plain,
  // An optional written as null when absent (only the calibration's
  // `automatic_limit_bytes`).
  NullWhenAbsent,
  // A tagged value whose tag member and payload member stand among the
  // enclosing record's own members (only `TerminalOutcome::kind`).
  Flattened,
};

// The JSON key of one field, with its layout.
struct FieldKey {
  std::string_view name;
  FieldStyle style = FieldStyle::Plain;
};

// A record type: a struct with `kFieldCount` and `for_each_field`.
template <class T>
concept Record = requires {
  T::kFieldCount;
};

// ---------------------------------------------------------------------------
// Report errors.

// Why a report (or a run identity) may not be published. Validation reports
// the kind of the first group of rules that fails, in this order of checking:
// UnsupportedSchemaVersion, InvalidPackageVersion, InvalidRunIdentity,
// InvalidConfiguration, InvalidPrivacy, InvalidAdvisoryMetadata,
// InvalidEvents, InvalidCalibration. Nothing says which rule within the group
// failed. The kinds carry no message text; callers map them to errors of
// their own.
enum class ReportError : uint8_t {
  InvalidRunIdentity,        // also every failure of RunIdentity::from_argv
  UnsupportedSchemaVersion,  // schema_version is not 1
  InvalidPackageVersion,
  InvalidConfiguration,  // including its agreement with the outcome's parent exit
  InvalidPrivacy,
  InvalidEvents,            // samples, transitions, signals, artifact errors,
                            // checkpoint, outcome or escape
  InvalidAdvisoryMetadata,  // a sample's advisory metadata
  InvalidCalibration,
  // The JSON writer failed. Writing to memory cannot fail, so no operation
  // produces this kind; it is kept so that callers handle every kind.
  Encoding,
};

// ---------------------------------------------------------------------------
// Records, each with its fields in declaration (and JSON key) order.

struct RunIdentity {
  std::string run_id;                           // "run_" + 32 lowercase hexadecimal digits
  std::string executable_basename;              // "<non-utf8>" when the name is not UTF-8
  uint32_t argument_count = 0;                  // arguments after the executable
  std::optional<std::string> correlation_hash;  // "sha256:" + 64 hex digits

  static constexpr std::size_t kFieldCount = 4;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"run_id"}, self.run_id);
    visit(FieldKey{"executable_basename"}, self.executable_basename);
    visit(FieldKey{"argument_count"}, self.argument_count);
    visit(FieldKey{"correlation_hash"}, self.correlation_hash);
  }
  friend bool operator==(const RunIdentity&, const RunIdentity&) = default;

  // Builds the identity of a run of the command `argv` (executable first;
  // each element an operating-system string, i.e. arbitrary bytes).
  // `executable_basename` is the last normal component of argv[0] taken as a
  // '/'-separated path, ignoring repeated and trailing separators and "."
  // components ("bin/tool/" and "bin/tool/." give "tool"); it is the literal
  // "<non-utf8>" when that name is not valid UTF-8. `argument_count` is the
  // number of elements after the first. `correlation_hash` is kept as given.
  // Fails with InvalidRunIdentity when argv is empty, when argv[0] has no
  // file name ("", "/", ".", or a path ending in ".."), when the count does
  // not fit in 32 bits, or when the result breaks a rule of `validate`.
  [[nodiscard]] static Result<RunIdentity, ReportError> from_argv(
      std::string_view run_id, std::span<const std::string> argv,
      std::optional<std::string> correlation_hash);

  // InvalidRunIdentity unless: `run_id` is "run_" and 32 lowercase hex
  // digits; `executable_basename` is 1 to 255 bytes, neither "." nor "..",
  // without '/' or '\'; `correlation_hash` is absent or "sha256:" and 64
  // lowercase hex digits.
  [[nodiscard]] Result<void, ReportError> validate() const;
};

struct Capabilities {
  Observed<bool> darwin_footprint;     // the operating system's footprint accounting
  Observed<bool> owned_process_group;  // the owned process group
  Observed<bool> checkpoint_channel;   // the cooperative checkpoint channel

  static constexpr std::size_t kFieldCount = 3;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"darwin_footprint"}, self.darwin_footprint);
    visit(FieldKey{"owned_process_group"}, self.owned_process_group);
    visit(FieldKey{"checkpoint_channel"}, self.checkpoint_channel);
  }
  friend bool operator==(const Capabilities&, const Capabilities&) = default;
};

struct ReportConfiguration {
  ReportMode mode = ReportMode::Observe;
  std::optional<uint64_t> max_footprint_bytes;
  std::optional<uint64_t> warning_footprint_bytes;
  std::optional<uint64_t> recovery_footprint_bytes;
  std::optional<uint64_t> emergency_footprint_bytes;
  uint32_t required_breach_samples = 0;
  uint32_t max_missing_samples = 0;
  std::optional<uint64_t> wall_time_ms;
  uint64_t sample_interval_ms = 0;
  uint64_t max_sample_age_ms = 0;
  uint64_t max_sample_window_ms = 0;
  std::optional<uint64_t> checkpoint_timeout_ms;
  uint64_t term_grace_ms = 0;
  std::optional<OnParentExit> on_parent_exit;
  std::optional<ParentWatch> parent_watch;

  static constexpr std::size_t kFieldCount = 15;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"mode"}, self.mode);
    visit(FieldKey{"max_footprint_bytes"}, self.max_footprint_bytes);
    visit(FieldKey{"warning_footprint_bytes"}, self.warning_footprint_bytes);
    visit(FieldKey{"recovery_footprint_bytes"}, self.recovery_footprint_bytes);
    visit(FieldKey{"emergency_footprint_bytes"}, self.emergency_footprint_bytes);
    visit(FieldKey{"required_breach_samples"}, self.required_breach_samples);
    visit(FieldKey{"max_missing_samples"}, self.max_missing_samples);
    visit(FieldKey{"wall_time_ms"}, self.wall_time_ms);
    visit(FieldKey{"sample_interval_ms"}, self.sample_interval_ms);
    visit(FieldKey{"max_sample_age_ms"}, self.max_sample_age_ms);
    visit(FieldKey{"max_sample_window_ms"}, self.max_sample_window_ms);
    visit(FieldKey{"checkpoint_timeout_ms"}, self.checkpoint_timeout_ms);
    visit(FieldKey{"term_grace_ms"}, self.term_grace_ms);
    visit(FieldKey{"on_parent_exit"}, self.on_parent_exit);
    visit(FieldKey{"parent_watch"}, self.parent_watch);
  }
  friend bool operator==(const ReportConfiguration&, const ReportConfiguration&) = default;
};

struct AdvisoryMetricMetadata {
  AdvisoryScope scope = AdvisoryScope::System;
  AdvisorySource source = AdvisorySource::DispatchMemoryPressure;
  uint64_t captured_at_ms = 0;
  AdvisoryFreshness freshness = AdvisoryFreshness::Unavailable;

  static constexpr std::size_t kFieldCount = 4;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"scope"}, self.scope);
    visit(FieldKey{"source"}, self.source);
    visit(FieldKey{"captured_at_ms"}, self.captured_at_ms);
    visit(FieldKey{"freshness"}, self.freshness);
  }
  friend bool operator==(const AdvisoryMetricMetadata&, const AdvisoryMetricMetadata&) = default;
};

// Note the order: `pressure_level` is second here, sixth in AdvisoryMetrics.
struct AdvisoryMetadata {
  AdvisoryMetricMetadata pressure_events;
  AdvisoryMetricMetadata pressure_level;
  AdvisoryMetricMetadata swap_bytes;
  AdvisoryMetricMetadata compressor_bytes;
  AdvisoryMetricMetadata wired_bytes;
  AdvisoryMetricMetadata growth_bytes_per_second;

  static constexpr std::size_t kFieldCount = 6;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"pressure_events"}, self.pressure_events);
    visit(FieldKey{"pressure_level"}, self.pressure_level);
    visit(FieldKey{"swap_bytes"}, self.swap_bytes);
    visit(FieldKey{"compressor_bytes"}, self.compressor_bytes);
    visit(FieldKey{"wired_bytes"}, self.wired_bytes);
    visit(FieldKey{"growth_bytes_per_second"}, self.growth_bytes_per_second);
  }
  friend bool operator==(const AdvisoryMetadata&, const AdvisoryMetadata&) = default;
};

struct AdvisoryMetrics {
  Observed<uint64_t> pressure_events;
  Observed<uint64_t> swap_bytes;
  Observed<uint64_t> compressor_bytes;
  Observed<uint64_t> wired_bytes;
  Observed<int64_t> growth_bytes_per_second;  // negative when shrinking
  std::optional<Observed<MemoryPressureLevel>> pressure_level;
  std::optional<AdvisoryMetadata> metadata;

  static constexpr std::size_t kFieldCount = 7;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"pressure_events"}, self.pressure_events);
    visit(FieldKey{"swap_bytes"}, self.swap_bytes);
    visit(FieldKey{"compressor_bytes"}, self.compressor_bytes);
    visit(FieldKey{"wired_bytes"}, self.wired_bytes);
    visit(FieldKey{"growth_bytes_per_second"}, self.growth_bytes_per_second);
    visit(FieldKey{"pressure_level"}, self.pressure_level);
    visit(FieldKey{"metadata"}, self.metadata);
  }
  friend bool operator==(const AdvisoryMetrics&, const AdvisoryMetrics&) = default;
};

// One footprint sample of the owned group.
struct SampleWindow {
  uint64_t captured_at_ms = 0;
  uint64_t processed_at_ms = 0;
  uint64_t window_ms = 0;
  Observed<uint64_t> aggregate_footprint_bytes;
  AdvisoryMetrics advisory;

  static constexpr std::size_t kFieldCount = 5;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"captured_at_ms"}, self.captured_at_ms);
    visit(FieldKey{"processed_at_ms"}, self.processed_at_ms);
    visit(FieldKey{"window_ms"}, self.window_ms);
    visit(FieldKey{"aggregate_footprint_bytes"}, self.aggregate_footprint_bytes);
    visit(FieldKey{"advisory"}, self.advisory);
  }
  friend bool operator==(const SampleWindow&, const SampleWindow&) = default;
};

// One policy state change.
struct TransitionRecord {
  uint64_t at_ms = 0;
  PolicyState from = PolicyState::Observe;
  PolicyState to = PolicyState::Observe;
  std::optional<uint64_t> aggregate_footprint_bytes;

  static constexpr std::size_t kFieldCount = 4;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"at_ms"}, self.at_ms);
    visit(FieldKey{"from"}, self.from);
    visit(FieldKey{"to"}, self.to);
    visit(FieldKey{"aggregate_footprint_bytes"}, self.aggregate_footprint_bytes);
  }
  friend bool operator==(const TransitionRecord&, const TransitionRecord&) = default;
};

// One signal sent by the supervisor.
struct SignalRecord {
  uint64_t at_ms = 0;
  uint8_t signal = 0;
  SignalTarget target = SignalTarget::OwnedProcessGroup;
  SignalResult result = SignalResult::Delivered;
  std::optional<SignalReason> reason;

  static constexpr std::size_t kFieldCount = 5;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"at_ms"}, self.at_ms);
    visit(FieldKey{"signal"}, self.signal);
    visit(FieldKey{"target"}, self.target);
    visit(FieldKey{"result"}, self.result);
    visit(FieldKey{"reason"}, self.reason);
  }
  friend bool operator==(const SignalRecord&, const SignalRecord&) = default;
};

// The artifact a checkpointing client reported.
struct CheckpointArtifactRecord {
  ArtifactKind kind = ArtifactKind::File;
  std::optional<uint64_t> size_bytes;

  static constexpr std::size_t kFieldCount = 2;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"kind"}, self.kind);
    visit(FieldKey{"size_bytes"}, self.size_bytes);
  }
  friend bool operator==(const CheckpointArtifactRecord&,
                         const CheckpointArtifactRecord&) = default;
};

// Where the run's one checkpoint request stands.
struct CheckpointRecord {
  CheckpointStatus status = CheckpointStatus::NotNegotiated;
  std::optional<uint64_t> at_ms;
  std::optional<uint64_t> request_id;
  std::optional<SignalReason> reason;
  std::optional<CheckpointArtifactRecord> artifact;

  static constexpr std::size_t kFieldCount = 5;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"status"}, self.status);
    visit(FieldKey{"at_ms"}, self.at_ms);
    visit(FieldKey{"request_id"}, self.request_id);
    visit(FieldKey{"reason"}, self.reason);
    visit(FieldKey{"artifact"}, self.artifact);
  }
  friend bool operator==(const CheckpointRecord&, const CheckpointRecord&) = default;
};

// Processes that left the owned process group.
struct EscapeEvidence {
  Observed<bool> detected;
  std::optional<uint64_t> escaped_count;

  static constexpr std::size_t kFieldCount = 2;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"detected"}, self.detected);
    visit(FieldKey{"escaped_count"}, self.escaped_count);
  }
  friend bool operator==(const EscapeEvidence&, const EscapeEvidence&) = default;
};

// A failure to write a run artifact. The runtime never produces one; the
// record and its JSON forms exist all the same.
struct ArtifactErrorRecord {
  uint64_t at_ms = 0;
  ArtifactErrorCode code = ArtifactErrorCode::CreateFailed;

  static constexpr std::size_t kFieldCount = 2;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"at_ms"}, self.at_ms);
    visit(FieldKey{"code"}, self.code);
  }
  friend bool operator==(const ArtifactErrorRecord&, const ArtifactErrorRecord&) = default;
};

// How the run ended. `kind` is flattened: its "kind" member and its "code" or
// "signal" member stand among the outcome's own members.
struct TerminalOutcome {
  uint64_t at_ms = 0;
  TerminalKind kind;
  Observed<uint64_t> final_footprint_bytes;
  std::optional<ChildStatus> child_status;
  std::optional<bool> owned_group_survivors;
  std::optional<uint64_t> parent_exited_at_ms;

  static constexpr std::size_t kFieldCount = 6;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"at_ms"}, self.at_ms);
    visit(FieldKey{"kind", FieldStyle::Flattened}, self.kind);
    visit(FieldKey{"final_footprint_bytes"}, self.final_footprint_bytes);
    visit(FieldKey{"child_status"}, self.child_status);
    visit(FieldKey{"owned_group_survivors"}, self.owned_group_survivors);
    visit(FieldKey{"parent_exited_at_ms"}, self.parent_exited_at_ms);
  }
  friend bool operator==(const TerminalOutcome&, const TerminalOutcome&) = default;
};

// Calibration summary of an observe run.
struct CalibrationArtifact {
  uint32_t schema_version = 1;
  bool observation_only = true;
  bool safety_certified = false;
  uint64_t total_samples = 0;
  uint64_t complete_samples = 0;
  uint64_t incomplete_samples = 0;
  uint64_t observed_duration_ms = 0;
  Observed<uint64_t> peak_aggregate_footprint_bytes;
  Observed<int64_t> peak_growth_bytes_per_second;
  std::optional<uint64_t> automatic_limit_bytes;  // never set by this program
  CalibrationGuidance guidance =
      CalibrationGuidance::ChooseExplicitLimitFromRepeatedRepresentativeRuns;

  static constexpr std::size_t kFieldCount = 11;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"schema_version"}, self.schema_version);
    visit(FieldKey{"observation_only"}, self.observation_only);
    visit(FieldKey{"safety_certified"}, self.safety_certified);
    visit(FieldKey{"total_samples"}, self.total_samples);
    visit(FieldKey{"complete_samples"}, self.complete_samples);
    visit(FieldKey{"incomplete_samples"}, self.incomplete_samples);
    visit(FieldKey{"observed_duration_ms"}, self.observed_duration_ms);
    visit(FieldKey{"peak_aggregate_footprint_bytes"}, self.peak_aggregate_footprint_bytes);
    visit(FieldKey{"peak_growth_bytes_per_second"}, self.peak_growth_bytes_per_second);
    visit(FieldKey{"automatic_limit_bytes", FieldStyle::NullWhenAbsent},
          self.automatic_limit_bytes);
    visit(FieldKey{"guidance"}, self.guidance);
  }
  friend bool operator==(const CalibrationArtifact&, const CalibrationArtifact&) = default;
};

// The privacy settings under which a report was kept.
struct PrivacyDefaults {
  bool redacted_before_persistence = true;
  std::string file_mode = "0600";
  UploadPolicy upload = UploadPolicy::Disabled;
  RetentionPolicy retention = RetentionPolicy::UserManaged;
  CapturePolicy capture = CapturePolicy::RedactedMetadataOnly;

  static constexpr std::size_t kFieldCount = 5;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"redacted_before_persistence"}, self.redacted_before_persistence);
    visit(FieldKey{"file_mode"}, self.file_mode);
    visit(FieldKey{"upload"}, self.upload);
    visit(FieldKey{"retention"}, self.retention);
    visit(FieldKey{"capture"}, self.capture);
  }
  friend bool operator==(const PrivacyDefaults&, const PrivacyDefaults&) = default;

  // The only privacy record this program writes: redacted before
  // persistence, mode "0600", upload disabled, retention user-managed,
  // capture of redacted metadata only.
  static PrivacyDefaults defaults();
};

// The final report, schema version 1. Built only from the journal at the end
// of a run.
struct ReportV1 {
  uint32_t schema_version = kReportSchemaVersion;
  std::string package_version;
  RunIdentity run;
  Capabilities capabilities;
  ReportConfiguration configuration;
  std::vector<SampleWindow> samples;
  std::vector<TransitionRecord> transitions;
  std::vector<SignalRecord> signals;
  CheckpointRecord checkpoint;
  EscapeEvidence escape;
  std::vector<ArtifactErrorRecord> artifact_errors;
  TerminalOutcome outcome;
  std::optional<CalibrationArtifact> calibration;
  PrivacyDefaults privacy;

  static constexpr std::size_t kFieldCount = 14;
  template <class Self, class Visitor>
  static constexpr void for_each_field(Self& self, Visitor&& visit) {
    visit(FieldKey{"schema_version"}, self.schema_version);
    visit(FieldKey{"package_version"}, self.package_version);
    visit(FieldKey{"run"}, self.run);
    visit(FieldKey{"capabilities"}, self.capabilities);
    visit(FieldKey{"configuration"}, self.configuration);
    visit(FieldKey{"samples"}, self.samples);
    visit(FieldKey{"transitions"}, self.transitions);
    visit(FieldKey{"signals"}, self.signals);
    visit(FieldKey{"checkpoint"}, self.checkpoint);
    visit(FieldKey{"escape"}, self.escape);
    visit(FieldKey{"artifact_errors"}, self.artifact_errors);
    visit(FieldKey{"outcome"}, self.outcome);
    visit(FieldKey{"calibration"}, self.calibration);
    visit(FieldKey{"privacy"}, self.privacy);
  }
  friend bool operator==(const ReportV1&, const ReportV1&) = default;

  // Checks every rule a report must satisfy before it is published and
  // returns the kind of the first group that fails (see ReportError for the
  // order). Pure: changes nothing, allocates nothing and makes one pass over
  // each list.
  [[nodiscard]] Result<void, ReportError> validate() const;

  // The calibration group of `validate` alone: valid when `calibration` is
  // absent; otherwise InvalidCalibration unless the mode is observe, the
  // automatic limit is absent, complete + incomplete samples equal the total
  // without overflow, the peak footprint is "unknown" with no complete
  // sample or "available" with some, an available peak growth is at least
  // 1, and the fixed fields hold (schema 1, observation only, not safety
  // certified).
  [[nodiscard]] Result<void, ReportError> validate_calibration() const;

  // The report as pretty JSON text followed by one line feed, or the
  // validation kind of an invalid report (and no text at all). The text
  // starts in a buffer with room for 128 bytes.
  [[nodiscard]] Result<std::string, ReportError> to_json_pretty() const;

  // The same text handed to `sink` in pieces of about 64 KiB, so that a
  // report of thousands of samples is never held whole in memory. Nothing is
  // handed over for an invalid report.
  [[nodiscard]] Result<void, ReportError> write_json_pretty(JsonSink& sink) const;
};

// The latest time the report's events carry: the greatest of every sample's
// `processed_at_ms`, every transition's, signal's and artifact error's
// `at_ms`, and the checkpoint's `at_ms` when present. Absent when there is
// none of these. A valid report's outcome is no earlier than this.
std::optional<uint64_t> latest_report_timestamp(const ReportV1& report);

}  // namespace vek_guard

#endif  // VEK_GUARD_REPORT_H_
