// The clock of one supervised run: every time the supervision reads (event
// and record times, the sampler's pass times) and every wait between two
// passes.
//
// Times are durations since the run's start. The program uses
// `MonotonicRunClock`, which reads the monotonic clock and waits with
// wait_for; tests put a clock of their own in its place that moves only when
// read or asked to wait, so that a loop of thousands of passes takes no time
// at all and writes the same records on every run.
//
//   MonotonicRunClock clock;                       // the run starts now
//   const Duration now = clock.now();
//   clock.wait(pause, &monitor, &owned);          // between two passes
//
// Supervision thread only.
#ifndef VEK_GUARD_RUN_CLOCK_H_
#define VEK_GUARD_RUN_CLOCK_H_

#include "vek_guard/duration.h"

namespace vek_guard {

class OwnedProcess;           // process_control.h
class TerminalSignalMonitor;  // supervisor_signals.h

class RunClock {
 public:
  virtual ~RunClock() = default;

  // The time since the run's start; never earlier than an earlier reading.
  virtual Duration now() = 0;

  // Waits for `duration`, or less: a real clock returns early when a
  // terminal signal waits in `monitor`'s pipe or when the unreaped root of
  // `owned` exits (see wait_for). Either may be null: with both null the
  // wait is a plain timed one.
  virtual void wait(Duration duration, const TerminalSignalMonitor* monitor,
                    const OwnedProcess* owned) = 0;
};

// The program's clock: CLOCK_MONOTONIC since the instant it was made, and
// wait_for (process_control.h).
class MonotonicRunClock final : public RunClock {
 public:
  // The run's start is the moment of construction.
  MonotonicRunClock() : started_at_(MonotonicInstant::now()) {}

  Duration now() override { return started_at_.elapsed(); }
  void wait(Duration duration, const TerminalSignalMonitor* monitor,
            const OwnedProcess* owned) override;

 private:
  MonotonicInstant started_at_;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_RUN_CLOCK_H_
