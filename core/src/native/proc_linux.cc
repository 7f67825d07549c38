#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "vek_guard/platform_proc.h"

namespace vek_guard::platform {
namespace {

// Fields of /proc/PID/stat as numbered in proc(5): pid, name, state, ppid,
// pgid, ..., start time.
constexpr int kPgidField = 5;
constexpr int kFlagsField = 9;
constexpr int kThreadsField = 20;
constexpr int kStartTimeField = 22;

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

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
  // read that would only report end of file, one system call per stat
  // read.
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

// The "<name> <digits> kB" lines of `text` that start with one of `names`,
// in bytes: values[i] for names[i] (0 when absent), and bit i of the result
// set when names[i] was seen. Invalid data when a line found does not parse.
template <std::size_t N>
Result<uint64_t, ProcError> kilobyte_counters(std::string_view text,
                                              const std::string_view (&names)[N],
                                              uint64_t (&values)[N]) {
  static_assert(N <= 64);
  uint64_t found = 0;
  std::fill(std::begin(values), std::end(values), uint64_t{0});
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    for (std::size_t i = 0; i < N; ++i) {
      if (!line.starts_with(names[i])) continue;
      if (!parse_kilobytes(line.substr(names[i].size()), &values[i])) {
        return unexpected(ProcError::invalid_data());
      }
      found |= uint64_t{1} << i;
    }
  }
  return found;
}

// The sum of `values`, or invalid data when it does not fit in 64 bits.
Result<uint64_t, ProcError> checked_sum(std::span<const uint64_t> values) {
  uint64_t total = 0;
  for (const uint64_t value : values) {
    if (value > kU64Max - total) return unexpected(ProcError::invalid_data());
    total += value;
  }
  return total;
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
  // tokenizing on any whitespace, keeps parsing well below the cost of
  // producing the line; a line laid out otherwise is not a stat line.
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
      !skip_fields(kFlagsField - kPgidField - 1) || !parse_whole(field(), &stat.flags) ||
      !skip_fields(kThreadsField - kFlagsField - 1) || !parse_whole(field(), &stat.threads) ||
      !skip_fields(kStartTimeField - kThreadsField - 1) ||
      !parse_whole(field(), &stat.start_time)) {
    return unexpected(ProcError::invalid_data());
  }
  return stat;
}

namespace {

// What a footprint counts: anonymous, shared-memory and swapped-out pages,
// and huge pages, which the kernel keeps out of the other three.
constexpr std::string_view kFootprintCounters[] = {
    "RssAnon:", "RssShmem:", "VmSwap:", "HugetlbPages:"};

}  // namespace

Result<uint64_t, ProcError> parse_status_footprint(std::string_view text) {
  uint64_t values[std::size(kFootprintCounters)];
  const auto found = kilobyte_counters(text, kFootprintCounters, values);
  if (!found) return unexpected(found.error());
  return checked_sum(values);
}

Result<StatusMemory, ProcError> parse_status_memory(std::string_view text) {
  // One pass over the text for all of them: the footprint's counters first,
  // then VmRSS.
  static constexpr std::string_view kCounters[] = {
      "RssAnon:", "RssShmem:", "VmSwap:", "HugetlbPages:", "VmRSS:"};
  uint64_t values[std::size(kCounters)];
  const auto found = kilobyte_counters(text, kCounters, values);
  if (!found) return unexpected(found.error());
  if ((*found & 1) == 0) return unexpected(ProcError::invalid_data());
  const auto footprint = checked_sum(std::span<const uint64_t>(values, 4));
  const uint64_t mapped_parts[] = {values[4], values[2]};  // VmRSS, VmSwap
  const auto mapped = checked_sum(mapped_parts);
  if (!footprint || !mapped) return unexpected(ProcError::invalid_data());
  return StatusMemory{
      .footprint_bytes = *footprint, .hugetlb_bytes = values[3], .mapped_bytes = *mapped};
}

