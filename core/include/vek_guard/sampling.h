// Footprint sampling: timed group probes, a bounded history, and the rules
// that decide which measurements the policy may act on.
//
// `SamplingConfig` holds the four sampling bounds and validates them.
// `FootprintSampler` times each pass, hands the group inventory to its
// `IdentityTracker`, records the result as a `FootprintSample`, keeps the
// sequence numbers of the last `history_capacity` samples as its history,
// turns a sample into the policy machine's `Sample` event and tells the loop
// how long it may sleep.
//
//   auto config = SamplingConfig::create(Duration::from_millis(50),
//                                        Duration::from_millis(500),
//                                        Duration::from_millis(250), 4096);
//   if (!config) return error_message(config.error());
//   FootprintSampler sampler(*config, std::move(tracker));
//   // once per loop iteration:
//   const FootprintSample& sample = sampler.sample_native(clock);
//   PolicyEvent event = sampler.policy_event(sample, clock.now());
//   ...
//   std::optional<Duration> sleep = sampler.delay_until_next(clock.now());
//
// Measurement problems are never errors here: they are recorded as the
// sample's status and produce an event without a footprint, which the policy
// machine counts as a missing sample. Supervision thread only; no locks.
#ifndef VEK_GUARD_SAMPLING_H_
#define VEK_GUARD_SAMPLING_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/identity.h"
#include "vek_guard/policy.h"
#include "vek_guard/run_clock.h"

namespace vek_guard {

// Why a sampling configuration was refused, in the order the checks run.
enum class SamplingConfigError : uint8_t {
  IntervalOutOfRange,
  IncoherentAgeAndWindow,
  HistoryCapacityOutOfRange,
};

constexpr std::string_view error_message(SamplingConfigError error) {
  switch (error) {
    case SamplingConfigError::IntervalOutOfRange:
      return "sample interval is outside 10 ms through 10 s";
    case SamplingConfigError::IncoherentAgeAndWindow:
      return "sample age and window bounds are incoherent";
    case SamplingConfigError::HistoryCapacityOutOfRange:
      return "sample history capacity is outside 1 through 4096";
  }
  return "";
}

// The sampling bounds, all with nanosecond resolution. Only `create` makes
// one, so every configuration in use is valid.
class SamplingConfig {
 public:
  static constexpr Duration kMinInterval = Duration::from_millis(10);
  static constexpr Duration kMaxInterval = Duration::from_secs(10);
  static constexpr std::size_t kMaxHistoryCapacity = 4096;

  // Checks, in this order, and reports the first failure:
  //  1. sample_interval within 10 ms to 10 s inclusive, else
  //     IntervalOutOfRange;
  //  2. neither max_sample_window nor max_sample_age zero, else
  //     IncoherentAgeAndWindow;
  //  3. max_sample_window not longer than max_sample_age, else
  //     IncoherentAgeAndWindow;
  //  4. history_capacity within 1 to 4096, else HistoryCapacityOutOfRange.
  [[nodiscard]] static Result<SamplingConfig, SamplingConfigError> create(
      Duration sample_interval, Duration max_sample_age, Duration max_sample_window,
      std::size_t history_capacity);

  // Time between the starts of two passes.
  Duration sample_interval() const { return sample_interval_; }
  // Greatest allowed time between a pass's completion and its use.
  Duration max_sample_age() const { return max_sample_age_; }
  // Greatest allowed duration of one pass.
  Duration max_sample_window() const { return max_sample_window_; }
  // Number of samples the history covers.
  std::size_t history_capacity() const { return history_capacity_; }

  friend bool operator==(const SamplingConfig&, const SamplingConfig&) = default;

 private:
  SamplingConfig() = default;

  Duration sample_interval_;
  Duration max_sample_age_;
  Duration max_sample_window_;
  std::size_t history_capacity_ = 0;
};

// One counted member of a pass.
struct MemberFootprint {
  int32_t pid = 0;
  uint64_t start_time = 0;
  std::optional<uint64_t> footprint_bytes;

  friend constexpr bool operator==(const MemberFootprint&, const MemberFootprint&) = default;
};

// What one pass measured. The alternative index is the status kind
// (`kind()`), in this order.
struct SampleStatus {
  enum class Kind : uint8_t {
    Complete,
    Incomplete,
    AggregateOverflow,
    ProbeFailed,
    ClockRegressed
  };

  // Every member measured: the aggregate footprint in bytes.
  struct Complete {
    // No default member initializer, so that the variant below stays
    // default-constructible; value-initialized to 0.
    uint64_t aggregate_bytes;
    friend constexpr bool operator==(const Complete&, const Complete&) = default;
  };
  // Something could not be measured: the unmeasured identities (sorted, no
  // duplicates), the failures the pass kept and the sum of what was measured.
  struct Incomplete {
    std::vector<ProcessIdentity> unmeasured;
    std::vector<MemberFailure> failures;
    uint64_t measured_bytes = 0;
    friend bool operator==(const Incomplete&, const Incomplete&) = default;
  };
  // The members' footprints do not fit in 64 bits.
  struct AggregateOverflow {
    friend constexpr bool operator==(const AggregateOverflow&, const AggregateOverflow&) = default;
  };
  // Listing the group failed; nothing was measured.
  struct ProbeFailed {
    InspectionError error = InspectionError::Failed;
    friend constexpr bool operator==(const ProbeFailed&, const ProbeFailed&) = default;
  };
  // The pass's times were out of order; nothing was measured.
  struct ClockRegressed {
    friend constexpr bool operator==(const ClockRegressed&, const ClockRegressed&) = default;
  };

