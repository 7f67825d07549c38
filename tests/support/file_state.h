// Small helpers to arrange and inspect files on disk in storage tests.
#ifndef VEK_GUARD_TESTS_SUPPORT_FILE_STATE_H_
#define VEK_GUARD_TESTS_SUPPORT_FILE_STATE_H_

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "vek_guard/unique_fd.h"

namespace vek_guard::test_support {

// The whole contents of a regular file, or nothing when it cannot be opened
// (a symbolic link is not followed).
inline std::optional<std::string> file_contents(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string contents;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    contents.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return contents;
}

// Creates or replaces `path` with `contents` and sets exactly `mode`.
inline bool write_file(const std::string& path, const std::string& contents, mode_t mode = 0600) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok =
      ::write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()) &&
      ::fchmod(fd, mode) == 0;
  ::close(fd);
  return ok;
}

// The mode bits (type bits removed) of `path` without following a link, or
// nothing when it does not exist.
inline std::optional<mode_t> file_mode(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_mode & 07777;
}

inline bool exists(const std::string& path) { return file_mode(path).has_value(); }

// A regular file that lives only in memory, holding `bytes` with exactly
// `mode`, open for reading at its start; owned by the effective user. Much
// faster than the disk for tests that read thousands of variants of a file.
inline UniqueFd memory_file(const std::string& bytes, mode_t mode = 0600) {
  UniqueFd fd(::memfd_create("vek-guard-test", MFD_CLOEXEC));
  if (!fd.valid() ||
      ::write(fd.get(), bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::fchmod(fd.get(), mode) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) {
    return UniqueFd();
  }
  return fd;
}

// Hands `path` (not following a link) to a user id other than ours. Only
// root can (as in CI); tests of foreign ownership skip themselves when this
// returns false.
inline bool give_to_other_user(const std::string& path) {
  return ::lchown(path.c_str(), ::geteuid() + 4242, static_cast<gid_t>(-1)) == 0;
}

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_FILE_STATE_H_
