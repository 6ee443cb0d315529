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
      // Across the wrap, due an interval after the start as anywhere else.
      {0xFFFFF000, 0xFFFFF001, false},
      {0xFFFFF000, 5904, false},
      {0xFFFFF000, 5905, true},
      {0xFFFFD8EF, 0xFFFFFFFF, false},
      {0xFFFFD8EF, 0, true}};
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
