// The built program on real files, each test in a folder of its own: the
// exact output, the exit status and every file left in the folder.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/program_runner.h"

namespace ferrux::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Files = std::map<std::string, std::string>;  // path -> bytes

#ifdef _WIN32
constexpr std::string_view kEol = "\r\n", kProgram = "ferrux.exe";
constexpr std::size_t kMaxName = 259;
const std::string kSep = "\\";
constexpr fs::perms kPrivate{0666};  // what any writable file shows there
#else
constexpr std::string_view kEol = "\n", kProgram = "ferrux";
constexpr std::size_t kMaxName = 4095;
const std::string kSep = "/";
constexpr fs::perms kPrivate{0600};
#endif
constexpr std::int64_t kDefaultBlock = 2097152, kSize = 5 * 4096 + 100;

// `size` pseudo-random bytes; each seed gives other bytes.
std::string Bytes(std::int64_t size, std::int64_t seed) {
  std::minstd_rand random(static_cast<std::uint32_t>(seed) + 1);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() >> 7);
  return bytes;
}
const std::string kSource = Bytes(kSize, kSize);

// A count as the size file stores it, little-endian like these hosts.
std::string Count(std::int64_t count) {
  return {reinterpret_cast<const char*>(&count), 8};
}

// Lines, each ended as the program ends them.
std::string Text(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) (text += line) += kEol;
  return text;
}

// The output with what differs from run to run made fixed: the progress
// rows but the last, and of that one the delta and rate (no estimate
// follows it); the time a copy took; the system's code and words for an
// error, which hold a line feed of their own.
std::string Normalised(std::string text) {
  static const std::pair<std::regex, const char*> kVarying[] = {
      {std::regex(R"([ \d]{47}(\d+d )?\d\d:\d\d:\d\d\r?\n)"), ""},
      {std::regex(R"(([ \d]{23})[ \d]{24}(\?\?\?)?)"), "$1"},
      {std::regex(R"(complete in [^\r\n]*)"), "complete in T"},
      {std::regex(R"(Code: \d+\.\n[^\r\n]*[^.\s])"), "Code: N."}};
  for (const auto& [from, to] : kVarying) text = regex_replace(text, from, to);
  return text;
}

// What a successful run prints, normalised, that copies a source `name` of
// `size` bytes in blocks of `block`, going on from a stored count `from`
// onto a temporary file that is `tmp_length` bytes long at the start.
std::string CopyText(const std::string& name, std::int64_t size,
                     std::int64_t block, std::int64_t from = 0,
                     std::int64_t tmp_length = 0) {
  const bool bulk = size - from >= block;
  const std::string copied = std::to_string(size);
  const std::pair<bool, std::vector<std::string>> lines[] = {
      {true, {"Source File: \"" + name + "\""}},
      {from > 0, {"Restart from " + std::to_string(from)}},
      {from < size, {"Rest of copy " + std::to_string(size - from)}},
      {bulk && tmp_length != from + (size - from + block - 1) / block * block,
       {"Target File Preallocation...Ok"}},
      {bulk || (from > 0 && from < size),
       {"Seek Source...Ok", "Seek Target...Ok"}},
      {bulk,
       {"Buffer Size = " + std::to_string(block),
        "     Copied        Rest   CopyDelta    Bytes/s TimeRest",
        std::string(11 - copied.size(), ' ') + copied + "           0",
        "Copying complete in T", "Reopen Target File...Ok"}},
      {true, {"Target File Size Set...Ok"}}};
  std::string text;
  for (const auto& [shown, some] : lines) text += shown ? Text(some) : "";
  return text;
}

// A path from a UTF-8 name, as the program takes names on every system.
fs::path U8(const std::string& name) {
  return std::u8string(name.begin(), name.end());
}

