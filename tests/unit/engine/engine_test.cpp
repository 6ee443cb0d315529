// Failure messages and classes, block rounding, and the background
// writer's hand-off on the build's own platform (also under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "engine/background_writer.h"
#include "engine/preallocation.h"
#include "os/native_platform.h"
#include "support/raised.h"

namespace ferrux::engine {
namespace {

using testing::Raised;

TEST(Failures, MessagesAndClasses) {
  std::string texts;
  for (const std::uint32_t code : {2u, 3u, 4u, 5u, 100u, 101u, 87u}) {
    texts += IoMessage(code) + "|";
  }
  EXPECT_EQ(texts,
            "File not found|Invalid filename|Too many open files|File access "
            "denied|Read beyond end of file|Disk full|I/O error 87|");
  // Trailing blanks, control characters and full stops are trimmed.
  EXPECT_EQ(Win32Message(5, "Access is denied. \r\n"),
            "Win32 Error.  Code: 5.\nAccess is denied");
  EXPECT_EQ(Win32Message(1, "v1.0 ok\t.. "), "Win32 Error.  Code: 1.\nv1.0 ok");
  // Anything else that is thrown is reported under its type's name.
  EXPECT_EQ(Raised([] { throw std::length_error("too long"); }),
            "std::length_error: too long");
  EXPECT_EQ(Raised([] { throw std::bad_alloc(); }),
            "EOutOfMemory: Out of memory");
  for (const auto& [value, multiple] :
       {std::pair<std::int64_t, std::int64_t>{0, 0},
        {4096, 4096},
        {4097, 8192}}) {
    EXPECT_EQ(RoundUpToMultiple(value, 4096), multiple) << value;
  }
}

// Thousands of tiny blocks, each different, through the two buffers: they
// reach the file in order and intact, however the threads interleave. The
// writer is never stopped, so what it refers to lives on.
TEST(BackgroundWriter, BlocksArriveInOrderAndIntact) {
  static const std::unique_ptr<os::Platform> platform =
      os::CreateNativePlatform();
  static report::ConsoleOut console(*platform, "\n");
  static FileChannel target(*platform);
  static BackgroundWriter writer(*platform, console, "/");
  static char storage[2][16];
  static void* slots[2] = {storage[0], storage[1]};
  const std::string name =
      (std::filesystem::path(::testing::TempDir()) / "writer.bin").string();
  std::filesystem::remove(name);
  target.Assign(name);
  target.OpenOrCreate(FileChannel::Sharing::kShared);
  writer.Start(target, slots, 16);
  writer.WaitIdle();  // nothing handed off yet: returns at once
  std::string expected;
  for (int k = 0; k < 3000; ++k) {
    for (int i = 0; i < 16; ++i) storage[k % 2][i] = char(k * 31 + i);
    expected.append(storage[k % 2], 16);
    writer.HandOff();
  }
  writer.WaitIdle();
  std::ifstream written(name, std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) ==
              expected);
}

}  // namespace
}  // namespace ferrux::engine
