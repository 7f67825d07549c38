#include "support/fuzz_inputs.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vek_guard::test_support {

std::vector<FuzzInput> read_fuzz_inputs(std::string_view source_dir, std::string_view target) {
  namespace fs = std::filesystem;
  std::vector<FuzzInput> inputs;
  for (const std::string_view kind : {"corpus", "regressions"}) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(source_dir) / "fuzz" / kind / target, error)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
      std::ifstream in(file, std::ios::binary);
      inputs.push_back({file.string(), std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                                            std::istreambuf_iterator<char>())});
    }
  }
  return inputs;
}

}  // namespace vek_guard::test_support
