#include "vek_guard/platform_proc.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

namespace vek_guard::platform {
namespace {

// Fields of /proc/PID/stat as numbered in proc(5): pid, name, state, ppid,
// pgid, ..., start time.
constexpr int kPgidField = 5;
constexpr int kThreadsField = 20;
constexpr int kStartTimeField = 22;

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

constexpr std::size_t kTypicalProcessCount = 512;

// Enough for any stat line and for the status of an ordinary process; longer
// files make the buffer grow.
constexpr std::size_t kInitialReadSize = 2048;

bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t'; }

template <class Int>
bool parse_whole(std::string_view token, Int* out) {
  if (token.empty()) return false;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), *out);
  return ec == std::errc() && end == token.data() + token.size();
}

// Splits off the next whitespace-delimited token of `*rest`.
std::string_view next_token(std::string_view* rest) {
  std::size_t begin = 0;
  while (begin < rest->size() && is_space((*rest)[begin])) ++begin;
  std::size_t end = begin;
  while (end < rest->size() && !is_space((*rest)[end])) ++end;
  const std::string_view token = rest->substr(begin, end - begin);
  rest->remove_prefix(end);
  return token;
}

// How much of a /proc file to read.
enum class ReadExtent : uint8_t {
  // Up to end of file.
  Whole,
  // Up to the end of its first line: a stat file is one line, which a single
  // read delivers whole once the buffer holds it. Stopping there saves the
  // read that would only report end of file, one system call per process
  // and pass in a scan.
  FirstLine,
};

// Reads `name` below `dirfd` into `*out`. /proc files report a size of 0, so
// the file is read until end of file (or its first line) rather than by its
// size.
Result<void, ProcError> read_all_at(int dirfd, const char* name, std::string* out,
                                    ReadExtent extent = ReadExtent::Whole) {
  int raw = -1;
  do {
    raw = ::openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return unexpected(ProcError::from_errno(errno));
  const UniqueFd fd(raw);

  out->resize(std::max(out->capacity(), kInitialReadSize));
  std::size_t used = 0;
  for (;;) {
    if (used == out->size()) out->resize(out->size() * 2);
    const ssize_t n = ::read(fd.get(), out->data() + used, out->size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      out->clear();
      return unexpected(ProcError::from_errno(error));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (extent == ReadExtent::FirstLine && (*out)[used - 1] == '\n') break;
  }
  out->resize(used);
  return {};
}

// "<spaces><digits> kB" -> bytes.
bool parse_kilobytes(std::string_view value, uint64_t* bytes) {
  std::string_view rest = value;
  const std::string_view number = next_token(&rest);
  const std::string_view unit = next_token(&rest);
  uint64_t kilobytes = 0;
  if (!parse_whole(number, &kilobytes) || unit != "kB" || !next_token(&rest).empty()) {
    return false;
  }
  if (kilobytes > kU64Max / 1024) return false;
  *bytes = kilobytes * 1024;
  return true;
}

// The value after `name` (e.g. "Threads:") on its line of a status text, or
// nothing when no line starts with it.
std::optional<std::string_view> status_field(std::string_view text, std::string_view name) {
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    if (line.starts_with(name)) return line.substr(name.size());
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
  }
  return std::nullopt;
}

// A status whose process has an address space carries its memory counters;
// a zombie's, a kernel thread's, and that of a leader whose main thread
// exited have none.
bool has_memory_counters(std::string_view status) {
  return status_field(status, "RssAnon:").has_value();
}

// Whether the process of `status` has threads other than the one described.
bool has_other_threads(std::string_view status) {
  std::string_view rest = status_field(status, "Threads:").value_or("");
  int32_t threads = 0;
  return parse_whole(next_token(&rest), &threads) && threads > 1;
}

// Directory entries of the proc root that name processes: all digits.
bool is_pid_name(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (*name < '0' || *name > '9') return false;
  }
  return true;
}