Result<ProportionalShare, ProcError> parse_smaps_rollup_share(std::string_view text) {
  // The first three divide a page by the number of processes that map it;
  // together they are the share of what RssAnon + RssShmem + VmSwap count.
  // All three must be there: a sum without one of them would be too low.
  static constexpr std::string_view kCounters[] = {
      "Pss_Anon:", "Pss_Shmem:", "SwapPss:", "Anonymous:", "Shared_Clean:", "Shared_Dirty:"};
  uint64_t values[std::size(kCounters)];
  const auto found = kilobyte_counters(text, kCounters, values);
  if (!found) return unexpected(found.error());
  if ((*found & 0b111) != 0b111) return unexpected(ProcError::invalid_data());
  const auto share = checked_sum(std::span<const uint64_t>(values, 3));
  const auto shared = checked_sum(std::span<const uint64_t>(values + 4, 2));
  if (!share || !shared) return unexpected(ProcError::invalid_data());
  // Without all of Anonymous and Shared_* the bound would not be one.
  const bool bounded = (*found & 0b111000) == 0b111000;
  return ProportionalShare{
      .share_bytes = *share,
      .private_anon_bytes = bounded && values[3] > *shared ? values[3] - *shared : 0};
}

std::optional<uint64_t> parse_creation_count(std::string_view text) {
  static constexpr std::string_view kKey = "\nprocesses ";
  const std::size_t at = text.find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = text.substr(at + kKey.size());
  rest = rest.substr(0, rest.find('\n'));
  uint64_t count = 0;
  if (!parse_whole(rest, &count)) return std::nullopt;
  return count;
}

bool proc_mount_lists_every_process(std::string_view mountinfo, uint64_t mount_id) {
  // "36 35 0:5 / /proc rw,nosuid shared:13 - proc proc rw,hidepid=invisible":
  // the mount id first; after the " - " separator the file system type, the
  // source and the file system's own options. Paths are escaped (a space is
  // "\040"), so " - " is only ever the separator.
  static constexpr std::string_view kSeparator = " - ";
  while (!mountinfo.empty()) {
    const std::size_t eol = mountinfo.find('\n');
    std::string_view line = mountinfo.substr(0, eol);
    mountinfo.remove_prefix(eol == std::string_view::npos ? mountinfo.size() : eol + 1);
    uint64_t id = 0;
    if (!parse_whole(next_token(&line), &id) || id != mount_id) continue;
    const std::size_t separator = line.find(kSeparator);
    if (separator == std::string_view::npos) return false;
    line.remove_prefix(separator + kSeparator.size());
    if (next_token(&line) != "proc") return false;
    next_token(&line);  // the source
    std::string_view options = next_token(&line);
    while (!options.empty()) {
      const std::size_t comma = options.find(',');
      const std::string_view option = options.substr(0, comma);
      options.remove_prefix(comma == std::string_view::npos ? options.size() : comma + 1);
      if (!option.starts_with("hidepid=")) continue;
      // Only "off" (0) and "noaccess" (1) leave every process in the listing.
      const std::string_view mode = option.substr(sizeof "hidepid=" - 1);
      if (mode != "0" && mode != "off" && mode != "1" && mode != "noaccess") return false;
    }
    return true;
  }
  return false;
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

Result<StatusMemory, ProcError> ProcessDir::read_status_memory() const {
  std::string text;
  if (auto read = read_all_at(fd_.get(), "status", &text); !read) {
    return unexpected(read.error());
  }
  return parse_status_memory(text);
}

Result<ProportionalShare, ProcError> ProcessDir::read_proportional_share() const {
  std::string text;
  if (auto read = read_all_at(fd_.get(), "smaps_rollup", &text); !read) {
    return unexpected(read.error());
  }
  return parse_smaps_rollup_share(text);
}

namespace {

// Room for the getdents64 records of some two thousand processes per call.
constexpr std::size_t kListingBufferSize = 64 * 1024;

// `<root>/stat` of the proc mount open at `root_fd`, when its creation count
// can stand for "nothing entered the listing": the mount lists every process
// and the file is the kernel's, not one mounted over it (a file of another
// device, as a FUSE overlay would be, may count anything or nothing).
UniqueFd open_creation_counter(int root_fd) {
  struct statx root {};
  if (::statx(root_fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &root) != 0 ||
      (root.stx_mask & STATX_MNT_ID) == 0) {
    return UniqueFd();
  }
  std::string mountinfo;
  if (!read_all_at(root_fd, "self/mountinfo", &mountinfo) ||
      !proc_mount_lists_every_process(mountinfo, root.stx_mnt_id)) {
    return UniqueFd();
  }
  int raw = -1;
  do {
    raw = ::openat(root_fd, "stat", O_RDONLY | O_CLOEXEC | O_NOCTTY);
  } while (raw < 0 && errno == EINTR);
  UniqueFd fd(raw);
  struct stat file {};
  if (!fd.valid() || ::fstat(fd.get(), &file) != 0 ||
      file.st_dev != makedev(root.stx_dev_major, root.stx_dev_minor)) {
    return UniqueFd();
  }
  return fd;
}

// A name of the proc root that is a pid ("1234"), as a number.
bool parse_pid_name(const char* name, int32_t* pid) {
  return is_pid_name(name) && parse_whole(std::string_view(name), pid) && *pid >= 1;
}

// The first of `entries` (ascending by pid) whose pid is not below `pid`.
template <class Entries>
auto lower_bound_pid(Entries& entries, int32_t pid) {
  return std::partition_point(entries.begin(), entries.end(),
                              [&](const auto& entry) { return entry.pid < pid; });
}

// The pids in `keys` order whose key is `value`, in the listing calls' shape:
// counted with an empty buffer, else written up to the buffer's size.
template <class Entries>
int fill_listing(const std::vector<int32_t>& keys, int32_t value, const Entries& entries,
                 std::span<int32_t> buffer) {
  std::size_t matched = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != value) continue;
    if (!buffer.empty()) {
      if (matched == buffer.size()) break;
      buffer[matched] = entries[i].pid;
    }
    ++matched;
  }
  return static_cast<int>(matched);
}

}  // namespace

