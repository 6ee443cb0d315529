// Shared pieces of the end-to-end tests: the fixture that gives each test
// its own folder, test data, and the checks of output and copied files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "support/program_runner.h"

namespace ferrux::test {

namespace fs = std::filesystem;

#ifdef _WIN32
inline constexpr std::string_view kEol = "\r\n", kProgramName = "ferrux.exe";
inline constexpr std::size_t kMaxName = 259;
inline constexpr char kSeparator = '\\';
#else
inline constexpr std::string_view kEol = "\n", kProgramName = "ferrux";
inline constexpr std::size_t kMaxName = 4095;
inline constexpr char kSeparator = '/';
#endif
inline constexpr std::int64_t kDefaultBlock = 2097152;

// `size` pseudo-random bytes; each seed gives other bytes.
inline std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::minstd_rand random(seed + 1);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() >> 7);
  return bytes;
}

// The 8 bytes in which a count is stored.
inline std::string LittleEndian(std::int64_t count) {
  std::string bytes(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[i] = static_cast<char>(static_cast<std::uint64_t>(count) >> (8 * i));
  }
  return bytes;
}

// One expected line of output: exact text, a regular expression, or, with
// `block` set, the one or more progress rows of a bulk copy that moves
// the bytes from `from` to `size`.
struct Line {
  Line(const char* exact) : text(exact) {}
  Line(std::string exact) : text(std::move(exact)) {}
  Line(std::int64_t size_in, std::int64_t from_in, std::int64_t block_in)
      : text("<progress rows>"),
        size(size_in),
        from(from_in),
        block(block_in) {}
  std::string text;
  bool pattern = false;
  std::int64_t size = 0, from = 0, block = 0;
};
using Lines = std::vector<Line>;

inline Line Pattern(std::string regex) {
  Line line(std::move(regex));
  line.pattern = true;
  return line;
}

inline std::string SourceLine(const std::string& name) {
  return "Source File: \"" + name + "\"";
}

// The output of a successful run on a source of `size` bytes in blocks of
// `block`, going on from a stored count `from`, onto a temporary file
// that is `tmp_length` bytes long when the run starts.
inline Lines CopyLines(const std::string& name, std::int64_t size,
                       std::int64_t block, std::int64_t from = 0,
                       std::int64_t tmp_length = 0) {
  Lines lines{SourceLine(name)};
  if (from > 0) lines.emplace_back("Restart from " + std::to_string(from));
  if (from < size) {
    lines.emplace_back("Rest of copy " + std::to_string(size - from));
    const bool bulk = size - from >= block;
    if (bulk &&
        tmp_length != from + (size - from + block - 1) / block * block) {
      lines.emplace_back("Target File Preallocation...Ok");
    }
    if (bulk || from > 0) {
      lines.insert(lines.end(), {"Seek Source...Ok", "Seek Target...Ok"});
    }
    if (bulk) {
      lines.insert(lines.end(),
                   {"Buffer Size = " + std::to_string(block),
                    "     Copied        Rest   CopyDelta    Bytes/s TimeRest",
                    Line(size, from, block),
                    Pattern(R"(Copying complete in (\d+d )?\d\d:\d\d:\d\d)"
                            R"((, \d+ Bytes/s)?)"),
                    "Reopen Target File...Ok"});
    }
  }
  lines.emplace_back("Target File Size Set...Ok");
  return lines;
}

// Reads the progress rows at lines[i...] and returns how many there are,
// or 0 if they do not add up to the copy. A row holds four numbers
// right-aligned in columns of 11, 11, 11 and 10, each followed by a blank,
// then the estimate of the time left. Only the last row may end off a
// block boundary; it shows no estimate, or "???" with a rate of 0 when its
// interval lasted no time.
inline std::size_t CountRows(const std::vector<std::string>& lines,
                             std::size_t i, const Line& copy) {
  static const std::regex kRow(
      R"(( {0,10}\d+) ( {0,10}\d+) ( {0,10}\d+) ( {0,9}\d+) (.*))");
  static const std::regex kEstimate(R"((\d+d )?\d\d:\d\d:\d\d|\?\?\?)");
  bool ok = true;
  std::int64_t at = copy.from;
  std::size_t n = 0;
  for (std::smatch m;
       i + n < lines.size() && std::regex_match(lines[i + n], m, kRow); ++n) {
    const std::int64_t copied = std::stoll(m[1]), delta = std::stoll(m[3]);
    const std::string estimate = m[5];
    ok = ok && m.length(1) == 11 && m.length(2) == 11 && m.length(3) == 11 &&
         m.length(4) == 10 && delta > 0 && copied == at + delta &&
         copied + std::stoll(m[2]) == copy.size;
    ok = ok &&
         (copied == copy.size
              ? estimate.empty() || (estimate == "???" && std::stoll(m[4]) == 0)
              : (copied - copy.from) % copy.block == 0 &&
                    std::regex_match(estimate, kEstimate));
    at = copied;
  }
  return ok && at == copy.size ? n : 0;
}

