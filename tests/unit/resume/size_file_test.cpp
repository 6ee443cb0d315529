// The size file's count format and its validation.
#include "resume/size_file.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>

#include "support/fake_platform.h"

namespace ferrux::resume {
namespace {

using testing::Raised;

TEST(CountFormat, EightBytesLittleEndianSigned) {
  using Limits = std::numeric_limits<std::int64_t>;
  const std::int64_t counts[] = {0, 4096, -4096, Limits::min(), Limits::max()};
  for (const std::int64_t count : counts) {
    EXPECT_EQ(DecodeCount(EncodeCount(count)), count);
  }
  EXPECT_EQ(EncodeCount(-2),
            (CountBytes{254, 255, 255, 255, 255, 255, 255, 255}));
}

TEST(ValidateCount, ChecksRunInTheirOrder) {
  const std::tuple<std::uint32_t, std::int64_t, std::int64_t, const char*>
      cases[] = {{0, 0, 0, ""},
                 {8, 4096, 4096, ""},
                 {8, -4096, 0, ""},
                 {3, 0, 0, "Strange Counter Size"},
                 {9, 0, 0, "Strange Counter Size"},
                 {3, 99999, 0, "Strange Counter Size"},
                 {8, 8192, 4096, "Counter Size More Then Tmp File Size"},
                 {8, 8192, 8192, "Counter Size More Then Src File Size"}};
  for (const auto& [read, count, temp_size, message] : cases) {
    // The source is 4096 bytes long; breaking both size rules reports the
    // temporary file's.
    EXPECT_EQ(Raised([&] { ValidateCount(read, count, temp_size, 4096); }),
              *message ? std::string("Exception: ") + message : "")
        << read << ' ' << count;
  }
}

}  // namespace
}  // namespace ferrux::resume
