// Failure messages, the file channel, transfer buffers, preallocation and
// the background writer (its hand-off also runs under ThreadSanitizer).
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "engine/background_writer.h"
#include "engine/preallocation.h"
#include "engine/transfer_buffer.h"
#include "support/fake_platform.h"

namespace ferrux::engine {
namespace {

using testing::FakePlatform;
using testing::Raised;

TEST(FailureMessages, IoTextsAndSystemDescriptions) {
  std::string texts;
  for (const std::uint32_t code : {2u, 3u, 4u, 5u, 100u, 106u, 87u}) {
    texts += IoMessage(code) + "|";
  }
  EXPECT_EQ(texts,
            "File not found|Invalid filename|Too many open files|File access "
            "denied|Read beyond end of file|Invalid numeric input|I/O error "
            "87|");
  // Trailing blanks, control characters and full stops are trimmed.
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(1, "v1.0 ok\t.. "), "Win32 Error.  Code: 1.\nv1.0 ok");
  EXPECT_EQ(Win32Message(2, " .\n"), "Win32 Error.  Code: 2.\n");
}

TEST(FileChannel, ModesShortWritesOpeningAndReopening) {
  FakePlatform fake;
  fake.SetFile("f", "abc");
  fake.Fail("SetCacheMode", 1, 32, "f");
  fake.Fail("WriteFile", 0, 0, "new", 2);
  FileChannel f(fake), made(fake);
  char buffer[4];
  const std::string not_allowed = "EInOutError: I/O error 103";
  f.Assign("f");
  EXPECT_EQ(Raised([&] { f.ReadBlock(buffer, 4); }), not_allowed);
  EXPECT_EQ(Raised([&] { f.TruncateHere(); }), not_allowed);
  EXPECT_EQ(Raised([&] { f.Close(); }), not_allowed);
  f.Open();
  EXPECT_EQ(Raised([&] { f.WriteBlockCounted("x", 1); }), not_allowed);
  EXPECT_EQ(f.ReadBlock(buffer, 4), 3u);
  EXPECT_EQ(f.ReadBlock(buffer, 4), 0u);
  EXPECT_EQ(Raised([&] { f.ReopenSourceUncached(); }),
            "EWin32Error: Win32 Error.  Code: 32.\nSystem error 32");
  EXPECT_EQ(f.mode(), ChannelMode::kClosed);

  made.Assign("f");
  made.OpenOrCreate(FileChannel::Sharing::kShared);  // keeps the file
  EXPECT_EQ(made.Size64(), 3);
  made.Close();
  EXPECT_EQ(Raised([&] { made.Close(); }), not_allowed);
  made.Assign("new");
  made.OpenOrCreate(FileChannel::Sharing::kShared);
  EXPECT_EQ(made.mode(), ChannelMode::kReadWrite);
  EXPECT_EQ(fake.File("new"), "");
  EXPECT_EQ(made.WriteBlockCounted("abcd", 4), 2u);
  EXPECT_EQ(Raised([&] { made.WriteBlock("abcd", 4); }),
            "EInOutError: Disk full");
}

TEST(TransferBuffer, LockFailureWarnsOnlyWhenTheGrownLimitDidNotHelp) {
  // The call that fails (0: every call, -1: none), the warning, and how
  // much the lock limits grew.
  const std::tuple<int, int, int, const char*, std::size_t> cases[] = {
      {-1, -1, -1, "", 0},
      {1, 1, -1, "", 0},
      {1, -1, 1, "", 0},
      {1, -1, -1, "", 8192},
      {0, -1, -1, "Buffer not locked\n", 8192}};
  for (const auto& [lock, get, set, warning, growth] : cases) {
    FakePlatform fake;
    fake.console = true;
    fake.Fail("LockPages", lock, 8);
    fake.Fail("GetLockLimits", get, 8);
    fake.Fail("SetLockLimits", set, 8);
    report::ConsoleOut out(fake, "\n");
    const void* buffer = AllocLockedBuffer(fake, out, 8192);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % 4096, 0u);
    EXPECT_EQ(fake.Out(), warning) << lock << get << set;
    EXPECT_EQ(fake.lock_limits.minimum, 65536 + growth) << lock << get << set;
    EXPECT_EQ(fake.lock_limits.maximum, 1048576 + growth);
  }
  FakePlatform fake;
  fake.Fail("AllocatePages", 1, 8);
  report::ConsoleOut out(fake, "\n");
  EXPECT_EQ(Raised([&] { AllocLockedBuffer(fake, out, 16777216); }),
            "Exception: No memory: 16777216");
}

