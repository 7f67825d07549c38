// A private temporary directory for one test.
#ifndef VEK_GUARD_TESTS_SUPPORT_TEMP_DIR_H_
#define VEK_GUARD_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace vek_guard::test_support {

// Creates a fresh directory with mkdtemp (mode 0700, owned by the test's
// user) under $TMPDIR or /tmp, and removes it with everything below it when
// destroyed. It never changes the working directory: tests build paths with
// path().
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace vek_guard::test_support

#endif  // VEK_GUARD_TESTS_SUPPORT_TEMP_DIR_H_
