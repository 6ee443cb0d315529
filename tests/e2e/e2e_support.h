// Shared pieces of the end-to-end tests: the per-test fixture, test data,
// and the checks of the program's output and of the files it leaves.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/program_runner.h"
#include "support/temp_dir.h"

namespace ferrux::test {

namespace fs = std::filesystem;

#ifdef _WIN32
inline constexpr std::string_view kEol = "\r\n";
inline constexpr std::string_view kProgramName = "ferrux.exe";
inline constexpr std::size_t kMaxName = 259;
#else
inline constexpr std::string_view kEol = "\n";
inline constexpr std::string_view kProgramName = "ferrux";
inline constexpr std::size_t kMaxName = 4095;
#endif
inline constexpr std::int64_t kDefaultBlock = 2097152;

// `size` pseudo-random bytes; different seeds give different bytes.
std::string Bytes(std::size_t size, std::uint32_t seed);
// The 8 bytes of a stored count.
std::string LittleEndian(std::int64_t count);

// One expected line of output: exact text, a regular expression, or the
// rows (one or more) of the progress table of a bulk copy.
struct Line {
  enum class Kind { kExact, kPattern, kRows };
  Line(const char* line) : text(line) {}
  Line(std::string line) : text(std::move(line)) {}
  std::string text;
  Kind kind = Kind::kExact;
  std::int64_t size = 0, from = 0, block = 0;  // of kRows
};
using Lines = std::vector<Line>;

Line Pattern(std::string regex);
std::string SourceLine(const std::string& name);

// The whole output of a successful run on a source of `size` bytes, moved
// in blocks of `block` from `from` (a stored count; 0 for a fresh copy)
// onto a temporary file that is `tmp_length` bytes long when it starts.
Lines CopyLines(const std::string& name, std::int64_t size, std::int64_t block,
                std::int64_t from = 0, std::int64_t tmp_length = 0);

// Every line of `output` ends in the platform's line end and matches
// `expected` in order, byte for byte except where a pattern stands.
void ExpectOutput(const std::string& output, const Lines& expected);

// Gives the file the marks a copy must carry over: an old last-write time
// with a fraction of a second, and on POSIX the mode 0640.
void MarkAsSource(const fs::path& file);

// A case of a table-driven test: its label names the test and is what
// test listings show of it.
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

// Runs the program in a "work" folder of the test's own directory, which
// holds an empty "dest" folder at the start.
class E2eTest : public testing::Test {
 protected:
  E2eTest();

  fs::path Path(const fs::path& relative) const { return work_ / relative; }
  void Put(const fs::path& relative, const std::string& bytes) const;
  std::string Get(const fs::path& relative) const;
  std::vector<std::string> List(const fs::path& relative) const;
  // A marked source of `size` bytes; returns its content.
  std::string PutSource(const std::string& name, std::size_t size) const;
  Outcome Execute(const std::vector<std::string>& arguments,
              StdoutTo stdout_to = StdoutTo::kFile) const;
  // dest/`name` equals the source `name` in bytes, time and mode, no
  // temporary file is left, and the size file is gone or, if
  // `kept_size_file` is given, holds exactly that.
  void ExpectCompleteCopy(
      const std::string& name,
      const std::optional<std::string>& kept_size_file = std::nullopt) const;

 private:
  TestDir dir_;
  fs::path work_;
};

}  // namespace ferrux::test
