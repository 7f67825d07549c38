#include "vek_guard/run_clock.h"

#include "vek_guard/process_control.h"

namespace vek_guard {

void MonotonicRunClock::wait(Duration duration, const TerminalSignalMonitor* monitor,
                             const OwnedProcess* owned) {
  wait_for(duration, monitor, owned);
}

}  // namespace vek_guard
