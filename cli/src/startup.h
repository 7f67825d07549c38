// Start-up steps shared by `run` and `observe`.
#ifndef VEK_GUARD_CLI_STARTUP_H_
#define VEK_GUARD_CLI_STARTUP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/identity.h"
#include "vek_guard/process_control.h"
#include "vek_guard/report.h"
#include "vek_guard/sampling.h"
#include "vek_guard/supervisor_signals.h"
#include "vek_guard_cli/cli.h"
#include "vek_guard_cli/outcome.h"

namespace vek_guard::runtime {

// The number of sample windows kept for the report, and of samples journaled
// one by one before the history takes over.
inline constexpr std::size_t kSampleHistoryCapacity = 4096;

// Takes ownership of the client's readiness descriptor; a refusal is the
// run's outcome (invalid_configuration with the error's text).
Result<ClientReady, cli::ExecutionOutcome> take_client_ready(std::optional<int32_t> fd);

// The sampling configuration for the interval: the policy's sample_bounds
// and a history of kSampleHistoryCapacity. A refusal is the run's outcome.
Result<SamplingConfig, cli::ExecutionOutcome> make_sampling_config(Duration sample_interval);

// The terminal kind that a root's own status stands for.
TerminalKind kind_of_status(const ChildStatus& status);

struct EarlyEnd {
  TerminalKind kind;
  std::string message;
};

// When the root's status is known: "child exited before {stage}" with the
// root's own kind; otherwise the fallback unchanged.
EarlyEnd child_exited_before(const std::optional<ChildStatus>& status, std::string_view stage,
                             std::string_view fallback_message, TerminalKind fallback_kind);

// The notice printed when the command's standard input is replaced.
inline constexpr std::string_view kStdinNotice =
    "vek-guard: standard input is a terminal, so the command reads from /dev/null instead";

// Writes one line (a line feed is added) to standard error at once, for what
// is said while the run goes on: write_line_without_waiting on descriptor 2.
// What cannot be written at once is dropped.
void print_now(std::string_view line);

// The launch of the command as the options describe it (every stream
// inherited).
LaunchSpec launch_spec_for(const cli::NormalizedCommand& command);

// The terminal kind of a launch failure.
TerminalKind::Tag launch_failure_kind(LaunchErrorKind kind);

}  // namespace vek_guard::runtime

#endif  // VEK_GUARD_CLI_STARTUP_H_