std::string Get(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// What a size file holds of the source s.bin after the count and the tag:
// its size and last-write time.
std::string Stamp() {
  const auto t = std::chrono::file_clock::to_sys(fs::last_write_time("s.bin"));
  return Count(std::ssize(Get("s.bin"))) +
         Count(std::chrono::nanoseconds(t.time_since_epoch()).count());
}

// Plants a file, or with "->target" a link. The files an interrupted copy
// leaves in dest are owner-only, and a size file that ends at the tag is
// given the stamp.
void Put(const std::string& name, std::string bytes) {
  if (name.ends_with("/")) return (void)fs::create_directories(U8(name));
  if (bytes.starts_with("->")) return fs::create_symlink(bytes.substr(2), name);
  if (bytes.ends_with("FXS1")) bytes += Stamp();
  if (name.find('/') != name.npos)
    fs::create_directories(U8(name).parent_path());
  std::ofstream(U8(name), std::ios::binary) << bytes;
  if (name.starts_with("dest/")) fs::permissions(name, fs::perms{0600});
}

// Gives a source an old last-write time with a fraction of a second, which
// a copy must carry over.
void Mark(const fs::path& file) {
  fs::last_write_time(file, fs::last_write_time(file) - 9000h - 123457us);
}

const std::hash<std::string> Hash;

// Long contents shown as a hash, to keep failures short.
Files Digest(Files files) {
  for (auto& [name, bytes] : files)
    if (bytes.size() > 64) bytes = "hash " + std::to_string(Hash(bytes));
  return files;
}

// Every file below the current folder, with its bytes or the target of a
// link; a stamp of s.bin shows as the tag alone.
Files Snapshot() {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    if (entry.is_directory()) continue;
    std::string bytes = Get(entry.path());
    if (entry.is_symlink()) bytes = "->" + fs::read_symlink(entry).string();
    if (bytes.ends_with("FXS1" + Stamp())) bytes.resize(bytes.size() - 16);
    const std::u8string name =
        entry.path().lexically_relative(".").generic_u8string();
    files[std::string(name.begin(), name.end())] = bytes;
  }
  return Digest(files);
}

// Each test runs in e2e-tmp/<test>/work below the folder it starts in, as
// the current folder, which holds an empty "dest" folder at the start. The
// files of a failed test are kept; the program's output goes beside them.
class E2eTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(root_);
    fs::create_directories(root_ / "work" / "dest");
    fs::current_path(root_ / "work");
#ifndef _WIN32
    ::umask(022);  // so that owner-only files are so by the program's doing
#endif
  }
  void TearDown() override {
    fs::current_path(home_);
    if (!HasFailure()) fs::remove_all(root_);
  }
  const fs::path
      home_ = fs::current_path(),
      root_ = home_ / "e2e-tmp" /
              testing::UnitTest::GetInstance()->current_test_info()->name();
};

struct RunCase {
  const char* label;
  std::int64_t size;  // of the source s.bin
  Files planted;      // before the run, besides s.bin and an empty "folder"
  std::vector<std::string> arguments;
  int exit_status;
  std::string output;  // normalised
  Files after;         // every file then
  StdoutTo stdout_to = StdoutTo::kFile;
  std::string capture = "../stdout";
  bool held = false;  // s.bin open for writing by another process
};
void PrintTo(const RunCase& c, std::ostream* out) { *out << c.label; }

class RunTest : public E2eTest, public testing::WithParamInterface<RunCase> {};

TEST_P(RunTest, PrintsAndLeaves) {
  const RunCase& c = GetParam();
  const std::string source = Bytes(c.size, c.size);
  Put("s.bin", source);
  Mark("s.bin");
  fs::create_directory("folder");
  for (const auto& [name, bytes] : c.planted) Put(name, bytes);
#ifdef _WIN32
  // Appended to meanwhile, as a log or a capture is: by the test itself,
  // which shares reading and writing as such programs do, and deleting, as
  // a rotated log is held.
  const HANDLE holder = c.held
                            ? ::CreateFileW(L"s.bin", GENERIC_WRITE | DELETE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr)
                            : INVALID_HANDLE_VALUE;
#else
  std::ofstream holder;  // as above
  if (c.held) holder.open("s.bin", std::ios::binary | std::ios::app);
#endif
  const Outcome run = RunProgram(c.arguments, c.capture, c.stdout_to);
#ifdef _WIN32
  if (holder != INVALID_HANDLE_VALUE) ::CloseHandle(holder);  // to read it
#endif
  EXPECT_EQ(run.exit_status, c.exit_status);
  EXPECT_EQ(Normalised(run.output), c.output);
  Files after = c.after;
  after.emplace("s.bin", source);  // only ever read
  EXPECT_EQ(Snapshot(), Digest(after));
  // A whole copy has the source's time, and once named its mode; till then
  // it is private, as is its size file.
  for (const auto& [name, bytes] : after) {
    if (!name.starts_with("dest/") || bytes.starts_with("->")) continue;
    const bool copy = bytes == source;
    EXPECT_TRUE(!copy ||
                fs::last_write_time(name) == fs::last_write_time("s.bin"))
        << name;
    const fs::perms mode = copy && name == "dest/s.bin"
                               ? fs::status("s.bin").permissions()
                               : kPrivate;
    EXPECT_EQ(fs::status(name).permissions(), mode) << name;
  }
}

