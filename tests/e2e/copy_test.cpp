// Fresh copies: the usage text, one-piece and bulk copies, failures before
// anything is copied, and a final name that is already taken.
#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

using CopyTest = E2eTest;

TEST_F(CopyTest, NoArgumentsPrintsUsageAndTouchesNothing) {
  const Outcome run = Execute({});
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output,
               {std::string(kProgramName) +
                    " [/O] SourceFile [DestinationDir [BufferSize]]",
                " /O - use ordinary copy (without resume file)"});
  EXPECT_EQ(List("."), std::vector<std::string>{"dest"});
  EXPECT_TRUE(List("dest").empty());
}

struct ShortCase : Labelled {
  std::size_t size;
  std::vector<std::string> arguments;  // after the source name
  bool stale_size_file;  // an earlier run's size file lies in dest
};

class ShortCopyTest : public E2eTest,
                      public testing::WithParamInterface<ShortCase> {};

// A source shorter than one block is copied with one read and one write
// and never opens a size file, not even one lying there.
TEST_P(ShortCopyTest, CopiesInOnePiece) {
  const ShortCase& c = GetParam();
  PutSource("s.bin", c.size);
  const std::string stale = "\x01\x02\x03";  // would fail if read
  if (c.stale_size_file) Put("dest/s.bin.size", stale);
  std::vector<std::string> arguments{"s.bin", "dest"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  const Outcome run = Execute(arguments);
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output, CopyLines("s.bin", static_cast<std::int64_t>(c.size),
                                     kDefaultBlock));
  ExpectCompleteCopy("s.bin", c.stale_size_file ? std::optional(stale)
                                                : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ShortCopyTest,
    testing::Values(ShortCase{"BelowDefaultBlock", 3000, {}, false},
                    ShortCase{"Empty", 0, {}, false},
                    ShortCase{"StaleSizeFile", 3000, {}, true},
                    ShortCase{"OneByteBelowBlock", 4095, {"4096"}, true}),
    LabelName());

struct BulkCase : Labelled {
  std::size_t size;
  std::vector<std::string> block_argument;
  std::int64_t block;
};

class BulkCopyTest : public E2eTest,
                     public testing::WithParamInterface<BulkCase> {};

TEST_P(BulkCopyTest, CopiesBlockByBlock) {
  const BulkCase& c = GetParam();
  PutSource("s.bin", c.size);
  std::vector<std::string> arguments{"s.bin", "dest"};
  arguments.insert(arguments.end(), c.block_argument.begin(),
                   c.block_argument.end());
  const Outcome run = Execute(arguments);
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output,
               CopyLines("s.bin", static_cast<std::int64_t>(c.size), c.block));
  ExpectCompleteCopy("s.bin");
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, BulkCopyTest,
    testing::Values(
        BulkCase{"OneBlock", 4096, {"4096"}, 4096},
        BulkCase{"WholeBlocks", 4 * 4096, {"4096"}, 4096},
        BulkCase{"BlocksAndRemainder", 5 * 4096 + 100, {"4096"}, 4096},
        BulkCase{"RoundedDownBlock", 3 * 65536 + 1000, {"100000"}, 65536},
        BulkCase{"DefaultBlock", 2 * 2097152 + 1, {}, kDefaultBlock}),
    LabelName());

struct FailureCase : Labelled {
  std::vector<std::string> arguments;
  Lines report;
};

class FailureTest : public E2eTest,
                    public testing::WithParamInterface<FailureCase> {};

// Nothing is created, and the report follows the source line.
TEST_P(FailureTest, ReportsAndCreatesNothing) {
  const FailureCase& c = GetParam();
  PutSource("s.bin", 3000);
  fs::create_directory(Path("folder"));
  const Outcome run = Execute(c.arguments);
  EXPECT_EQ(run.exit_status, 1);
  Lines expected{SourceLine(c.arguments[0])};
  expected.insert(expected.end(), c.report.begin(), c.report.end());
  ExpectOutput(run.output, expected);
  EXPECT_EQ(List("."), (std::vector<std::string>{"dest", "folder", "s.bin"}));
  EXPECT_TRUE(List("dest").empty());
}

Lines IoReport(const char* message) {
  return {"Exception EInOutError", message};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    testing::Values(
        FailureCase{"MissingSource", {"missing.bin", "dest"},
                    IoReport("File not found")},
        FailureCase{"MissingSourceFolder", {"nowhere/s.bin", "dest"},
                    IoReport("Invalid filename")},
        FailureCase{"MissingDestination", {"s.bin", "nowhere"},
                    IoReport("Invalid filename")},
        FailureCase{"SourceIsFolder", {"folder", "dest"},
                    IoReport("File access denied")},
        FailureCase{"SourceNameTooLong",
                    {std::string(kMaxName + 1, 'n'), "dest"},
                    {"Exception Exception", "File name too long"}},
        // Only the temporary name, four characters longer than the final
        // one, is over the limit.
        FailureCase{"TemporaryNameTooLong",
                    {"s.bin", std::string(kMaxName - 8, 'd')},
                    {"Exception Exception", "File name too long"}}),
    LabelName());

// The complete copy stays under the temporary name, with the source's
// time; the size file of a bulk copy is already gone.
TEST_F(CopyTest, TakenFinalNameIsNeverReplaced) {
  for (const auto& [name, size, block] :
       {std::tuple{"short.bin", std::int64_t{3000}, kDefaultBlock},
        std::tuple{"bulk.bin", std::int64_t{5 * 4096 + 100},
                   std::int64_t{4096}}}) {
    SCOPED_TRACE(name);
    const std::string source =
        PutSource(name, static_cast<std::size_t>(size));
    Put(std::string("dest/") + name, "taken");
    const Outcome run = Execute({name, "dest", std::to_string(block)});
    EXPECT_EQ(run.exit_status, 1);
    Lines expected = CopyLines(name, size, block);
    expected.emplace_back(
        "Temporary Target File not renamed, see file with .tmp extension");
    ExpectOutput(run.output, expected);
    EXPECT_EQ(Get(std::string("dest/") + name), "taken");
    const fs::path tmp = Path("dest") / (std::string(name) + ".tmp");
    EXPECT_EQ(Get(tmp), source);
    EXPECT_EQ(fs::last_write_time(tmp), fs::last_write_time(Path(name)));
    EXPECT_FALSE(fs::exists(Path("dest") / (std::string(name) + ".size")));
  }
}

}  // namespace
}  // namespace ferrux::test
