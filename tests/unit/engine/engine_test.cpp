// Failure messages, the file channel, transfer buffers and preallocation.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/failure.h"
#include "engine/file_channel.h"
#include "engine/preallocation.h"
#include "engine/transfer_buffer.h"
#include "support/fake_platform.h"

namespace ferrux::engine {
namespace {

using testing::FakePlatform;

// The code of the EInOutError that `action` raises, or 0.
template <class Action>
std::uint32_t IoCode(Action action) {
  try {
    action();
  } catch (const EInOutError& failure) {
    return failure.code();
  }
  return 0;
}

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
      {32, "I/O error 32"},
  };
  for (const auto& [code, text] : io) EXPECT_EQ(IoMessage(code), text);
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(87, "Bad... .\t"), "Win32 Error.  Code: 87.\nBad");
  EXPECT_EQ(Win32Message(1, "v1.0 ok"), "Win32 Error.  Code: 1.\nv1.0 ok");
  EXPECT_EQ(Win32Message(2, " .\n"), "Win32 Error.  Code: 2.\n");
}

TEST(FileChannel, ModesAllowOnlyTheirOperations) {
  FakePlatform fake;
  fake.SetFile("f", "abc");
  FileChannel channel(fake);
  char buffer[4];
  channel.Assign("f");
  EXPECT_EQ(IoCode([&] { channel.ReadBlock(buffer, 4); }), 103u);
  EXPECT_EQ(IoCode([&] { channel.WriteBlock(buffer, 4); }), 103u);
  EXPECT_EQ(IoCode([&] { channel.TruncateHere(); }), 103u);
  EXPECT_EQ(IoCode([&] { channel.Close(); }), 103u);
  channel.Open(ChannelMode::kReadOnly);
  EXPECT_EQ(IoCode([&] { channel.WriteBlock("x", 1); }), 103u);
  EXPECT_EQ(IoCode([&] { channel.WriteBlockCounted("x", 1); }), 103u);
  EXPECT_EQ(channel.ReadBlock(buffer, 4), 3u);
  EXPECT_EQ(channel.ReadBlock(buffer, 4), 0u);
  channel.Close();
  EXPECT_EQ(IoCode([&] { channel.Close(); }), 103u);
  EXPECT_EQ(fake.File("f"), "abc");

  FileChannel missing(fake);
  missing.Assign("nowhere");
  EXPECT_EQ(IoCode([&] { missing.Open(ChannelMode::kReadOnly); }), 2u);
  EXPECT_EQ(missing.mode(), ChannelMode::kClosed);
}

TEST(FileChannel, ShortWriteIsDiskFullUnlessTheCountIsAskedFor) {
  FakePlatform fake;
  fake.Short("WriteFile", 0, 2);
  FileChannel channel(fake);
  channel.Assign("f");
  channel.Create();
  EXPECT_EQ(channel.WriteBlockCounted("abcd", 4), 2u);
  EXPECT_EQ(IoCode([&] { channel.WriteBlock("abcd", 4); }), kIoShortWrite);
}

TEST(FileChannel, OpenOrCreateKeepsWhatExistsAndReportsOnlyTheCreation) {
  FakePlatform fake;
  fake.SetFile("old", "data");
  fake.SetFile("busy", "data");
  fake.Fail("OpenFile", 1, 5, "busy");
  fake.Fail("OpenFile", 2, 32, "busy");
  FileChannel old_file(fake), new_file(fake), busy(fake);
  old_file.Assign("old");
  old_file.OpenOrCreate();
  new_file.Assign("new");
  new_file.OpenOrCreate();
  busy.Assign("busy");
  EXPECT_EQ(IoCode([&] { busy.OpenOrCreate(); }), 32u);
  EXPECT_EQ(busy.mode(), ChannelMode::kClosed);
  EXPECT_EQ(old_file.Size64(), 4);
  EXPECT_EQ(old_file.mode(), ChannelMode::kReadWrite);
  EXPECT_EQ(fake.File("new"), "");
  EXPECT_EQ(new_file.mode(), ChannelMode::kReadWrite);
}