// A copy that completes. The size file is deleted at the end unless the run
// neither reads nor deletes it: with "/O", and when the source is shorter
// than one block. "dest/" gets no second separator; on Windows the quoted
// "dest\" stays one argument, as the program knows no escape character.
RunCase Copies(const char* label, std::int64_t size, std::int64_t block,
               Files planted = {}, std::int64_t from = 0, bool ordinary = false,
               const std::string& dest = "dest" + kSep) {
  std::vector<std::string> arguments{"s.bin", dest, std::to_string(block)};
  if (block == 0) arguments.pop_back();
  if (ordinary) arguments.insert(arguments.begin(), "/O");
  block = block == 0 ? kDefaultBlock : block;
  Files after{{"dest/s.bin", Bytes(size, size)}};
  if ((ordinary || size < block) && planted.contains("dest/s.bin.size")) {
    after["dest/s.bin.size"] = planted["dest/s.bin.size"];
  }
  const std::int64_t tmp_length = std::ssize(Files(planted)["dest/s.bin.tmp"]);
  const std::string output = CopyText("s.bin", size, block, from, tmp_length);
  return {label, size, planted, arguments, 0, output, after};
}

// What an interrupted copy of kSize bytes leaves: a temporary file that
// starts with `valid` bytes of the source, junk up to `tmp_length`, and a
// size file.
Files Left(std::int64_t valid, std::int64_t tmp_length, std::string size_file) {
  return {
      {"dest/s.bin.tmp", kSource.substr(0, static_cast<std::size_t>(valid)) +
                             Bytes(tmp_length - valid, 7)},
      {"dest/s.bin.size", size_file}};
}

// A run that fails after the source line and leaves every file as it was.
RunCase Fails(const char* label, std::vector<std::string> arguments,
              std::vector<std::string> report, Files planted = {}) {
  report.insert(report.begin(), "Source File: \"" + arguments[0] + "\"");
  return {label, kSize, planted, arguments, 1, Text(report), planted};
}

