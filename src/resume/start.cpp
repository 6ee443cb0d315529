// The decision where a run starts.
#include "resume/start.h"

#include <algorithm>

namespace ferrux::resume {
namespace {

constexpr const char* kCountBeyondTmp = "Counter Size More Then Tmp File Size";

std::int64_t StepOf(std::int64_t time) {
  for (const std::int64_t step :
       {2000000000LL, 1000000000LL, 10000000LL, 1000000LL, 1000LL, 100LL}) {
    if (time % step == 0) return step;
  }
  return 1;
}

StartDecision Go(Start start, std::int64_t count = 0) {
  StartDecision decision;
  decision.start = start;
  decision.count = count;
  return decision;
}

}  // namespace

bool SameTime(std::int64_t a, std::int64_t b) {
  const auto step = static_cast<std::uint64_t>(std::max(StepOf(a), StepOf(b)));
  const auto ua = static_cast<std::uint64_t>(a);
  const auto ub = static_cast<std::uint64_t>(b);
  return (a < b ? ub - ua : ua - ub) < step;
}

StartDecision DecideStart(const StartFacts& f, const StartProbes& probes) {
  const auto refuse = [](std::string message,
                         engine::Cure cure = engine::Cure::kNone) {
    return StartDecision{Start::kRefuse, 0, std::move(message), cure};
  };
  // The source's length and time, which finishing gave the copy, and its
  // last bytes.
  const auto final_is_copy = [&] {
    return f.final_present && f.final_regular &&
           f.final_size == f.source.size &&
           SameTime(f.final_time, f.source.last_write_unix_ns) &&
           probes.final_ends_as_source();
  };
  // Named since the first try looked: by this run's own earlier try, whose
  // failure came after the rename, or by another run meanwhile.
  if (f.final_appeared && final_is_copy()) return Go(Start::kDropLeftovers);
  if (f.files_missing) {
    return refuse("Temporary Target File or Size File missing",
                  engine::Cure::kWaiting);
  }
  std::int64_t count = 0;
  if (f.resumable && f.size_file_present) {
    // Written through a second name, it would overwrite another file.
    if (f.size_file_links > 1) {
      return refuse(
          "Size File has another name, delete .tmp and .size files to start "
          "over");
    }
    const StoredCount& stored = f.stored;
    const bool same_source =
        stored.stamped && stored.stamp.size == f.source.size &&
        stored.stamp.last_write_unix_ns == f.source.last_write_unix_ns;
    // The mark of a complete copy of this very source beside an empty
    // temporary file: a run gave the copy its final name and was stopped
    // or cut before the mark went.
    if (same_source && stored.count > 0 && stored.count == f.source.size &&
        f.tmp_size == 0) {
      return final_is_copy() ? Go(Start::kDropLeftovers)
                             : refuse(kCountBeyondTmp);
    }
    if (f.size_file_bytes != 0 && f.size_file_bytes < kCountSize) {
      return refuse("Strange Counter Size");
    }
    if (f.tmp_size < stored.count) return refuse(kCountBeyondTmp);
    if (stored.count > f.source.size) {
      return refuse("Counter Size More Then Src File Size");
    }
    // A stamp tells a replaced or rewritten source by its length or time;
    // the compared bytes also catch an edit that kept both, a temporary
    // file put there from elsewhere, and size files without a stamp.
    if (stored.count > 0 && stored.stamped && !same_source) {
      return refuse(
          "Source File changed, delete .tmp and .size files to start over");
    }
    if (stored.count > 0 && !probes.tmp_matches_before_count()) {
      return refuse(
          "Temporary Target File does not match Source File, delete .tmp "
          "and .size files to start over");
    }
    count = stored.count;
  }
  const bool complete = f.resumable && count == f.source.size;
  // Whether the temporary file is also the final file, left by a run
  // stopped between the two steps of a linked rename: certainly (the
  // system tells), or maybe (another name, or, where the system never
  // tells, as on sshfs, a final file of the temporary file's very length
  // and time; two names of one file never differ in either). Two empty
  // files prove nothing so: a temporary file this run just made matches an
  // empty final file made within the time step of the file system.
  const bool maybe_final =
      f.tmp_links > 1 ||
      (f.final_present && f.tmp_size > 0 && f.final_size == f.tmp_size &&
       f.final_time == f.tmp_time);
  // A file that may bear the final name is never written into: a complete
  // copy goes on to finishing, which writes no data; where the system
  // tells it is the final file, only the temporary name goes, and only of
  // a copy of the source as it is now.
  if (f.tmp_is_final &&
      (complete || (f.tmp_size == f.source.size &&
                    SameTime(f.tmp_time, f.source.last_write_unix_ns) &&
                    probes.tmp_ends_as_source()))) {
    return Go(Start::kDropTemporaryName, count);
  }
  // Whatever the temporary file is (a second name of the final file where
  // the system never tells, or a copy finished beside it), a final file
  // proved the copy is the copy: only the leftovers go.
  if (maybe_final && final_is_copy()) return Go(Start::kDropLeftovers);
  if (maybe_final && !complete) {
    return refuse(
        "Temporary Target File has another name, delete .tmp and .size "
        "files to start over");
  }
  if (complete) return Go(Start::kFinishOnly, count);
  return Go(count == 0 ? Start::kFresh : Start::kResume, count);
}

}  // namespace ferrux::resume
