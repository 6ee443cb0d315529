// Test data, output checks and the fixture of the end-to-end tests.
#include "e2e/e2e_support.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>

namespace ferrux::test {
namespace {

struct Row {
  std::int64_t copied, rest, delta, rate;
  std::string time_rest;
};

// Four right-aligned numbers in columns of 11, 11, 11 and 10, each
// followed by one blank, then the time estimate.
bool ParseRow(const std::string& line, Row& row) {
  static const std::regex kRow(R"(( *\d+) ( *\d+) ( *\d+) ( *\d+) (.*))");
  std::smatch m;
  if (!std::regex_match(line, m, kRow) || m.length(1) != 11 ||
      m.length(2) != 11 || m.length(3) != 11 || m.length(4) != 10) {
    return false;
  }
  row = {std::stoll(m[1]), std::stoll(m[2]), std::stoll(m[3]),
         std::stoll(m[4]), m[5]};
  return true;
}

// The rows must add up to the copy; only the last may end off a block
// boundary, and it shows no estimate (or "???" with a rate of 0 when its
// interval lasted no time).
std::string CheckRows(const std::vector<Row>& rows, const Line& copy) {
  static const std::regex kEstimate(R"((\d+d )?\d\d:\d\d:\d\d|\?\?\?)");
  if (rows.empty()) return "no progress row";
  std::int64_t at = copy.from;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    const bool sums = r.delta > 0 && r.copied == at + r.delta &&
                      r.copied + r.rest == copy.size;
    const bool ends =
        i + 1 == rows.size()
            ? r.copied == copy.size &&
                  (r.time_rest.empty() || (r.time_rest == "???" && r.rate == 0))
            : (r.copied - copy.from) % copy.block == 0 &&
                  std::regex_match(r.time_rest, kEstimate);
    if (!sums || !ends) return "progress row " + std::to_string(i + 1) + " is wrong";
    at = r.copied;
  }
  return {};
}

std::string Visible(const std::string& text) {
  std::string shown;
  for (const char c : text) shown += c == '\r' ? std::string("\\r") : std::string(1, c);
  return shown;
}

// Offset of the first byte in which the files differ (the shorter one's
// length if one is a prefix of the other), or -1.
std::int64_t FirstDifference(const fs::path& a, const fs::path& b) {
  std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
  if (!in_a || !in_b) return 0;
  std::vector<char> buf_a(1 << 22), buf_b(1 << 22);
  for (std::int64_t at = 0;; at += in_a.gcount()) {
    in_a.read(buf_a.data(), static_cast<std::streamsize>(buf_a.size()));
    in_b.read(buf_b.data(), static_cast<std::streamsize>(buf_b.size()));
    const auto n = static_cast<std::size_t>(std::min(in_a.gcount(), in_b.gcount()));
    if (std::memcmp(buf_a.data(), buf_b.data(), n) != 0 ||
        in_a.gcount() != in_b.gcount()) {
      std::size_t i = 0;
      while (i < n && buf_a[i] == buf_b[i]) ++i;
      return at + static_cast<std::int64_t>(i);
    }
    if (n == 0) return -1;
  }
}

}  // namespace

std::string Bytes(std::size_t size, std::uint32_t seed) {
  std::uint32_t state = seed * 2654435761u + 1;
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

std::string LittleEndian(std::int64_t count) {
  std::string bytes(8, '\0');
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[i] = static_cast<char>(static_cast<std::uint64_t>(count) >> (8 * i));
  }
  return bytes;
}

Line Pattern(std::string regex) {
  Line line(std::move(regex));
  line.kind = Line::Kind::kPattern;
  return line;
}

std::string SourceLine(const std::string& name) {
  return "Source File: \"" + name + "\"";
}

