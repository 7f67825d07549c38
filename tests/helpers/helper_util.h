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
#include <map>
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

// The time of `clock` in nanoseconds.
inline int64_t clock_ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

// A helper's "--key value" pairs after its behaviour name (argv[1]); numbers
// are checked on use, and a bad one is a usage error.
struct Options {
  const char* program = "";
  std::map<std::string, std::string> values;

  std::string text(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  }
  uint64_t number(const std::string& key, uint64_t fallback) const {
    const auto it = values.find(key);
    if (it == values.end()) return fallback;
    const auto parsed = parse_u64(it->second.c_str());
    if (!parsed) usage_error(program, it->second.c_str());
    return *parsed;
  }
  // A number that must be given, and not 0.
  uint64_t required(const std::string& key) const {
    const uint64_t value = number(key, 0);
    if (value == 0) usage_error(program, ("--" + key).c_str());
    return value;
  }
};

// The start of a helper whose behaviour is named by argv[1]: it ends on its
// own after `lifetime_seconds` (bound_lifetime) and reads its options.
inline Options start_behaviour(int argc, char** argv, uint64_t lifetime_seconds) {
  if (argc < 2) usage_error(argv[0], "");
  bound_lifetime(lifetime_seconds);
  Options options;
  options.program = argv[0];
  for (int i = 2; i < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) != 0 || i + 1 >= argc) usage_error(argv[0], argv[i]);
    options.values[argv[i] + 2] = argv[i + 1];
  }
  return options;
}

}  // namespace vek_guard_helper

#endif  // VEK_GUARD_TESTS_HELPERS_HELPER_UTIL_H_
