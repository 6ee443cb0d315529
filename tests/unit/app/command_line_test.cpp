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

// Decimal and hexadecimal forms, rounded down to a power of two within the
// limits (an unrounded size fails every direct write); what is no number
// of 32 bits is the default, which differs outside the NT family.
TEST(ParseBufferSize, FormsRoundedDownWithinLimits) {
  // clang-format off
  const std::tuple<const char*, bool, std::uint32_t> cases[] = {
      {"5000000", true, 4194304}, {"65535", true, 32768}, {"100", true, 4096},
      {"20000000", true, 16777216}, {"-1", true, 16777216}, {"junk", false, 65536},
      {"8192", false, 8192}, {"  +0008192", true, 8192}, {"$10000", true, 65536},
      {"0X000000002000", true, 8192}, {"x1000", true, 4096}, {"0x100000000", true, 2097152},
      {"4294967296", true, 2097152}, {"-2147483649", true, 2097152}, {"12a", true, 2097152},
      {"0x", true, 2097152}, {"", true, 2097152}};
  // clang-format on
  for (const auto& [text, nt, size] : cases) {
    EXPECT_EQ(ParseBufferSize(text, nt), size) << text;
  }
}

// Leading switches: what they set, where the source name starts, or the
// line that names the bad one (more malformed forms are end-to-end rows).
TEST(ReadSwitches, FormsOrderValuesAndErrors) {
  struct Case {
    std::vector<std::string> arguments;
    std::size_t source_at;
    std::string error;
    bool ordinary = false;
    std::uint32_t retries = 0, wait = 30;
    bool verify = false;
    std::uint64_t rate = 0;
    bool background = false;
  };
  const std::string range = ": a number from 0 to ";
  const std::string rate =
      ": a rate from 0 to 1024G bytes per second is needed";
  const Case cases[] = {
      {{"s", "/O"}, 0, ""},
      {{"/o", "s"}, 1, "", true},
      {{"/w:0", "/R:1000000", "--ordinary", "s"}, 3, "", true, 1000000, 0},
      {{"--retries=007", "--wait=86400", "--", "/O"}, 3, "", false, 7, 86400},
      {{"/R:2", "-O", "/0", "/ordinary", "/O:1"}, 1, "", false, 2},
      {{"--"}, 1, ""},
      {{"/R:1", "--verify", "/o", "s"}, 3, "", true, 1, 30, true},
      {{"/v", "-V", "/V:1"}, 1, "", false, 0, 30, true},
      {{"/R:-1"}, 0, "Bad switch /R:-1" + range + "1000000 is needed"},
      {{"/R:1000001"},
       0,
       "Bad switch /R:1000001" + range + "1000000 is needed"},
      {{"/R"}, 0, "Bad switch /R" + range + "1000000 is needed"},
      {{"/W:86401"}, 0, "Bad switch /W:86401" + range + "86400 is needed"},
      {{"--wait= 1"}, 0, "Bad switch --wait= 1" + range + "86400 is needed"},
      {{"--retries"}, 0, "Bad switch --retries" + range + "1000000 is needed"},
      {{"/O", "--ordinary"}, 1, "Switch given twice: --ordinary"},
      {{"/bw:5m", "/Bg", "s"}, 2, "", false, 0, 30, false, 5 << 20, true},
      {{"--bwlimit=1024G", "--background", "s"},
       2,
       "",
       false,
       0,
       30,
       false,
       1ULL << 40,
       true},
      {{"/BW:0", "/BW7", "s"}, 1, "", false, 0, 30, false, 0},
      {{"--bwlimit=2k"}, 1, "", false, 0, 30, false, 2048},
      {{"/BW:1025G"}, 0, "Bad switch /BW:1025G" + rate},
      {{"/BW:5MB"}, 0, "Bad switch /BW:5MB" + rate},
      {{"/BW:-1"}, 0, "Bad switch /BW:-1" + rate},
      {{"/BW:K"}, 0, "Bad switch /BW:K" + rate},
      {{"--bwlimit"}, 0, "Bad switch --bwlimit" + rate},
      {{"/BG:1"}, 0, ""},
      {{"--verify", "/v"}, 1, "Switch given twice: /v"}};
  for (const Case& c : cases) {
    JobSettings settings;
    const LeadingSwitches read = ReadSwitches(c.arguments, settings);
    EXPECT_EQ(read.source_at, c.source_at) << c.arguments[0];
    EXPECT_EQ(read.error, c.error);
    if (!c.error.empty()) continue;
    EXPECT_EQ(settings.ordinary_mode, c.ordinary) << c.arguments[0];
    EXPECT_EQ(settings.retries, c.retries) << c.arguments[0];
    EXPECT_EQ(settings.wait_seconds, c.wait) << c.arguments[0];
    EXPECT_EQ(settings.verify, c.verify) << c.arguments[0];
    EXPECT_EQ(settings.rate_limit, c.rate) << c.arguments[0];
    EXPECT_EQ(settings.background, c.background) << c.arguments[0];
  }
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
