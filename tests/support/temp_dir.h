// A directory of its own for the running test, in the build tree: made
// anew when the test starts, removed when it passes, kept when it fails.
#pragma once

#include <filesystem>

namespace ferrux::test {

class TestDir {
 public:
  // <folder of the test executable>/../e2e-tmp/<Suite.Test>, emptied.
  TestDir();
  // Removes the directory, unless the test failed: then its path is
  // printed so the files can be examined.
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ferrux::test
