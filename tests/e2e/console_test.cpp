// Output to a console and output redirected to a file are the same bytes.
#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

using ConsoleTest = E2eTest;

// The console is raw, so nothing translates line ends on the way. The long
// report spans many of the 128-byte pieces redirected output is written
// in. The copy is made twice, into two folders the output does not name.
TEST_F(ConsoleTest, RedirectedOutputEqualsConsoleOutput) {
#ifdef _WIN32
  GTEST_SKIP() << "under Wine a child process has no console of its own to "
                  "write to, only the files and pipes the test gives it";
#endif
  PutSource("s.bin", 3000);
  fs::create_directory(Path("dest2"));
  const std::string long_name(kMaxName + 1, 'n');
  const std::vector<std::string> runs[][2] = {
      {{}, {}},
      {{"missing.bin", "dest"}, {"missing.bin", "dest"}},
      {{long_name, "dest"}, {long_name, "dest"}},
      {{"s.bin", "dest"}, {"s.bin", "dest2"}}};
  for (const auto& [console, redirected] : runs) {
    const Outcome on_console = Execute(console, StdoutTo::kTerminal);
    const Outcome to_file = Execute(redirected);
    EXPECT_FALSE(to_file.output.empty());
    EXPECT_EQ(on_console.output, to_file.output);
    EXPECT_EQ(on_console.exit_status, to_file.exit_status);
  }
}

}  // namespace
}  // namespace ferrux::test