ProcRootSource::ProcRootSource(std::string_view proc_root) : proc_root_(proc_root) {}

Result<int, ProcError> ProcRootSource::root_fd() {
  if (!root_fd_.valid()) {
    int raw = -1;
    do {
      raw = ::open(proc_root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return unexpected(ProcError::from_errno(errno));
    root_fd_.reset(raw);
    // The path may name another mount now: whether it counts creations is
    // looked at again.
    stat_fd_.reset();
    stat_checked_ = false;
  }
  return root_fd_.get();
}

Result<void, ProcError> ProcRootSource::list(std::vector<ProcListing>* listing) {
  listing->clear();
  const Result<int, ProcError> fd = root_fd();
  if (!fd) return unexpected(fd.error());
  if (entries_.empty()) entries_.resize(kListingBufferSize);
  // The descriptor is kept from one listing to the next, so each one starts
  // again from the top. After a failure it is opened afresh.
  if (::lseek(*fd, 0, SEEK_SET) < 0) {
    const int error = errno;
    root_fd_.reset();
    return unexpected(ProcError::from_errno(error));
  }
  for (;;) {
    const ssize_t filled = ::getdents64(*fd, entries_.data(), entries_.size());
    if (filled < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      root_fd_.reset();
      return unexpected(ProcError::from_errno(error));
    }
    if (filled == 0) return {};
    for (std::size_t offset = 0; offset < static_cast<std::size_t>(filled);) {
      // The kernel aligns each record for its struct, and the buffer comes
      // from operator new.
      const auto* entry = reinterpret_cast<const dirent64*>(entries_.data() + offset);
      offset += entry->d_reclen;
      int32_t pid = 0;
      if (parse_pid_name(entry->d_name, &pid)) listing->push_back(ProcListing{pid, entry->d_ino});
    }
  }
}

Result<ProcStat, ProcError> ProcRootSource::read_stat(int32_t pid) {
  if (pid < 1) return unexpected(ProcError::invalid_data());
  const Result<int, ProcError> fd = root_fd();
  if (!fd) return unexpected(fd.error());
  char path[32];
  const auto digits = std::to_chars(path, path + 16, pid);
  std::memcpy(digits.ptr, "/stat", sizeof "/stat");
  if (auto read = read_all_at(*fd, path, &text_, ReadExtent::FirstLine); !read) {
    return unexpected(read.error());
  }
  return parse_proc_stat(text_);
}

std::optional<uint64_t> ProcRootSource::creation_count() {
  const Result<int, ProcError> root = root_fd();
  if (!root) return std::nullopt;
  if (!stat_checked_) {
    stat_checked_ = true;
    stat_fd_ = open_creation_counter(*root);
  }
  if (!stat_fd_.valid()) return std::nullopt;
  // The file is made anew by each read from offset 0, so the descriptor is
  // read again rather than opened again.
  text_.resize(std::max(text_.capacity(), kInitialReadSize));
  for (;;) {
    const ssize_t n = ::pread(stat_fd_.get(), text_.data(), text_.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Without a count every refresh lists, which is always right.
      stat_fd_.reset();
      return std::nullopt;
    }
    // A read that filled the buffer may have been cut short.
    if (static_cast<std::size_t>(n) == text_.size()) {
      text_.resize(text_.size() * 2);
      continue;
    }
    return parse_creation_count(std::string_view(text_.data(), static_cast<std::size_t>(n)));
  }
}

ProcessTable::ProcessTable(std::string_view proc_root)
    : ProcessTable(std::make_unique<ProcRootSource>(proc_root)) {}

ProcessTable::ProcessTable(std::unique_ptr<ProcessSource> source) : source_(std::move(source)) {}

ProcessTable::ProcessTable(ProcessTable&&) noexcept = default;
ProcessTable& ProcessTable::operator=(ProcessTable&&) noexcept = default;
ProcessTable::~ProcessTable() = default;

Result<void, ProcError> ProcessTable::fail(ProcError error) {
  listed_ = false;
  entries_.clear();
  pgids_.clear();
  ppids_.clear();
  return unexpected(error);
}

Result<void, ProcError> ProcessTable::refresh(Duration now, std::span<const int32_t> needed) {
  const bool everything = !listed_;
  // Why the last listing may stand while the creation count stands still: a
  // process enters the listing only by being created (the source has a count
  // only where no process turns visible otherwise), and the kernel counts a
  // new task in the same locked step that makes it visible. The count was
  // read before that listing, so any process that became visible after the
  // reading, while the listing ran or later, has moved it. A reused pid is a
  // created process too. It is this count, not the last pid the kernel handed
  // out, because a pid is taken before its process becomes visible (a
  // listing can run in between and miss it while the last pid already shows
  // it), and pids wrap around where the count does not.
  //
  // Exits do not move the count and need not: an entry whose process is
  // gone stays until it is next read (the needed pids every pass, the others
  // in their turn) and then drops out; until then it can at most make a
  // candidate whose inspection finds it missing, as a process that exits
  // during a pass does. The listing once per period bounds how long the table
  // goes on trusting the count.
  const std::optional<uint64_t> creations = source_->creation_count();
  const std::optional<Duration> since_listing =
      last_listing_ ? now.checked_sub(*last_listing_) : std::nullopt;
  const bool relist = everything || !creations || creations != listed_creations_ ||
                      !since_listing || *since_listing >= kRecheckPeriod;
  if (!relist) {
    for (Entry& cached : entries_) {
      cached.fresh = false;
      cached.due = false;
    }
  } else if (auto merged = merge_listing(everything); !merged) {
    return merged;
  } else {
    listed_creations_ = creations;
    last_listing_ = now;
  }
  for (const int32_t pid : needed) {
    const auto found = lower_bound_pid(entries_, pid);
    if (found != entries_.end() && found->pid == pid) found->due = true;
  }
  if (!everything) mark_turns(now);
  last_refresh_ = now;

  for (Entry& cached : entries_) {
    if (!cached.due) continue;
    Result<ProcStat, ProcError> stat = source_->read_stat(cached.pid);
    if (stat) {
      cached.stat = *stat;
      cached.readable = true;
      cached.fresh = true;
    } else if (stat.error().os_error == ESRCH) {
      cached.gone = true;  // exited since the listing
    } else if (stat.error().os_error == EACCES || stat.error().os_error == EPERM) {
      // Not ours to supervise; kept, so that it is not read again as new on
      // every pass, and looked at again in its turn.
      cached.readable = false;
    } else {
      return fail(stat.error());
    }
  }
  std::erase_if(entries_, [](const Entry& cached) { return cached.gone; });

  pgids_.resize(entries_.size());
  ppids_.resize(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    pgids_[i] = entries_[i].readable ? entries_[i].stat.pgid : -1;
    ppids_[i] = entries_[i].readable ? entries_[i].stat.ppid : -1;
  }
  listed_ = true;
  return {};
}

Result<void, ProcError> ProcessTable::merge_listing(bool everything) {
  if (auto listed = source_->list(&listing_); !listed) return fail(listed.error());
  // /proc lists its pids in ascending order; a source that does not is
  // sorted here.
  const auto by_pid = [](const ProcListing& a, const ProcListing& b) { return a.pid < b.pid; };
  if (!std::is_sorted(listing_.begin(), listing_.end(), by_pid)) {
    std::sort(listing_.begin(), listing_.end(), by_pid);
  }

  // Merge the listing with what is cached: an entry is kept only under the
  // same pid and inode, so a reused pid starts over as a new entry.
  next_.clear();
  std::size_t old = 0;
  for (const ProcListing& listed : listing_) {
    if (listed.pid < 1 || (!next_.empty() && next_.back().pid == listed.pid)) continue;
    while (old < entries_.size() && entries_[old].pid < listed.pid) ++old;
    if (!everything && old < entries_.size() && entries_[old].pid == listed.pid &&
        entries_[old].inode == listed.inode) {
      Entry kept = entries_[old];
      kept.fresh = false;
      kept.due = false;
      next_.push_back(kept);
    } else {
      next_.push_back(Entry{.inode = listed.inode, .pid = listed.pid, .due = true});
    }
  }
  entries_.swap(next_);
  return {};
}

void ProcessTable::mark_turns(Duration now) {
  const std::size_t count = entries_.size();
  if (count == 0) return;
  // Spread the re-reads over the passes: a pass takes the share of the
  // table that the time since the previous pass is of the round's length.
  // What a share leaves over a whole entry is carried to the next pass, so
  // a round of the whole table takes its length plus at most one pass. The
  // length is kRecheckBound less one pass, so that at a steady interval
  // every entry is read again within kRecheckBound; passes half the bound
  // apart or more re-read everything. Time that went backwards earns no
  // turns.
  std::size_t turns = count;
  const std::optional<Duration> elapsed =
      last_refresh_ ? now.checked_sub(*last_refresh_) : std::nullopt;
  if (!elapsed) {
    turns = 0;
  } else if (elapsed->saturating_mul(2) < kRecheckBound) {
    const uint64_t round_ns = kRecheckBound.saturating_sub(*elapsed).as_nanos_saturating();
    const uint64_t share = count * elapsed->as_nanos_saturating() + turn_credit_;
    turns = static_cast<std::size_t>(share / round_ns);
    turn_credit_ = share % round_ns;
  }
  // The turns go on in pid order after the last pid of the previous pass.
  auto next =
      static_cast<std::size_t>(lower_bound_pid(entries_, turn_after_ + 1) - entries_.begin());
  for (turns = std::min(turns, count); turns > 0; --turns) {
    if (next == count) next = 0;
    entries_[next].due = true;
    turn_after_ = entries_[next].pid;
    ++next;
  }
}

const ProcessTable::Entry* ProcessTable::entry(int32_t pid) const {
  const auto found = lower_bound_pid(entries_, pid);
  return found != entries_.end() && found->pid == pid ? &*found : nullptr;
}

int ProcessTable::list_group_pids(int32_t pgid, std::span<int32_t> buffer) const {
  return fill_listing(pgids_, pgid, entries_, buffer);
}

int ProcessTable::list_child_pids(int32_t pid, std::span<int32_t> buffer) const {
  return fill_listing(ppids_, pid, entries_, buffer);
}

const ProcStat* ProcessTable::fresh(int32_t pid) const {
  const Entry* found = entry(pid);
  return found != nullptr && found->fresh ? &found->stat : nullptr;
}

const ProcStat* ProcessTable::find(int32_t pid) const {
  const Entry* found = entry(pid);
  return found != nullptr && found->readable ? &found->stat : nullptr;
}

bool ProcessTable::has_live_member(int32_t pgid) const {
  for (std::size_t i = 0; i < pgids_.size(); ++i) {
    if (pgids_[i] == pgid && !entries_[i].stat.exited()) return true;
  }
  return false;
}

bool ProcessTable::has_running_member(int32_t pgid) const {
  for (std::size_t i = 0; i < pgids_.size(); ++i) {
    const ProcStat& stat = entries_[i].stat;
    if (pgids_[i] == pgid && !stat.exited() && !stat.exiting()) return true;
  }
  return false;
}

}  // namespace vek_guard::platform