// clang-format off
std::vector<RunCase> Cases() {
  const std::vector<std::string> resume{"s.bin", "dest", "4096"};
  const std::string io = "Exception EInOutError", refused = "Exception Exception";
  const std::string long_name(kMaxName + 1, 'n'), short_source = Bytes(3000, 3000);
  const std::string leaf = std::string(247, 'n') + ".bin";  // 251 bytes
  const std::string usage = Text({std::string(kProgram) + " [/O] SourceFile [DestinationDir [BufferSize]]",
                                  " /O - use ordinary copy (without resume file)",
                                  " /R:n - retry a failed copy up to n times (0 to 1000000, default 0)",
                                  " /W:s - wait s seconds before each retry (0 to 86400, default 30)",
                                  " /V - verify: read the copy back uncached and compare it with the source",
                                  " /BW:rate - hold the average rate to rate bytes per second (suffix K, M, G: KiB, MiB, GiB; 0, no limit)",
                                  " /BG - background mode: the lowest CPU and I/O priority",
                                  " --ordinary, --retries=n, --wait=s, --verify, --bwlimit=rate, --background - the same switches, long forms",
                                  " -- - ends the switches: SourceFile follows",
                                  " --help, /? - print this text",
                                  " --version - print the program's version"});
  // A size file an earlier run with a smaller block may leave; read, it
  // would be refused.
  const Files stale = {{"dest/s.bin.tmp", ""}, {"dest/s.bin.size", "\x01\x02\x03"}};
  // Room for "s.bin.tmp" after it, not for "s.bin.size".
  std::string long_dest = "dest" + kSep + kSep;
  while (long_dest.size() < kMaxName - 9) long_dest += "." + kSep;
  // A taken final name is never replaced: the complete copy stays under
  // the temporary name. A resumable copy's size file marks it complete, so
  // that once the name is free the next run only renames.
  const Files taken{{"dest/s.bin", "taken"}};
  const std::string not_renamed = Text({"Temporary Target File not renamed, see file with .tmp extension"});
  const auto held = [](RunCase c) { c.held = true; return c; };
  // Names outside any ANSI code page, beside a look-alike, and in folders,
  // as the console shows them; "/" separates on every system.
  const std::string lodz = "Łódź.bin", hanzi = "目录/中文.bin";
#ifdef _WIN32
  const std::string lodz_shown = "?\xA2" "d?.bin", hanzi_shown = "?\?/?\?.bin";
  // A source line whose character at bytes 127 and 128 spans two pieces.
  std::string split = "x", split_shown = "x";
  for (int i = 0; i < 60; ++i) split += "ó", split_shown += "\xA2";
#else
  const std::string &lodz_shown = lodz, &hanzi_shown = hanzi;
#endif
#ifndef _WIN32
  const auto on_console = [](RunCase c) { c.stdout_to = StdoutTo::kTerminal; return c; };
#endif
  std::vector<RunCase> cases{
      Copies("Empty", 0, 0, stale),
      Copies("BelowBlock", 3000, 0, stale),
      Copies("OneByteBelowBlock", 4095, 4096, stale),
      Copies("OneBlock", 4096, 4096),
      Copies("BlocksAndRemainder", kSize, 4096),
      Copies("DefaultBlock", 2 * kDefaultBlock + 1, 0),
      // Size files of 0, 8 (an older version's), 16 (foreign bytes after
      // the count) and 28 bytes (with the source's stamp).
      Copies("EmptySizeFile", kSize, 4096, Left(0, 30000, ""), 0),
      Copies("StoredCount", kSize, 4096, Left(8192, 10000, Count(8192)), 8192),
      Copies("ForeignTail", kSize, 4096, Left(8192, 8192, Count(8192) + "ignored."), 8192),
      Copies("Stamped", kSize, 4096, Left(8192, 8192, Count(8192) + "FXS1"), 8192),
      Copies("FullLengthTmp", kSize, 4096, Left(8192, 24576, Count(8192)), 8192),  // as preallocated
      Copies("OtherBlockSize", kSize, 8192, Left(12288, 12288, Count(12288)), 12288),
      Copies("RemainderBelowBlock", kSize, 4096, Left(20480, 23000, Count(20480)), 20480),
      Copies("OrdinaryCopy", kSize, 4096, Left(8192, 30000, "\x01\x02\x03"), 0, true),
      {"TakenFinalNameResumable", kSize, taken, resume, 1, CopyText("s.bin", kSize, 4096) + not_renamed,
       {{"dest/s.bin", "taken"}, {"dest/s.bin.tmp", kSource}, {"dest/s.bin.size", Count(kSize) + "FXS1"}}},
      // With /V a complete copy left unnamed is read back first; its digests
      // come from the source, as no run stored them.
      {"FinalNameFreedVerified", kSize, Left(kSize, kSize, Count(kSize) + "FXS1"), {"/V", "s.bin", "dest", "4096"}, 0,
       Text({"Source File: \"s.bin\"", "Restart from " + std::to_string(kSize), "Read Copied Part of Source...Ok",
             "Target File Size Set...Ok", "Verify Target File...Ok",
             "c398d377e79a27f90a8c5166d1d2c9c6  dest" + kSep + "s.bin"}),
       {{"dest/s.bin", kSource}}},
      {"OrdinaryVerified", kSize, {}, {"/o", "/v", "s.bin", "dest", "4096"}, 0,
       CopyText("s.bin", kSize, 4096) + Text({"Verify Target File...Ok", "c398d377e79a27f90a8c5166d1d2c9c6  dest" + kSep + "s.bin"}),
       {{"dest/s.bin", kSource}}},
      // Only the names a run uses must fit the platform's limit.
      Copies("SizeFileNameUnused", kSize, 0, {}, 0, false, long_dest),
      Fails("SizeFileNameTooLong", {"s.bin", long_dest, "4096"}, {refused, "File name too long"}),
      Fails("TmpNameTooLong", {"s.bin", std::string(kMaxName - 8, 'd')}, {refused, "File name too long"}),
      Fails("SourceNameTooLong", {long_name, "dest"}, {refused, "File name too long"}),
      // Each name a run makes must fit the folder's limit of 255 bytes:
      // NAME.size too, unless the copy is ordinary.
      {"LeafTooLongForSizeFile", kSize, {{"../" + leaf, kSource}}, {"../" + leaf, ".", "4096"}, 1,
       Text({"Source File: \"../" + leaf + "\"", refused, "File name too long"}), {}},
      {"LeafFitsOrdinary", kSize, {{"../" + leaf, kSource}}, {"/O", "../" + leaf, ".", "4096"}, 0,
       CopyText("../" + leaf, kSize, 4096), {{leaf, kSource}}},
      Fails("MissingSource", {"missing.bin", "dest"}, {io, "File not found"}),
      Fails("MissingSourceFolder", {"nowhere/s.bin", "dest"}, {io, "Invalid filename"}),
      Fails("MissingDestination", {"s.bin", "nowhere"}, {refused, "Target Folder not found"}),
      Fails("DestinationIsFile", {"s.bin", "f.txt"}, {refused, "Target Folder is a file"}, {{"f.txt", "x"}}),
      Fails("SourceIsFolder", {"folder", "dest"}, {io, "File access denied"}),
      // Standard input is no source: nothing is read or made.
      {"NoSourceName", kSize, {}, {"/O"}, 1, Text({"Source File: \"\"", refused, "Source File name is empty"}), {}},
      Fails("ShortSizeFile", resume, {refused, "Strange Counter Size"}, Left(8192, 8192, "\x01\x02\x03")),
      Fails("CountBeyondBoth", resume, {refused, "Counter Size More Then Tmp File Size"},
            Left(4096, 4096, Count(kSize + 4096))),
      Fails("CountBeyondSource", resume, {refused, "Counter Size More Then Src File Size"},
            Left(kSize, kSize + 8192, Count(kSize + 4096))),
      // A count the source's size minus which overflows (the rest is
      // kSize + 2^63 - 20000 as an unsigned number): the run must still fail
      // at the seek, not copy a few bytes and call it done, and without
      // first lengthening the temporary file.
      Fails("HugeNegativeCount", resume, {"Rest of copy 9223372036854776388", "Seek Source...Exception EWin32Error",
                                          "Win32 Error.  Code: N."}, Left(4096, 4096, Count(INT64_MIN + 20000))),
      {"Usage", kSize, {}, {}, 0, usage, {}},
      {"LookAlikeName", kSize, {{lodz, kSource}, {"Lódz.bin", short_source}, {"out/", ""}}, {lodz, "out", "4096"}, 0,
       CopyText(lodz_shown, kSize, 4096), {{lodz, kSource}, {"Lódz.bin", short_source}, {"out/" + lodz, kSource}}},
      {"CjkNames", 3000, {{hanzi, short_source}, {"目标/", ""}}, {hanzi, "目标"}, 0,
       CopyText(hanzi_shown, 3000, kDefaultBlock), {{hanzi, short_source}, {"目标/中文.bin", short_source}}},
      held(Copies("SourceHeldForWriting", kSize, 4096)),
      {"Help", kSize, {}, {"--help"}, 0, usage, {}},
      {"HelpSlash", kSize, {}, {"/?"}, 0, usage, {}},
      {"Version", kSize, {}, {"--version"}, 0, Text({"ferrux " FERRUX_VERSION}), {}},
      // A malformed switch is named, and nothing is touched.
      {"BadSwitch", kSize, {}, {"/O", "/r:x", "s.bin", "dest"}, 1, Text({"Bad switch /r:x: a number from 0 to 1000000 is needed"}), {}},
      // A block size is rounded down to a power of two: uncached writes
      // of any other size fail.
      {"BlockRoundedDown", 4194304 + 5, {}, {"--", "s.bin", "dest", "5000000"}, 0,
       CopyText("s.bin", 4194304 + 5, 4194304), {{"dest/s.bin", Bytes(4194304 + 5, 4194304 + 5)}}},
#ifndef _WIN32
      Fails("SourceIsDevice", {"/dev/null", "dest"}, {refused, "Source File is not a regular file"}),
      // Output that cannot be written fails the run, even when the copy
      // itself succeeded (redirected output is written at the end); a pipe
      // without a reader must not kill the program by a signal either.
      {"StdoutClosed", 3000, {}, {"s.bin", "dest"}, 1, "", {}, StdoutTo::kClosed},
      {"StdoutFull", 3000, {}, {"s.bin", "dest"}, 1, "", {{"dest/s.bin", short_source}}, StdoutTo::kFile, "/dev/full"},
      {"StdoutReaderGone", 3000, {}, {"s.bin", "dest"}, 1, "", {{"dest/s.bin", short_source}}, StdoutTo::kBrokenPipe},
      // A console gets the same bytes; the long report spans many of the
      // 128-byte pieces redirected output is written in.
      on_console({"UsageOnConsole", kSize, {}, {}, 0, usage, {}}),
      on_console(Fails("SourceNameTooLongOnConsole", {long_name, "dest"}, {refused, "File name too long"})),
#else
      // Every line in one code page, the digest line's name as the source line's.
      {"VerifiedLookAlikeName", kSize, {{lodz, kSource}, {"out/", ""}}, {"/V", lodz, "out", "4096"}, 0,
       CopyText(lodz_shown, kSize, 4096) + Text({"Verify Target File...Ok", "c398d377e79a27f90a8c5166d1d2c9c6  out\\" + lodz_shown}),
       {{lodz, kSource}, {"out/" + lodz, kSource}}},
      {"CharacterSplitAcrossPieces", kSize, {}, {split, "dest"}, 1,
       Text({"Source File: \"" + split_shown + "\"", io, "File not found"}), {}},
      // Names compare without case: the folder's other spelling is no link.
      Copies("DestinationOtherCase", kSize, 4096, {}, 0, false, "DEST"),
#endif
  };
  return cases;
}
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, RunTest, testing::ValuesIn(Cases()),
                         testing::PrintToStringParamName());

