// When progress rows are due across the tick counter's wrap, and their
// figures.
#include <gtest/gtest.h>

#include <tuple>

#include "app/progress_schedule.h"

namespace ferrux::app {
namespace {

TEST(ProgressSchedule, DueAfterTheIntervalAndAcrossTheTickWrap) {
  const std::tuple<std::uint32_t, std::uint32_t, bool> cases[] = {
      {100, 10100, false},
      {100, 10101, true},
      // The next report time wraps first: every block is due until the
      // clock wraps too.
      {0xFFFFF000, 0xFFFFF001, true},
      {0xFFFFF000, 0xFFFFFFFF, true},
      {0xFFFFF000, 0, false},
      {0xFFFFF000, 5905, true},
      // The clock wraps first: nothing is due until the final row.
      {0xFFFFD8EF, 0, false},
      {0xFFFFD8EF, 0xFFFFFFFF, false}};
  for (const auto& [start, now, due] : cases) {
    EXPECT_EQ(ProgressSchedule(start, 10000).Due(now), due) << now;
  }
  EXPECT_EQ(ProgressSchedule(0xFFFFFFF0, 10000).Elapsed(0x10), 0x20u);
}

TEST(ComputeRow, RateAndEstimate) {
  const std::tuple<std::int64_t, std::uint32_t, std::int64_t, std::int64_t,
                   const char*>
      cases[] = {{4096, 0, 100, 0, "???"},
                 {1, 2000, 100, 0, "???"},
                 {4096, 1000, 0, 4096, ""},
                 {4096, 1000, -4096, 4096, ""},
                 {4096, 22000, 12288, 186, "00:01:06"}};
  for (const auto& [delta, elapsed, rest, rate, time_rest] : cases) {
    const RowFigures row = ComputeRow(delta, elapsed, rest, ':');
    EXPECT_EQ(row.bytes_per_sec, rate) << delta << '/' << elapsed;
    EXPECT_EQ(row.time_rest, time_rest) << delta << '/' << elapsed;
  }
}

}  // namespace
}  // namespace ferrux::app