Lines CopyLines(const std::string& name, std::int64_t size, std::int64_t block,
                std::int64_t from, std::int64_t tmp_length) {
  Lines lines{SourceLine(name)};
  if (from > 0) lines.emplace_back("Restart from " + std::to_string(from));
  if (from < size) {
    lines.emplace_back("Rest of copy " + std::to_string(size - from));
    const bool bulk = size - from >= block;
    const std::int64_t end = from + (size - from + block - 1) / block * block;
    if (bulk && tmp_length != end) {
      lines.emplace_back("Target File Preallocation...Ok");
    }
    if (bulk || from > 0) {
      lines.insert(lines.end(), {"Seek Source...Ok", "Seek Target...Ok"});
    }
    if (bulk) {
      Line rows("<progress rows>");
      rows.kind = Line::Kind::kRows;
      rows.size = size;
      rows.from = from;
      rows.block = block;
      lines.insert(
          lines.end(),
          {"Buffer Size = " + std::to_string(block),
           "     Copied        Rest   CopyDelta    Bytes/s TimeRest", rows,
           Pattern(R"(Copying complete in (\d+d )?\d\d:\d\d:\d\d(, \d+ Bytes/s)?)"),
           "Reopen Target File...Ok"});
    }
  }
  lines.emplace_back("Target File Size Set...Ok");
  return lines;
}

void ExpectOutput(const std::string& output, const Lines& expected) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = output.find(kEol, start)) != std::string::npos;
       start = end + kEol.size()) {
    lines.push_back(output.substr(start, end - start));
  }
  std::string problem;
  if (start != output.size()) problem = "the output does not end in a line end";
  std::size_t i = 0;
  for (const Line& want : expected) {
    if (!problem.empty()) break;
    if (want.kind == Line::Kind::kRows) {
      std::vector<Row> rows;
      for (Row row; i < lines.size() && ParseRow(lines[i], row); ++i) {
        rows.push_back(row);
      }
      problem = CheckRows(rows, want);
    } else if (i == lines.size()) {
      problem = "missing line \"" + want.text + "\"";
    } else if (want.kind == Line::Kind::kExact
                   ? lines[i] != want.text
                   : !std::regex_match(lines[i], std::regex(want.text))) {
      problem = "line " + std::to_string(i + 1) + " is \"" + Visible(lines[i]) +
                "\", expected \"" + want.text + "\"";
      ++i;
    } else {
      ++i;
    }
  }
  if (problem.empty() && i < lines.size()) {
    problem = "unexpected line \"" + Visible(lines[i]) + "\"";
  }
  EXPECT_EQ(problem, "") << "whole output:\n" << Visible(output);
}

void MarkAsSource(const fs::path& file) {
  fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(9000) -
                                std::chrono::microseconds(123457));
#ifndef _WIN32
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write |
                            fs::perms::group_read);
#endif
}

E2eTest::E2eTest() : work_(dir_.path() / "work") {
  fs::create_directories(work_ / "dest");
}

void E2eTest::Put(const fs::path& relative, const std::string& bytes) const {
  std::ofstream(Path(relative), std::ios::binary) << bytes;
}

std::string E2eTest::Get(const fs::path& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> E2eTest::List(const fs::path& relative) const {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(Path(relative))) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string E2eTest::PutSource(const std::string& name, std::size_t size) const {
  std::string bytes = Bytes(size, static_cast<std::uint32_t>(size));
  Put(name, bytes);
  MarkAsSource(Path(name));
  return bytes;
}

Outcome E2eTest::Execute(const std::vector<std::string>& arguments,
                     StdoutTo stdout_to) const {
  return RunProgram(arguments, work_, dir_.path() / "stdout", stdout_to);
}

void E2eTest::ExpectCompleteCopy(
    const std::string& name,
    const std::optional<std::string>& kept_size_file) const {
  const fs::path source = Path(name), copy = Path("dest") / name;
  ASSERT_TRUE(fs::exists(copy)) << copy.string();
  EXPECT_EQ(FirstDifference(source, copy), -1) << "first differing byte";
  EXPECT_EQ(fs::last_write_time(copy).time_since_epoch().count(),
            fs::last_write_time(source).time_since_epoch().count());
#ifndef _WIN32
  EXPECT_EQ(fs::status(copy).permissions(), fs::status(source).permissions());
#endif
  EXPECT_FALSE(fs::exists(Path("dest") / (name + ".tmp")));
  const fs::path size_file = Path("dest") / (name + ".size");
  if (kept_size_file) {
    EXPECT_EQ(Get(size_file), *kept_size_file) << "the size file was changed";
  } else {
    EXPECT_FALSE(fs::exists(size_file));
  }
}

}  // namespace ferrux::test
