// Copies that complete: fresh and resumed, in one piece and block by block;
// the usage text; and a final name that is already taken.
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

struct CopyCase : Labelled {
  std::int64_t size;
  const char* block_argument;  // "" for none
  std::int64_t block;          // the block the program must use
  std::optional<Planted> planted;
  std::int64_t from;  // where the copy goes on
  bool ordinary;      // "/O"
};

class FullCopyTest : public E2eTest,
                     public testing::WithParamInterface<CopyCase> {};

// Junk after a stored count is overwritten or cut off. A size file is
// deleted at the end, unless the run neither reads nor deletes it: with
// "/O", and when the source is shorter than one block.
TEST_P(FullCopyTest, CopiesCompletely) {
  const CopyCase& c = GetParam();
  const std::string source =
      PutSource("s.bin", static_cast<std::size_t>(c.size));
  if (c.planted) Plant(source, *c.planted);
  // No second separator is added; on Windows the quoted "dest\" stays one
  // argument, as the program knows no escape character.
  std::vector<std::string> arguments{"s.bin", std::string("dest") + kSeparator};
  if (c.ordinary) arguments.insert(arguments.begin(), "/O");
  if (*c.block_argument != '\0') arguments.emplace_back(c.block_argument);
  const Outcome run = Execute(arguments);
  EXPECT_EQ(run.exit_status, 0);
  ExpectOutput(run.output, CopyLines("s.bin", c.size, c.block, c.from,
                                     c.planted ? c.planted->tmp_length : 0));
  const bool untouched = c.planted && (c.ordinary || c.size < c.block);
  ExpectCompleteCopy(
      "s.bin", untouched ? std::optional(c.planted->size_file) : std::nullopt);
}

// The size file that an earlier run with a smaller block may leave; it is
// refused when read.
const Planted kStale{0, 0, "\x01\x02\x03"};

CopyCase Fresh(const char* label, std::int64_t size, const char* argument,
               std::int64_t block, std::optional<Planted> planted = {}) {
  return {{label}, size, argument, block, std::move(planted), 0, false};
}

constexpr std::int64_t kSize = 5 * 4096 + 100;

CopyCase Resume(const char* label, std::int64_t valid, std::int64_t length,
                std::string size_file, std::int64_t from,
                const char* block = "4096", bool ordinary = false) {
  return {{label},
          kSize,
          block,
          std::stoll(block),
          Planted{valid, length, std::move(size_file)},
          from,
          ordinary};
}

INSTANTIATE_TEST_SUITE_P(
    Fresh, FullCopyTest,
    testing::Values(Fresh("Empty", 0, "", kDefaultBlock, kStale),
                    Fresh("BelowBlock", 3000, "", kDefaultBlock, kStale),
                    Fresh("OneByteBelowBlock", 4095, "4096", 4096, kStale),
                    Fresh("OneBlock", 4096, "4096", 4096),
                    Fresh("WholeBlocks", 4 * 4096, "4096", 4096),
                    Fresh("BlocksAndRemainder", 5 * 4096 + 100, "4096", 4096),
                    Fresh("RoundedDownBlock", 3 * 65536 + 1000, "100000",
                          65536),
                    Fresh("DefaultBlock", 2 * 2097152 + 1, "", kDefaultBlock)),
    LabelName());

INSTANTIATE_TEST_SUITE_P(
    Resumed, FullCopyTest,
    testing::Values(
        Resume("StoredCount", 8192, 10000, LittleEndian(8192), 8192),
        // Already as long as preallocation would make it.
        Resume("FullLengthTmp", 8192, 24576, LittleEndian(8192), 8192),
        Resume("LongSizeFile", 8192, 8192, LittleEndian(8192) + "ignored",
               8192),
        Resume("OtherBlockSize", 12288, 12288, LittleEndian(12288), 12288,
               "8192"),
        Resume("CountIsSourceSize", kSize, kSize + 500, LittleEndian(kSize),
               kSize),
        Resume("RemainderBelowBlock", 20480, 23000, LittleEndian(20480), 20480),
        Resume("EmptySizeFile", 0, 30000, "", 0),
        Resume("OrdinaryCopy", 8192, 30000, "\x01\x02\x03", 0, "4096", true)),
    LabelName());

#ifndef _WIN32
// Only the names a run uses must fit the platform's limit: a copy that
// keeps no size file may go where the size file's name would be too long.
// (Not under Windows: there the test's own file functions cannot reach a
// folder whose full path is beyond the limit.)
TEST_F(CopyTest, SizeFileNameMattersOnlyWhenUsed) {
  // The temporary name just fits, the size file's is one too long.
  const std::size_t length = kMaxName - std::string("/s.bin.tmp").size();
  std::string folder = "dest";
  while (folder.size() < length) {
    const std::size_t part =
        std::min<std::size_t>(200, length - folder.size() - 1);
    folder += kSeparator + std::string(part, 'd');
  }
  // Reached relative to the work folder: absolute, it is too long, also
  // for removing it, so it goes whatever the outcome.
  struct InWorkFolder {
    fs::path home = fs::current_path();
    ~InWorkFolder() {
      fs::remove_all("dest");
      fs::current_path(home);
    }
  } in_work_folder;
  fs::current_path(Path("."));
  fs::create_directories(folder);
  // In one piece with the default block; by blocks, resumable, with 4096.
  const std::string source = PutSource("s.bin", 5000);
  for (const char* block : {"", "4096"}) {
    const Outcome run = Execute({"s.bin", folder, block});
    EXPECT_EQ(run.exit_status, *block == '\0' ? 0 : 1) << block;
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"s.bin"});
  std::ifstream copy(folder + kSeparator + "s.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), source);
  copy.close();
}
#endif

// The complete copy stays under the temporary name, with the source's
// time; a resumable copy's size file marks it complete, so that once the
// name is free the next run only gives it the name.
TEST_F(CopyTest, TakenFinalNameIsNeverReplaced) {
  for (const auto& [name, size, block] :
       {std::tuple{"short.bin", 3000, kDefaultBlock},
        std::tuple{"bulk.bin", 5 * 4096 + 100, std::int64_t{4096}}}) {
    SCOPED_TRACE(name);
    const std::string source = PutSource(name, static_cast<std::size_t>(size));
    const std::string final_name = std::string("dest/") + name;
    Put(final_name, "taken");
    const Outcome run = Execute({name, "dest", std::to_string(block)});
    EXPECT_EQ(run.exit_status, 1);
    Lines expected = CopyLines(name, size, block);
    expected.emplace_back(
        "Temporary Target File not renamed, see file with .tmp extension");
    ExpectOutput(run.output, expected);
    EXPECT_EQ(Get(final_name), "taken");
    EXPECT_EQ(Get(final_name + ".tmp"), source);
    EXPECT_EQ(fs::last_write_time(Path(final_name + ".tmp")),
              fs::last_write_time(Path(name)));
    fs::remove(Path(final_name));
    const Outcome rerun = Execute({name, "dest", std::to_string(block)});
    EXPECT_EQ(rerun.exit_status, 0);
    ExpectOutput(rerun.output, size < block
                                   ? CopyLines(name, size, block)
                                   : CopyLines(name, size, block, size));
    ExpectCompleteCopy(name);
  }
}

}  // namespace
}  // namespace ferrux::test
