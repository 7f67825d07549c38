// Random bytes for what must not be guessed: the run identity and the
// checkpoint channel's nonce and request ids.
//
//   std::optional<RandomSource> random = RandomSource::open();
//   std::array<uint8_t, 16> bytes{};
//   if (!random || !random->fill(bytes)) return fail();
//
// The source is the kernel's /dev/urandom, read in full for every value.
// Move-only; one source holds one descriptor (close-on-exec) until dropped.
#ifndef VEK_GUARD_RANDOM_SOURCE_H_
#define VEK_GUARD_RANDOM_SOURCE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "vek_guard/unique_fd.h"

namespace vek_guard {

class RandomSource {
 public:
  // "/dev/urandom", opened read-only; absent when it cannot be opened.
  static std::optional<RandomSource> open();

  // Fills `out` completely; false when a read fails or the source ends.
  [[nodiscard]] bool fill(std::span<uint8_t> out);

 private:
  explicit RandomSource(UniqueFd fd) : fd_(std::move(fd)) {}

  UniqueFd fd_;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_RANDOM_SOURCE_H_
