#include "support/memory_cgroup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace vek_guard::test_support {
namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

struct Mount {
  std::string path;
  bool v2 = false;
};

// Where the memory controller is mounted, from /proc/self/mountinfo: a v1
// hierarchy with the memory option, else the v2 hierarchy.
std::optional<Mount> memory_mount() {
  std::istringstream lines(read_text("/proc/self/mountinfo"));
  std::optional<Mount> v2;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t separator = line.find(" - ");
    if (separator == std::string::npos) continue;
    std::istringstream before(line.substr(0, separator));
    std::istringstream after(line.substr(separator + 3));
    std::string id, parent, device, root, mount_point, type, source, options;
    before >> id >> parent >> device >> root >> mount_point;
    after >> type >> source >> options;
    if (type == "cgroup" && ("," + options + ",").find(",memory,") != std::string::npos) {
      return Mount{mount_point, false};
    }
    if (type == "cgroup2") v2 = Mount{mount_point, true};
  }
  return v2;
}

// The test process's own cgroup below `mount`, from /proc/self/cgroup.
std::string own_cgroup(bool v2) {
  std::istringstream lines(read_text("/proc/self/cgroup"));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool matches = v2 ? line.substr(0, first) == "0" && controllers.empty()
                            : ("," + controllers + ",").find(",memory,") != std::string::npos;
    if (matches) return line.substr(second + 1);
  }
  return "/";
}

}  // namespace

std::optional<MemoryCgroup> MemoryCgroup::create(std::string* why_not) {
  if (::geteuid() != 0) {
    *why_not = "making a memory cgroup needs root";
    return std::nullopt;
  }
  const std::optional<Mount> mount = memory_mount();
  if (!mount) {
    *why_not = "no memory cgroup controller is mounted";
    return std::nullopt;
  }
  const std::string parent = mount->path + own_cgroup(mount->v2);
  if (mount->v2 &&
      read_text(parent + "/cgroup.subtree_control").find("memory") == std::string::npos) {
    *why_not = "cgroup v2 without the memory controller for the test's children";
    return std::nullopt;
  }
  static int made = 0;
  const std::string dir =
      parent + "/vek-guard-test-" + std::to_string(::getpid()) + "-" + std::to_string(++made);
  if (::mkdir(dir.c_str(), 0755) != 0) {
    *why_not = "cannot make " + dir;
    return std::nullopt;
  }
  const std::string peak = dir + (mount->v2 ? "/memory.peak" : "/memory.max_usage_in_bytes");
  MemoryCgroup cgroup(dir, peak);
  if (!exists(peak)) {
    *why_not = "the kernel keeps no memory peak (" + peak + ")";
    return std::nullopt;
  }
  return cgroup;
}

MemoryCgroup::MemoryCgroup(MemoryCgroup&& other) noexcept
    : dir_(std::exchange(other.dir_, std::string())), peak_file_(std::move(other.peak_file_)) {}

MemoryCgroup::~MemoryCgroup() {
  if (dir_.empty()) return;
  // Its last processes may still be on their way out.
  for (int attempt = 0; attempt < 500 && ::rmdir(dir_.c_str()) != 0; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<uint64_t> MemoryCgroup::peak_bytes() const {
  std::istringstream text(read_text(peak_file_));
  uint64_t bytes = 0;
  if (!(text >> bytes)) return std::nullopt;
  return bytes;
}

}  // namespace vek_guard::test_support
