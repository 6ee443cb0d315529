// The system's error texts, which failures a retry may cure (in runs on the
// in-memory platform), and the background writer's hand-off on the build's
// own platform (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/background_writer.h"
#include "engine/failure.h"
#include "os/native_platform.h"
#include "support/fake_platform.h"

namespace ferrux::engine {
namespace {

// The system's description loses its trailing blanks, control characters
// and full stops (a Windows message ends in ".\r\n").
TEST(Failures, SystemDescriptionsTrimmed) {
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(1, "v1.0 ok\t.. "), "Win32 Error.  Code: 1.\nv1.0 ok");
}

// Which failures a retry takes up, each raised where a run raises it: a
// write cut short (the channel's own, the writer's), an I/O error or a
// share gone, but neither refused access nor another run's hold. A
// checkpoint follows every block of the three.
TEST(Failures, RetriedWhereWaitingMayCure) {
  using testing::FakePlatform;
  const auto another_run_holds = [](FakePlatform& f) {
    (void)f.OpenFile("a.bin.tmp", os::OpenMode::kReadWriteExclusive);
  };
  const struct {
    FakePlatform::Step fault;
    bool retried;
  } cases[] = {{{"WriteFile", 1, FakePlatform::kShort, ".size"}, true},
               {{"WriteFile", 2, FakePlatform::kShort, ".tmp"}, true},
               {{"FlushFile", 1, 1117, ".tmp"}, true},
               {{"ReadFile", 2, 64, "src/"}, true},
               {{"OpenFile", 1, os::kErrorAccessDenied, ".tmp"}, false},
               {{"OpenFile", 1, 0, ".tmp", false, another_run_holds}, false}};
  for (const auto& [fault, retried] : cases) {
    FakePlatform f;
    f.Put("src", {}, os::FileKind::kDirectory);
    f.Put("src/a.bin", std::string(3 * 4096, 'a'));
    f.read_ms = 20000;  // past the checkpoint interval
    f.script = {fault};
    const testing::Outcome run =
        testing::RunInProcess(f, {"/R:1", "/W:0", "src/a.bin", "", "4096"});
    EXPECT_EQ(run.output.find("\nRetry 1 of 1 in 0 s\n") != run.output.npos,
              retried)
        << fault.call << " " << fault.on << "\n"
        << run.output;
    EXPECT_EQ(run.status, retried ? 0 : 1) << fault.call;
  }
}

// Thousands of tiny blocks, each different, through the two buffers: they
// reach the file in order and intact, however the threads interleave. The
// writer's end stops and joins its thread (under the sanitizers a touch of
// the object after that shows).
TEST(BackgroundWriter, BlocksArriveInOrderAndIntact) {
  static const std::unique_ptr<os::Platform> platform =
      os::CreateNativePlatform();
  static report::ConsoleOut console(*platform, "\n");
  static FileChannel target(*platform, "Temporary Target File");
  static char storage[2][16];
  static void* slots[2] = {storage[0], storage[1]};
  const std::string name =
      (std::filesystem::path(::testing::TempDir()) / "writer.bin").string();
  std::filesystem::remove(name);
  target.Assign(name);
  target.OpenOrCreate(FileChannel::Sharing::kShared);
  auto writer = std::make_unique<BackgroundWriter>(*platform, console, "/");
  writer->Start(target, slots, 16, OnWriterFailure::kEndProcess);
  writer->WaitIdle();  // nothing handed off yet: returns at once
  std::string expected;
  for (int k = 0; k < 3000; ++k) {
    for (int i = 0; i < 16; ++i) storage[k % 2][i] = char(k * 31 + i);
    expected.append(storage[k % 2], 16);
    writer->HandOff();
  }
  writer.reset();
  std::ifstream written(name, std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) ==
              expected);
}

// Where a retry may follow, a failed write is handed back: every later
// wait of the main thread raises it, and the writer can still be stopped.
TEST(BackgroundWriter, FailedWriteHandedBack) {
  const std::unique_ptr<os::Platform> platform = os::CreateNativePlatform();
  report::ConsoleOut console(*platform, "\n");
  FileChannel target(*platform, "Temporary Target File");
  const std::string name =
      (std::filesystem::path(::testing::TempDir()) / "read-only.bin").string();
  std::ofstream(name).put('x');
  target.Assign(name);
  target.Open();  // for reading only: every write fails
  char storage[2][16] = {};
  void* slots[2] = {storage[0], storage[1]};
  BackgroundWriter writer(*platform, console, "/");
  writer.Start(target, slots, 16, OnWriterFailure::kHandBack);
  writer.HandOff();
  EXPECT_THROW(writer.WaitIdle(), WriterFailed);
  EXPECT_THROW(writer.HandOff(), WriterFailed);
}

}  // namespace
}  // namespace ferrux::engine