// Every line ends in the platform's line end and matches `expected` in
// order, byte for byte except where a pattern stands.
inline void ExpectOutput(const std::string& output, const Lines& expected) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find(kEol, start)) != std::string::npos;
       start = end + kEol.size()) {
    lines.push_back(output.substr(start, end - start));
  }
  bool ok = start == output.size();
  std::size_t i = 0;
  std::string listing;
  for (const Line& want : expected) {
    listing += want.text + "\n";
    const std::size_t rows = want.block > 0 ? CountRows(lines, i, want) : 1;
    ok = ok && rows > 0 &&
         (want.block > 0 ||
          (i < lines.size() &&
           (want.pattern ? std::regex_match(lines[i], std::regex(want.text))
                         : lines[i] == want.text)));
    i += rows;
  }
  EXPECT_TRUE(ok && i == lines.size())
      << "output:\n"
      << std::regex_replace(output, std::regex("\r"), "\\r") << "\nexpected:\n"
      << listing;
}

// Gives a file what a copy must carry over: an old last-write time with a
// fraction of a second, and on POSIX the mode 0640.
inline void MarkAsSource(const fs::path& file) {
  fs::last_write_time(file, fs::last_write_time(file) -
                                std::chrono::hours(9000) -
                                std::chrono::microseconds(123457));
#ifndef _WIN32
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read);
#endif
}

inline bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  // Past the end of a short last chunk both buffers still hold the equal
  // bytes of the chunk before.
  std::string chunk_a(1 << 20, '\0'), chunk_b = chunk_a;
  do {
    in_a.read(chunk_a.data(), 1 << 20);
    in_b.read(chunk_b.data(), 1 << 20);
    if (in_a.gcount() != in_b.gcount() || chunk_a != chunk_b) return false;
  } while (in_a && in_b);
  return in_a.eof() && in_b.eof();
}

// The files an interrupted copy leaves: a temporary file that starts with
// `valid` bytes of the source, junk up to `tmp_length`, and a size file.
struct Planted {
  std::int64_t valid, tmp_length;
  std::string size_file;
};

// A case of a table-driven test, named and printed by its label.
struct Labelled {
  const char* label;
};
inline std::ostream& operator<<(std::ostream& out, const Labelled& c) {
  return out << c.label;
}
struct LabelName {
  template <class Case>
  std::string operator()(const testing::TestParamInfo<Case>& info) const {
    return info.param.label;
  }
};

// Each test runs the program in <build>/e2e-tmp/<Suite.Test>/work, which
// holds an empty "dest" folder at the start. The folder is removed when
// the test passes and kept, with its path printed, when it fails.
class E2eTest : public testing::Test {
 protected:
  E2eTest() {
    const testing::TestInfo* test =
        testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        test->test_suite_name() + ("." + std::string(test->name()));
    std::replace(name.begin(), name.end(), '/', '_');
    root_ = ExecutableDir().parent_path() / "e2e-tmp" / name;
    fs::remove_all(root_);
    fs::create_directories(Path("dest"));
  }
  ~E2eTest() override {
    std::error_code ignored;
    if (HasFailure()) {
      std::cout << "Test files kept in " << root_.string() << std::endl;
    } else {
      fs::remove_all(root_, ignored);
    }
  }

  fs::path Path(const fs::path& relative) const {
    return root_ / "work" / relative;
  }
  void Put(const fs::path& relative, const std::string& bytes) const {
    std::ofstream(Path(relative), std::ios::binary) << bytes;
  }
  std::string Get(const fs::path& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::vector<std::string> List(const fs::path& relative) const {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(Path(relative))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Puts a marked source of `size` bytes and returns its bytes.
  std::string PutSource(const std::string& name, std::size_t size) const {
    std::string bytes = Bytes(size, static_cast<std::uint32_t>(size));
    Put(name, bytes);
    MarkAsSource(Path(name));
    return bytes;
  }
  // Plants the files of an interrupted copy of `source` into dest and
  // returns the temporary file's bytes.
  std::string Plant(const std::string& source, const Planted& p) const {
    std::string tmp = source.substr(0, static_cast<std::size_t>(p.valid));
    tmp += Bytes(static_cast<std::size_t>(p.tmp_length) - tmp.size(), 7);
    Put("dest/s.bin.tmp", tmp);
    Put("dest/s.bin.size", p.size_file);
    return tmp;
  }
  Outcome Execute(const std::vector<std::string>& arguments,
                  StdoutTo stdout_to = StdoutTo::kFile) const {
    return RunProgram(arguments, Path("."), root_ / "stdout", stdout_to);
  }
  // dest/`name` equals the source `name` in bytes, time and mode, no
  // temporary file is left, and the size file is gone or, when
  // `kept_size_file` is given, still holds exactly that.
  void ExpectCompleteCopy(
      const std::string& name,
      const std::optional<std::string>& kept_size_file = std::nullopt) const {
    const fs::path source = Path(name), copy = Path("dest") / name;
    EXPECT_TRUE(SameBytes(source, copy)) << copy.string();
    EXPECT_EQ(fs::last_write_time(copy).time_since_epoch().count(),
              fs::last_write_time(source).time_since_epoch().count());
#ifndef _WIN32
    EXPECT_EQ(fs::status(copy).permissions(), fs::status(source).permissions());
#endif
    EXPECT_FALSE(fs::exists(Path("dest") / (name + ".tmp")));
    EXPECT_EQ(Get("dest/" + name + ".size"), kept_size_file.value_or(""));
    EXPECT_EQ(fs::exists(Path("dest") / (name + ".size")),
              kept_size_file.has_value());
  }

 private:
  fs::path root_;
};

}  // namespace ferrux::test
