// Durations, the console channel's buffering and failures, the progress
// table, the completion line and both failure reports.
#include <gtest/gtest.h>

#include "report/failure_report.h"
#include "report/formats.h"
#include "report/progress.h"
#include "support/fake_platform.h"

namespace ferrux::report {
namespace {

using testing::FakePlatform;
using testing::Raised;

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

// The sizes of the writes that reached standard output, in order.
std::string Writes(FakePlatform& fake) {
  std::string sizes;
  for (const FakePlatform::Call& call : fake.Log()) {
    if (call.op == "WriteFile") sizes += std::to_string(call.data.size()) + " ";
  }
  return sizes;
}

TEST(ConsoleOut, ConsoleWritesEachPrintRedirectedWritesFullBuffers) {
  for (const bool on_console : {true, false}) {
    FakePlatform fake;
    fake.console = on_console;
    ConsoleOut out(fake, "\r\n");
    out.Print({"Seek..."});
    out.PrintLine({std::string(199, 'x'), Number{-42, 5}});
    EXPECT_EQ(Writes(fake), on_console ? "7 128 78 " : "128 ");
    EXPECT_TRUE(out.Close());
    EXPECT_EQ(Writes(fake), on_console ? "7 128 78 " : "128 85 ");
    EXPECT_EQ(fake.Out(), "Seek..." + std::string(199, 'x') + "  -42\r\n");
  }
}

TEST(ConsoleOut, FailedWriteRaisesAtTheEndOfThatPrint) {
  FakePlatform fake;
  fake.console = true;
  fake.Fail("WriteFile", 1, 112);
  ConsoleOut out(fake, "\n");
  EXPECT_EQ(Raised([&] { out.PrintLine({std::string(200, 'x')}); }),
            "EInOutError: I/O error 112");
  EXPECT_EQ(fake.Out(), std::string(72, 'x') + "\n");  // the rest went on
  EXPECT_EQ(Raised([&] { out.PrintLine({"next"}); }), "");
  FakePlatform closed;
  closed.has_stdout = false;
  ConsoleOut none(closed, "\n");
  EXPECT_EQ(Raised([&] { none.Print({"a"}); }), "EInOutError: I/O error 105");
}

TEST(Progress, HeaderRowsAndCompletionLines) {
  FakePlatform fake;
  ConsoleOut out(fake, "\n");
  PrintProgressHeader(out);
  PrintProgressRow(out, 4096, 12288, 4096, 186, "00:01:06");
  PrintProgressRow(out, 16384, 0, 4096, 186, "");
  PrintProgressRow(out, 123456789012, -5, 0, 12345678901, "???");
  ReportCompletion(out, "Copying", 125500, 1073741824, ':');
  ReportCompletion(out, "Copying", 0, 5, ':');
  ReportCompletion(out, "Copying", 999, 1000, '.');
  ASSERT_TRUE(out.Close());
  EXPECT_EQ(fake.Out(),
            "     Copied        Rest   CopyDelta    Bytes/s TimeRest\n"
            "       4096       12288        4096        186 00:01:06\n"
            "      16384           0        4096        186 \n"
            "123456789012          -5           0 12345678901 ???\n"
            "Copying complete in 00:02:05, 8555711 Bytes/s\n"
            "Copying complete in 00:00:00\n"
            "Copying complete in 00.00.00, 1001 Bytes/s\n");
  EXPECT_EQ(fake.Out().find('\n'), 55u);
}

TEST(FailureReports, MainReportConvertsAndUnhandledReportDoesNot) {
  FakePlatform fake;
  ConsoleOut out(fake, "\n");
  ReportFailure(out, fake, engine::Exception("M\xE4rz", nullptr));
  ReportFailure(out, fake, engine::Exception("", nullptr));
  ReportFailure(out, fake, engine::EWin32Error(32, "In use.\r\n", nullptr));
  ASSERT_TRUE(out.Close());
  EXPECT_EQ(fake.Out(),
            "Exception Exception\nM\x84rz\n"
            "Exception Exception\n"
            "Exception EWin32Error\nWin32 Error.  Code: 32.\nIn use\n");

  const std::string head = "Exception E in module m.exe at ";
  const std::tuple<std::uintptr_t, std::string, std::string> cases[] = {
      {0x1A2B, "Boom", head + "00001A2B.\nBoom."},
      {0xFFFFFFFF, "Done.", head + "FFFFFFFF.\nDone."},
      {0, "", head + "00000000.\n"},
      {0xabcdef, "\xE4", head + "00ABCDEF.\n\xE4."},
      {0, std::string(2000, 'y'),
       head + "00000000.\n" + std::string(982, 'y')}};
  for (const auto& [offset, message, text] : cases) {
    EXPECT_EQ(FormatUnhandledFailure("E", "m.exe", offset, message), text);
  }
}

}  // namespace
}  // namespace ferrux::report
