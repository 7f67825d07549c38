// Durations and monotonic instants for the whole engine.
//
// A Duration is unsigned whole seconds (u64) plus nanoseconds (below one
// second). Every sum saturates at the greatest duration (u64::MAX seconds plus
// 999,999,999 ns) instead of wrapping, so a deadline computed from a huge grace
// period is simply never reached. Durations compare as (seconds, nanoseconds).
//
// Times inside the engine are Durations since a run's start instant taken on
// the monotonic clock; records store them as whole milliseconds through
// `Duration::as_millis_saturating`.
//
//   Duration grace = Duration::from_secs(1);
//   Duration deadline = now.saturating_add(grace);
//   uint64_t at_ms = deadline.as_millis_saturating();
#ifndef VEK_GUARD_DURATION_H_
#define VEK_GUARD_DURATION_H_

#include <compare>
#include <cstdint>
#include <limits>
#include <optional>

namespace vek_guard {

class Duration {
 public:
  static constexpr uint32_t kNanosPerSecond = 1'000'000'000;

  // The zero duration.
  constexpr Duration() = default;

  // `nanos` at or above one second carries into the seconds; the result
  // saturates at max().
  static constexpr Duration from_parts(uint64_t secs, uint64_t nanos) {
    const uint64_t carry = nanos / kNanosPerSecond;
    const auto rest = static_cast<uint32_t>(nanos % kNanosPerSecond);
    if (secs > std::numeric_limits<uint64_t>::max() - carry) return max();
    return Duration(secs + carry, rest);
  }
  static constexpr Duration from_secs(uint64_t secs) { return Duration(secs, 0); }
  static constexpr Duration from_millis(uint64_t ms) {
    return Duration(ms / 1000, static_cast<uint32_t>(ms % 1000) * 1'000'000U);
  }
  static constexpr Duration from_micros(uint64_t us) {
    return Duration(us / 1'000'000, static_cast<uint32_t>(us % 1'000'000) * 1000U);
  }
  static constexpr Duration from_nanos(uint64_t ns) {
    return Duration(ns / kNanosPerSecond, static_cast<uint32_t>(ns % kNanosPerSecond));
  }
  static constexpr Duration zero() { return Duration(); }
  static constexpr Duration max() {
    return Duration(std::numeric_limits<uint64_t>::max(), kNanosPerSecond - 1);
  }

  constexpr uint64_t secs() const { return secs_; }
  constexpr uint32_t subsec_nanos() const { return nanos_; }
  constexpr bool is_zero() const { return secs_ == 0 && nanos_ == 0; }

  // this + other, saturating at max().
  constexpr Duration saturating_add(Duration other) const {
    uint64_t nanos = uint64_t{nanos_} + other.nanos_;
    uint64_t carry = 0;
    if (nanos >= kNanosPerSecond) {
      nanos -= kNanosPerSecond;
      carry = 1;
    }
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    if (secs_ > limit - other.secs_ || secs_ + other.secs_ > limit - carry) return max();
    return Duration(secs_ + other.secs_ + carry, static_cast<uint32_t>(nanos));
  }

  // this - other, or nothing when other is longer.
  constexpr std::optional<Duration> checked_sub(Duration other) const {
    if (*this < other) return std::nullopt;
    uint64_t secs = secs_ - other.secs_;
    uint32_t nanos = nanos_;
    if (nanos < other.nanos_) {
      --secs;
      nanos += kNanosPerSecond;
    }
    return Duration(secs, nanos - other.nanos_);
  }

  // this - other, or zero when other is longer.
  constexpr Duration saturating_sub(Duration other) const {
    return checked_sub(other).value_or(Duration());
  }

  // this × factor, saturating at max().
  constexpr Duration saturating_mul(uint32_t factor) const {
    const uint64_t nanos = uint64_t{nanos_} * factor;
    const uint64_t carry = nanos / kNanosPerSecond;
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    if (factor != 0 && secs_ > limit / factor) return max();
    const uint64_t secs = secs_ * factor;
    if (secs > limit - carry) return max();
    return Duration(secs + carry, static_cast<uint32_t>(nanos % kNanosPerSecond));
  }

  // Whole milliseconds: seconds × 1000 + nanoseconds ÷ 1,000,000, truncating,
  // saturating at u64::MAX. This is how every record time is computed.
  constexpr uint64_t as_millis_saturating() const {
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    const uint64_t sub = nanos_ / 1'000'000U;
    if (secs_ > (limit - sub) / 1000) return limit;
    return secs_ * 1000 + sub;
  }

  // Whole nanoseconds, or nothing when they do not fit in 64 bits.
  constexpr std::optional<uint64_t> as_nanos_checked() const {
    const uint64_t limit = std::numeric_limits<uint64_t>::max();
    if (secs_ > (limit - nanos_) / kNanosPerSecond) return std::nullopt;
    return secs_ * kNanosPerSecond + nanos_;
  }

  // Whole nanoseconds, saturating at u64::MAX.
  constexpr uint64_t as_nanos_saturating() const {
    return as_nanos_checked().value_or(std::numeric_limits<uint64_t>::max());
  }

  friend constexpr auto operator<=>(const Duration&, const Duration&) = default;
  friend constexpr bool operator==(const Duration&, const Duration&) = default;

 private:
  constexpr Duration(uint64_t secs, uint32_t nanos) : secs_(secs), nanos_(nanos) {}

  uint64_t secs_ = 0;
  uint32_t nanos_ = 0;
};

// A reading of the monotonic clock (CLOCK_MONOTONIC). The runtime takes one
// per run as the origin of every event time.
class MonotonicInstant {
 public:
  // Reads the clock. CLOCK_MONOTONIC cannot fail on Linux with a valid
  // argument; should it ever, the reading is the clock's origin.
  static MonotonicInstant now();

  // Builds an instant from a raw clock reading (for tests and conversions).
  static constexpr MonotonicInstant from_since_clock_origin(Duration since_origin) {
    return MonotonicInstant(since_origin);
  }

  constexpr Duration since_clock_origin() const { return since_origin_; }

  // Time from `earlier` to this instant; zero when `earlier` is later.
  constexpr Duration saturating_duration_since(MonotonicInstant earlier) const {
    return since_origin_.saturating_sub(earlier.since_origin_);
  }

  // Time from this instant to now on the monotonic clock, never negative.
  Duration elapsed() const { return now().saturating_duration_since(*this); }

  friend constexpr auto operator<=>(const MonotonicInstant&, const MonotonicInstant&) = default;
  friend constexpr bool operator==(const MonotonicInstant&, const MonotonicInstant&) = default;

 private:
  constexpr explicit MonotonicInstant(Duration since_origin) : since_origin_(since_origin) {}

  Duration since_origin_;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_DURATION_H_
