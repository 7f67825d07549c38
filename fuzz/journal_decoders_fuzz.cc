// libFuzzer entry for check_journal_record_decoders (checks.h).
#include <cstddef>
#include <cstdint>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vek_guard::fuzz;
  return settle_fuzz_verdict(kJournalDecodersTarget, check_journal_record_decoders({data, size}));
}
