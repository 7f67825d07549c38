#include "vek_guard/atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <string>

#include "vek_guard/fd_io.h"

namespace vek_guard {
namespace {

class SystemFileIo final : public FileIo {
 public:
  ssize_t write(int fd, const void* data, size_t size) override { return ::write(fd, data, size); }
  // Linux has no stronger full-file sync than fsync: it flushes the file's
  // data and metadata and the drive's write cache.
  int sync(int fd) override { return ::fsync(fd); }
  int rename_at(int old_dir_fd, const char* old_name, int new_dir_fd,
                const char* new_name) override {
    return ::renameat(old_dir_fd, old_name, new_dir_fd, new_name);
  }
};

}  // namespace

FileIo& FileIo::system() {
  static SystemFileIo io;
  return io;
}

int write_all(FileIo& io, int fd, std::string_view data) {
  // A regular file that takes no byte will not take one on a retry either (a
  // full device answers ENOSPC, not 0); write_all_with stops there.
  return write_all_with(
      [&io, fd](const char* next, size_t left) { return io.write(fd, next, left); }, data);
}

int full_sync(FileIo& io, int fd) {
  while (io.sync(fd) != 0) {
    if (errno != EINTR) return failure_errno();
  }
  return 0;
}

bool is_private_file(const struct stat& st) {
  // The set-id and sticky bits are left out of the comparison: they give no
  // one else access.
  return S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600 && st.st_uid == ::geteuid();
}

Result<std::string, StorageError> hidden_sibling_name(std::string_view name,
                                                      std::string_view suffix) {
  if (name.size() > std::numeric_limits<size_t>::max() - 1 - suffix.size()) {
    return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  }
  std::string hidden;
  hidden.reserve(1 + name.size() + suffix.size());
  hidden.push_back('.');
  hidden.append(name);
  hidden.append(suffix);
  return hidden;
}

namespace {

// What occupies `name` in `dir_fd`, a symbolic link not followed: nothing
// (ENOENT), or its status. The errors are check_output_target's.
Result<std::optional<struct stat>, StorageError> examine_entry(int dir_fd, std::string_view name) {
  if (has_nul(name)) return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  const std::string c_name(name);
  struct stat st {};
  if (::fstatat(dir_fd, c_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return std::optional<struct stat>();
    return unexpected(storage_error(StorageErrorKind::UnsafeTarget, errno));
  }
  return std::optional<struct stat>(st);
}

}  // namespace

Result<void, StorageError> check_output_target(int dir_fd, std::string_view name) {
  Result<std::optional<struct stat>, StorageError> entry = examine_entry(dir_fd, name);
  if (!entry) return unexpected(entry.error());
  if (!*entry) return {};
  // Only the user's own private report may be replaced: anything else in its
  // place (a link that could redirect the rename's victim, a directory,
  // someone else's file, a file others may read) stays untouched.
  if (is_private_file(**entry)) return {};
  return unexpected(storage_error(StorageErrorKind::UnsafeTarget));
}

Result<void, StorageError> check_name_free(int dir_fd, std::string_view name) {
  Result<std::optional<struct stat>, StorageError> entry = examine_entry(dir_fd, name);
  if (!entry) return unexpected(entry.error());
  if (*entry) return unexpected(storage_error(StorageErrorKind::UnsafeTarget));
  return {};
}

Result<UniqueFd, StorageError> create_report_temp(int dir_fd, std::string_view name) {
  if (has_nul(name)) return unexpected(storage_error(StorageErrorKind::InvalidTarget));
  const std::string c_name(name);
  UniqueFd fd(
      ::openat(dir_fd, c_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    // An existing temporary name may be a crashed run's leftover or someone's
    // trap; either way it is not ours to remove.
    if (errno == EEXIST) return unexpected(storage_error(StorageErrorKind::UnsafeTarget, errno));
    return unexpected(storage_error(StorageErrorKind::FinalReportFailed, errno));
  }
  return fd;
}

int rename_in_dir(int old_dir_fd, std::string_view old_name, int new_dir_fd,
                  std::string_view new_name, FileIo& io) {
  if (has_nul(old_name) || has_nul(new_name)) return EINVAL;
  const std::string c_old(old_name);
  const std::string c_new(new_name);
  return io.rename_at(old_dir_fd, c_old.c_str(), new_dir_fd, c_new.c_str()) == 0 ? 0
                                                                                 : failure_errno();
}

void unlink_in_dir(int dir_fd, std::string_view name) {
  if (has_nul(name)) return;
  const std::string c_name(name);
  (void)::unlinkat(dir_fd, c_name.c_str(), 0);
}

Result<void, StorageError> publish_atomically(FileIo& io, int dir_fd, std::string_view temp_name,
                                              std::string_view name, std::string_view contents) {
  return publish_atomically(io, dir_fd, temp_name, name,
                            [&](int fd) { return write_all(io, fd, contents); });
}

Result<void, StorageError> publish_atomically(FileIo& io, int dir_fd, std::string_view temp_name,
                                              std::string_view name,
                                              const std::function<int(int fd)>& write_contents) {
  auto temp = create_report_temp(dir_fd, temp_name);
  if (!temp) return unexpected(temp.error());

  // From here on the temporary file is ours: every failure removes it, so a
  // failed publication leaves the directory as it was.
  const auto fail = [&](int os_error) {
    temp->reset();
    unlink_in_dir(dir_fd, temp_name);
    return unexpected(storage_error(StorageErrorKind::FinalReportFailed, os_error));
  };
  if (::fchmod(temp->get(), 0600) != 0) return fail(errno);
  if (const int err = write_contents(temp->get()); err != 0) return fail(err);
  if (const int err = full_sync(io, temp->get()); err != 0) return fail(err);
  // The data is durable; a failing close cannot lose it any more.
  temp->reset();

  if (const int err = rename_in_dir(dir_fd, temp_name, dir_fd, name, io); err != 0) {
    return fail(err);
  }
  // Until the directory is synced the rename itself may be lost in a crash.
  if (const int err = full_sync(io, dir_fd); err != 0) {
    return unexpected(storage_error(StorageErrorKind::SyncFailed, err));
  }
  return {};
}

}  // namespace vek_guard
