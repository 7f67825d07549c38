// Reading and writing descriptors: the loops every caller would otherwise
// write again, retrying interrupted calls (EINTR) and short transfers.
//
//   if (const int error = write_all(fd, text); error != 0) return fail(error);
//   const ssize_t got = read_full(fd, bytes);   // < bytes.size(): end of file
//   write_line_without_waiting(STDERR_FILENO, "vek-guard: ...");
//
// Everything here is a thin layer over read(2), write(2) and send(2): errors
// are the calls' own errno values, nothing allocates except
// write_line_without_waiting, and read_some, read_full and write_all are
// async-signal-safe (callable between fork and exec and in signal handlers).
#ifndef VEK_GUARD_FD_IO_H_
#define VEK_GUARD_FD_IO_H_

#include <errno.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vek_guard {

// One read(2) of at most `size` bytes into `out`, repeated while it is
// interrupted before reading anything. Returns what read(2) returns: the
// bytes read, 0 at end of file, or -1 with errno set (EAGAIN included, for a
// non-blocking descriptor with nothing to read).
ssize_t read_some(int fd, void* out, std::size_t size);

// Reads until `out` is full or the file ends. Returns the number of bytes
// read, fewer than out.size() only at end of file, or -1 with errno set when
// a read fails (even after some bytes arrived).
ssize_t read_full(int fd, std::span<uint8_t> out);

// The errno of a call that has just failed, or EIO when it left none: a
// failure must never read as success (0).
inline int failure_errno() { return errno != 0 ? errno : EIO; }

// Writes every byte through `write`, a callable with the contract of
// write(2) for the bytes it is given: `write(const char* data, size_t size)`
// returns the count written or -1 with errno set. Interrupted and partial
// writes are retried. A write that takes no byte, or fails without an
// errno, is a failure with EIO standing in for the errno the call did not
// give: a descriptor that takes nothing now will not on a retry either.
// Returns 0 or the errno of the failure.
template <class Write>
int write_all_with(Write&& write, std::string_view data) {
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = write(next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return failure_errno();
    }
    if (written == 0) return EIO;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return 0;
}

// write_all_with through write(2) on `fd`.
[[nodiscard]] int write_all(int fd, std::string_view data);
[[nodiscard]] int write_all(int fd, const void* data, std::size_t size);

// One send(2) of `data` with `flags`, repeated while interrupted. Returns
// what send(2) returns: the bytes sent (possibly fewer) or -1 with errno.
ssize_t send_some(int fd, std::span<const uint8_t> data, int flags);

// Writes `line` and a line feed to `fd` as far as it goes at once, never
// waiting, for what is said while a run goes on: `fd` (standard error) may be
// a pipe that nobody reads or a terminal held by flow control, and the
// supervision loop must not stall behind it. What cannot be written at once
// is dropped, and nothing is reported.
//
// How it avoids waiting depends on what `fd` is: a socket is sent to with
// MSG_DONTWAIT; a pipe or a character device is written through a second,
// non-blocking open file description of the same object (/proc/self/fd/N),
// because setting O_NONBLOCK on `fd` itself would change it for the command
// that shares it; where that reopen is refused, the text goes out in one
// write only when poll(2) says there is room now. Anything else (a regular
// file) takes the write without waiting on anyone.
void write_line_without_waiting(int fd, std::string_view line);

}  // namespace vek_guard

#endif  // VEK_GUARD_FD_IO_H_
