#include "vek_guard/random_source.h"

#include <fcntl.h>

#include "vek_guard/fd_io.h"

namespace vek_guard {

std::optional<RandomSource> RandomSource::open() {
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return RandomSource(std::move(fd));
}

bool RandomSource::fill(std::span<uint8_t> out) {
  return read_full(fd_.get(), out) == static_cast<ssize_t>(out.size());
}

}  // namespace vek_guard