// /V over a copy made without it, whose temporary file was damaged inside
// the copied part: the digests are made from the copied part, the read back
// finds the damaged segment, the copy keeps its temporary name and its
// count goes back to that segment. The next run copies again from there,
// finds a byte damaged since in the first segment, and under /R its next
// try copies from 0 and ends identical, with the digest line hash tools
// print.
TEST_F(E2eTest, VerifyCatchesDamageAndNextRunCopiesItAgain) {
  constexpr std::int64_t kMiB = 1048576, kBig = 40 * kMiB + 5;
  const std::string source = Bytes(kBig, 9);
  std::string damaged = source;
  damaged[20 * kMiB] ^= 1;
  Put("s.bin", source);
  Mark("s.bin");  // a time both systems store exactly, for the stamp
  Put("dest/s.bin.tmp", damaged);
  Put("dest/s.bin.size", Count(32 * kMiB) + "FXS1");
  Outcome run = RunProgram({"/V", "s.bin", "dest", "4194304"}, "../stdout");
  std::string text = CopyText("s.bin", kBig, 4 * kMiB, 32 * kMiB, kBig);
  const std::string rest = Text({"Rest of copy 8388613"});
  text.insert(text.find(rest) + rest.size(),
              Text({"Read Copied Part of Source...Ok"}));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(Normalised(run.output),
            text + Text({"Verify Target File...Fail", "Exception Exception",
                         "Target File differs from Source File in bytes "
                         "16777216 to 33554431, copy goes on from 16777216"}));
  EXPECT_FALSE(fs::exists("dest/s.bin"));
  damaged = Get("dest/s.bin.tmp");
  damaged[8 * kMiB] ^= 1;
  Put("dest/s.bin.tmp", damaged);
  run = RunProgram({"--verify", "/R:1", "/W:0", "s.bin", "dest"}, "../stdout");
  EXPECT_EQ(run.exit_status, 0);
  // The retry goes on from 0 and prints no source line; the run ends with
  // the digest line.
  text = Normalised(run.output);
  EXPECT_NE(text.find(Text({"Target File differs from Source File in bytes 0 "
                            "to 16777215, copy goes on from 0",
                            "Retry 1 of 1 in 0 s",
                            "Rest of copy " + std::to_string(kBig)})),
            std::string::npos)
      << text;
  EXPECT_TRUE(std::regex_search(
      text,
      std::regex("Verify Target File...Ok\r?\n[0-9a-f]{32}  dest.s.bin\r?\n$")))
      << text;
  EXPECT_EQ(Snapshot(), Digest({{"s.bin", source}, {"dest/s.bin", source}}));
}

