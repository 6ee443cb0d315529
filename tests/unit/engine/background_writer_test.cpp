// The writer hand-off with a real thread (meant to run under
// ThreadSanitizer too), and the writer's own way out on a failed write.
#include "engine/background_writer.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>

#include "support/fake_platform.h"

namespace ferrux::engine {
namespace {

using testing::FakePlatform;

// Everything a started writer refers to. Its thread is never stopped, so a
// rig is never freed; the list keeps it reachable for the leak checker.
struct Rig {
  static Rig& Start(std::uint32_t block,
                    const std::function<void(FakePlatform&)>& setup) {
    static std::vector<Rig*> rigs;
    rigs.push_back(new Rig(block, setup));
    return *rigs.back();
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
  constexpr std::uint32_t kBlock = 16;
  Rig& rig = Rig::Start(kBlock, [](FakePlatform&) {});
  rig.writer.WaitIdle();  // nothing handed off yet: returns at once
  rig.writer.WaitIdle();
  std::string expected;
  for (int k = 0; k < 3000; ++k) {
    auto* slot = static_cast<char*>(rig.slots[k % 2]);
    for (std::uint32_t i = 0; i < kBlock; ++i) {
      slot[i] = static_cast<char>(k * 31 + static_cast<int>(i));
    }
    expected.append(slot, kBlock);
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
