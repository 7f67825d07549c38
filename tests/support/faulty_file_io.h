// A FileIo that passes through to the operating system until told to fail,
// so tests can break a write, a sync or a rename at a chosen moment.
#ifndef VEK_GUARD_TESTS_SUPPORT_FAULTY_FILE_IO_H_
#define VEK_GUARD_TESTS_SUPPORT_FAULTY_FILE_IO_H_

#include <errno.h>

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <string>

#include "vek_guard/atomic_file.h"

namespace vek_guard::test_support {

class FaultyFileIo final : public FileIo {
 public:
  // After `good` more successful writes, every write fails with `error`.
  void fail_writes_after(int good, int error) {
    writes_left_ = good;
    write_error_ = error;
  }
  // After `good` more successful syncs, every sync fails with `error`.
  void fail_syncs_after(int good, int error) {
    syncs_left_ = good;
    sync_error_ = error;
  }
  void fail_renames(int error) {
    rename_error_ = error;
    fail_renames_ = true;
  }
  // Every rename fails and leaves errno 0.
  void fail_renames_without_errno() { fail_renames(0); }
  // Every write takes at most one byte, and every other call is interrupted
  // before it takes any: the worst a kernel may legally do.
  void dribble_writes() { dribble_ = true; }
  // The next `count` syncs are interrupted.
  void interrupt_syncs(int count) { sync_interrupts_ = count; }
  void heal() {
    writes_left_ = -1;
    syncs_left_ = -1;
    rename_error_ = 0;
    fail_renames_ = false;
  }

  int sync_calls() const { return sync_calls_; }

  ssize_t write(int fd, const void* data, size_t size) override {
    if (writes_left_ == 0) {
      errno = write_error_;
      return -1;
    }
    if (dribble_) {
      interrupt_next_ = !interrupt_next_;
      if (interrupt_next_) {
        errno = EINTR;
        return -1;
      }
      size = std::min<size_t>(size, 1);
    }
    const ssize_t written = FileIo::system().write(fd, data, size);
    if (written >= 0 && writes_left_ > 0) --writes_left_;
    return written;
  }

  int sync(int fd) override {
    ++sync_calls_;
    if (sync_interrupts_ > 0) {
      --sync_interrupts_;
      errno = EINTR;
      return -1;
    }
    if (syncs_left_ == 0) {
      errno = sync_error_;
      return -1;
    }
    if (syncs_left_ > 0) --syncs_left_;
    return FileIo::system().sync(fd);
  }

  int rename_at(int old_dir_fd, const char* old_name, int new_dir_fd,
                const char* new_name) override {
    if (fail_renames_) {
      errno = rename_error_;
      return -1;
    }
    return FileIo::system().rename_at(old_dir_fd, old_name, new_dir_fd, new_name);
  }

 private:
  int writes_left_ = -1;
  int write_error_ = 0;
  int syncs_left_ = -1;
  int sync_error_ = 0;
  int rename_error_ = 0;
  bool fail_renames_ = false;
  int sync_interrupts_ = 0;
  bool dribble_ = false;
  bool interrupt_next_ = false;
  int sync_calls_ = 0;
};

}  // namespace vek_guard::test_support

namespace vek_guard {

// Lets test failures show a storage error readably.
inline void PrintTo(const StorageError& error, std::ostream* os) {
  *os << error.message() << " (kind " << static_cast<int>(error.kind) << ", os error "
      << (error.os_error ? std::to_string(*error.os_error) : std::string("none")) << ")";
}

}  // namespace vek_guard

#endif  // VEK_GUARD_TESTS_SUPPORT_FAULTY_FILE_IO_H_
