// The system's error texts, and the background writer's hand-off on the
// build's own platform (also under ThreadSanitizer).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/block_pipeline.h"
#include "engine/failure.h"
#include "engine/pacer.h"
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

// Blocks that enter as soon as the pacer lets them, on a clock that moves
// only by the waits: every 10-second window holds the limit's worth of
// bytes within one block, and no window more than one block beyond it,
// also where a block takes longer than the limit allows per second, and
// after a stall whose lost time is not made up.
TEST(Pacer, HoldsTheRateInEveryWindow) {
  const struct {
    std::uint64_t rate, block;
  } cases[] = {{20 << 20, 2 << 20}, {5 << 20, 16 << 20}, {1000, 4096}};
  for (const auto& [rate, block] : cases) {
    Pacer pacer(rate);
    std::uint32_t now = 0xFFFFF000;  // across the tick counter's wrap
    std::vector<std::uint32_t> entered;
    for (int k = 0; k < 200; ++k) {
      now += pacer.Due(now);
      EXPECT_EQ(pacer.Due(now), 0u);
      pacer.Enter(block, now);
      entered.push_back(now);
      if (k == 100) now += 60000;  // a stall of a minute
    }
    const std::uint64_t window = 10000;
    for (std::size_t first = 0; first < entered.size(); ++first) {
      std::uint64_t bytes = 0;
      for (std::size_t k = first;
           k < entered.size() && entered[k] - entered[first] < window; ++k) {
        bytes += block;
      }
      EXPECT_LE(bytes, rate * window / 1000 + block) << rate;
    }
    const std::uint64_t span = entered[99] - entered[0];
    EXPECT_NEAR(double(99 * block) / double(span) * 1000, double(rate),
                double(rate) * 0.01);
  }
  Pacer none;
  EXPECT_EQ(none.Due(5), 0u);
}

}  // namespace
}  // namespace ferrux::engine
