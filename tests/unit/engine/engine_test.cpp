// The system's error texts, which failures a retry may cure, and the
// background writer's hand-off on the build's own platform (also under
// ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/block_pipeline.h"
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

// Thousands of blocks, each different, through four buffers: read in
// order, written behind at their offsets by the writer, they reach the
// target intact however the threads interleave, and the written prefix
// the pipeline reports never passes what was handed over. The pipeline's
// end stops and joins its thread (under the sanitizers a touch of the
// object after that shows).
TEST(BlockPipeline, BlocksArriveInOrderAndIntact) {
  const std::unique_ptr<os::Platform> platform = os::CreateNativePlatform();
  report::ConsoleOut console(*platform, "\n");
  FileChannel source(*platform, "Source File");
  FileChannel target(*platform, "Temporary Target File");
  const std::filesystem::path folder(::testing::TempDir());
  constexpr std::uint32_t kBlock = 4096;
  std::string expected;
  for (int k = 0; k < 3000 * int{kBlock} + 100; ++k) {
    expected.push_back(char(k * 31 + k / 4096));
  }
  std::ofstream((folder / "pipe-in.bin").string(), std::ios::binary)
      << expected;
  std::filesystem::remove(folder / "pipe-out.bin");
  source.Assign((folder / "pipe-in.bin").string());
  source.Open();
  target.Assign((folder / "pipe-out.bin").string());
  target.OpenOrCreate(FileChannel::Sharing::kShared);
  const auto size = static_cast<std::int64_t>(expected.size());
  {
    BlockPipeline pipeline(*platform, console, "/");
    pipeline.TakeBuffers(4, kBlock);
    pipeline.StartWriter(target, 0, OnWriterFailure::kEndProcess);
    pipeline.StartReading(source, 0, size);
    for (std::int64_t handed = 0; handed < size;) {
      const Block block = pipeline.NextRead();
      ASSERT_EQ(block.offset, handed);
      pipeline.Write(block, block.length);
      handed += block.length;
      EXPECT_LE(pipeline.WrittenEnd(), handed);
    }
    pipeline.Drain();
    EXPECT_EQ(pipeline.WrittenEnd(), size);
  }
  target.Close();
  std::ifstream written((folder / "pipe-out.bin").string(), std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(written), {}) ==
              expected);
}

// Where a retry may follow, a failed write is handed back: every later
// wait of the main thread raises it, and the pipeline still ends.
TEST(BlockPipeline, FailedWriteHandedBack) {
  const std::unique_ptr<os::Platform> platform = os::CreateNativePlatform();
  report::ConsoleOut console(*platform, "\n");
  FileChannel target(*platform, "Temporary Target File");
  const std::string name =
      (std::filesystem::path(::testing::TempDir()) / "read-only.bin").string();
  std::ofstream(name).put('x');
  target.Assign(name);
  target.Open();  // for reading only: every write fails
  BlockPipeline pipeline(*platform, console, "/");
  pipeline.TakeBuffers(2, 4096);
  pipeline.StartWriter(target, 0, OnWriterFailure::kHandBack);
  pipeline.Write({0, 16, 0, pipeline.Buffer(0)}, 16);
  EXPECT_THROW(pipeline.Drain(), WriterFailed);
  EXPECT_THROW(pipeline.Write({16, 16, 1, pipeline.Buffer(1)}, 16),
               WriterFailed);
}

}  // namespace
}  // namespace ferrux::engine
