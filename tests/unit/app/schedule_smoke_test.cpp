#include <gtest/gtest.h>

#include "app/progress_schedule.h"

TEST(ProgressScheduleSmoke, FirstRowDueAfterInterval) {
  ferrux::app::ProgressSchedule schedule(100, 10000);
  EXPECT_FALSE(schedule.Due(10100));
  EXPECT_TRUE(schedule.Due(10101));
}
