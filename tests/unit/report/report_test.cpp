// Durations and the unhandled-failure report's text.
#include <gtest/gtest.h>

#include <tuple>

#include "report/failure_report.h"
#include "report/formats.h"

namespace ferrux::report {
namespace {

TEST(Formats, DurationsAndZeroPadding) {
  std::string texts;
  for (const std::uint32_t seconds :
       {0u, 59u, 3599u, 86399u, 86400u, 90061u, 4294967295u}) {
    texts += FormatDuration(seconds, ':') + "|";
  }
  EXPECT_EQ(texts,
            "00:00:00|00:00:59|00:59:59|23:59:59|1d 00:00:00|1d 01:01:01|"
            "49710d 06:28:15|");
  EXPECT_EQ(FormatDuration(3661, '.'), "01.01.01");
  EXPECT_EQ(PadZeros(7, 2) + PadZeros(0, 2) + PadZeros(123, 2), "0700123");
}

TEST(FailureReports, UnhandledReportText) {
  const std::string head = "Exception E in module m.exe at ";
  const std::tuple<std::uintptr_t, std::string, std::string> cases[] = {
      {0x1A2B, "Boom", head + "00001A2B.\nBoom."},
      {0xFFFFFFFF, "Done.", head + "FFFFFFFF.\nDone."},
      {0, "", head + "00000000.\n"},
      {0, std::string(2000, 'y'),
       head + "00000000.\n" + std::string(982, 'y')}};
  for (const auto& [offset, message, text] : cases) {
    EXPECT_EQ(FormatUnhandledFailure("E", "m.exe", offset, message), text);
  }
}

}  // namespace
}  // namespace ferrux::report
