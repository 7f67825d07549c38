// The command line of vek-guard: its definition and help, and the validation
// that turns a parsed command line into the `NormalizedCommand` the runtime
// receives. The parsers of single option values are option_values.h; how
// stray words and keys are shown is display_text.h.
//
// Two subcommands share one set of options:
//
//   vek-guard observe [OPTIONS] --report <PATH> -- <COMMAND>...
//   vek-guard run [OPTIONS] --max-footprint <MAX_FOOTPRINT_BYTES> --report <PATH> -- <COMMAND>...
//
// Parsing never runs anything and never prints: every function here returns
// a value or an error value, so the whole command line can be tested from an
// argument vector alone. The program entry (entry.h) decides where texts go
// and which exit status follows.
//
//   auto parsed = parse_command_line(args);
//   if (!parsed) print(parsed.error().message);   // help, version or error
//   else runtime::execute(*parsed);
#ifndef VEK_GUARD_CLI_CLI_H_
#define VEK_GUARD_CLI_CLI_H_

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vek_guard/duration.h"
#include "vek_guard/error.h"
#include "vek_guard/report.h"

namespace vek_guard::cli {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// What command-line handling has to say instead of a command: an error, or
// help and version output that the user asked for.
struct CliParseError {
  // The complete text to print, line feeds included; printed unchanged.
  std::string message;
  // True exactly for requested help and version output (standard output,
  // status 0). Everything else, including the help shown when the program
  // gets no argument at all, is an error (standard error, status 64).
  bool display = false;

  friend bool operator==(const CliParseError&, const CliParseError&) = default;
};

// ---------------------------------------------------------------------------
// The parsed command line, before validation
// ---------------------------------------------------------------------------

inline constexpr std::string_view kProgramName = "vek-guard";
inline constexpr std::string_view kProgramAbout =
    "External runtime safety supervision for VEK commands";

// The options both subcommands share, as the value parsers left them.
// Absent options hold their defaults (`--sample-interval 50ms`,
// `--on-parent-exit terminate`).
struct RawCommon {
  Duration sample_interval;
  // Paths are operating-system strings: any bytes but NUL.
  std::string report_path;
  std::optional<std::string> cwd;
  bool clear_env = false;
  // The --env values in command-line order, unsplit (valid UTF-8).
  std::vector<std::string> env;
  std::optional<int32_t> client_ready_fd;
  OnParentExit on_parent_exit = OnParentExit::Terminate;
  // The words after the mandatory `--`, taken literally; at least one.
  std::vector<std::string> command;

  friend bool operator==(const RawCommon&, const RawCommon&) = default;
};

struct RawObserve {
  RawCommon common;

  friend bool operator==(const RawObserve&, const RawObserve&) = default;
};

struct RawRun {
  uint64_t max_footprint_bytes = 0;
  std::optional<Duration> wall_time;
  // Absent means the runtime's default of one second.
  std::optional<Duration> checkpoint_timeout;
  RawCommon common;

  friend bool operator==(const RawRun&, const RawRun&) = default;
};

// The subcommand, in the order the help lists them.
using RawCommand = std::variant<RawObserve, RawRun>;

// The whole command line as the definition parsed it.
struct RawCli {
  RawCommand command;

  // Parses an argument vector (args[0] is the program path; its file name is
  // the program name shown in usage lines). Help and version requests, the
  // `help` subcommand and every parse or value error come back as a
  // CliParseError with the complete text to print. An argument vector with
  // nothing after the program path gives the full help as an error.
  //
  // Only the first `--` separates the options from COMMAND: every word after
  // it belongs to the command, whatever it looks like, and no option ever
  // takes `--` as its value. Words before it that are neither options nor
  // option values are refused.
  [[nodiscard]] static Result<RawCli, CliParseError> parse(std::span<const std::string> args);

  // The help text of the top-level command, as `--help` prints it, with
  // `program` as the program name in the usage line.
  static std::string help(std::string_view program = kProgramName);

  friend bool operator==(const RawCli&, const RawCli&) = default;
};

// ---------------------------------------------------------------------------
// The validated command line
// ---------------------------------------------------------------------------

// The limits only `run` has.
struct NormalizedRun {
  // At least 2, and small enough that the emergency policy band above it
  // still fits in 64 bits (check_max_footprint).
  uint64_t max_footprint_bytes = 0;
  // At most 30 days.
  std::optional<Duration> wall_time;
  // 10 ms to 60 s; absent means one second.
  std::optional<Duration> checkpoint_timeout;

  friend bool operator==(const NormalizedRun&, const NormalizedRun&) = default;
};

// The options both subcommands share, validated.
struct NormalizedCommon {
  // 10 ms to 10 s.
  Duration sample_interval;
  std::string report_path;
  std::optional<std::string> cwd;
  bool clear_env = false;
  // Unique keys, ordered by their bytes; keys are never empty, values may be.
  std::map<std::string, std::string> env;
  // At least 3.
  std::optional<int32_t> client_ready_fd;
  OnParentExit on_parent_exit = OnParentExit::Terminate;
  // At least one word; operating-system strings, not necessarily UTF-8.
  std::vector<std::string> command;

  friend bool operator==(const NormalizedCommon&, const NormalizedCommon&) = default;
};

// What the runtime receives: `observe` (no run limits) or `run`.
struct NormalizedCommand {
  // Present for `run`, absent for `observe`.
  std::optional<NormalizedRun> run;
  NormalizedCommon common;

  bool is_run() const { return run.has_value(); }

  friend bool operator==(const NormalizedCommand&, const NormalizedCommand&) = default;
};

// The checks `run` needs before anything else is validated, so that they win
// over normalize's errors: the limit must be at least 2 bytes ("--max-footprint
// must be at least 2B"), and its footprint_band (policy.h) must exist: the
// emergency edge, the limit plus a tenth of it (plus 1 below 10 bytes), must
// fit in 64 bits ("--max-footprint is too large for the emergency policy
// band"). The error's
// display flag is false.
[[nodiscard]] Result<void, CliParseError> check_max_footprint(uint64_t max_footprint_bytes);

// Validates what the value parsers could not, stopping at the first error
// (display flag false):
//   - the sample interval must be 10 ms to 10 s inclusive: "--sample-interval
//     must be within 10ms..=10s";
//   - each --env value, in command-line order, is split at its first "=":
//     none gives "--env requires KEY=VALUE", an empty key "--env key must not
//     be empty", a key seen before "duplicate --env key {quoted key}" (the key
//     as quote_debug writes it). The value may be empty or hold more "=".
// Everything else is carried over unchanged.
[[nodiscard]] Result<NormalizedCommon, CliParseError> normalize(const RawCommon& raw);

// The whole pipeline without running anything: RawCli::parse, then for `run`
// check_max_footprint, then normalize.
[[nodiscard]] Result<NormalizedCommand, CliParseError> parse_command_line(
    std::span<const std::string> args);

}  // namespace vek_guard::cli

#endif  // VEK_GUARD_CLI_CLI_H_
