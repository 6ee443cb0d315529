// A verified copy: the source's digests kept with the count, built from the
// copied part where an earlier run did not keep them, and the target read
// back past every cache and compared before it takes its final name.
#include <algorithm>
#include <vector>

#include "app/copy_job.h"
#include "engine/chunk_digests.h"
#include "engine/failure.h"

namespace ferrux::app {
namespace {

// Reads the whole of `copy`, `size` bytes, from the device or the server
// into `check`, through the pipeline as the bulk loop reads the source.
// Returns whether every segment matched; stops at the first that does not
// (the pipeline waits for the reads still in flight before its buffers go).
bool ReadBack(const Context& context, CopyFiles& files,
              engine::FileChannel& copy, std::int64_t size, std::uint32_t block,
              engine::ReadBackCheck& check) {
  copy.ReopenForReadBack();
  engine::BlockPipeline& pipeline = files.pipeline;
  pipeline.TakeBuffers(
      engine::SlotsFor(block, context.platform.GetLockLimits()), block);
  pipeline.StartReading(copy, 0, size);
  for (std::int64_t done = 0; done < size;) {
    const engine::Block read = pipeline.NextRead();
    const std::int64_t rest = size - done;
    // A copy shorter than the source, or a read short of a whole block
    // before the end, differs where the bytes are missing.
    if (read.length < block && read.length < rest) return false;
    const auto take =
        static_cast<std::size_t>(std::min<std::int64_t>(read.length, rest));
    if (!check.Add(read.data, take)) return false;
    pipeline.Release(read);
    done += static_cast<std::int64_t>(take);
  }
  return true;
}

}  // namespace

void PrepareDigests(const Context& context, CopyFiles& files, const Plan& plan,
                    std::int64_t covered, std::uint32_t block) {
  engine::SourceDigests& digests = files.digests;
  digests.Reset(plan.resume ? files.size_file.ReadDigests()
                            : std::vector<engine::Segment>{});
  if (plan.resume) files.size_file.KeepDigests(digests);
  if (digests.position() >= covered) return;
  // Copied by a run that kept no digests (or not all of them): the copied
  // part of the source is read once, through the cache, to make them.
  engine::BlockPipeline& pipeline = files.pipeline;
  pipeline.TakeBuffers(
      engine::SlotsFor(block, context.platform.GetLockLimits()), block);
  context.console.RunStep("Read Copied Part of Source...", [&] {
    pipeline.StartReading(files.source, digests.position(), covered);
    while (digests.position() < covered) {
      const engine::Block read = pipeline.NextRead();
      if (read.length == 0) engine::RaiseException("0 bytes readed");
      digests.Add(read.data, static_cast<std::size_t>(std::min<std::int64_t>(
                                 read.length, covered - digests.position())));
      pipeline.Release(read);
    }
    digests.Seal();
    return "Ok";
  });
}

void VerifyTarget(const Context& context, const JobSettings& s,
                  CopyFiles& files, const Plan& plan, engine::FileChannel& copy,
                  Named named) {
  engine::SourceDigests& digests = files.digests;
  digests.Seal();
  if (digests.position() != plan.source_size) {
    engine::RaiseException("Source digests do not cover the Source File");
  }
  const std::vector<engine::Segment>& expected = digests.sealed();
  engine::ReadBackCheck check(expected);
  bool same = false;
  context.console.RunStep("Verify Target File...", [&] {
    same =
        ReadBack(context, files, copy, plan.source_size, s.buffer_size, check);
    return same ? "Ok" : "Fail";
  });
  if (same) {
    // As hash tools print it, so that the copy can be checked later.
    context.console.PrintLine(
        {engine::HexDigits(check.Whole()), "  ", s.FinalTargetName()});
    return;
  }
  const std::size_t bad = check.first_bad();
  const std::int64_t from = bad == 0 ? 0 : expected[bad - 1].end;
  const std::int64_t to = expected[bad].end - 1;
  std::string what = "Target File differs from Source File in bytes " +
                     std::to_string(from) + " to " + std::to_string(to);
  if (named == Named::kAlready) {
    // Never written into once named: the user decides what goes.
    engine::RaiseException(
        what + ", delete it and the .tmp and .size files to start over");
  }
  if (plan.resume) {
    // Only the bytes from the first bad segment on are copied again.
    digests.DropFrom(bad);
    files.size_file.Rewind(from);
    what += ", copy goes on from " + std::to_string(from);
  } else {
    what += ", copy starts over";
  }
  engine::RaiseException(what, engine::Cure::kWaiting);
}

}  // namespace ferrux::app