// In a scan, a process that exits between the listing and the read, or one we
// may not look at, is simply not part of the table.
bool skippable_in_scan(const ProcError& error) {
  return error.os_error == ESRCH || error.os_error == EACCES || error.os_error == EPERM;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

ProcError ProcError::from_errno(int error) {
  // A /proc/PID that is gone shows up as ENOENT when opening by name and as
  // ESRCH when reading through a descriptor of a reaped process; the core
  // treats both as "the process is missing".
  if (error == ENOENT) error = ESRCH;
  // Keep 0 for invalid data: a failure without errno is not one of ours to
  // invent, so call it a generic I/O failure.
  if (error == 0) error = EIO;
  return ProcError{error};
}

Result<ProcStat, ProcError> parse_proc_stat(std::string_view text) {
  ProcStat stat;
  const std::size_t open = text.find(" (");
  // The name may hold any byte, ')' included, so it ends at the last ')'. A
  // stat line is some 300 bytes with the name near its start: memrchr's wide
  // search backwards costs a fraction of a byte-by-byte one, which matters
  // at one line per process and pass.
  const void* last_paren = ::memrchr(text.data(), ')', text.size());
  const std::size_t close = last_paren == nullptr
                                ? std::string_view::npos
                                : static_cast<const char*>(last_paren) - text.data();
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return unexpected(ProcError::invalid_data());
  }
  if (!parse_whole(text.substr(0, open), &stat.pid)) return unexpected(ProcError::invalid_data());

  // After the name the kernel writes one space before each field and ends the
  // line with a line feed. Walking the fields by that layout, rather than
  // tokenizing on any whitespace, keeps a scan's parsing well below the cost
  // of producing the line; a line laid out otherwise is not a stat line.
  const char* next = text.data() + close + 1;
  const char* const end = text.data() + text.size();
  const auto field = [&]() -> std::string_view {
    if (next == end || *next != ' ') return {};
    const char* const begin = ++next;
    while (next != end && *next != ' ' && *next != '\n') ++next;
    return std::string_view(begin, static_cast<std::size_t>(next - begin));
  };
  const auto skip_fields = [&](int count) {
    for (; count > 0; --count) {
      if (field().empty()) return false;
    }
    return true;
  };

  const std::string_view state = field();
  if (state.size() != 1) return unexpected(ProcError::invalid_data());
  stat.state = state.front();
  if (!parse_whole(field(), &stat.ppid) || !parse_whole(field(), &stat.pgid) ||
      !skip_fields(kThreadsField - kPgidField - 1) || !parse_whole(field(), &stat.threads) ||
      !skip_fields(kStartTimeField - kThreadsField - 1) ||
      !parse_whole(field(), &stat.start_time)) {
    return unexpected(ProcError::invalid_data());
  }
  return stat;
}

Result<uint64_t, ProcError> parse_status_footprint(std::string_view text) {
  static constexpr std::string_view kCounters[] = {"RssAnon:", "RssShmem:", "VmSwap:"};
  uint64_t total = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    for (const std::string_view counter : kCounters) {
      if (!line.starts_with(counter)) continue;
      uint64_t bytes = 0;
      if (!parse_kilobytes(line.substr(counter.size()), &bytes) || bytes > kU64Max - total) {
        return unexpected(ProcError::invalid_data());
      }
      total += bytes;
    }
  }
  return total;
}

Result<bool, ProcError> same_address_space(int32_t a, int32_t b) {
  // kcmp answers 0 for the same object and 1 to 3 for an ordering of two
  // different ones.
  const long order = ::syscall(SYS_kcmp, a, b, KCMP_VM, 0, 0);
  if (order < 0) return unexpected(ProcError{errno == 0 ? EIO : errno});
  return order == 0;
}

Result<ProcessDir, ProcError> ProcessDir::open(int32_t pid, std::string_view proc_root) {
  if (pid < 1) return unexpected(ProcError::invalid_data());
  char digits[16];
  const auto converted = std::to_chars(digits, digits + sizeof digits, pid);
  std::string path;
  path.reserve(proc_root.size() + 1 + sizeof digits);
  path.append(proc_root).append("/").append(digits, converted.ptr);

  int raw = -1;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return unexpected(ProcError::from_errno(errno));
  return ProcessDir(UniqueFd(raw));
}

Result<ProcStat, ProcError> ProcessDir::read_stat() const {
  std::string text;
  if (auto read = read_all_at(fd_.get(), "stat", &text, ReadExtent::FirstLine); !read) {
    return unexpected(read.error());
  }
  return parse_proc_stat(text);
}