TEST(FileChannel, FailedUncachedReopenLeavesTheChannelClosed) {
  FakePlatform fake;
  fake.SetFile("src", "x");
  fake.Fail("OpenFile", 2, 32, "src");
  FileChannel channel(fake);
  channel.Assign("src");
  channel.Open(ChannelMode::kReadOnly);
  try {
    channel.ReopenSourceUncached();
    ADD_FAILURE() << "no failure raised";
  } catch (const EWin32Error& failure) {
    EXPECT_EQ(failure.code(), 32u);
    EXPECT_EQ(failure.message(), "Win32 Error.  Code: 32.\nSystem error 32");
  }
  EXPECT_EQ(channel.mode(), ChannelMode::kClosed);
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
    EXPECT_EQ(fake.lock_limits.maximum, 1048576 + c.growth) << c.faults.size();
  }

  FakePlatform empty;
  empty.Fail("AllocatePages", 1, 8);
  report::ConsoleOut out(empty, "\n");
  try {
    AllocLockedBuffer(empty, out, 16777216);
    ADD_FAILURE() << "no failure raised";
  } catch (const Exception& failure) {
    EXPECT_EQ(failure.message(), "No memory: 16777216");
  }
}

TEST(Preallocation, RoundUpToMultiple) {
  const std::int64_t cases[][3] = {
      {0, 4096, 0},
      {1, 4096, 4096},
      {4096, 4096, 4096},
      {4097, 4096, 8192},
      {5000, 4096, 8192},
      {-1, 4096, 0},
      {(1LL << 32) + 1, 1 << 24, (1LL << 32) + (1 << 24)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RoundUpToMultiple(c[0], static_cast<std::uint32_t>(c[1])), c[2])
        << c[0];
  }
}

TEST(Preallocation, EveryBranchLeavesTheLengthItPromises) {
  const struct {
    std::size_t size;
    bool nt, call;
    std::uint32_t refusal;  // SetValidData's error code, 0: granted
    const char* result;     // after "Target File Preallocation..."
    std::size_t after;
    std::uint32_t failure;
  } cases[] = {
      {16384, true, true, 0, nullptr, 16384, 0},  // already right: silent
      {0, true, true, 0, "Ok\n", 16384, 0},
      {20480, true, true, 50, "Ok\n", 16384, 0},  // too long: cut
      {5000, true, false, 0, "Fail\n", 5000, 0},  // no call: untouched
      {5000, true, true, 50, "Fail\n", 8192, 0},  // refused: former, rounded
      {0, true, true, 50, "Fail\n", 0, 0},
      {5000, true, true, 112, "", 8192, 112},     // no room: raised
      {5000, false, true, 50, "Ok\n", 16384, 0},  // not NT: plain extension
  };
  for (const auto& c : cases) {
    FakePlatform fake;
    fake.console = true;
    fake.nt_family = c.nt;
    fake.valid_data_call = c.call;
    if (c.refusal != 0) fake.Fail("SetValidData", 0, c.refusal);
    fake.SetFile("t", std::string(c.size, 'a'));
    FileChannel target(fake);
    target.Assign("t");
    target.Open(ChannelMode::kReadWrite);
    report::ConsoleOut out(fake, "\n");
    EXPECT_EQ(
        IoCode([&] { PreallocateTarget(fake, out, target, 4096, 16384); }),
        c.failure);
    const std::string expected_out =
        c.result ? std::string("Target File Preallocation...") + c.result : "";
    EXPECT_EQ(fake.Out(), expected_out) << c.size << ' ' << c.refusal;
    const std::string data = fake.File("t").value_or("");
    EXPECT_EQ(data.size(), c.after) << c.size << ' ' << c.refusal;
    const std::size_t kept = std::min(c.size, c.after);
    EXPECT_EQ(data.substr(0, kept), std::string(kept, 'a'));
  }
}

}  // namespace
}  // namespace ferrux::engine
