// The system's error texts, which failures a retry may cure, and the
// background writer's hand-off on the build's own platform (also under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/background_writer.h"
#include "engine/failure.h"
#include "engine/retriable.h"
#include "os/native_platform.h"

namespace ferrux::engine {
namespace {

// The system's description loses its trailing blanks, control characters
// and full stops (a Windows message ends in ".\r\n").
TEST(Failures, SystemDescriptionsTrimmed) {
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(1, "v1.0 ok\t.. "), "Win32 Error.  Code: 1.\nv1.0 ok");
}

// Waiting may cure a share gone, an I/O error, a time-out or a full
// volume, and a retry that found the share not back; never a missing name,
// refused access, another run's hold, a bad request, a damaged size file or
// a failure of the writer that is none of the former.
TEST(Failures, RetriableOnlyWhereWaitingMayCure) {
  const auto raised = [](auto raise) {
    try {
      raise();
    } catch (...) {
      return CurrentFailureRetriable();
    }
    return false;
  };
  const auto io = [](std::uint32_t code) { CheckIO(code); };
  const auto writer = [](std::exception_ptr inner) {
    throw WriterFailed{inner};
  };
  const std::exception_ptr full =
      std::make_exception_ptr(EInOutError(112, nullptr));
  for (const std::uint32_t code : {64u, 101u, 112u, 121u, 1117u, 1231u}) {
    EXPECT_TRUE(raised([&] { io(code); })) << code;
    EXPECT_TRUE(IsRetriableCode(code)) << code;
  }
  for (const std::uint32_t code : {2u, 3u, 5u, 8u, 32u, 87u, 183u, 206u}) {
    EXPECT_FALSE(raised([&] { io(code); })) << code;
  }
  EXPECT_TRUE(raised([] {
    RaiseException("Target Folder not on its first file system",
                   Cure::kWaiting);
  }));
  EXPECT_TRUE(raised([&] { writer(full); }));
  EXPECT_FALSE(raised([] { RaiseException("Strange Counter Size"); }));
  EXPECT_FALSE(raised([] { throw std::bad_alloc(); }));
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
