#include "vek_guard/sampling.h"

#include <algorithm>
#include <limits>
#include <span>
#include <utility>
#include <vector>

namespace vek_guard {
namespace {

SampleStatus status_of(AggregateStatus aggregate, std::vector<MemberFailure> failures) {
  return std::visit(
      [&](auto&& status) -> SampleStatus {
        using T = std::decay_t<decltype(status)>;
        if constexpr (std::is_same_v<T, AggregateStatus::Complete>) {
          return {SampleStatus::Complete{status.total_bytes}};
        } else if constexpr (std::is_same_v<T, AggregateStatus::Incomplete>) {
          return {SampleStatus::Incomplete{std::move(status.unmeasured), std::move(failures),
                                           status.measured_bytes}};
        } else {
          return {SampleStatus::AggregateOverflow{}};
        }
      },
      std::move(aggregate.value));
}

}  // namespace

std::optional<uint64_t> peak_footprint_of(const FootprintSample& sample) {
  const std::optional<uint64_t> aggregate = sample.status.complete_bytes();
  if (!aggregate || !sample.shared_pages.deferred) return aggregate;
  return *aggregate > sample.shared_pages.above_floor_bytes
             ? *aggregate - sample.shared_pages.above_floor_bytes
             : 0;
}

Result<SamplingConfig, SamplingConfigError> SamplingConfig::create(Duration sample_interval,
                                                                   Duration max_sample_age,
                                                                   Duration max_sample_window,
                                                                   std::size_t history_capacity) {
  if (sample_interval < kMinInterval || sample_interval > kMaxInterval) {
    return unexpected(SamplingConfigError::IntervalOutOfRange);
  }
  if (max_sample_window.is_zero() || max_sample_age.is_zero() ||
      max_sample_window > max_sample_age) {
    return unexpected(SamplingConfigError::IncoherentAgeAndWindow);
  }
  if (history_capacity == 0 || history_capacity > kMaxHistoryCapacity) {
    return unexpected(SamplingConfigError::HistoryCapacityOutOfRange);
  }
  SamplingConfig config;
  config.sample_interval_ = sample_interval;
  config.max_sample_age_ = max_sample_age;
  config.max_sample_window_ = max_sample_window;
  config.history_capacity_ = history_capacity;
  return config;
}

FootprintSampler::FootprintSampler(SamplingConfig config, IdentityTracker tracker,
                                   NativeProcessInventory inventory, ShareRefinement refinement,
                                   ShareReadCost cost)
    : config_(std::move(config)),
      tracker_(std::move(tracker)),
      inventory_(std::move(inventory)),
      table_(inventory_.proc_root()),
      refinement_(refinement),
      cost_(std::move(cost)) {}

const FootprintSample& FootprintSampler::sample_native(RunClock& clock) {
  const Duration started_at = clock.now();
  const bool refining = refinement_.trigger != ShareRefinement::Trigger::Never;
  const Duration pass_began = refining ? cost_.now() : Duration::zero();
  auto probe = inventory_.sample_group(tracker_, table_, started_at);
  // Inside the timed pass: what refinement costs counts toward the latency
  // that decides whether the sample may be acted on.
  if (probe && refining) refine(&*probe, pass_began);
  const Duration completed_at = clock.now();
  return record_snapshot(started_at, completed_at, std::move(probe));
}

void FootprintSampler::refine(GroupInventory* inventory, Duration pass_began) {
  RefinementTerms terms;
  terms.deadline = pass_began.saturating_add(Duration::from_nanos(
      config_.max_sample_window().as_nanos_saturating() / kRefinementBudgetDivisor));
  const bool above_peak = refinement_.trigger == ShareRefinement::Trigger::AbovePeak;
  if (above_peak) {
    terms.level_bytes = peak_.value_or(0);
    terms.allowed = !refine_after_ || cost_.now() >= *refine_after_;
  } else {
    terms.level_bytes = refinement_.level_bytes;
    terms.enough_bytes = refinement_.enough_bytes;
  }
  const Duration began = cost_.now();
  const SharedPages shared =
      inventory_.refine_shared_pages(inventory, tracker_, terms, cost_, ledger_);
  if (above_peak && shared.read != 0) {
    // At most a tenth of the time goes to reading: observe mode has no
    // limit to protect, only a peak to get right, and a family that keeps
    // its cheap sum above the peak would otherwise be read on every pass.
    const Duration ended = cost_.now();
    refine_after_ = ended.saturating_add(ended.saturating_sub(began).saturating_mul(9));
  }
}

Result<bool, InspectionError> FootprintSampler::owned_group_alive(RunClock& clock) {
  // Besides the tracked identities, every process the table last saw in the
  // group is read afresh: one the tracker never met (a child listed by the
  // last refresh but by no pass) would otherwise count as alive on its old
  // reading until its turn comes, and hold the run up after it died.
  const int32_t group = tracker_.owned_pgid();
  Result<std::vector<int32_t>, InspectionError> members = read_pid_listing(
      [&](std::span<int32_t> buffer) { return table_.list_group_pids(group, buffer); });
  if (!members) return unexpected(members.error());
  std::vector<int32_t> needed = tracker_.known_pids();
  needed.insert(needed.end(), members->begin(), members->end());
  if (!table_.refresh(clock.now(), needed)) return unexpected(InspectionError::Failed);
  return table_.has_live_member(group);
}

bool FootprintSampler::owned_group_running() const {
  return table_.listed() && table_.has_running_member(tracker_.owned_pgid());
}

const FootprintSample& FootprintSampler::record_snapshot(
    Duration started_at, Duration completed_at, Result<GroupInventory, InspectionError> probe) {
  // The previous sample's member list is reused: a group of thousands would
  // otherwise cost an allocation of its size on every pass.
  FootprintSample& sample = last_;
  sample.members.clear();
  sample.events.clear();
  sample.status = {};
  sample.started_at = started_at;
  sample.completed_at = completed_at;
  sample.sequence = recorded_;
  sample.escaped = false;
  sample.shared_pages = {};
  if (recorded_ != std::numeric_limits<uint64_t>::max()) ++recorded_;

  const bool regressed =
      completed_at < started_at || (last_start_.has_value() && started_at < *last_start_);
  if (regressed) {
    // Times out of order say nothing reliable about when the probe ran, so
    // it is dropped whole and the tracker does not learn from it.
    sample.status = {SampleStatus::ClockRegressed{}};
    return sample;
  }

  last_start_ = started_at;
  if (!probe) {
    sample.status = {SampleStatus::ProbeFailed{probe.error()}};
    return sample;
  }

  sample.shared_pages = probe->shared_pages;
  IdentityUpdate update = tracker_.update(std::move(probe).value());
  for (const ProcessRecord& member : update.members) {
    sample.members.push_back(
        MemberFootprint{member.pid, member.start_time, member.footprint_bytes});
  }
  sample.events = std::move(update.events);
  sample.status = status_of(std::move(update.status), std::move(update.failures));
  sample.escaped = update.escaped;
  if (const std::optional<uint64_t> footprint = peak_footprint_of(sample)) {
    peak_ = std::max(peak_.value_or(0), *footprint);
  }
  return sample;
}

PolicyEvent::Sample FootprintSampler::policy_event(const FootprintSample& sample,
                                                   Duration now) const {
  const Duration latency = sample.completed_at.saturating_sub(sample.started_at);
  const std::optional<uint64_t> aggregate = sample.status.complete_bytes();
  // A pass of zero length was not timed at all (the clock did not move, or
  // the times were made up), so nothing says when its reading was taken.
  const bool usable = aggregate.has_value() && sample.started_at <= sample.completed_at &&
                      sample.completed_at <= now &&
                      (!last_start_ || sample.started_at <= *last_start_) && !latency.is_zero() &&
                      latency <= config_.max_sample_window() &&
                      now.saturating_sub(sample.completed_at) <= config_.max_sample_age();
  return PolicyEvent::Sample{.footprint_bytes = usable ? aggregate : std::nullopt,
                             .completed_at = sample.completed_at,
                             .now = now,
                             .latency = latency};
}

std::optional<Duration> FootprintSampler::delay_until_next(Duration now) const {
  if (!last_start_) return Duration::zero();
  const std::optional<Duration> elapsed = now.checked_sub(*last_start_);
  if (!elapsed) return std::nullopt;
  return config_.sample_interval().saturating_sub(*elapsed);
}

SampleHistory FootprintSampler::history() const {
  // Sequence numbers are consecutive from 0, so the newest history_capacity
  // of them end just below the count. (Once the count saturates, later
  // samples all carry its maximum.)
  const uint64_t size = std::min<uint64_t>(recorded_, config_.history_capacity());
  return SampleHistory{recorded_ - size, static_cast<std::size_t>(size)};
}

}  // namespace vek_guard
