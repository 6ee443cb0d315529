// Resuming from a temporary file and a size file planted as an earlier,
// interrupted run would have left them.
#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

constexpr std::int64_t kSize = 5 * 4096 + 100;

struct Planted {
  std::int64_t valid;       // leading bytes of the temporary file that
                            // equal the source
  std::int64_t tmp_length;  // the rest up to this length is junk
  std::string size_file;    // bytes of the size file
};

class ResumeFixture : public E2eTest {
 protected:
  // Plants the source and the state; returns the temporary file's bytes.
  std::string Plant(const Planted& p) {
    const std::string source = PutSource("s.bin", kSize);
    std::string tmp = source.substr(0, static_cast<std::size_t>(p.valid));
    tmp += Bytes(static_cast<std::size_t>(p.tmp_length) - tmp.size(), 7);
    Put("dest/s.bin.tmp", tmp);
    Put("dest/s.bin.size", p.size_file);
    return tmp;
  }
};

struct ResumeCase : Labelled {
  Planted planted;
  std::vector<std::string> arguments;
  std::int64_t block;
  std::int64_t from;  // where the copy goes on
};

class ResumeTest : public ResumeFixture,
                   public testing::WithParamInterface<ResumeCase> {};

// Junk after the stored count is overwritten or cut; the size file is
// deleted at the end, except with "/O", which neither reads nor deletes it.
TEST_P(ResumeTest, CompletesFromStoredCount) {
  const ResumeCase& c = GetParam();
  Plant(c.planted);
  const Outcome run = Execute(c.arguments);
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output, CopyLines("s.bin", kSize, c.block, c.from,
                                     c.planted.tmp_length));
  const bool ordinary = c.arguments[0] == "/O";
  ExpectCompleteCopy("s.bin", ordinary ? std::optional(c.planted.size_file)
                                       : std::nullopt);
}

const std::vector<std::string> kBlock4096{"s.bin", "dest", "4096"};

INSTANTIATE_TEST_SUITE_P(
    States, ResumeTest,
    testing::Values(
        ResumeCase{"StoredCount", {8192, 10000, LittleEndian(8192)},
                   kBlock4096, 4096, 8192},
        ResumeCase{"LongSizeFile",
                   {8192, 8192, LittleEndian(8192) + "ignored!"},
                   kBlock4096, 4096, 8192},
        ResumeCase{"OtherBlockSize", {12288, 12288, LittleEndian(12288)},
                   {"s.bin", "dest", "8192"}, 8192, 12288},
        ResumeCase{"CountIsSourceSize",
                   {kSize, kSize + 500, LittleEndian(kSize)}, kBlock4096,
                   4096, kSize},
        ResumeCase{"RemainderBelowBlock",
                   {20480, 23000, LittleEndian(20480)}, kBlock4096, 4096,
                   20480},
        ResumeCase{"EmptySizeFile", {0, 30000, ""}, kBlock4096, 4096, 0},
        ResumeCase{"OrdinaryCopyIgnoresState",
                   {8192, kSize + 10000, "\x01\x02\x03"},
                   {"/O", "s.bin", "dest", "4096"}, 4096, 0}),
    LabelName());

struct RefusedCase : Labelled {
  Planted planted;
  Lines report;  // after the source line
};

class RefusedResumeTest : public ResumeFixture,
                          public testing::WithParamInterface<RefusedCase> {
};

// The program repairs nothing: both files stay as they were.
TEST_P(RefusedResumeTest, LeavesStateUntouched) {
  const RefusedCase& c = GetParam();
  const std::string tmp = Plant(c.planted);
  const Outcome run = Execute(kBlock4096);
  EXPECT_EQ(run.exit_status, 1);
  Lines expected{SourceLine("s.bin")};
  expected.insert(expected.end(), c.report.begin(), c.report.end());
  ExpectOutput(run.output, expected);
  EXPECT_EQ(Get("dest/s.bin.tmp"), tmp);
  EXPECT_EQ(Get("dest/s.bin.size"), c.planted.size_file);
  EXPECT_FALSE(fs::exists(Path("dest/s.bin")));
}

// The code and the system's description of it differ between systems;
// the message holds a line feed of its own, a line end only on POSIX.
Lines SeekRefused(std::int64_t rest) {
  Lines report{"Rest of copy " + std::to_string(rest),
               "Seek Source...Exception EWin32Error"};
#ifdef _WIN32
  report.push_back(Pattern(R"(Win32 Error\.  Code: \d+\.\n.*[^.\s])"));
#else
  report.insert(report.end(), {Pattern(R"(Win32 Error\.  Code: \d+\.)"),
                               Pattern(R"(.*[^.\s])")});
#endif
  return report;
}

Lines Refusal(const char* message) { return {"Exception Exception", message}; }

INSTANTIATE_TEST_SUITE_P(
    States, RefusedResumeTest,
    testing::Values(
        RefusedCase{"ShortSizeFile", {8192, 8192, "\x01\x20\x03"},
                    Refusal("Strange Counter Size")},
        RefusedCase{"CountBeyondTmp", {4096, 4096, LittleEndian(8192)},
                    Refusal("Counter Size More Then Tmp File Size")},
        RefusedCase{"CountBeyondSource",
                    {kSize, kSize + 8192, LittleEndian(kSize + 4096)},
                    Refusal("Counter Size More Then Src File Size")},
        RefusedCase{"CountBeyondBothNamesTmp",
                    {4096, 4096, LittleEndian(kSize + 4096)},
                    Refusal("Counter Size More Then Tmp File Size")},
        // The temporary file already has the length preallocation would
        // give it, so only the refused seek can show.
        RefusedCase{"NegativeCount",
                    {kSize, 24576, LittleEndian(-4096)},
                    SeekRefused(kSize + 4096)}),
    LabelName());

}  // namespace
}  // namespace ferrux::test
