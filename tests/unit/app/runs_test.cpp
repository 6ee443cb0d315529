// Whole runs of the program on the in-memory platform, one row per fault
// of the world it must meet: what it prints, its exit status, and what it
// leaves in the destination folder.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "resume/size_file.h"
#include "support/fake_platform.h"

namespace ferrux::testing {
namespace {

using Fake = FakePlatform;
constexpr std::int64_t kSize = 20 * 4096 + 100;  // 21 reads of 4096 bytes

const std::string& Source() {
  static const std::string bytes = [] {
    std::string made(kSize, '\0');
    for (std::size_t i = 0; i < made.size(); ++i) {
      made[i] = static_cast<char>(i * i >> 7);
    }
    return made;
  }();
  return bytes;
}

// Folders src and dst, and the source src/a.bin, mode 0640.
void World(Fake& f) {
  f.Put("src", {}, os::FileKind::kDirectory);
  f.Put("dst", {}, os::FileKind::kDirectory);
  f.Put("src/a.bin", Source()).attributes = 0640;
}

// What an interrupted copy leaves: the first `count` bytes and their count.
void Stopped(Fake& f, std::int64_t count) {
  const resume::Record record =
      resume::EncodeRecord(count, {kSize, Fake::kTime});
  f.Put("dst/a.bin.tmp", Source().substr(0, static_cast<std::size_t>(count)));
  f.Put("dst/a.bin.size", std::string(record.begin(), record.end()));
}

// dst's names; "*" marks bytes other than the source's, shown where short.
std::string Left(Fake& f) {
  std::string left;
  for (const auto& [name, node] : f.names) {
    const std::string& b = node->bytes;
    if (!name.starts_with("dst/")) continue;
    left += (left.empty() ? "" : " ") + name.substr(4) +
            (b == Source()   ? ""
             : b.size() <= 8 ? "[" + b + "]"
                             : "*");
  }
  return left;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != text.npos;
       at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// Changes of the world that hooks make.
void OtherRunFinishes(Fake& f) {
  f.names.erase("dst/a.bin.tmp");
  f.names.erase("dst/a.bin.size");
  f.Put("dst/a.bin", Source());
}
void ShareUnmounted(Fake& f) {
  f.volumes.erase("dst");
  f.script[0].code = 0;  // opens there work again
}
void SourceEdited(Fake& f) {
  f.names["src/a.bin"]->bytes[0] ^= 1;
  f.names["src/a.bin"]->time_ns += 1000000000;
}
void SizeFileLinked(Fake& f) {
  f.names["dst/a.bin.size"] = f.names["dst/victim"];
}

const std::vector<std::string> kRetries = {"/R:3", "/W:1"};
const char* const kWays[] = {"RenameNoReplace", "LinkNoReplace",
                             "RenameIfAbsent"};
const char* const kLinked =
    "Exception Exception\nSize File has another name, delete .tmp and .size "
    "files to start over\n";

struct Row {
  const char* what;
  std::vector<std::string> switches;
  std::vector<Fake::Step> script;
  std::function<void(Fake&)> world;  // beside the source, if any
  int status;
  std::size_t retries;  // "Retry K of N" lines
  std::string ends;     // the output's end
  std::string left;     // see Left
};

// clang-format off
std::vector<Row> Rows() {
  const auto sshfs = [](Fake& f) { f.volumes["dst"] = {"fuse.sshfs", "host:/s", true}; };
  const auto victim = [](Fake& f) { f.Put("dst/victim"); };
  std::vector<Row> rows = {
      {"flush of the folder after the rename fails once", kRetries,
       {{"FlushFolderOf", 1, 1117}}, [](Fake& f) { Stopped(f, 32768); }, 0, 1,
       "Exception EWin32Error\nWin32 Error.  Code: 1117.\nFlushFolderOf failed\n"
       "Retry 1 of 3 in 1 s\nTarget File already complete\n", "a.bin"},
      {"another run finishes the copy during the wait", {"/R:3", "/W:60"},
       {{"ReadFile", 13, 64, "src/"},  // after the first checkpoint
        {"Sleep", 1, 0, "", false, OtherRunFinishes}}, {}, 0, 1,
       "Exception EInOutError\nI/O error 64\nRetry 1 of 3 in 60 s\n"
       "Target File already complete\n", "a.bin"},
      {"share dead at first, another run finishes during the wait", {"/R:3", "/W:60"},
       {{"OpenFile", 1, 64, "dst/"}, {"Sleep", 1, 0, "", false, OtherRunFinishes}}, {}, 0, 1,
       "Exception EInOutError\nI/O error 64\nRetry 1 of 3 in 60 s\n"
       "Target File already complete\n", "a.bin"},
      {"short write of the writer, no retries", {},
       {{"WriteAt", 3, Fake::kShort, ".tmp"}}, {}, 1, 0,
       "Exception Exception in module ferrux at 00000000.\n"
       "Not all bytes written: 2048.\n", "a.bin.tmp*"},
      {"share dead, then its mount point a bare folder", {"/R:3", "/W:60"},
       {{"OpenFile", 1, 64, "dst/", true}, {"Sleep", 1, 0, "", false, ShareUnmounted}},
       sshfs, 1, 3,
       "Exception Exception\nTarget Folder not on its first file system\n", ""},
      {"size file a link planted before the run", {}, {},
       [=](Fake& f) { victim(f); SizeFileLinked(f); }, 1, 0, kLinked,
       "a.bin.size[] a.bin.tmp[] victim[]"},
      {"size file a link planted during the copy", {},
       {{"ReadFile", 3, 0, "src/", false, SizeFileLinked}}, victim, 1, 0, kLinked,
       "a.bin.size[] a.bin.tmp* victim[]"},
  };
  for (const char* verify : {"--", "/V"}) {
    rows.push_back({"source edited in place", {verify},
                    {{"ReadFile", 4, 0, "src/", false, SourceEdited}}, {}, 1, 0,
                    "Exception Exception\nSource File changed, delete .tmp and "
                    ".size files to start over\n", "a.bin.size* a.bin.tmp"});
  }
  // Each way to the final name, the ways before it missing.
  for (int way = 0; way < 3; ++way) {
    std::vector<Fake::Step> missing;
    for (int k = 0; k < way; ++k) missing.push_back({kWays[k], 1, 50, "", true});
    missing.push_back({kWays[way], 1, 1117});
    rows.push_back({"final name fails once", kRetries, missing, {}, 0, 1,
                    std::string(kWays[way]) + " failed\nRetry 1 of 3 in 1 s\n"
                    "Restart from 82020\nTarget File Size Set...Ok\n", "a.bin"});
    missing.pop_back();
    rows.push_back({"final name taken", kRetries, missing,
                    [](Fake& f) { f.Put("dst/a.bin", "taken"); }, 1, 0,
                    "Temporary Target File not renamed, see file with .tmp extension\n",
                    "a.bin[taken] a.bin.size* a.bin.tmp"});
  }
  return rows;
}
// clang-format on

TEST(Runs, FaultsOfTheWorld) {
  for (const Row& row : Rows()) {
    Fake f;
    World(f);
    f.script = row.script;
    if (row.world) row.world(f);
    std::vector<std::string> arguments = row.switches;
    arguments.insert(arguments.end(), {"src/a.bin", "dst", "4096"});
    const Outcome run = RunInProcess(f, arguments);
    SCOPED_TRACE(std::string(row.what) + "\n" + run.output);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(Count(run.output, "\nRetry "), row.retries);
    EXPECT_TRUE(run.output.ends_with(row.ends));
    EXPECT_EQ(Left(f), row.left);
  }
}

// The size file marks a complete copy beside an empty temporary file, and
// the final name holds a copy of the source's length and time: /V reads it
// back and finds the byte flipped outside the last bytes compared, leaving
// it alone; an intact one gets the source's mode and the leftovers go.
TEST(Runs, CopyNamedByAnEarlierRun) {
  for (const bool damaged : {true, false}) {
    Fake f;
    World(f);
    Stopped(f, kSize);
    f.Put("dst/a.bin.tmp");
    f.Put("dst/a.bin", Source()).attributes = 0600;
    const std::shared_ptr<Fake::Node> copy = f.names["dst/a.bin"];
    if (damaged) copy->bytes[1000] ^= 1;
    const Outcome run =
        RunInProcess(f, {damaged ? "/V" : "--", "src/a.bin", "dst", "4096"});
    EXPECT_EQ(run.output,
              damaged ? "Source File: \"src/a.bin\"\nRead Copied Part of "
                        "Source...Ok\nVerify Target File...Fail\nException "
                        "Exception\nTarget File differs from Source File in "
                        "bytes 0 to 82019, delete it and the .tmp and .size "
                        "files to start over\n"
                      : "Source File: \"src/a.bin\"\nTarget File already "
                        "complete\n");
    EXPECT_EQ(run.status, damaged ? 1 : 0);
    EXPECT_EQ(Left(f), damaged ? "a.bin* a.bin.size* a.bin.tmp[]" : "a.bin");
    EXPECT_EQ(copy->attributes, damaged ? 0600u : 0640u);
  }
}

}  // namespace
}  // namespace ferrux::testing
