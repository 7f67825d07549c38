// Storage primitives for the run's artifacts: the storage error, the file
// operations that can fail on the durable paths, and the helpers that create,
// replace and remove files inside the report directory.
//
// Every name here is resolved relative to one open descriptor of the report
// directory and never follows a symbolic link, so that the directory cannot be
// swapped underneath a run and nothing reaches outside it. New files are
// created exclusively with mode 0600 and then set to 0600 explicitly, which
// defeats a restrictive-looking umask that is in fact permissive (and the
// other way round).
//
// Publishing a file atomically:
//
//   auto fd = create_report_temp(dir, ".r.json.tmp");
//   if (!fd) return unexpected(fd.error());
//   write_all(io, fd->get(), text) ... full_sync(io, fd->get()) ...
//   rename_in_dir(dir, ".r.json.tmp", dir, "r.json");
//   full_sync(io, dir);
#ifndef VEK_GUARD_ATOMIC_FILE_H_
#define VEK_GUARD_ATOMIC_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vek_guard/error.h"
#include "vek_guard/unique_fd.h"

namespace vek_guard {

// The ways storing a run's artifacts can fail. The index order is part of the
// program's contract (callers map kinds to reports and exit paths).
enum class StorageErrorKind : uint8_t {
  // The report path has no usable file name, names something other than a
  // regular file, or a name holds a NUL byte.
  InvalidTarget,
  // The report directory cannot be opened or examined, or is not a 0700
  // directory owned by the effective user.
  DirectoryNotPrivate,
  // The journal file name already exists in the report directory.
  JournalExists,
  // Any other failure to create the journal or to set its mode.
  JournalCreateFailed,
  // Writing the journal's magic or a frame failed.
  WriteFailed,
  // A durable sync failed, or a poisoned journal was finalized.
  SyncFailed,
  // Reopening or reading the journal failed.
  ReadFailed,
  // An append was refused, or the journal read back is not valid.
  InvalidRecord,
  // The report name or the temporary report name is occupied by something
  // that may not be replaced.
  UnsafeTarget,
  // Creating, writing, syncing or renaming the temporary report failed.
  FinalReportFailed,
};

// The fixed display text of each kind. Constant, so building or printing a
// storage error never allocates.
constexpr std::string_view error_message(StorageErrorKind kind) {
  switch (kind) {
    case StorageErrorKind::InvalidTarget:
      return "artifact target path is invalid";
    case StorageErrorKind::DirectoryNotPrivate:
      return "artifact directory is not private and owned";
    case StorageErrorKind::JournalExists:
      return "journal target already exists";
    case StorageErrorKind::JournalCreateFailed:
      return "journal target creation failed";
    case StorageErrorKind::WriteFailed:
      return "artifact write failed";
    case StorageErrorKind::SyncFailed:
      return "artifact synchronization failed";
    case StorageErrorKind::ReadFailed:
      return "artifact read failed";
    case StorageErrorKind::InvalidRecord:
      return "journal record is invalid";
    case StorageErrorKind::UnsafeTarget:
      return "artifact output target is unsafe";
    case StorageErrorKind::FinalReportFailed:
      return "final report creation failed";
  }
  return "artifact storage failed";
}

// A storage failure: its kind and, when an operating-system call failed, the
// errno of that call. The display text (`message()`) is the kind's message
// alone; the errno is kept for diagnosis and is never printed.
using StorageError = KindError<StorageErrorKind>;

// A storage error of `kind`, with the errno of the failed call when there is
// one.
inline StorageError storage_error(StorageErrorKind kind,
                                  std::optional<int> os_error = std::nullopt) {
  return StorageError{kind, os_error};
}

// The file operations on the durable paths, behind one seam so that tests can
// make a write, a sync or a rename fail at a chosen moment. Each function has
// the contract of the system call it stands for: a result of -1 (or a short
// count for write) with errno set on failure. `system()` is the real thing and
// lives for the whole program; an implementation given to a journal must
// outlive it.
class FileIo {
 public:
  virtual ~FileIo() = default;

  virtual ssize_t write(int fd, const void* data, size_t size) = 0;
  // The platform's full-file sync (fsync on Linux). One attempt; EINTR is
  // retried by `full_sync`.
  virtual int sync(int fd) = 0;
  virtual int rename_at(int old_dir_fd, const char* old_name, int new_dir_fd,
                        const char* new_name) = 0;

