#include "vek_guard/path.h"

#include <cstddef>

namespace vek_guard {

std::optional<std::string_view> last_path_component(std::string_view path) {
  std::optional<std::string_view> last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (!component.empty() && component != ".") last = component;
    start = end + 1;
  }
  if (!last || *last == "..") return std::nullopt;
  return last;
}

}  // namespace vek_guard
