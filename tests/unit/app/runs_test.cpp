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
using Node = Fake::Node;
constexpr std::int64_t kSize = 20 * 4096 + 100;  // 21 reads of 4096 bytes

const std::string& Source() {
  static const std::string bytes = [] {
    std::string made(kSize, '\0');
    std::uint32_t x = 1;
    for (char& c : made)
      c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
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
    if (!name.starts_with("dst/")) continue;
    const std::string& b = node->bytes;
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

const std::vector<std::string> kRetries = {"/R:3", "/W:1"};
const char* const kWays[] = {"RenameNoReplace", "LinkNoReplace",
                             "RenameIfAbsent"};
const char* const kChanged =
    "Exception Exception\nSource File changed, delete .tmp and .size files to "
    "start over\n";
const char* const kLinked =
    "Exception Exception\nSize File has another name, delete .tmp and .size "
    "files to start over\n";
const char* const kShortByWriter =
    "Exception Exception in module ferrux at 00000000.\nNot all bytes "
    "written: 2048.\n";

struct Row {
  const char* what;
  std::vector<std::string> switches;
  std::function<void(Fake&)> set;
  int status;
  std::size_t retries;  // "Retry K of N" lines
  std::string shows;    // somewhere in the output
  std::string ends;     // the output's end
  std::string left;     // see Left
};

std::vector<Row> Rows() {
  std::vector<Row> rows = {
      {"flush of the folder after the rename fails once", kRetries,
       [](Fake& f) {
         Stopped(f, 8 * 4096);
         f.script = {{"FlushFolderOf", 1, 1117}};
       },
       0, 1, "Restart from 32768\n",
       "Exception EWin32Error\nWin32 Error.  Code: 1117.\nFlushFolderOf "
       "failed\nRetry 1 of 3 in 1 s\nTarget File already complete\n",
       "a.bin"},
      {"another run finishes the copy during the wait",
       {"/R:3", "/W:60"},
       [](Fake& f) {
         f.script = {{"ReadFile", 13, 64, "src/"},  // after a checkpoint
                     {"Sleep", 1, 0, "", false, [](Fake& w) {
                        w.names.erase("dst/a.bin.tmp");
                        w.names.erase("dst/a.bin.size");
                        w.Put("dst/a.bin", Source());
                      }}};
       },
       0,
       1,
       "",
       "Exception EInOutError\nI/O error 64\nRetry 1 of 3 in 60 s\nTarget "
       "File already complete\n",
       "a.bin"},
      {"short write of the writer, retried", kRetries,
       [](Fake& f) {
         f.script = {{"WriteFile", 3, Fake::kShort, ".tmp"}};
       },
       0, 1, std::string(kShortByWriter) + "Retry 1 of 3 in 1 s\n", "",
       "a.bin"},
      {"short write of the size file, retried", kRetries,
       [](Fake& f) {
         f.script = {{"WriteFile", 1, Fake::kShort, ".size"}};
       },
       0, 1, "Exception EInOutError\nDisk full\nRetry 1 of 3 in 1 s\n", "",
       "a.bin"},
      {"short write of the writer, no retries",
       {},
       [](Fake& f) {
         f.script = {{"WriteFile", 3, Fake::kShort, ".tmp"}};
       },
       1,
       0,
       "",
       kShortByWriter,
       "a.bin.tmp*"},
      {"share dead, then its mount point a bare folder",
       {"/R:3", "/W:60"},
       [](Fake& f) {
         f.volumes["dst"] = {"fuse.sshfs", "host:/share", true};
         f.script = {{"OpenFile", 1, 64, "dst/", true},
                     {"Sleep", 1, 0, "", false, [](Fake& w) {
                        w.volumes.erase("dst");
                        w.script[0].code = 0;
                      }}};
       },
       1,
       3,
       "Exception EInOutError\nI/O error 64\nRetry 1 of 3 in 60 s\n",
       "Exception Exception\nTarget Folder not on its first file system\n",
       ""},
  };
  for (const char* verify : {"--", "/V"}) {
    rows.push_back({"source edited in place",
                    {verify},
                    [](Fake& f) {
                      f.script = {
                          {"ReadFile", 4, 0, "src/", false, [](Fake& w) {
                             Node& source = *w.names["src/a.bin"];
                             source.bytes[0] ^= 1;
                             source.time_ns += 1000000000;
                           }}};
                    },
                    1,
                    0,
                    "",
                    kChanged,
                    "a.bin.size* a.bin.tmp"});
  }
  const auto link = [](Fake& f) {
    f.names["dst/a.bin.size"] = f.names["dst/victim"];
  };
  rows.push_back({"size file a link planted before the run",
                  {},
                  [=](Fake& f) {
                    f.Put("dst/victim");
                    link(f);
                  },
                  1,
                  0,
                  "",
                  kLinked,
                  "a.bin.size[] a.bin.tmp[] victim[]"});
  rows.push_back({"size file a link planted during the copy",
                  {},
                  [=](Fake& f) {
                    f.Put("dst/victim");
                    f.script = {{"ReadFile", 3, 0, "src/", false, link}};
                  },
                  1,
                  0,
                  "",
                  kLinked,
                  "a.bin.size[] a.bin.tmp* victim[]"});
  // Each of the three ways to the final name; the ways before it are
  // missing from the file system.
  for (int way = 0; way < 3; ++way) {
    const auto ways = [way](Fake& f) {
      for (int k = 0; k < way; ++k)
        f.script.push_back({kWays[k], 1, 50, "", true});
    };
    rows.push_back({"final name fails once", kRetries,
                    [=](Fake& f) {
                      ways(f);
                      f.script.push_back({kWays[way], 1, 1117});
                    },
                    0, 1, "",
                    std::string(kWays[way]) +
                        " failed\nRetry 1 of 3 in 1 s\nRestart from 82020\n"
                        "Target File Size Set...Ok\n",
                    "a.bin"});
    rows.push_back({"final name taken", kRetries,
                    [=](Fake& f) {
                      ways(f);
                      f.Put("dst/a.bin", "taken");
                    },
                    1, 0, "",
                    "Temporary Target File not renamed, see file with .tmp "
                    "extension\n",
                    "a.bin[taken] a.bin.size* a.bin.tmp"});
  }
  return rows;
}

TEST(Runs, FaultsOfTheWorld) {
  for (const Row& row : Rows()) {
    Fake f;
    World(f);
    row.set(f);
    std::vector<std::string> arguments = row.switches;
    arguments.insert(arguments.end(), {"src/a.bin", "dst", "4096"});
    const Outcome run = RunInProcess(f, arguments);
    SCOPED_TRACE(std::string(row.what) + "\n" + run.output);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(Count(run.output, "\nRetry "), row.retries);
    EXPECT_NE(run.output.find(row.shows), run.output.npos);
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
    const std::shared_ptr<Node> copy = f.names["dst/a.bin"];
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
