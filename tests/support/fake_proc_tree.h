// A fake proc root for tests of the process layer: each process is a
// directory holding the files the layer reads, written as the kernel writes
// them.
#ifndef VEK_GUARD_TESTS_SUPPORT_FAKE_PROC_TREE_H_
#define VEK_GUARD_TESTS_SUPPORT_FAKE_PROC_TREE_H_

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vek_guard::test_support {

// What a fake process's memory files say, in kB.
struct FakeMemory {
  uint64_t own_kb = 8;     // status: RssAnon (its footprint)
  uint64_t mapped_kb = 0;  // status: VmRSS (what reading its share walks)
  // smaps_rollup: Pss_Anon; no file without it.
  std::optional<uint64_t> share_kb;
  // smaps_rollup: its anonymous pages (own_kb) less the shared ones.
  uint64_t private_kb = 0;
};

class FakeProcTree {
 public:
  using Memory = FakeMemory;

  // Creates or rewrites `pid`'s stat, status and smaps_rollup.
  void put(int32_t pid, int32_t ppid, int32_t pgid, uint64_t start, const Memory& memory = {}) {
    const std::string dir = dir_.file(std::to_string(pid));
    std::filesystem::create_directory(dir);
    std::ofstream(dir + "/stat") << pid << " (p) S " << ppid << " " << pgid
                                 << " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 " << start << " 0 0\n";
    std::ofstream(dir + "/status")
        << "Name:\tp\nVmRSS:\t" << memory.mapped_kb << " kB\nRssAnon:\t" << memory.own_kb
        << " kB\nRssShmem:\t0 kB\nVmSwap:\t0 kB\nThreads:\t1\n";
    std::filesystem::remove(dir + "/smaps_rollup");
    if (memory.share_kb) {
      std::ofstream(dir + "/smaps_rollup")
          << "00400000-7fff0000 ---p 00000000 00:00 0 [rollup]\nRss:\t" << memory.mapped_kb
          << " kB\nPss:\t" << *memory.share_kb << " kB\nPss_Anon:\t" << *memory.share_kb
          << " kB\nPss_File:\t0 kB\nPss_Shmem:\t0 kB\nShared_Clean:\t0 kB\nShared_Dirty:\t"
          << memory.own_kb - memory.private_kb << " kB\nPrivate_Clean:\t0 kB\nPrivate_Dirty:\t"
          << memory.private_kb << " kB\nAnonymous:\t" << memory.own_kb
          << " kB\nSwap:\t0 kB\nSwapPss:\t0 kB\n";
    }
  }

  // Rewrites the state (field 3) and the kernel's flags (field 9) in `pid`'s
  // stat: 'Z' for a zombie, the flag 0x4 (PF_EXITING) for a process on its
  // way out.
  void set_state(int32_t pid, char state, uint32_t flags = 0) {
    const std::string path = dir_.file(std::to_string(pid)) + "/stat";
    std::string line;
    std::getline(std::ifstream(path), line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::vector<std::string> after;
    for (std::string field; fields >> field;) after.push_back(field);
    after[0] = std::string(1, state);
    after[6] = std::to_string(flags);
    std::ofstream out(path);
    out << line.substr(0, line.rfind(')') + 1);
    for (const std::string& field : after) out << ' ' << field;
    out << '\n';
  }

  void remove(int32_t pid) { std::filesystem::remove_all(dir_.file(std::to_string(pid))); }

  const std::string& path() const { return dir_.path(); }

 private:
  TempDir dir_;
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_FAKE_PROC_TREE_H_
