// Command-line splitting, block-size rules and name derivation.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace ferrux::app {
namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, FollowsTheProgramsOwnRules) {
  const struct {
    std::string_view line;
    Args expected;
  } cases[] = {
      {"ferrux.exe a.iso D:\\dst 4096",
       {"ferrux.exe", "a.iso", "D:\\dst", "4096"}},
      {"p \"my file.iso\"\t\"C:\\dir\\\" x",
       {"p", "my file.iso", "C:\\dir\\", "x"}},
      {"p a\\\"b c\"", {"p", "a\\b c"}},        // a backslash escapes nothing
      {"p \"\" \"\"\"\"x y", {"p", "x", "y"}},  // leading "" pairs skipped
      {"p a\"\" b", {"p", "a", "b"}},
      {std::string_view("p a \0 b", 7), {"p", "a"}},  // stops at an empty one
      {"p a \"", {"p", "a"}},
      {"  ", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.expected) << c.line;
  }
}

TEST(ParseBufferSize, ExamplesOfTheBlockSizeArgument) {
  const struct {
    std::string_view text;
    std::uint32_t size;
  } cases[] = {
      {"", 2097152},           {"abc", 2097152},     {"5000", 4096},
      {"65535", 32768},        {"1048576", 1048576}, {"$100000", 1048576},
      {"0x1000", 4096},        {"0X1000", 4096},     {"x1000", 4096},
      {"20000000", 16777216},  {"-1", 16777216},     {"-2147483648", 16777216},
      {"$FFFFFFFF", 16777216}, {"$ffff", 32768},     {"3000000000", 2097152},
      {"2147483648", 2097152}, {"-$10", 2097152},    {"+0x10", 2097152},
      {" 8192", 8192},         {"8192 ", 2097152},   {"\t8192", 2097152},
      {"100", 4096},           {"0", 4096},          {"+16384", 16384},
      {"008192", 8192},        {"0x", 2097152},      {"$100000000", 2097152},
      {"-", 2097152},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseBufferSize(c.text, true), c.size) << '"' << c.text << '"';
  }
  EXPECT_EQ(ParseBufferSize("junk", false), 65536u);
  EXPECT_EQ(ParseBufferSize("8192", false), 8192u);
}

TEST(FloorPowerOfTwo, LargestPowerNotAbove) {
  const std::uint32_t cases[][2] = {{0, 1},
                                    {1, 1},
                                    {2, 2},
                                    {3, 2},
                                    {4097, 4096},
                                    {16777215, 8388608},
                                    {0x80000000, 0x80000000},
                                    {0xFFFFFFFF, 0x80000000}};
  for (const auto& c : cases) EXPECT_EQ(FloorPowerOfTwo(c[0]), c[1]) << c[0];
}

TEST(Names, BaseNameAndDirectoryHonourSeparatorsAndLeadBytes) {
  const LeadBytePredicate none = [](unsigned char) { return false; };
  const LeadBytePredicate dbcs = [](unsigned char c) { return c == 0x81; };
  EXPECT_EQ(BaseNameOf("/srv/data/big.iso", "/", none), "big.iso");
  EXPECT_EQ(BaseNameOf("C:\\dir\\big.iso", "/", none), "C:\\dir\\big.iso");
  EXPECT_EQ(BaseNameOf("\\\\server\\share\\big.iso", "\\:", none), "big.iso");
  EXPECT_EQ(BaseNameOf("C:big.iso", "\\:", none), "big.iso");
  EXPECT_EQ(BaseNameOf("big.iso", "\\:", none), "big.iso");
  EXPECT_EQ(BaseNameOf("dir\\", "\\:", none), "");
  // 0x81 0x5C is one double-byte character, not a separator.
  EXPECT_EQ(BaseNameOf("d\\\x81\x5C.iso", "\\:", dbcs), "\x81\x5C.iso");
  EXPECT_EQ(BaseNameOf("d\\\x81\x5C.iso", "\\:", none), ".iso");

  EXPECT_EQ(DirectoryWithSeparator("D:\\backup", '\\', none), "D:\\backup\\");
  EXPECT_EQ(DirectoryWithSeparator("D:\\backup\\", '\\', none), "D:\\backup\\");
  EXPECT_EQ(DirectoryWithSeparator("D:", '\\', none), "D:\\");
  EXPECT_EQ(DirectoryWithSeparator("", '\\', none), "");
  EXPECT_EQ(DirectoryWithSeparator("dst", '/', none), "dst/");
  EXPECT_EQ(DirectoryWithSeparator("\x81\x5C", '\\', dbcs), "\x81\x5C\\");
  EXPECT_EQ(DirectoryWithSeparator("a\\\x81\x5C\\", '\\', dbcs),
            "a\\\x81\x5C\\");
}

}  // namespace
}  // namespace ferrux::app
