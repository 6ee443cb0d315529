// Command-line splitting, block-size rules and name derivation.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

namespace ferrux::app {
namespace {

TEST(SplitCommandLine, QuotesGroupAndNothingEscapes) {
  const std::pair<std::string_view, std::vector<std::string>> cases[] = {
      {"p a.iso  D:\\dst\t4096", {"p", "a.iso", "D:\\dst", "4096"}},
      {"p \"my file.iso\" \"C:\\dir\\\" x",
       {"p", "my file.iso", "C:\\dir\\", "x"}},
      {"p a\\\"b c\"", {"p", "a\\b c"}},
      {"p \"\" \"\"\"\"x y", {"p", "x", "y"}},  // leading "" pairs skipped
      {std::string_view("p a \0 b", 7), {"p", "a"}},  // stops at an empty one
      {"p a \"", {"p", "a"}},
      {"  ", {}}};
  for (const auto& [line, arguments] : cases) {
    EXPECT_EQ(SplitCommandLine(line), arguments) << line;
  }
}

// The accepted forms are the fuzz target's, checked against a model; here
// only the default of a system outside the NT family.
TEST(ParseBufferSize, DefaultOutsideTheNtFamily) {
  EXPECT_EQ(ParseBufferSize("junk", false), 65536u);
  EXPECT_EQ(ParseBufferSize("8192", false), 8192u);
}

TEST(Names, SeparatorsAndDoubleByteCharacters) {
  const LeadBytePredicate none = [](unsigned char) { return false; };
  const LeadBytePredicate dbcs = [](unsigned char c) { return c == 0x81; };
  const std::tuple<std::string_view, std::string_view, bool, const char*>
      bases[] = {
          {"/srv/data/big.iso", "/", false, "big.iso"},
          {"\\\\server\\share/big.iso", "\\/:", false, "big.iso"},
          {"C:big.iso", "\\:", false, "big.iso"},
          {"d\\\x81\x5C.iso", "\\:", true, "\x81\x5C.iso"},  // a trail byte
          {"d\\\x81\x5C.iso", "\\:", false, ".iso"}};
  for (const auto& [name, separators, double_byte, base] : bases) {
    EXPECT_EQ(BaseNameOf(name, separators, double_byte ? dbcs : none), base)
        << name;
  }
  const std::pair<const char*, const char*> directories[] = {
      {"D:\\backup", "D:\\backup\\"},
      {"D:\\backup\\", "D:\\backup\\"},
      {"D:", "D:"},  // the drive's current folder
      {"a/", "a/"},
      {"", ""},
      {"\x81\x5C", "\x81\x5C\\"},
      {"a\\\x81\x5C\\", "a\\\x81\x5C\\"}};
  for (const auto& [directory, with_separator] : directories) {
    EXPECT_EQ(DirectoryWithSeparator(directory, '\\', "\\/:", dbcs),
              with_separator);
  }
  EXPECT_EQ(DirectoryWithSeparator("dst", '/', "/", none), "dst/");
}

}  // namespace
}  // namespace ferrux::app