// /BW holds the copy to the rate asked (a generous lower bound on the time
// it takes; the benchmark measures the figure), and the copy is whole.
TEST_F(E2eTest, RateLimitHoldsTheCopyBack) {
  const std::string source = Bytes(12 << 20, 12);
  Put("s.bin", source);
  const auto start = std::chrono::steady_clock::now();
  const Outcome run = RunProgram({"/BW:4M", "s.bin", "dest"}, "../stdout");
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2500ms);
  EXPECT_EQ(Get("dest/s.bin"), source);
}

#ifdef _WIN32
// Windows takes a last name without its trailing dots and spaces unless it
// is given as \\?\...: "trail." is refused, not taken for "trail", and
// given so it is copied under its own name, as "sp " is.
TEST_F(E2eTest, NamesEndingInDotsOrSpaces) {
  const std::string here = "\\\\?\\" + fs::current_path().string() + "\\";
  for (const std::string name : {"trail.", "sp "}) {
    std::ofstream(fs::path(here + name), std::ios::binary) << name;
  }
  Put("trail", "plain");
  Outcome run = RunProgram({"trail.", "dest"}, "../stdout");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.output, Text({"Source File: \"trail.\"", "Exception Exception",
                              "Source File name ends in a dot or a space, "
                              "give it as a \\\\?\\ path"}));
  EXPECT_TRUE(fs::is_empty("dest"));
  for (const std::string name : {"trail.", "sp "}) {
    run = RunProgram({here + name, "dest"}, "../stdout");
    EXPECT_EQ(run.exit_status, 0) << run.output;
    EXPECT_EQ(Get(here + "dest\\" + name), name);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("dest"), {}), 2);
  // Removed as they were made: the test's clean-up would not find them.
  for (const std::string name :
       {"trail.", "sp ", "dest\\trail.", "dest\\sp "}) {
    fs::remove(fs::path(here + name));
  }
}

