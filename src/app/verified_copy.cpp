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

// Two page-aligned buffers for the read back, given back when it ends.
// Not locked: nothing else waits for them.
class ReadBuffers {
 public:
  ReadBuffers(os::Platform& platform, std::uint32_t size)
      : platform_(platform), size_(size) {
    for (void*& slot : slots_) {
      slot = platform.AllocatePages(size);
      if (slot == nullptr) {
        engine::RaiseException("No memory: " +
                               std::to_string(static_cast<std::int32_t>(size)));
      }
    }
  }
  ~ReadBuffers() {
    for (void* slot : slots_) {
      if (slot != nullptr) platform_.FreePages(slot, size_);
    }
  }
  ReadBuffers(const ReadBuffers&) = delete;
  ReadBuffers& operator=(const ReadBuffers&) = delete;
  unsigned char* at(std::uint32_t index) {
    return static_cast<unsigned char*>(slots_[index]);
  }

 private:
  os::Platform& platform_;
  std::uint32_t size_;
  void* slots_[2] = {nullptr, nullptr};
};

// The reads still in flight when a read back stops early (a mismatch, a
// failed read) land in its buffers: they are waited for before the buffers
// go. What such a read returns no longer matters.
class ReadsInFlight {
 public:
  explicit ReadsInFlight(engine::FileChannel& file) : file_(file) {}
  ReadsInFlight(const ReadsInFlight&) = delete;
  ReadsInFlight& operator=(const ReadsInFlight&) = delete;
  ~ReadsInFlight() {
    for (; pending > 0; --pending) {
      try {
        (void)file_.EndRead();  // see above
      } catch (const engine::Failure&) {
      }
    }
  }
  int pending = 0;

 private:
  engine::FileChannel& file_;
};

// Reads the whole target, `size` bytes, from the device or the server into
// `check`, two reads in flight where the system allows it, as the bulk loop
// reads the source. Returns whether every segment matched; stops at
// the first that does not.
bool ReadBack(const Context& context, engine::FileChannel& target,
              std::int64_t size, std::uint32_t block,
              engine::ReadBackCheck& check) {
  target.ReopenForReadBack();
  ReadBuffers buffers(context.platform, block);
  ReadsInFlight reads(target);
  const bool ahead = target.ReadsAhead();
  std::int64_t asked = 0;
  const auto ask = [&](std::uint32_t slot) {
    if (asked >= size) return;
    target.BeginRead(buffers.at(slot), block, asked);
    ++reads.pending;
    asked += block;
  };
  if (ahead) {
    ask(0);
    ask(1);
  } else {
    target.Seek64(0);
  }
  std::uint32_t index = 0;
  for (std::int64_t done = 0; done < size;) {
    if (ahead) --reads.pending;
    const std::uint32_t count =
        ahead ? target.EndRead() : target.ReadBlock(buffers.at(index), block);
    const std::int64_t rest = size - done;
    // A target shorter than the source, or a read short of a whole block
    // before the end, differs where the bytes are missing.
    if (count < block && count < rest) return false;
    const auto take =
        static_cast<std::size_t>(std::min<std::int64_t>(count, rest));
    if (!check.Add(buffers.at(index), take)) return false;
    if (ahead) ask(index);
    index ^= 1;
    done += static_cast<std::int64_t>(take);
  }
  return true;
}

}  // namespace

void PrepareDigests(const Context& context, CopyFiles& files, const Plan& plan,
                    std::int64_t covered) {
  engine::SourceDigests& digests = files.digests;
  digests.Reset(plan.resume ? files.size_file.ReadDigests()
                            : std::vector<engine::Segment>{});
  if (plan.resume) files.size_file.KeepDigests(digests);
  if (digests.position() >= covered) return;
  // Copied by a run that kept no digests (or not all of them): the copied
  // part of the source is read once, through the cache, to make them.
  context.console.RunStep("Read Copied Part of Source...", [&] {
    constexpr std::uint32_t kPiece = 1 << 20;
    std::vector<unsigned char> piece(kPiece);
    files.source.Seek64(digests.position());
    while (digests.position() < covered) {
      const auto want = static_cast<std::uint32_t>(
          std::min<std::int64_t>(kPiece, covered - digests.position()));
      const std::uint32_t count = files.source.ReadBlock(piece.data(), want);
      if (count == 0) engine::RaiseException("0 bytes readed");
      digests.Add(piece.data(), count);
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
    same = ReadBack(context, copy, plan.source_size, s.buffer_size, check);
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
