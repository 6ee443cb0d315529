// Output to a console and output redirected to a file are the same bytes.
#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

class ConsoleTest : public E2eTest {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "under Wine a child process gets no console of its own "
                    "to write to, only the pipes and files the test gives it";
#endif
  }
};

// The console is raw, so nothing translates line ends on the way; the
// long failure report spans many of the 128-byte pieces redirected
// output is written in.
TEST_F(ConsoleTest, RedirectedOutputEqualsConsoleOutput) {
  PutSource("s.bin", 3000);
  fs::create_directory(Path("dest2"));
  const std::vector<std::string> arguments[][2] = {
      {{}, {}},
      {{"missing.bin", "dest"}, {"missing.bin", "dest"}},
      {{std::string(kMaxName + 1, 'n'), "dest"},
       {std::string(kMaxName + 1, 'n'), "dest"}},
      {{"s.bin", "dest"}, {"s.bin", "dest2"}}};
  for (const auto& [on_console, redirected] : arguments) {
    SCOPED_TRACE(on_console.empty() ? "no arguments" : on_console[0].substr(0, 20));
    const Outcome console = Execute(on_console, StdoutTo::kTerminal);
    const Outcome file = Execute(redirected);
    EXPECT_FALSE(file.output.empty());
    EXPECT_EQ(console.output, file.output);
    EXPECT_EQ(console.exit_status, file.exit_status);
  }
  EXPECT_EQ(Get("dest/s.bin"), Get("dest2/s.bin"));
}

}  // namespace
}  // namespace ferrux::test
