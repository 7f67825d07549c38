// The inputs the fuzz targets keep on disk (seed corpora and past findings),
// for the tests that replay them.
#ifndef VEK_GUARD_TESTS_SUPPORT_FUZZ_INPUTS_H_
#define VEK_GUARD_TESTS_SUPPORT_FUZZ_INPUTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vek_guard::test_support {

struct FuzzInput {
  std::string path;
  std::vector<uint8_t> bytes;
};

// Every regular file of `<source_dir>/fuzz/corpus/<target>/` (the seeds),
// then of `<source_dir>/fuzz/regressions/<target>/` (past findings), each
// directory sorted by name; a missing directory contributes nothing.
std::vector<FuzzInput> read_fuzz_inputs(std::string_view source_dir, std::string_view target);

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_FUZZ_INPUTS_H_
