#include "vek_guard/duration.h"

#include <time.h>

namespace vek_guard {

MonotonicInstant MonotonicInstant::now() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0 || ts.tv_sec < 0) {
    return MonotonicInstant(Duration());
  }
  return MonotonicInstant(
      Duration::from_parts(static_cast<uint64_t>(ts.tv_sec), static_cast<uint64_t>(ts.tv_nsec)));
}

}  // namespace vek_guard
