// Per-test directories under the build tree.
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "support/program_runner.h"

namespace ferrux::test {

TestDir::TestDir() {
  const testing::TestInfo* info =
      testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  // Parameterised names hold slashes.
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  path_ = ExecutableDir().parent_path() / "e2e-tmp" / name;
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TestDir::~TestDir() {
  if (testing::Test::HasFailure()) {
    std::cout << "Test files kept in " << path_.string() << std::endl;
    return;
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace ferrux::test
