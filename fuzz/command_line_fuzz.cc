// libFuzzer entry for check_command_line (checks.h).
#include <cstddef>
#include <cstdint>

#include "checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vek_guard::fuzz;
  return settle_fuzz_verdict(kCommandLineTarget, check_command_line({data, size}));
}
