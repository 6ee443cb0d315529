// When progress rows are due, their figures, and whole runs of the program
// on the fake platform driven by its fake clock.
#include <gtest/gtest.h>

#include <tuple>

#include "app/program.h"
#include "app/progress_schedule.h"
#include "support/fake_platform.h"

namespace ferrux::app {
namespace {

using testing::FakePlatform;

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
                 {4096, 0, 0, 0, "???"},
                 {1, 2000, 100, 0, "???"},
                 {4096, 1000, 0, 4096, ""},
                 {4096, 1000, -4096, 4096, ""},
                 {4096, 22000, 12288, 186, "00:01:06"},
                 {8192, 2000, 4096 * 3600, 4096, "01:00:00"}};
  for (const auto& [delta, elapsed, rest, rate, time_rest] : cases) {
    const RowFigures row = ComputeRow(delta, elapsed, rest, ':');
    EXPECT_EQ(row.bytes_per_sec, rate) << delta << '/' << elapsed;
    EXPECT_EQ(row.time_rest, time_rest) << delta << '/' << elapsed;
  }
}

const std::string kHeader =
    "     Copied        Rest   CopyDelta    Bytes/s TimeRest\n";

// A copy of src/data.bin into dst/ in 4096-byte blocks. Its bytes differ
// from block to block, so misplaced blocks show.
struct Copy {
  explicit Copy(std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) source += char(i * 7 + i / 4096);
    fake.SetFile("src/data.bin", source);
  }
  std::string Run() {
    const os::Conventions conventions{"\n", "/", '/', "ferrux", 4096};
    report::ConsoleOut console(fake, "\n");
    status =
        RunProgram(fake, conventions, console, {"src/data.bin", "dst", "4096"});
    EXPECT_TRUE(console.Close());
    return fake.Out();
  }
  FakePlatform fake;
  std::string source;
  int status = -1;
};

TEST(RunProgram, FastCopyPrintsOneRowAndRenamesAnExactCopy) {
  Copy copy(3 * 4096 + 100);
  copy.fake.SetFile("dst/data.bin.size", "");  // 0 bytes: a count of 0
  copy.fake.tick = 5000;
  copy.fake.tick_step = 1;
  EXPECT_EQ(copy.Run(),
            "Source File: \"src/data.bin\"\n"
            "Rest of copy 12388\n"
            "Target File Preallocation...Ok\n"
            "Seek Source...Ok\n"
            "Seek Target...Ok\n"
            "Buffer Size = 4096\n" +
                kHeader +
                "      12388           0       12388    2477600 \n"
                "Copying complete in 00:00:00, 2064666 Bytes/s\n"
                "Reopen Target File...Ok\n"
                "Target File Size Set...Ok\n");
  EXPECT_EQ(copy.status, 0);
  EXPECT_TRUE(copy.fake.File("dst/data.bin") == copy.source);
  EXPECT_FALSE(copy.fake.File("dst/data.bin.tmp") ||
               copy.fake.File("dst/data.bin.size"));
}

TEST(RunProgram, EveryRowFollowsWaitFlushAndStoreInThatOrder) {
  Copy copy(4 * 4096);
  copy.fake.tick_step = 11000;
  copy.fake.console = true;      // one write per print
  copy.fake.write_delay_ms = 2;  // a flush that does not wait overtakes it
  EXPECT_NE(
      copy.Run().find(
          kHeader + "       4096       12288        4096        186 00:01:06\n"
                    "       8192        8192        4096        186 00:00:44\n"
                    "      12288        4096        4096        186 00:00:22\n"
                    "      16384           0        4096        186 \n"
                    "Copying complete in 00:01:39, 165 Bytes/s\n"),
      std::string::npos)
      << copy.fake.Out();
  // W: a block reaches the target, F: the target is flushed, S: a count
  // (here a multiple of 256 below 65536) is stored, s: and flushed, R: a
  // print.
  std::string trace;
  for (const FakePlatform::Call& call : copy.fake.Log()) {
    const bool size_file = call.file == "dst/data.bin.size";
    if (call.op == "FlushFile") trace += size_file ? "s " : "F";
    if (call.op != "WriteFile") continue;
    if (call.file == FakePlatform::kStdout) trace += "R";
    if (call.file == "dst/data.bin.tmp") trace += "W";
    if (size_file) trace += "S" + std::to_string(call.data[1] * 256);
  }
  // The last row covers the whole source: nothing to flush or store.
  EXPECT_NE(trace.find("RWFS4096s RWFS8192s RWFS12288s RWR"), std::string::npos)
      << trace;
  EXPECT_TRUE(copy.fake.File("dst/data.bin") == copy.source);
}

TEST(RunProgram, ResumedRunWhoseFlushFailsStoresNoCount) {
  Copy copy(4 * 4096);
  copy.fake.SetFile("dst/data.bin.tmp", copy.source.substr(0, 4096));
  // Bytes after the stored count are kept and ignored.
  copy.fake.SetFile("dst/data.bin.size",
                    std::string("\0\x10\0\0\0\0\0\0trailing", 16));
  copy.fake.tick_step = 11000;
  copy.fake.Fail("FlushFile", 2, 5, "dst/data.bin.tmp");
  const std::string out = copy.Run();
  EXPECT_TRUE(
      out.starts_with("Source File: \"src/data.bin\"\n"
                      "Restart from 4096\nRest of copy 12288\n"))
      << out;
  EXPECT_TRUE(out.ends_with(
      "       8192        8192        4096        186 00:00:44\n"
      "Exception EWin32Error\nWin32 Error.  Code: 5.\nSystem error 5\n"))
      << out;
  EXPECT_EQ(copy.status, 1);
  // The last good checkpoint's count stays; only 8 bytes were rewritten.
  EXPECT_EQ(copy.fake.File("dst/data.bin.size"),
            std::string("\0\x20\0\0\0\0\0\0trailing", 16));
  EXPECT_FALSE(copy.fake.File("dst/data.bin"));
}

TEST(RunProgram, AForeignExceptionIsReportedUnderItsTypeName) {
  Copy copy(3 * 4096 + 100);
  copy.fake.throw_on = "ReadFile";
  EXPECT_TRUE(
      copy.Run().ends_with("Exception std::length_error\nfake ReadFile\n"))
      << copy.fake.Out();
  EXPECT_EQ(copy.status, 1);
}

}  // namespace
}  // namespace ferrux::app
