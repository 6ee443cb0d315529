// Command-line splitting, block-size rules and name derivation.
#include "app/command_line.h"

#include <gtest/gtest.h>

namespace ferrux::app {
namespace {

TEST(SplitCommandLine, QuotesGroupAndNothingEscapes) {
  const struct {
    std::string_view line;
    std::vector<std::string> arguments;
  } cases[] = {
      {"p a.iso  D:\\dst\t4096", {"p", "a.iso", "D:\\dst", "4096"}},
      {"p \"my file.iso\" \"C:\\dir\\\" x",
       {"p", "my file.iso", "C:\\dir\\", "x"}},
      {"p a\\\"b c\"", {"p", "a\\b c"}},
      {"p \"\" \"\"\"\"x y", {"p", "x", "y"}},  // leading "" pairs skipped
      {std::string_view("p a \0 b", 7), {"p", "a"}},  // stops at an empty one
      {"p a \"", {"p", "a"}},
      {"  ", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitCommandLine(c.line), c.arguments) << c.line;
  }
}

TEST(ParseBufferSize, BlockSizeArguments) {
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
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseBufferSize(c.text, true), c.size) << '"' << c.text << '"';
  }
  EXPECT_EQ(ParseBufferSize("junk", false), 65536u);
  EXPECT_EQ(ParseBufferSize("8192", false), 8192u);
  const std::uint32_t powers[][2] = {
      {0, 1}, {1, 1}, {3, 2}, {4097, 4096}, {0xFFFFFFFF, 0x80000000}};
  for (const auto& p : powers) EXPECT_EQ(FloorPowerOfTwo(p[0]), p[1]) << p[0];
}

TEST(Names, SeparatorsAndDoubleByteCharacters) {
  const LeadBytePredicate none = [](unsigned char) { return false; };
  const LeadBytePredicate dbcs = [](unsigned char c) { return c == 0x81; };
  const struct {
    std::string_view name, separators;
    bool double_byte;
    const char* base;
  } bases[] = {
      {"/srv/data/big.iso", "/", false, "big.iso"},
      {"C:\\dir\\big.iso", "/", false, "C:\\dir\\big.iso"},
      {"\\\\server\\share\\big.iso", "\\:", false, "big.iso"},
      {"C:big.iso", "\\:", false, "big.iso"},
      {"dir\\", "\\:", false, ""},
      {"d\\\x81\x5C.iso", "\\:", true, "\x81\x5C.iso"},  // 0x5C as trail byte
      {"d\\\x81\x5C.iso", "\\:", false, ".iso"},
  };
  for (const auto& b : bases) {
    EXPECT_EQ(BaseNameOf(b.name, b.separators, b.double_byte ? dbcs : none),
              b.base)
        << b.name;
  }
  const char* const directories[][2] = {
      {"D:\\backup", "D:\\backup\\"},
      {"D:\\backup\\", "D:\\backup\\"},
      {"D:", "D:\\"},
      {"", ""},
      {"\x81\x5C", "\x81\x5C\\"},
      {"a\\\x81\x5C\\", "a\\\x81\x5C\\"},
  };
  for (const auto& d : directories) {
    EXPECT_EQ(DirectoryWithSeparator(d[0], '\\', dbcs), d[1]) << d[0];
  }
  EXPECT_EQ(DirectoryWithSeparator("dst", '/', none), "dst/");
}

}  // namespace
}  // namespace ferrux::app