TEST(Preallocation, EveryBranchLeavesTheLengthItPromises) {
  const std::int64_t rounded[][2] = {
      {0, 0}, {4096, 4096}, {4097, 8192}, {-1, 0}};
  for (const auto& [value, multiple] : rounded) {
    EXPECT_EQ(RoundUpToMultiple(value, 4096), multiple) << value;
  }
  // The former length, NT family, call found, ReserveSpace's error code (0:
  // granted), what completes the line, the length afterwards.
  const std::tuple<std::size_t, bool, bool, std::uint32_t, std::string,
                   std::size_t>
      cases[] = {{16384, true, true, 0, "", 16384},  // already right: silent
                 {0, true, true, 0, "Ok\n", 16384},
                 {20480, true, true, 50, "Ok\n", 16384},  // too long: cut
                 {5000, true, false, 0, "Fail\n", 5000},  // no call: kept
                 {5000, true, true, 50, "Fail\n", 8192},  // former, rounded
                 {0, true, true, 50, "Fail\n", 0},
                 {5000, true, true, 112, "EInOutError: I/O error 112", 5000},
                 {5000, false, true, 50, "Ok\n", 16384}};  // plain extension
  for (const auto& [size, nt, call, refusal, result, after] : cases) {
    FakePlatform fake;
    fake.console = true;
    fake.nt_family = nt;
    fake.valid_data_call = call;
    fake.Fail("ReserveSpace", 0, refusal);
    fake.SetFile("t", std::string(size, 'a'));
    FileChannel target(fake);
    target.Assign("t");
    target.OpenOrCreate(FileChannel::Sharing::kShared);
    report::ConsoleOut out(fake, "\n");
    const std::string raised =
        Raised([&] { PreallocateTarget(fake, out, target, 4096, 16384); });
    EXPECT_EQ(fake.Out() + raised,
              result.empty() ? "" : "Target File Preallocation..." + result);
    const std::size_t kept = std::min(size, after);
    EXPECT_TRUE(fake.File("t") ==
                std::string(kept, 'a') + std::string(after - kept, 0))
        << size << ' ' << refusal;
  }
}

// Everything a started writer refers to. Its thread never ends, so a rig
// is never freed; the list keeps it reachable for the leak checker.
struct Rig {
  static Rig& New(std::uint32_t block) {
    static std::vector<Rig*> rigs;
    return *rigs.emplace_back(new Rig(block));
  }
  explicit Rig(std::uint32_t block) : storage(2 * block) {
    target.Assign("t");
    target.OpenOrCreate(FileChannel::Sharing::kExclusive);
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
  Rig& rig = Rig::New(16);
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
  EXPECT_TRUE(rig.fake.File("t") == expected);
}

TEST(BackgroundWriter, FailedWriteEndsTheProcessWithTheUnhandledReport) {
  const struct {
    std::uint32_t code, limit;
    const char* throws;
    const char* report;
  } cases[] = {
      {0, 2048, "",
       "Exception Exception in module ferrux at (?!00000000)[0-9A-F]{8}\\.\n"
       "Not all bytes written: 2048\\.\n"},
      {112, 4096, "",
       "Exception EInOutError in module ferrux at [0-9A-F]{8}\\.\n"
       "I/O error 112\\.\n"},
      {0, 4096, "WriteFile",
       "Exception std::length_error in module ferrux at 00000000\\.\n"
       "fake WriteFile\\.\n"},
  };
  for (const auto& c : cases) {
    Rig& rig = Rig::New(4096);
    rig.fake.Fail("WriteFile", 1, c.code, "t", c.limit);
    rig.fake.throw_on = c.throws;
    rig.writer.HandOff();
    EXPECT_EQ(rig.fake.WaitForExit(), 1);
    EXPECT_TRUE(std::regex_match(rig.fake.Out(), std::regex(c.report)))
        << rig.fake.Out();
  }
}

}  // namespace
}  // namespace ferrux::engine
