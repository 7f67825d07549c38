// The journal record decoder as it was before records were read in place: the
// payload parsed whole into a `BufferedValue` tree by nlohmann's SAX parser,
// then every record read from the tree. Kept, frozen, as the reference of the
// differential check (check_journal_record_decoders in checks.h); nothing in
// the program uses it.
//
// Two additions serve the comparison: the nesting budget can be lifted, and
// `direct_form_depth` tells how deep the in-place reader must nest for a
// record, which differs from the tree's depth in one documented way (the
// unknown members of a record read in place do not count).
#ifndef VEK_GUARD_FUZZ_REFERENCE_DECODER_H_
#define VEK_GUARD_FUZZ_REFERENCE_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "vek_guard/journal_record.h"
#include "vek_guard/json_reader.h"

namespace vek_guard::fuzz::reference {

// A payload as the reference reads it: the tree, when the text parsed, and
// the record, when the tree read as one.
struct ReferenceDecode {
  std::optional<BufferedValue> tree;
  std::optional<JournalRecord> record;
};

// Parses and reads `payload`. With `limit_nesting` the budget of the old
// decoder applies (at most 127 arrays and objects open); without, any depth
// parses, and a subtree deeper than `kCollapseDepth` levels is held as a
// marker of its depth (see direct_form_depth) instead of whole.
inline constexpr std::size_t kCollapseDepth = 160;
ReferenceDecode reference_decode(std::span<const uint8_t> payload, bool limit_nesting);

// How many arrays and objects the in-place reader has open at most while it
// reads `tree` (which must have read as `record`) as a journal record: every
// object of a record, tagged value or entry it enters, and every container of
// the members it buffers (a tagged value's non-tag members, a
// TerminalOutcome's members other than its own fields, the entry's members
// other than "type", and a "value" that comes before "type"), but not the
// unknown members of the records it reads in place.
std::size_t direct_form_depth(const BufferedValue& tree);

}  // namespace vek_guard::fuzz::reference

#endif  // VEK_GUARD_FUZZ_REFERENCE_DECODER_H_
