// The size file's count format, its validation and its opening.
#include "resume/size_file.h"

#include <gtest/gtest.h>

#include <limits>

#include "engine/failure.h"
#include "support/fake_platform.h"

namespace ferrux::resume {
namespace {

using testing::FakePlatform;

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
    const char* message;  // nullptr: accepted
  } cases[] = {
      {0, 0, 0, 100, nullptr},
      {8, 4096, 4096, 4096, nullptr},
      {8, -4096, 0, 100, nullptr},
      {3, 0, 0, 0, "Strange Counter Size"},
      {9, 0, 0, 0, "Strange Counter Size"},
      {3, 99999, 0, 0, "Strange Counter Size"},
      {8, 8192, 4096, 100, "Counter Size More Then Tmp File Size"},
      {8, 8192, 8192, 4096, "Counter Size More Then Src File Size"},
  };
  for (const auto& c : cases) {
    const char* raised = nullptr;
    try {
      ValidateCount(c.read, c.count, c.temp_size, c.source_size);
    } catch (const engine::Exception& failure) {
      raised = failure.what();
      EXPECT_STREQ(raised, c.message);
    }
    EXPECT_EQ(raised == nullptr, c.message == nullptr) << c.count;
  }
}

TEST(SizeFile, OpenReadsOnlyTheFirstEightBytesAndChangesNothing) {
  const struct {
    std::optional<std::string> stored;
    std::int64_t count;  // -1: "Strange Counter Size"
    const char* out;
  } cases[] = {
      {std::nullopt, 0, ""},
      {"", 0, ""},
      {std::string("\x00\x10\x00\x00\x00\x00\x00\x00", 8) + "trailing", 4096,
       "Restart from 4096\n"},
      {std::string(8, '\0') + "x", 0, ""},
      {"abc", -1, ""},
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
    std::int64_t count = -1;
    try {
      count = size_file.Open("s", target, 8192, out);
    } catch (const engine::Exception& failure) {
      EXPECT_EQ(failure.message(), "Strange Counter Size");
    }
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(fake.Out(), c.out);
    EXPECT_EQ(fake.File("s"), c.stored.value_or(""));
  }
}

}  // namespace
}  // namespace ferrux::resume
