// A test fixture base for the journal's tests: a private report directory
// with the report's name and its hidden companions.
#ifndef VEK_GUARD_TESTS_SUPPORT_REPORT_DIR_H_
#define VEK_GUARD_TESTS_SUPPORT_REPORT_DIR_H_

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace vek_guard::test_support {

// A directory d (mode 0700) inside a TempDir, with the report d/r.json; the
// journal and the temporary report are the names the journal gives them.
class ReportDirTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::mkdir(dir().c_str(), 0700), 0); }

  std::string dir() const { return tmp_.file("d"); }
  std::string file(const std::string& name) const { return dir() + "/" + name; }
  std::string report_path() const { return file("r.json"); }
  std::string journal_path() const { return file(".r.json.journal"); }
  std::string temp_path() const { return file(".r.json.tmp"); }

 private:
  TempDir tmp_;
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_REPORT_DIR_H_