  std::variant<Complete, Incomplete, AggregateOverflow, ProbeFailed, ClockRegressed> value;

  Kind kind() const { return static_cast<Kind>(value.index()); }
  // The aggregate of a Complete status, else nothing.
  std::optional<uint64_t> complete_bytes() const {
    if (const auto* complete = std::get_if<Complete>(&value)) return complete->aggregate_bytes;
    return std::nullopt;
  }

  friend bool operator==(const SampleStatus&, const SampleStatus&) = default;
};

// When the sampler counts the pages that members share after a fork once
// (NativeProcessInventory::refine_shared_pages). Reading a member's
// proportional share costs 10 to 20 ms per GiB it maps, so it is read only
// where the cheap sum (each member's own reading, shared pages counted whole)
// is not good enough:
//  - Never: every pass keeps the cheap sum.
//  - AtLevel (run): every pass whose cheap sum reaches level_bytes (the
//    warning level) refines, so the policy acts on what the group holds
//    whenever a limit is near.
//  - AbovePeak (observe): a pass refines when its cheap sum reaches the
//    calibration's peak (it could raise it), and reads shares at a bounded
//    rate: after a pass that read, no pass reads for nine times as long as
//    that pass's refinement took, so reading takes at most a tenth of the
//    time. A pass that may not read counts the family from the shares read
//    before; one that counts a member by its own reading because that
//    member was never read (and was not forked from another) is deferred
//    (SharedPages::deferred), and raises the peak only to what its group
//    provably held (peak_footprint_of).
struct ShareRefinement {
  enum class Trigger : uint8_t { Never, AtLevel, AbovePeak };

  static constexpr ShareRefinement never() { return {}; }
  // `enough_bytes`: a pass whose group provably holds this much reads no
  // share (RefinementTerms::enough_bytes): run mode's emergency band, past
  // which the group is killed whatever the shares say.
  static constexpr ShareRefinement at_level(
      uint64_t level_bytes, uint64_t enough_bytes = std::numeric_limits<uint64_t>::max()) {
    return {Trigger::AtLevel, level_bytes, enough_bytes};
  }
  static constexpr ShareRefinement above_peak() { return {Trigger::AbovePeak, 0}; }

  Trigger trigger = Trigger::Never;
  uint64_t level_bytes = 0;                                      // AtLevel only
  uint64_t enough_bytes = std::numeric_limits<uint64_t>::max();  // AtLevel only
};

// One recorded pass.
struct FootprintSample {
  // The counted members, by pid then start time.
  std::vector<MemberFootprint> members;
  // The pass's identity events.
  std::vector<IdentityEvent> events;
  SampleStatus status;
  // Durations since the run's start instant, read before and after the
  // group probe.
  Duration started_at;
  Duration completed_at;
  // The number of samples recorded before this one (every pass gets one,
  // regressed and failed passes included).
  uint64_t sequence = 0;
  // The tracker had counted at least one escaped identity by this pass.
  // For ProbeFailed and ClockRegressed samples, members and events are
  // empty and escaped is false.
  bool escaped = false;
  // What the pass did about pages its members share (empty for ProbeFailed
  // and ClockRegressed samples).
  SharedPages shared_pages;

  friend bool operator==(const FootprintSample&, const FootprintSample&) = default;
};

// What `sample` may raise a calibration peak to: its complete aggregate; for
// a deferred pass, which counted some forked members by their own readings
// (an upper bound that may be far above what the group holds), only what the
// group provably held then, the aggregate less SharedPages::above_floor_bytes;
// nothing for a sample that is not complete.
std::optional<uint64_t> peak_footprint_of(const FootprintSample& sample);

// What the sampler keeps of the samples it recorded: the sequence numbers of
// the newest `history_capacity` ones, which are consecutive. The samples
// themselves are not kept (the runtime keeps the record it derives from each
// one), so the sampler's memory does not grow with the group.
struct SampleHistory {
  // The sequence number of the oldest sample covered; not 0 once the sampler
  // has dropped samples.
  uint64_t oldest_sequence = 0;
  // The number of samples covered, at most history_capacity.
  std::size_t size = 0;

  bool empty() const { return size == 0; }
};

// Times group probes and keeps their results. One sampler per run, created
// after launch, owned by the runtime until the report is built.
class FootprintSampler {
 public:
  // Of max_sample_window, the part a pass may spend before its last read of
  // a proportional share ends: half, so that the listing, the member reads,
  // a read that takes longer than predicted and a busy machine all fit in
  // the other half and the sample stays usable.
  static constexpr uint32_t kRefinementBudgetDivisor = 2;

