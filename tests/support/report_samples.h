// Valid reports for tests that write, validate or read records. Each call
// builds a fresh value, so a test may break one rule and expect exactly that
// rule's failure.
#ifndef VEK_GUARD_TESTS_SUPPORT_REPORT_SAMPLES_H_
#define VEK_GUARD_TESTS_SUPPORT_REPORT_SAMPLES_H_

#include <cstdint>

#include "vek_guard/report.h"

namespace vek_guard::test_support {

// Metadata that agrees with every metric being available and fresh, each
// entry captured at `captured_at_ms`.
AdvisoryMetadata fresh_advisory_metadata(uint64_t captured_at_ms);

// A sample captured at `at_ms`, processed 1 ms later, with every advisory
// metric available, a pressure level and metadata that agrees with them.
SampleWindow sample_with_full_advisory(uint64_t at_ms);

// A valid `run` report in enforce mode: two samples, one transition, one
// signal, no checkpoint, an outcome of "child_signaled" at 300 ms, and no
// calibration.
ReportV1 valid_run_report();

// A valid `observe` report: the same events without thresholds, ending in
// "child_exited", with a calibration.
ReportV1 valid_observe_report();

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_REPORT_SAMPLES_H_
