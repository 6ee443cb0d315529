// The size file's count format, its validation and its opening.
#include "resume/size_file.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/fake_platform.h"

namespace ferrux::resume {
namespace {

using testing::FakePlatform;
using testing::Raised;

TEST(CountFormat, EightBytesLittleEndianSigned) {
  for (const std::int64_t count :
       {std::int64_t{0}, std::int64_t{4096}, std::int64_t{-4096},
        std::numeric_limits<std::int64_t>::min(),
        std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(DecodeCount(EncodeCount(count)), count);
  }
  EXPECT_EQ(EncodeCount(0x0102030405060708),
            (CountBytes{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(EncodeCount(-2),
            (CountBytes{0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(ValidateCount, ChecksRunInTheirOrder) {
  const struct {
    std::uint32_t read;
    std::int64_t count, temp_size, source_size;
    const char* raised;
  } cases[] = {
      {0, 0, 0, 100, ""},
      {8, 4096, 4096, 4096, ""},
      {8, -4096, 0, 100, ""},
      {3, 0, 0, 0, "Strange Counter Size"},
      {9, 0, 0, 0, "Strange Counter Size"},
      {3, 99999, 0, 0, "Strange Counter Size"},
      {8, 8192, 4096, 100, "Counter Size More Then Tmp File Size"},
      {8, 8192, 8192, 4096, "Counter Size More Then Src File Size"},
  };
  for (const auto& c : cases) {
    const std::string raised = Raised(
        [&] { ValidateCount(c.read, c.count, c.temp_size, c.source_size); });
    EXPECT_EQ(raised, *c.raised ? std::string("Exception: ") + c.raised : "")
        << c.read << ' ' << c.count;
  }
}

TEST(SizeFile, OpenReadsOnlyTheFirstEightBytesAndChangesNothing) {
  const struct {
    std::optional<std::string> stored;
    std::string result;  // the count, or the failure
    const char* out;
  } cases[] = {
      {std::nullopt, "0", ""},
      {"", "0", ""},
      {std::string("\0\x10\0\0\0\0\0\0trailing", 16), "4096",
       "Restart from 4096\n"},
      {"abc", "Exception: Strange Counter Size", ""},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.console = true;
    fake.SetFile("t", std::string(8192, 'a'));
    if (c.stored) fake.SetFile("s", *c.stored);
    engine::FileChannel target(fake);
    target.Assign("t");
    target.Open(engine::ChannelMode::kReadWrite);
    report::ConsoleOut out(fake, "\n");
    SizeFile size_file(fake);
    std::string result;
    result += Raised([&] {
      result = std::to_string(size_file.Open("s", target, 8192, out));
    });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(fake.Out(), c.out);
    EXPECT_EQ(fake.File("s"), c.stored.value_or(""));
  }
}

}  // namespace
}  // namespace ferrux::resume
