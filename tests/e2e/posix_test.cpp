// What only a POSIX system shows: planted symbolic links, owner-only
// temporary files, unusable standard output, and files beyond 4 GiB.
#ifndef _WIN32

#include <sys/stat.h>

#include <fstream>

#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

using PosixTest = E2eTest;

// Whoever can write the destination folder must not be able to redirect
// the copy or the count onto another file, existing or not.
TEST_F(PosixTest, PlantedLinksAreNotFollowed) {
  const struct {
    const char* name;
    const char* suffix;
    bool victim_exists;
  } cases[] = {{"a.bin", ".tmp", true},
               {"b.bin", ".size", true},
               {"c.bin", ".tmp", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + c.suffix);
    PutSource(c.name, 8192);
    const std::string victim = std::string("victim-") + c.name;
    if (c.victim_exists) Put(victim, "precious");
    const fs::path link = Path("dest") / (c.name + std::string(c.suffix));
    fs::create_symlink(Path(victim), link);
    const Outcome run = Execute({c.name, "dest", "4096"});
    EXPECT_EQ(run.exit_status, 1);
    ExpectOutput(run.output, {SourceLine(c.name), "Exception EInOutError",
                              "File access denied"});
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Get(victim), c.victim_exists ? "precious" : "");
    EXPECT_EQ(fs::exists(Path(victim)), c.victim_exists);
    EXPECT_FALSE(fs::exists(Path("dest") / c.name));
  }
}

// The temporary file of an interrupted run holds a private file's data.
TEST_F(PosixTest, TemporaryFileIsOwnerOnly) {
  const mode_t previous = ::umask(022);
  PutSource("s.bin", 8192);
  Put("dest/s.bin.size", LittleEndian(4096));  // no temporary file to match
  const Outcome run = Execute({"s.bin", "dest", "4096"});
  ::umask(previous);
  EXPECT_EQ(run.exit_status, 1);
  ExpectOutput(run.output, {SourceLine("s.bin"), "Exception Exception",
                            "Counter Size More Then Tmp File Size"});
  EXPECT_EQ(fs::status(Path("dest/s.bin.tmp")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

// Output that cannot be written fails the run, even when the copy itself
// succeeded (redirected output is written at the end). A pipe without a
// reader must not kill the program by a signal either.
TEST_F(PosixTest, UnusableStandardOutputFailsTheRun) {
  PutSource("s.bin", 3000);
  const struct {
    StdoutTo to;
    const char* capture;
    bool copies;  // without standard output nothing is touched
  } cases[] = {{StdoutTo::kClosed, "", false},
               {StdoutTo::kFile, "/dev/full", true},
               {StdoutTo::kBrokenPipe, "", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capture);
    fs::remove_all(Path("dest"));
    fs::create_directory(Path("dest"));
    EXPECT_EQ(
        RunProgram({"s.bin", "dest"}, Path("."), c.capture, c.to).exit_status,
        1);
    EXPECT_EQ(fs::exists(Path("dest/s.bin")), c.copies);
  }
}

// A sparse source with marks across the 2 GiB and 4 GiB boundaries and at
// its end, which lies inside a block.
TEST_F(PosixTest, SlowSourceBeyondFourGiB) {
  constexpr std::int64_t kGiB = std::int64_t{1} << 30;
  constexpr std::int64_t kSize = 4 * kGiB + 5 * 1048576 + 123;
  Put("big.bin", "");
  fs::resize_file(Path("big.bin"), kSize);
  {
    std::fstream big(Path("big.bin"),
                     std::ios::in | std::ios::out | std::ios::binary);
    for (const std::int64_t at :
         {std::int64_t{0}, 2 * kGiB - 50, 4 * kGiB - 50, kSize - 100}) {
      big.seekp(at) << Bytes(100, static_cast<std::uint32_t>(at));
    }
  }
  MarkAsSource(Path("big.bin"));
  const Outcome run = Execute({"big.bin", "dest"});
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output, CopyLines("big.bin", kSize, kDefaultBlock));
  ExpectCompleteCopy("big.bin");
}

}  // namespace
}  // namespace ferrux::test

#endif
