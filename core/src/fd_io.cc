#include "vek_guard/fd_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "vek_guard/unique_fd.h"

namespace vek_guard {

ssize_t read_some(int fd, void* out, std::size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, out, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t read_full(int fd, std::span<uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t got = read_some(fd, out.data() + done, out.size() - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

int write_all(int fd, std::string_view data) {
  return write_all_with(
      [fd](const char* next, std::size_t left) { return ::write(fd, next, left); }, data);
}

int write_all(int fd, const void* data, std::size_t size) {
  return write_all(fd, std::string_view(static_cast<const char*>(data), size));
}

ssize_t send_some(int fd, std::span<const uint8_t> data, int flags) {
  ssize_t sent;
  do {
    sent = ::send(fd, data.data(), data.size(), flags);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

void write_line_without_waiting(int fd, std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  struct stat info {};
  if (::fstat(fd, &info) != 0) return;
  // Each write below goes as far as it goes; a failure (EAGAIN above all)
  // only drops the rest of the line.
  if (S_ISSOCK(info.st_mode)) {
    (void)write_all_with(
        [fd](const char* next, std::size_t left) {
          return ::send(fd, next, left, MSG_DONTWAIT | MSG_NOSIGNAL);
        },
        text);
    return;
  }
  if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    // A pipe nobody reads, or a terminal held by flow control, would block
    // the write, and with it the loop. O_NONBLOCK cannot be set on the
    // descriptor itself: the command shares its open file description and
    // would find its own writes failing. A second description of the same
    // pipe or terminal is ours alone.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    UniqueFd own(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (own.valid()) {
      (void)write_all(own.get(), text);
      return;
    }
    // Not reopenable (a terminal of another user, a pipe without a reader):
    // write only when there is room now, in one call, as a second could be
    // the one that waits. The command may take the room in between, which is
    // as far as a shared description allows.
    pollfd room{fd, POLLOUT, 0};
    if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT) != 0) {
      const ssize_t written = ::write(fd, text.data(), text.size());
      (void)written;
    }
    return;
  }
  (void)write_all(fd, text);
}

}  // namespace vek_guard
