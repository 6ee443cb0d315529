// Where a run starts: every outcome, with the facts that lead to it.
#include "resume/start.h"

#include <gtest/gtest.h>

namespace ferrux::resume {
namespace {

constexpr std::int64_t kSize = 1 << 20, kTime = 1700000000123456789;
const SourceStamp kSource{kSize, kTime};

// A resumable copy's facts: a size file holding `count`, stamped with the
// source as it is, beside a temporary file of `tmp` bytes; no final file.
StartFacts Resumable(std::int64_t count, std::int64_t tmp) {
  StartFacts f;
  f.resumable = true;
  f.source = kSource;
  f.size_file_present = true;
  f.size_file_bytes = kRecordSize;
  f.stored = {count, true, true, kSource};
  f.tmp_size = tmp;
  return f;
}

struct Row {
  const char* label;
  StartFacts facts;
  Start start;
  std::int64_t count;
  const char* refusal;
  bool tails_match = true;  // what every probe finds
};

template <class Change>
StartFacts With(StartFacts f, Change change) {
  change(f);
  return f;
}

// The final file a finished run left: the source's length, and its time
// as a file system that keeps whole seconds stores it.
void Named(StartFacts& f) {
  f.final_present = f.final_regular = true;
  f.final_size = kSize;
  f.final_time = kTime / 1000000000 * 1000000000;
}

TEST(Start, EveryOutcomeFromItsFacts) {
  const char* changed =
      "Source File changed, delete .tmp and .size files to start over";
  const char* other_name =
      "Temporary Target File has another name, delete .tmp and .size files "
      "to start over";
  const Row rows[] = {
      {"no size file",
       With(Resumable(0, 0), [](auto& f) { f.size_file_present = false; }),
       Start::kFresh, 0, ""},
      {"ordinary copy ignores a size file",
       With(Resumable(4096, 0), [](auto& f) { f.resumable = false; }),
       Start::kFresh, 0, ""},
      {"stored count", Resumable(8192, kSize), Start::kResume, 8192, ""},
      {"negative count fails later, at the seek", Resumable(-4096, kSize),
       Start::kResume, -4096, ""},
      {"complete count", Resumable(kSize, kSize), Start::kFinishOnly, kSize,
       ""},
      {"bytes before the count differ", Resumable(8192, kSize), Start::kRefuse,
       0,
       "Temporary Target File does not match Source File, delete .tmp and "
       ".size files to start over",
       false},
      {"source touched",
       With(Resumable(8192, kSize),
            [](auto& f) { f.source.last_write_unix_ns += 1; }),
       Start::kRefuse, 0, changed},
      {"unstamped count of an older version",
       With(Resumable(8192, kSize),
            [](auto& f) {
              f.stored.stamped = false;
              f.source.last_write_unix_ns += 1;
            }),
       Start::kResume, 8192, ""},
      {"short size file",
       With(Resumable(0, 0), [](auto& f) { f.size_file_bytes = 3; }),
       Start::kRefuse, 0, "Strange Counter Size"},
      {"temporary file lost", Resumable(8192, 0), Start::kRefuse, 0,
       "Counter Size More Then Tmp File Size"},
      {"source shortened",
       With(Resumable(kSize, kSize),
            [](auto& f) {
              f.stored.stamped = false;
              f.source.size = 4096;
            }),
       Start::kRefuse, 0, "Counter Size More Then Src File Size"},
      {"size file with a second name",
       With(Resumable(8192, kSize), [](auto& f) { f.size_file_links = 2; }),
       Start::kRefuse, 0,
       "Size File has another name, delete .tmp and .size files to start over"},
      // Named, then stopped before the leftovers went: the final file is
      // proved the copy at the coarser time step of the two file systems.
      {"named, leftovers stayed", With(Resumable(kSize, 0), Named),
       Start::kDropLeftovers, 0, ""},
      {"named, but not this copy", With(Resumable(kSize, 0), Named),
       Start::kRefuse, 0, "Counter Size More Then Tmp File Size", false},
      {"named, seconds later",
       With(Resumable(kSize, 0),
            [](auto& f) {
              Named(f);
              f.final_time += 3000000000;
            }),
       Start::kRefuse, 0, "Counter Size More Then Tmp File Size"},
      {"named by this run's earlier try, then a failure",
       With(Resumable(4096, 0),
            [](auto& f) {
              Named(f);
              f.final_appeared = f.files_missing = true;
            }),
       Start::kDropLeftovers, 0, ""},
      {"named meanwhile by another run, no size file",
       With(Resumable(0, 0),
            [](auto& f) {
              Named(f);
              f.size_file_present = false;
              f.final_appeared = true;
            }),
       Start::kDropLeftovers, 0, ""},
      {"the files a count spoke of are gone",
       With(Resumable(4096, 0), [](auto& f) { f.files_missing = true; }),
       Start::kRefuse, 0, "Temporary Target File or Size File missing"},
      // A linked rename stopped between its two steps.
      {"two names, the system says which",
       With(Resumable(8192, kSize),
            [](auto& f) {
              f.tmp_links = 2;
              f.tmp_is_final = true;
              f.tmp_time = kTime;
            }),
       Start::kDropTemporaryName, 8192, ""},
      {"two names, complete",
       With(Resumable(kSize, kSize),
            [](auto& f) {
              f.tmp_links = 2;
              f.tmp_is_final = true;
            }),
       Start::kDropTemporaryName, kSize, ""},
      {"two names, not the final",
       With(Resumable(8192, kSize), [](auto& f) { f.tmp_links = 2; }),
       Start::kRefuse, 0, other_name},
      // (sshfs tells neither the link count nor one identity of two names)
      {"a final file just like the temporary one, proved the copy",
       With(Resumable(kSize, kSize),
            [](auto& f) {
              Named(f);
              f.tmp_time = f.final_time;
            }),
       Start::kDropLeftovers, 0, ""},
      {"a final file just like the temporary one, not the copy",
       With(Resumable(0, kSize),
            [](auto& f) {
              Named(f);
              f.tmp_time = f.final_time;
            }),
       Start::kRefuse, 0, other_name, false},
      {"an empty final file, a temporary one just made",
       With(Resumable(0, 0),
            [](auto& f) {
              Named(f);
              f.size_file_present = false;
              f.final_size = 0;
              f.tmp_time = f.final_time;
            }),
       Start::kFresh, 0, ""},
  };
  for (const Row& row : rows) {
    const auto probe = [&] { return row.tails_match; };
    const StartDecision decision =
        DecideStart(row.facts, {probe, probe, probe});
    EXPECT_EQ(decision.start, row.start) << row.label;
    EXPECT_EQ(decision.count, row.count) << row.label;
    EXPECT_EQ(decision.refusal, row.refusal) << row.label;
    EXPECT_EQ(decision.cure == engine::Cure::kWaiting,
              std::string(row.label).ends_with("gone"))
        << row.label;
  }
}

// Times match at the coarser step the two values show, no finer.
TEST(Start, TimesMatchAtTheCoarserStep) {
  constexpr std::int64_t kSecond = 1000000000;
  EXPECT_TRUE(SameTime(kTime, kTime));
  EXPECT_FALSE(SameTime(kTime, kTime + 1));
  EXPECT_TRUE(SameTime(kTime, kTime / kSecond * kSecond));    // sshfs
  EXPECT_TRUE(SameTime(kTime, kTime / 10000000 * 10000000));  // exFAT
  EXPECT_TRUE(SameTime(
      kTime, (kTime / (2 * kSecond) + 1) * 2 * kSecond));  // FAT rounds up
  EXPECT_FALSE(SameTime(kTime, kTime / kSecond * kSecond + 3 * kSecond));
  EXPECT_FALSE(SameTime(kTime, kTime + 100));
}

}  // namespace
}  // namespace ferrux::resume