Result<uint64_t, ProcError> ProcessDir::read_footprint() const {
  std::string text;
  if (auto read = read_all_at(fd_.get(), "status", &text); !read) {
    return unexpected(read.error());
  }
  if (has_memory_counters(text) || !has_other_threads(text)) return parse_status_footprint(text);

  // The leader's own thread has exited but the process lives on in its
  // other threads, which all share one address space: any of them that still
  // has it tells the footprint of the whole process.
  int raw = -1;
  do {
    raw = ::openat(fd_.get(), "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return unexpected(ProcError::from_errno(errno));
  std::unique_ptr<DIR, DirCloser> tasks(::fdopendir(raw));
  if (!tasks) {
    const int error = errno;
    ::close(raw);
    return unexpected(ProcError::from_errno(error));
  }
  char path[32];
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(tasks.get());
    if (entry == nullptr) {
      if (errno != 0) return unexpected(ProcError::from_errno(errno));
      // Every thread let go of the address space meanwhile: the process is
      // exiting, and its second stat reading will say so.
      return uint64_t{0};
    }
    const std::size_t length = std::strlen(entry->d_name);
    if (!is_pid_name(entry->d_name) || length + sizeof "/status" > sizeof path) continue;
    std::memcpy(path, entry->d_name, length);
    std::memcpy(path + length, "/status", sizeof "/status");
    if (auto read = read_all_at(::dirfd(tasks.get()), path, &text); !read) {
      if (read.error().os_error == ESRCH) continue;  // that thread is gone
      return unexpected(read.error());
    }
    if (has_memory_counters(text)) return parse_status_footprint(text);
  }
}

ProcessTable::ProcessTable(std::vector<ProcStat> entries) : by_pid_(std::move(entries)) {
  std::sort(by_pid_.begin(), by_pid_.end(),
            [](const ProcStat& a, const ProcStat& b) { return a.pid < b.pid; });
  by_pgid_.resize(by_pid_.size());
  for (uint32_t i = 0; i < by_pgid_.size(); ++i) by_pgid_[i] = i;
  by_ppid_ = by_pgid_;
  // Indexes follow pid order, so ordering ties by index keeps each run in pid
  // order, as a stable sort would, without the stable sort's scratch buffer
  // on every pass.
  std::sort(by_pgid_.begin(), by_pgid_.end(), [&](uint32_t a, uint32_t b) {
    return std::pair(by_pid_[a].pgid, a) < std::pair(by_pid_[b].pgid, b);
  });
  std::sort(by_ppid_.begin(), by_ppid_.end(), [&](uint32_t a, uint32_t b) {
    return std::pair(by_pid_[a].ppid, a) < std::pair(by_pid_[b].ppid, b);
  });
}

Result<ProcessTable, ProcError> ProcessTable::scan(std::string_view proc_root) {
  const std::string root(proc_root);
  int raw = -1;
  do {
    raw = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return unexpected(ProcError::from_errno(errno));
  UniqueFd root_fd(raw);
  // fdopendir takes the descriptor over; closedir closes it.
  std::unique_ptr<DIR, DirCloser> dir(::fdopendir(root_fd.get()));
  if (!dir) return unexpected(ProcError::from_errno(errno));
  root_fd.release();
  const int dir_fd = ::dirfd(dir.get());

  std::vector<ProcStat> entries;
  // Room for a typical machine's processes, so a pass does not regrow the
  // table several times.
  entries.reserve(kTypicalProcessCount);
  std::string text;
  char path[32];
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) {
      if (errno != 0) return unexpected(ProcError::from_errno(errno));
      break;
    }
    if (!is_pid_name(entry->d_name)) continue;
    const std::size_t length = std::strlen(entry->d_name);
    if (length + sizeof "/stat" > sizeof path) continue;  // not a pid: too many digits
    std::memcpy(path, entry->d_name, length);
    std::memcpy(path + length, "/stat", sizeof "/stat");

    if (auto read = read_all_at(dir_fd, path, &text, ReadExtent::FirstLine); !read) {
      if (skippable_in_scan(read.error())) continue;
      return unexpected(read.error());
    }
    auto stat = parse_proc_stat(text);
    if (!stat) return unexpected(stat.error());
    entries.push_back(*stat);
  }
  return ProcessTable(std::move(entries));
}

namespace {

// Copies the pids of the readings that `indexes` points at into `buffer`, in
// the listing calls' shape.
int fill_listing(std::span<const uint32_t> indexes, const std::vector<ProcStat>& readings,
                 std::span<int32_t> buffer) {
  if (buffer.empty()) return static_cast<int>(indexes.size());
  const std::size_t written = std::min(indexes.size(), buffer.size());
  for (std::size_t i = 0; i < written; ++i) buffer[i] = readings[indexes[i]].pid;
  return static_cast<int>(written);
}

// The run of `indexes` whose reading has `key(reading) == value`.
template <class Key>
std::span<const uint32_t> equal_run(const std::vector<uint32_t>& indexes,
                                    const std::vector<ProcStat>& readings, int32_t value, Key key) {
  const auto first = std::partition_point(indexes.begin(), indexes.end(),
                                          [&](uint32_t i) { return key(readings[i]) < value; });
  const auto last = std::partition_point(first, indexes.end(),
                                         [&](uint32_t i) { return key(readings[i]) == value; });
  return std::span<const uint32_t>(first, last);
}

}  // namespace

int ProcessTable::list_group_pids(int32_t pgid, std::span<int32_t> buffer) const {
  const auto run = equal_run(by_pgid_, by_pid_, pgid, [](const ProcStat& s) { return s.pgid; });
  return fill_listing(run, by_pid_, buffer);
}

int ProcessTable::list_child_pids(int32_t pid, std::span<int32_t> buffer) const {
  const auto run = equal_run(by_ppid_, by_pid_, pid, [](const ProcStat& s) { return s.ppid; });
  return fill_listing(run, by_pid_, buffer);
}

const ProcStat* ProcessTable::find(int32_t pid) const {
  const auto it = std::partition_point(by_pid_.begin(), by_pid_.end(),
                                       [&](const ProcStat& s) { return s.pid < pid; });
  return it != by_pid_.end() && it->pid == pid ? &*it : nullptr;
}

}  // namespace vek_guard::platform
