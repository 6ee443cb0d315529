// The system's error texts, and the background writer's hand-off on the
// build's own platform (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/background_writer.h"
#include "engine/failure.h"
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

// Thousands of tiny blocks, each different, through the two buffers: they
// reach the file in order and intact, however the threads interleave.
// After the last one the writer touches only its events, which live on:
// the writer object itself may go (under the sanitizers a touch shows).
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
  writer->Start(target, slots, 16);
  writer->WaitIdle();  // nothing handed off yet: returns at once
  std::string expected;
  for (int k = 0; k < 3000; ++k) {
    for (int i = 0; i < 16; ++i) storage[k % 2][i] = char(k * 31 + i);
    expected.append(storage[k % 2], 16);
    writer->HandOff();
  }
  writer->WaitIdle();
  writer.reset();
  std::ifstream written(name, std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) ==
              expected);
}

}  // namespace
}  // namespace ferrux::engine