  // A sampler with an empty history, no last start and a count of 0. It
  // probes through `inventory` (/proc by default), keeping a process table
  // of the same proc root from one pass to the next, and counts shared pages
  // once as `refinement` says, timing those reads with `cost`.
  FootprintSampler(SamplingConfig config, IdentityTracker tracker,
                   NativeProcessInventory inventory = NativeProcessInventory(),
                   ShareRefinement refinement = ShareRefinement::never(),
                   ShareReadCost cost = ShareReadCost());

  // Runs one pass against the live system: reads `clock`, probes the group
  // through the sampler's process table (NativeProcessInventory::sample_group),
  // refines it when the sampler's ShareRefinement says so, within
  // max_sample_window / 2 from the pass's start, reads the clock again and
  // records the result. Returns the recorded sample, valid until the next
  // recording.
  const FootprintSample& sample_native(RunClock& clock);

  // Whether a process of the owned group is alive (not a zombie) now: the
  // process table is refreshed at `clock`'s time as a pass would
  // refresh it (a listing and the reads it decides on, with the tracked
  // identities and every process it last saw in the group read fresh), and
  // answers from its readings. The runtime asks
  // this once the root has exited and the group still exists, to tell live
  // members from zombies that only their new parent can reap; a new child of
  // a member is a new pid, so it is read here whenever it exists. Fails when
  // the table cannot be refreshed.
  [[nodiscard]] Result<bool, InspectionError> owned_group_alive(RunClock& clock);
  // After a successful owned_group_alive: whether a live process of the owned
  // group had not begun to exit either (platform::ProcStat::exiting), that
  // is, one that outlived, or was never reached by, any kill sent before.
  // Answered from the same readings; false before any.
  bool owned_group_running() const;

  // Records one pass from its two times and the probe result:
  //  - completed_at earlier than started_at, or started_at earlier than the
  //    last in-order pass's start: ClockRegressed; the probe is discarded and
  //    neither the last start nor the tracker changes;
  //  - otherwise the last start becomes started_at; a failed probe gives
  //    ProbeFailed without touching the tracker; a successful one goes
  //    through IdentityTracker::update, whose status becomes Complete,
  //    Incomplete or AggregateOverflow, and its shared_pages become the
  //    sample's.
  // Every call gets the next sequence number; a full history drops its
  // oldest sample. Returns the recorded sample, valid until the next
  // recording (its storage is reused by the next one).
  const FootprintSample& record_snapshot(Duration started_at, Duration completed_at,
                                         Result<GroupInventory, InspectionError> probe);

  // The policy machine's Sample event for `sample` handed over at `now` (a
  // duration since the run's start). latency is completed_at - started_at,
  // or 0 when that is negative. The footprint is the aggregate, present only
  // when all of these hold: the status is Complete; started_at <= completed_at
  // <= now; started_at is not later than the last start (when there is one);
  // latency is not 0; latency <= max_sample_window; and now - completed_at <=
  // max_sample_age. An event without a footprint counts as a missing sample.
  PolicyEvent::Sample policy_event(const FootprintSample& sample, Duration now) const;

  // How long the loop may sleep before the next pass: zero before the first
  // in-order pass; nothing when `now` is earlier than the last start (the
  // clock went back); otherwise what is left of the interval since the last
  // start, or zero once it has passed. Passes are timed from the start of
  // the previous one, not from its end.
  std::optional<Duration> delay_until_next(Duration now) const;

  // The sequence numbers the history covers.
  SampleHistory history() const;

  const SamplingConfig& config() const { return config_; }
  // The identity bookkeeping; the loops read escaped_count() from it.
  const IdentityTracker& tracker() const { return tracker_; }
  // The start of the last pass whose times were in order.
  std::optional<Duration> last_start() const { return last_start_; }
  // Samples recorded so far, saturating; it keeps counting past the
  // history's capacity.
  uint64_t recorded() const { return recorded_; }

 private:
  // Refines the pass's inventory as refinement_ says; the budget runs from
  // `pass_began` on cost_'s clock.
  void refine(GroupInventory* inventory, Duration pass_began);

  SamplingConfig config_;
  IdentityTracker tracker_;
  NativeProcessInventory inventory_;
  platform::ProcessTable table_;
  ShareRefinement refinement_;
  ShareReadCost cost_;
  // What the refinement knows of the forked family from earlier passes.
  ShareLedger ledger_;
  // AbovePeak: the largest peak_footprint_of any sample, as the
  // calibration keeps its peak.
  std::optional<uint64_t> peak_;
  // AbovePeak: no pass reads shares before this reading of cost_'s clock.
  std::optional<Duration> refine_after_;
  // The sample of the latest pass.
  FootprintSample last_;
  std::optional<Duration> last_start_;
  uint64_t recorded_ = 0;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_SAMPLING_H_