// A copy named by a run stopped before it dropped its leftovers, made
// read-only meanwhile and read by a program that lets others only read it:
// /V reads it back, and where it differs (before the last bytes, which the
// start compares) leaves it and the leftovers alone.
TEST_F(E2eTest, NamedReadOnlyCopyVerified) {
  const std::string source = Bytes(200000, 9);
  Put("s.bin", source);
  Mark("s.bin");
  const auto run_on_named = [](std::string bytes) {
    if (fs::exists("dest/s.bin")) fs::permissions("dest/s.bin", fs::perms::all);
    Put("dest/s.bin", std::move(bytes));
    fs::last_write_time("dest/s.bin", fs::last_write_time("s.bin"));
    fs::permissions("dest/s.bin", fs::perms{0444});
    Put("dest/s.bin.tmp", "");
    Put("dest/s.bin.size", Count(200000) + "FXS1");
    const HANDLE reader =
        ::CreateFileW(L"dest\\s.bin", GENERIC_READ, FILE_SHARE_READ, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    Outcome run = RunProgram({"/V", "s.bin", "dest", "4096"}, "../stdout");
    ::CloseHandle(reader);
    return run;
  };
  Outcome run = run_on_named(std::string(1, static_cast<char>(source[0] ^ 1)) +
                             source.substr(1));
  const Files before = Snapshot();
  EXPECT_EQ(run.exit_status, 1);
  const std::string lines =
      Text({"Source File: \"s.bin\"", "Read Copied Part of Source...Ok"});
  EXPECT_EQ(run.output,
            lines + Text({"Verify Target File...Fail", "Exception Exception",
                          "Target File differs from Source File in bytes 0 to "
                          "199999, delete it and the .tmp and .size files to "
                          "start over"}));
  EXPECT_EQ(Snapshot(), before);
  run = run_on_named(source);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_TRUE(std::regex_match(
      run.output,
      std::regex(lines + "Verify Target File...Ok\r\n[0-9a-f]{32}  "
                         "dest.s.bin\r\nTarget File already complete\r\n")))
      << run.output;
  EXPECT_EQ(Snapshot(), Digest({{"s.bin", source}, {"dest/s.bin", source}}));
  EXPECT_EQ(fs::status("dest/s.bin").permissions(),
            fs::status("s.bin").permissions());
  fs::permissions("dest/s.bin", fs::perms::all);  // for the clean-up
}
#endif

}  // namespace
}  // namespace ferrux::test
