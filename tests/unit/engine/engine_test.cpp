// Failure messages, the file channel, transfer buffers, preallocation and
// the background writer (its hand-off also runs under ThreadSanitizer).
#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "engine/background_writer.h"
#include "engine/preallocation.h"
#include "engine/transfer_buffer.h"
#include "support/fake_platform.h"

namespace ferrux::engine {
namespace {

using testing::FakePlatform;
using testing::Raised;

TEST(FailureMessages, IoCodesAndSystemDescriptions) {
  const std::pair<std::uint32_t, const char*> io[] = {
      {2, "File not found"},
      {3, "Invalid filename"},
      {4, "Too many open files"},
      {5, "File access denied"},
      {100, "Read beyond end of file"},
      {101, "Disk full"},
      {106, "Invalid numeric input"},
      {103, "I/O error 103"},
  };
  for (const auto& [code, text] : io) EXPECT_EQ(IoMessage(code), text);
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(1, "v1.0 ok\t.. "), "Win32 Error.  Code: 1.\nv1.0 ok");
  EXPECT_EQ(Win32Message(2, " .\n"), "Win32 Error.  Code: 2.\n");
}

TEST(FileChannel, ModesShortWritesOpeningAndReopening) {
  FakePlatform fake;
  fake.SetFile("f", "abc");
  fake.SetFile("busy", "abc");
  fake.Fail("OpenFile", 1, 5, "busy");   // the open step of OpenOrCreate
  fake.Fail("OpenFile", 2, 32, "busy");  // and its creation step
  fake.Fail("OpenFile", 2, 32, "f");     // the uncached reopen
  FileChannel f(fake), made(fake), busy(fake), missing(fake);
  char buffer[4];
  const std::string not_allowed = "EInOutError: I/O error 103";
  f.Assign("f");
  EXPECT_EQ(Raised([&] { f.ReadBlock(buffer, 4); }), not_allowed);
  EXPECT_EQ(Raised([&] { f.TruncateHere(); }), not_allowed);
  EXPECT_EQ(Raised([&] { f.Close(); }), not_allowed);
  f.Open(ChannelMode::kReadOnly);
  EXPECT_EQ(Raised([&] { f.WriteBlockCounted("x", 1); }), not_allowed);
  EXPECT_EQ(f.ReadBlock(buffer, 4), 3u);
  EXPECT_EQ(f.ReadBlock(buffer, 4), 0u);
  EXPECT_EQ(Raised([&] { f.ReopenSourceUncached(); }),
            "EWin32Error: Win32 Error.  Code: 32.\nSystem error 32");
  EXPECT_EQ(f.mode(), ChannelMode::kClosed);

  missing.Assign("none");
  EXPECT_EQ(Raised([&] { missing.Open(ChannelMode::kReadOnly); }),
            "EInOutError: File not found");
  EXPECT_EQ(missing.mode(), ChannelMode::kClosed);
  busy.Assign("busy");
  EXPECT_EQ(Raised([&] { busy.OpenOrCreate(); }), "EInOutError: I/O error 32");
  EXPECT_EQ(busy.mode(), ChannelMode::kClosed);
  made.Assign("f");
  made.OpenOrCreate();  // keeps the file
  EXPECT_EQ(made.Size64(), 3);
  made.Close();
  EXPECT_EQ(Raised([&] { made.Close(); }), not_allowed);
  made.Assign("new");
  made.OpenOrCreate();
  EXPECT_EQ(made.mode(), ChannelMode::kReadWrite);
  EXPECT_EQ(fake.File("new"), "");
  fake.Short("WriteFile", 0, 2, "new");
  EXPECT_EQ(made.WriteBlockCounted("abcd", 4), 2u);
  EXPECT_EQ(Raised([&] { made.WriteBlock("abcd", 4); }),
            "EInOutError: Disk full");
}

TEST(TransferBuffer, LockFailureWarnsOnlyWhenTheGrownLimitDidNotHelp) {
  const struct {
    std::vector<std::pair<const char*, int>> faults;
    const char* out;
    std::size_t growth;
  } cases[] = {
      {{}, "", 0},
      {{{"LockPages", 1}, {"GetLockLimits", 1}}, "", 0},
      {{{"LockPages", 1}, {"SetLockLimits", 1}}, "", 0},
      {{{"LockPages", 1}}, "", 8192},
      {{{"LockPages", 0}}, "Buffer not locked\n", 8192},
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.console = true;
    for (const auto& [op, nth] : c.faults) fake.Fail(op, nth, 8);
    report::ConsoleOut out(fake, "\n");
    const void* buffer = AllocLockedBuffer(fake, out, 8192);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);
    EXPECT_EQ(fake.Out(), c.out) << c.faults.size();
    EXPECT_EQ(fake.lock_limits.minimum, 65536 + c.growth) << c.faults.size();
    EXPECT_EQ(fake.lock_limits.maximum, 1048576 + c.growth);
  }
  FakePlatform fake;
  fake.Fail("AllocatePages", 1, 8);
  report::ConsoleOut out(fake, "\n");
  EXPECT_EQ(Raised([&] { AllocLockedBuffer(fake, out, 16777216); }),
            "Exception: No memory: 16777216");
}

