// The size file's layout: a count, then a stamp that only this program's
// tag introduces, and the checks of a stored count in their order.
#include "resume/size_file.h"

#include <gtest/gtest.h>

#include "support/raised.h"

namespace ferrux::resume {
namespace {

TEST(SizeFileRecord, StampFollowsTheCountOnlyBehindTheTag) {
  const Record record = EncodeRecord(-8192, {5000, 1234567890123456789});
  const StoredCount stamped = DecodeRecord(record, kRecordSize);
  EXPECT_EQ(stamped.count, -8192);
  EXPECT_TRUE(stamped.tail_is_ours && stamped.stamped);
  EXPECT_EQ(stamped.stamp.size, 5000);
  EXPECT_EQ(stamped.stamp.last_write_unix_ns, 1234567890123456789);
  // An older version's 8 bytes, and bytes after them that are not ours.
  EXPECT_TRUE(DecodeRecord(record, kCountSize).tail_is_ours);
  EXPECT_FALSE(DecodeRecord(record, kCountSize).stamped);
  Record foreign = record;
  foreign[8] = 'x';
  EXPECT_FALSE(DecodeRecord(foreign, kRecordSize).tail_is_ours);
  EXPECT_FALSE(DecodeRecord(record, 10).tail_is_ours);
  EXPECT_EQ(DecodeRecord(record, 0).count, 0);
}

TEST(SizeFileRecord, ChecksRunInOrder) {
  using testing::Raised;
  EXPECT_EQ(Raised([] { ValidateCount(3, 0, 0, 0); }),
            "Exception: Strange Counter Size");
  EXPECT_EQ(Raised([] { ValidateCount(8, 9000, 4096, 4096); }),
            "Exception: Counter Size More Then Tmp File Size");
  EXPECT_EQ(Raised([] { ValidateCount(28, 8192, 8192, 4096); }),
            "Exception: Counter Size More Then Src File Size");
  EXPECT_EQ(Raised([] { ValidateCount(0, 0, 0, 4096); }), "");
  EXPECT_EQ(Raised([] { ValidateCount(8, -20000, 0, 4096); }), "");
}

}  // namespace
}  // namespace ferrux::resume
