// When rows are due across the 2^32 wrap of the tick counter, and the
// figures of a row.
#include "app/progress_schedule.h"

#include <gtest/gtest.h>

namespace ferrux::app {
namespace {

TEST(ProgressSchedule, DueOnlyAfterTheIntervalHasPassed) {
  ProgressSchedule schedule(100, 10000);
  EXPECT_FALSE(schedule.Due(100));
  EXPECT_FALSE(schedule.Due(10100));
  EXPECT_TRUE(schedule.Due(10101));
  EXPECT_EQ(schedule.Elapsed(10101), 10001u);
  schedule.Restart(20000);
  EXPECT_FALSE(schedule.Due(30000));
  EXPECT_TRUE(schedule.Due(30001));
  EXPECT_EQ(schedule.Elapsed(20000), 0u);
}

TEST(ProgressSchedule, NextReportWrappedFirstMakesEveryBlockDue) {
  ProgressSchedule schedule(0xFFFFF000u, 10000);  // next report at 5904
  for (const std::uint32_t now : {0xFFFFF000u, 0xFFFFF001u, 0xFFFFFFFFu}) {
    EXPECT_TRUE(schedule.Due(now)) << now;
  }
  EXPECT_FALSE(schedule.Due(0));  // the clock has wrapped too
  EXPECT_FALSE(schedule.Due(5904));
  EXPECT_TRUE(schedule.Due(5905));
  EXPECT_EQ(schedule.Elapsed(5905), 10001u);
}

TEST(ProgressSchedule, ClockWrappedFirstMakesNothingDue) {
  ProgressSchedule schedule(0xFFFFFFFFu - 10000, 10000);  // next at 2^32-1
  for (const std::uint32_t now : {0u, 5u, 10000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_FALSE(schedule.Due(now)) << now;
  }
  EXPECT_EQ(schedule.Elapsed(99), 10100u);
}

TEST(ComputeRow, RateAndEstimate) {
  const struct {
    std::int64_t delta;
    std::uint32_t elapsed;
    std::int64_t rest;
    std::int64_t rate;
    const char* time_rest;
  } cases[] = {
      {4096, 0, 100, 0, "???"},       // no time passed
      {4096, 0, 0, 0, "???"},         // also for the final row
      {1, 2000, 100, 0, "???"},       // under a byte per second
      {4096, 1000, 0, 4096, ""},      // complete
      {4096, 1000, -4096, 4096, ""},  // source grew
      {8192, 2000, 4096 * 3600, 4096, "01:00:00"},
      {4096, 22000, 12288, 186, "00:01:06"},  // truncating divisions
  };
  for (const auto& c : cases) {
    const RowFigures row = ComputeRow(c.delta, c.elapsed, c.rest, ':');
    EXPECT_EQ(row.bytes_per_sec, c.rate) << c.delta << '/' << c.elapsed;
    EXPECT_EQ(row.time_rest, c.time_rest) << c.delta << '/' << c.elapsed;
  }
}

}  // namespace
}  // namespace ferrux::app