TEST(Preallocation, EveryBranchLeavesTheLengthItPromises) {
  const std::int64_t rounded[][3] = {
      {0, 4096, 0}, {4096, 4096, 4096}, {4097, 4096, 8192}, {-1, 4096, 0}};
  for (const auto& r : rounded) {
    EXPECT_EQ(RoundUpToMultiple(r[0], static_cast<std::uint32_t>(r[1])), r[2]);
  }
  const struct {
    std::size_t size;
    bool nt, call;
    std::uint32_t refusal;  // SetValidData's error code; 0: granted
    std::string out;
    std::size_t after;
  } cases[] = {
      {16384, true, true, 0, "", 16384},  // already right: silent
      {0, true, true, 0, "Ok\n", 16384},
      {20480, true, true, 50, "Ok\n", 16384},  // too long: cut
      {5000, true, false, 0, "Fail\n", 5000},  // no call: untouched
      {5000, true, true, 50, "Fail\n", 8192},  // refused: former, rounded
      {0, true, true, 50, "Fail\n", 0},
      {5000, true, true, 112, "EInOutError: I/O error 112", 8192},
      {5000, false, true, 50, "Ok\n", 16384},  // not NT: plain extension
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.console = true;
    fake.nt_family = c.nt;
    fake.valid_data_call = c.call;
    fake.Fail("SetValidData", 0, c.refusal);
    fake.SetFile("t", std::string(c.size, 'a'));
    FileChannel target(fake);
    target.Assign("t");
    target.Open(ChannelMode::kReadWrite);
    report::ConsoleOut out(fake, "\n");
    const std::string raised =
        Raised([&] { PreallocateTarget(fake, out, target, 4096, 16384); });
    EXPECT_EQ(fake.Out() + raised,
              c.out.empty() ? "" : "Target File Preallocation..." + c.out);
    EXPECT_EQ(fake.File("t")->size(), c.after) << c.size << ' ' << c.refusal;
    const std::size_t kept = std::min(c.size, c.after);
    EXPECT_EQ(fake.File("t")->substr(0, kept), std::string(kept, 'a'));
  }
}

// Everything a started writer refers to. Its thread never ends, so a rig
// is never freed; the list keeps it reachable for the leak checker.
struct Rig {
  static Rig& Start(std::uint32_t block,
                    const std::function<void(FakePlatform&)>& setup) {
    static std::vector<Rig*> rigs;
    return *rigs.emplace_back(new Rig(block, setup));
  }
  Rig(std::uint32_t block, const std::function<void(FakePlatform&)>& setup)
      : storage(2 * block) {
    setup(fake);
    target.Assign("t");
    target.Create();
    writer.Start(target, slots, block);
  }
  FakePlatform fake;
  report::ConsoleOut out{fake, "\n"};
  FileChannel target{fake};
  std::vector<char> storage;
  void* slots[2] = {storage.data(), storage.data() + storage.size() / 2};
  BackgroundWriter writer{fake, out, "/"};
};

TEST(BackgroundWriter, ThousandsOfTinyBlocksArriveInOrderAndIntact) {
  Rig& rig = Rig::Start(16, [](FakePlatform&) {});
  rig.writer.WaitIdle();  // nothing handed off yet: returns at once
  rig.writer.WaitIdle();
  std::string expected;
  for (int k = 0; k < 3000; ++k) {
    auto* slot = static_cast<char*>(rig.slots[k % 2]);
    for (int i = 0; i < 16; ++i) slot[i] = static_cast<char>(k * 31 + i);
    expected.append(slot, 16);
    rig.writer.HandOff();
  }
  rig.writer.WaitIdle();
  EXPECT_EQ(rig.fake.File("t"), expected);
}

TEST(BackgroundWriter, FailedWriteEndsTheProcessWithTheUnhandledReport) {
  const struct {
    std::function<void(FakePlatform&)> fault;
    const char* report;
  } cases[] = {
      {[](FakePlatform& fake) { fake.Short("WriteFile", 1, 2048, "t"); },
       "Exception Exception in module ferrux at (?!00000000)[0-9A-F]{8}"
       "\\.\nNot all bytes written: 2048\\.\n"},
      {[](FakePlatform& fake) { fake.Fail("WriteFile", 1, 112, "t"); },
       "Exception EInOutError in module ferrux at [0-9A-F]{8}"
       "\\.\nI/O error 112\\.\n"},
  };
  for (const auto& c : cases) {
    Rig& rig = Rig::Start(4096, c.fault);
    rig.writer.HandOff();
    EXPECT_EQ(rig.fake.WaitForExit(), 1);
    EXPECT_TRUE(std::regex_match(rig.fake.Out(), std::regex(c.report)))
        << rig.fake.Out();
  }
}

}  // namespace
}  // namespace ferrux::engine