  // The operating system's operations.
  static FileIo& system();
};

// Writes every byte of `data` to `fd`, retrying interrupted and partial
// writes. A write that accepts no byte, or fails without an errno, is a
// failure (errno EIO stands in, as the call gave none). Returns 0 or the
// errno of the failure.
[[nodiscard]] int write_all(FileIo& io, int fd, std::string_view data);

// Full-file sync of `fd`, repeated while interrupted. Returns 0 or the errno
// (EIO for a failure that left none).
// Works on directory descriptors too, which makes new and renamed entries
// durable.
[[nodiscard]] int full_sync(FileIo& io, int fd);

// Whether `st` is a private file of the effective user: a regular file it
// owns with permission bits exactly 0600 (set-id and sticky bits ignored),
// which nobody else can have written. The journal and the report are kept
// so, and only such a file is read back or replaced.
[[nodiscard]] bool is_private_file(const struct stat& st);

// "." + name + suffix, the hidden companions of a report (".journal" for the
// journal, ".tmp" for the temporary report). Fails with InvalidTarget when the
// result's length would not fit a size_t.
[[nodiscard]] Result<std::string, StorageError> hidden_sibling_name(std::string_view name,
                                                                    std::string_view suffix);

// Whether `name` in directory `dir_fd` may become (or be replaced by) a
// report: success when nothing is there, or when the entry is the effective
// user's own regular file with permission bits exactly 0600 (set-id and
// sticky bits ignored). A symbolic link is never followed.
// Errors: InvalidTarget for a name holding a NUL byte; UnsafeTarget with the
// errno when the entry cannot be examined (other than ENOENT); UnsafeTarget
// without one when something else occupies the name.
[[nodiscard]] Result<void, StorageError> check_output_target(int dir_fd, std::string_view name);

// Whether `name` in directory `dir_fd` is free: success only when nothing is
// there (a symbolic link is not followed). Errors as check_output_target's,
// with UnsafeTarget without an errno for anything at all in its place.
[[nodiscard]] Result<void, StorageError> check_name_free(int dir_fd, std::string_view name);

// Creates `name` in `dir_fd` exclusively, write-only, close-on-exec, never
// through a symbolic link, with mode 0600. Errors: InvalidTarget for a name
// holding a NUL byte; UnsafeTarget with the errno when the name exists;
// FinalReportFailed with the errno for any other failure.
[[nodiscard]] Result<UniqueFd, StorageError> create_report_temp(int dir_fd, std::string_view name);

// Renames `old_name` in `old_dir_fd` to `new_name` in `new_dir_fd`, replacing
// an existing entry in one step. Returns 0 or the errno (EINVAL for a name
// holding a NUL byte, EIO for a failure that left none).
[[nodiscard]] int rename_in_dir(int old_dir_fd, std::string_view old_name, int new_dir_fd,
                                std::string_view new_name, FileIo& io = FileIo::system());

// Removes `name` (not a directory) from `dir_fd`. Best effort: used on
// failure paths where the first error is the one that counts.
void unlink_in_dir(int dir_fd, std::string_view name);

// Puts `contents` in place as `name` in `dir_fd` so that the name holds either
// its old entry or the complete new contents, never a part of them:
// `create_report_temp(temp_name)`, set it to 0600, write everything, sync,
// close, rename over `name`, then sync the directory.
// Errors: those of create_report_temp (nothing is created); FinalReportFailed
// with the errno when setting the mode, writing, syncing or renaming fails
// (the temporary file is removed first); SyncFailed with the errno when the
// directory sync fails (the new contents are already in place under `name`).
// The caller checks `name` with check_output_target beforehand.
[[nodiscard]] Result<void, StorageError> publish_atomically(FileIo& io, int dir_fd,
                                                            std::string_view temp_name,
                                                            std::string_view name,
                                                            std::string_view contents);

// The same, with the contents written by `write_contents` onto the open
// temporary file's descriptor; it returns 0, or the errno of the write that
// failed, and the publication then fails as a failed write.
[[nodiscard]] Result<void, StorageError> publish_atomically(
    FileIo& io, int dir_fd, std::string_view temp_name, std::string_view name,
    const std::function<int(int fd)>& write_contents);

// Whether a name can be handed to the operating system as a C string.
constexpr bool has_nul(std::string_view name) { return name.find('\0') != std::string_view::npos; }

}  // namespace vek_guard

#endif  // VEK_GUARD_ATOMIC_FILE_H_
