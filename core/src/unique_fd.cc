#include "vek_guard/unique_fd.h"

#include <errno.h>
#include <unistd.h>

namespace vek_guard {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() {
  if (fd_ < 0) return 0;
  const int fd = release();
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace vek_guard
