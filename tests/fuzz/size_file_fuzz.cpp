// Fuzz target: reading and validating a size file of any contents against
// temporary and source files of any size. It either yields the stored count
// or one of the three reports, and never changes a file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "resume/size_file.h"
#include "support/fake_platform.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace ferrux;
  if (size < 4) return 0;
  // Two small lengths from the first bytes, the size file from the rest.
  const std::int64_t temp_size = data[0] | (data[1] << 8);
  const std::int64_t source_size = data[2] | (data[3] << 8);
  const std::string contents(reinterpret_cast<const char*>(data) + 4, size - 4);

  testing::FakePlatform fake;
  fake.SetFile("t.tmp", std::string(static_cast<std::size_t>(temp_size), 'x'));
  fake.SetFile("t.size", contents);
  report::ConsoleOut console(fake, "\n");
  engine::FileChannel target(fake);
  target.Assign("t.tmp");
  target.Open(engine::ChannelMode::kReadWrite);
  resume::SizeFile size_file(fake);

  std::string expected;
  std::int64_t count = 0;
  if (contents.size() >= 8) {
    for (int i = 7; i >= 0; --i) {
      count = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(count) << 8) |
          static_cast<unsigned char>(contents[static_cast<std::size_t>(i)]));
    }
  }
  if (!contents.empty() && contents.size() < 8) {
    expected = "Exception: Strange Counter Size";
  } else if (count > temp_size) {
    expected = "Exception: Counter Size More Then Tmp File Size";
  } else if (count > source_size) {
    expected = "Exception: Counter Size More Then Src File Size";
  }
  std::int64_t got = -1;
  const std::string raised = testing::Raised(
      [&] { got = size_file.Open("t.size", target, source_size, console); });
  Check(raised == expected);
  Check(!expected.empty() || got == count);
  Check(fake.File("t.size") == contents);
  Check(fake.File("t.tmp")->size() == static_cast<std::size_t>(temp_size));
  return 0;
}
