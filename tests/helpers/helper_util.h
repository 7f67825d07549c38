// Small pieces shared by the test helper programs. Header-only: each helper is
// a single source file linked against nothing of the project.
#ifndef VEK_GUARD_TESTS_HELPERS_HELPER_UTIL_H_
#define VEK_GUARD_TESTS_HELPERS_HELPER_UTIL_H_

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace vek_guard_helper {

// A whole decimal u64, or nothing.
inline std::optional<uint64_t> parse_u64(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0') return std::nullopt;
  return value;
}

inline void sleep_ms(uint64_t ms) {
  timespec left{};
  left.tv_sec = static_cast<time_t>(ms / 1000);
  left.tv_nsec = static_cast<long>(ms % 1000) * 1'000'000L;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

inline bool write_all(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Reads exactly `size` bytes; false on end of file or error.
inline bool read_exact(int fd, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

// Writes `text` to `path` through a temporary name and a rename, so a test
// polling for the file never reads it half written.
inline bool write_file_atomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = write_all(fd, text.data(), text.size());
  ::close(fd);
  return written && ::rename(temporary.c_str(), path.c_str()) == 0;
}

// Every helper ends on its own after `seconds` (SIGALRM's default action), so
// a test that loses track of one never leaves it running for long.
inline void bound_lifetime(uint64_t seconds) {
  ::alarm(static_cast<unsigned>(seconds > 0 ? seconds : 1));
}

[[noreturn]] inline void usage_error(const char* program, const char* argument) {
  std::fprintf(stderr, "%s: bad argument: %s\n", program, argument == nullptr ? "" : argument);
  std::exit(2);
}

}  // namespace vek_guard_helper

#endif  // VEK_GUARD_TESTS_HELPERS_HELPER_UTIL_H_
