// The properties that the fuzz targets check, one function per target.
//
// Each function takes arbitrary bytes, drives one untrusted-input surface of
// the program with them and checks what came back against rules that hold
// for every input (round trips, state machine invariants, small reference
// models written independently of the code under test). A violated rule is
// returned as a message; a crash, hang or sanitizer report is the other way
// a check can fail.
//
// The same functions serve two callers: the libFuzzer entry points under
// fuzz/ (built only with clang, see fuzz/run.sh), which abort on a message so
// that the fuzzer keeps the input, and the regression tests, which feed every
// file of fuzz/corpus/<target>/ and fuzz/regressions/<target>/ through them
// in the normal test run.
//
//   Result<void, std::string> verdict = fuzz::check_journal_record(bytes);
//   if (!verdict) report(verdict.error());
//
// Input layouts: targets that need more than one byte string (chunked
// streams) read their structure from the input itself, as described at each
// function, so that the fuzzer can mutate structure and content alike. The
// `encode_*` helpers build inputs in those layouts for seed corpora and
// tests.
#ifndef VEK_GUARD_FUZZ_CHECKS_H_
#define VEK_GUARD_FUZZ_CHECKS_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vek_guard/checkpoint.h"
#include "vek_guard/error.h"

namespace vek_guard::fuzz {

using CheckResult = Result<void, std::string>;

// The target names: the directory names under fuzz/corpus/ and
// fuzz/regressions/, and the fuzz executables' names without "_fuzz".
inline constexpr std::string_view kJournalRecordTarget = "journal_record";
inline constexpr std::string_view kJournalDecodersTarget = "journal_decoders";
inline constexpr std::string_view kJournalFileTarget = "journal_file";
inline constexpr std::string_view kCheckpointIngestTarget = "checkpoint_ingest";
inline constexpr std::string_view kNegotiationReplyTarget = "negotiation_reply";
inline constexpr std::string_view kCliValuesTarget = "cli_values";
inline constexpr std::string_view kCommandLineTarget = "command_line";

// The nonce both checkpoint targets use, bytes 0xA0, 0xA1, ... 0xBF: fixed so
// that seed inputs can hold frames carrying it.
CheckpointNonce fuzz_nonce();
// The request id and deadline of the checkpoint_ingest scenario. The request
// is made at time zero.
inline constexpr uint64_t kFuzzRequestId = 7;
inline constexpr uint64_t kFuzzDeadlineMs = 1000;

// The bytes as one journal record payload. When they decode, the record is
// encoded again and the encoding decoded: both decodes must be equal, and
// encoding the second must give the same text (the encoding is canonical).
[[nodiscard]] CheckResult check_journal_record(std::span<const uint8_t> data);

// The bytes as one journal record payload, decoded in place
// (decode_journal_record, once with a fresh reader and once with a reader
// reused from input to input) and by the tree-based decoder that came before
// it (reference_decoder.h). Both must accept the same payloads and give the
// same record, but for two documented differences:
//  - the in-place reader does not count the unknown members of the records
//    it reads in place against the nesting budget. So a payload that the old
//    decoder refuses is expected to decode when the old decoder, without a
//    budget, reads it and the depth of the in-place reading stays within
//    127;
//  - the old decoder refused every number beyond a double's range (1e400, a
//    400-digit integer) wherever it stood; the in-place reader takes any
//    number by its syntax, and refuses it only where a field reads it, as
//    every field refuses 1e308 too. So the old decoder is given the payload
//    with each such number written as 1e308 of its sign.
[[nodiscard]] CheckResult check_journal_record_decoders(std::span<const uint8_t> data);

// The bytes as a whole journal file: written to a 0600 file in a private
// directory (created once per process) and read back twice. With
// read_journal_frames, each payload decoded as a record whose sequence must
// be its frame index (a payload that does not is refused, as the journal's
// reader does), the frames handed over and the tail must match an
// independent frame parser over the same bytes. With read_journal, the
// records must be those frames' records, numbered 0..n-1, with the same
// tail; a report rebuilt from them (to_report) must validate.
[[nodiscard]] CheckResult check_journal_file(std::span<const uint8_t> data);

// The bytes as a chunked stream ingested by a CheckpointProtocol with
// fuzz_nonce() after begin_request(kFuzzRequestId, 0, kFuzzDeadlineMs). The
// input is a sequence of steps, each a control byte C, a time byte T and then
// min(C & 0x7F, remaining) payload bytes: the time advances by T ms, the
// payload is ingested, and when C & 0x80 is set endpoint_exited() follows.
// Invariants: only legal state transitions, at most one acknowledgement over
// the whole stream and only while awaiting it, an acknowledgement carries the
// nonce and the pending id, moves the state by its status, comes without
// events and equals decode_acknowledgement of the stream's last 61 bytes;
// the buffer never exceeds its capacity; after the deadline an awaiting
// protocol times out.
[[nodiscard]] CheckResult check_checkpoint_ingest(std::span<const uint8_t> data);

// The bytes as a chunked negotiation reply written to the child end of a
// CheckpointChannel::pair(fuzz_nonce()) after begin_negotiation. Steps: a
// control byte C, then min(C & 0x3F, remaining) bytes written at once, then
// poll_ready once (twice when C & 0x40). At the end the child end is closed
// and poll_ready called until it settles. Every result must equal that of a
// small model of the socket and the reply rules: true only for exactly the
// valid 42-byte reply, never more than 42 bytes taken, an error once the
// client is gone before replying.
[[nodiscard]] CheckResult check_negotiation_reply(std::span<const uint8_t> data);

// The bytes as one option value given to every value parser of the command
// line; each accepted value (and each message) must equal what a reference
// computation written independently of the parsers gives.
[[nodiscard]] CheckResult check_cli_values(std::span<const uint8_t> data);

// What a libFuzzer entry point does with a verdict: a violated property is
// printed and aborts the process, so that the fuzzer saves the input.
inline int settle_fuzz_verdict(std::string_view target, const CheckResult& verdict) {
  if (verdict) return 0;
  std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(target.size()), target.data(),
               verdict.error().c_str());
  std::abort();
}

// The bytes as a whole argument vector: split at every NUL byte into the
// words after the program name (no bytes: no words). parse_command_line must
// return the same result twice, agree with RawCli::parse, and accept only
// commands that keep their limits: the command is exactly the words after the
// first "--", the ranges hold, --env keys are non-empty. quote_debug of the
// bytes must be printable UTF-8 in double quotes.
[[nodiscard]] CheckResult check_command_line(std::span<const uint8_t> data);

// Input builders for the chunked layouts above.
struct IngestStep {
  std::vector<uint8_t> bytes;  // at most 127
  uint8_t advance_ms = 0;
  bool exit_after = false;
};
std::vector<uint8_t> encode_ingest_steps(std::span<const IngestStep> steps);

struct ReplyStep {
  std::vector<uint8_t> bytes;  // at most 63
  bool poll_twice = false;
};
std::vector<uint8_t> encode_reply_steps(std::span<const ReplyStep> steps);

// The 61-byte acknowledgement frame with the given fields and fuzz_nonce().
std::vector<uint8_t> acknowledgement_frame(uint64_t request_id, uint8_t status,
                                           uint8_t artifact_kind, uint8_t has_size,
                                           uint64_t size_bytes);
// The valid 42-byte negotiation reply for fuzz_nonce().
std::vector<uint8_t> negotiation_reply_frame();

}  // namespace vek_guard::fuzz

#endif  // VEK_GUARD_FUZZ_CHECKS_H_
