// Runs that fail: exit status 1, the report right after the source line, no
// final name, and the destination as it was before: empty, or holding the
// files of an interrupted run unchanged, as the program repairs nothing.
#include "e2e/e2e_support.h"

namespace ferrux::test {
namespace {

constexpr std::int64_t kSize = 5 * 4096 + 100;

struct FailureCase : Labelled {
  std::vector<std::string> arguments;
  Lines report;
  std::optional<Planted> planted;
};

class FailureTest : public E2eTest,
                    public testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ReportsAndChangesNothing) {
  const FailureCase& c = GetParam();
  const std::string source = PutSource("s.bin", kSize);
  fs::create_directory(Path("folder"));
  const std::string tmp = c.planted ? Plant(source, *c.planted) : "";
  const Outcome run = Execute(c.arguments);
  EXPECT_EQ(run.exit_status, 1);
  Lines expected{SourceLine(c.arguments[0])};
  expected.insert(expected.end(), c.report.begin(), c.report.end());
  ExpectOutput(run.output, expected);
  EXPECT_EQ(List("."), (std::vector<std::string>{"dest", "folder", "s.bin"}));
  EXPECT_EQ(List("dest").size(), c.planted ? 2u : 0u);
  EXPECT_EQ(Get("dest/s.bin.tmp"), tmp);
  EXPECT_EQ(Get("dest/s.bin.size"), c.planted ? c.planted->size_file : "");
}

FailureCase Fails(const char* label, std::vector<std::string> arguments,
                  Lines report, std::optional<Planted> planted = {}) {
  return {{label}, std::move(arguments), std::move(report), std::move(planted)};
}

Lines IoFailure(const char* message) {
  return {"Exception EInOutError", message};
}

Lines Refusal(const char* message) { return {"Exception Exception", message}; }

// The code and the system's description of it differ between systems;
// the message holds a line feed of its own, a line end only on POSIX.
Lines SeekRefused(std::int64_t count) {
  const auto rest =
      static_cast<std::uint64_t>(kSize) - static_cast<std::uint64_t>(count);
  Lines report{"Rest of copy " + std::to_string(rest),
               "Seek Source...Exception EWin32Error"};
#ifdef _WIN32
  report.push_back(Pattern(R"(Win32 Error\.  Code: \d+\.\n.*[^.\s])"));
#else
  report.push_back(Pattern(R"(Win32 Error\.  Code: \d+\.)"));
  report.push_back(Pattern(R"(.*[^.\s])"));
#endif
  return report;
}

const std::vector<std::string> kResume{"s.bin", "dest", "4096"};

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    testing::Values(
        Fails("MissingSource", {"missing.bin", "dest"},
              IoFailure("File not found")),
        Fails("MissingSourceFolder", {"nowhere/s.bin", "dest"},
              IoFailure("Invalid filename")),
        Fails("MissingDestination", {"s.bin", "nowhere"},
              IoFailure("Invalid filename")),
        Fails("SourceIsFolder", {"folder", "dest"},
              IoFailure("File access denied")),
        Fails("SourceNameTooLong", {std::string(kMaxName + 1, 'n'), "dest"},
              Refusal("File name too long")),
        // Only the temporary and size file names exceed the limit.
        Fails("TemporaryNameTooLong", {"s.bin", std::string(kMaxName - 8, 'd')},
              Refusal("File name too long")),
        Fails("ShortSizeFile", kResume, Refusal("Strange Counter Size"),
              Planted{8192, 8192, "\x01\x02\x03"}),
        Fails("CountBeyondTmp", kResume,
              Refusal("Counter Size More Then Tmp File Size"),
              Planted{4096, 4096, LittleEndian(8192)}),
        Fails("CountBeyondSource", kResume,
              Refusal("Counter Size More Then Src File Size"),
              Planted{kSize, kSize + 8192, LittleEndian(kSize + 4096)}),
        Fails("CountBeyondBothNamesTmp", kResume,
              Refusal("Counter Size More Then Tmp File Size"),
              Planted{4096, 4096, LittleEndian(kSize + 4096)}),
        // The temporary file already has the length preallocation would
        // give it, so the refused seek is the first thing to change.
        Fails("NegativeCount", kResume, SeekRefused(-4096),
              Planted{kSize, 24576, LittleEndian(-4096)}),
        // Source size minus this count overflows a signed count: it must
        // still fail at the seek, not copy a few bytes and call it done.
        Fails("HugeNegativeCount", kResume, SeekRefused(INT64_MIN + 20000),
              Planted{4096, 4096, LittleEndian(INT64_MIN + 20000)})),
    LabelName());

}  // namespace
}  // namespace ferrux::test
