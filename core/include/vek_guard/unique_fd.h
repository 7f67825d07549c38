// Ownership of one file descriptor.
//
// Every descriptor the program opens is held by a UniqueFd from the line that
// opens it, so no error path can leak one. Descriptors are opened
// close-on-exec (O_CLOEXEC, SOCK_CLOEXEC, pipe2) so that nothing but standard
// I/O and the checkpoint descriptor reaches a launched command.
//
//   UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd.valid()) return errno;
#ifndef VEK_GUARD_UNIQUE_FD_H_
#define VEK_GUARD_UNIQUE_FD_H_

namespace vek_guard {

// Move-only owner of a descriptor; -1 means empty. The destructor closes the
// descriptor and ignores the result: a close is never retried on EINTR (on
// Linux the descriptor is gone either way). Paths that need to know whether a
// close succeeded call close() and look at its result.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives up ownership without closing.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the held descriptor (if any) and takes `fd`.
  void reset(int fd = -1);

  // Closes the held descriptor and reports the result: 0, or the errno of the
  // failed close. The object is empty afterwards in both cases.
  int close();

 private:
  int fd_ = -1;
};

}  // namespace vek_guard

#endif  // VEK_GUARD_UNIQUE_FD_H_
