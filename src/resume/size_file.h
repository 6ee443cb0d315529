// The size file: the whole resume state. Its first 8 bytes hold, as one
// little-endian signed count, how many bytes at the start of the temporary
// target are on disk and equal to the source; a stamp of the source may
// follow, which ties the count to the source it was copied from.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/chunk_digests.h"
#include "engine/file_channel.h"
#include "report/console_out.h"

namespace ferrux::resume {

// The source as it was when the copy began: its length and last-write
// time (nanoseconds since 1970-01-01 UTC).
struct SourceStamp {
  std::int64_t size = 0;
  std::int64_t last_write_unix_ns = 0;
  bool operator==(const SourceStamp&) const = default;
};

// Layout, all numbers little-endian:
//    0  8  the count (signed)
//    8  4  "FXS1": a stamp in this layout follows
//   12  8  the source's length when the copy began (signed)
//   20  8  its last-write time, nanoseconds since 1970-01-01 UTC (signed)
//   28  4  "FXD1": digests of the source follow (verified copies)
//   32  4  n, the number of segments (unsigned)
//   36  8  low half of the XXH3-128 of the n entries that follow
//   44 24n per segment: its end (signed), its digest's high and low halves
// A file of 0 bytes means a count of 0. Older files end after the count or
// the stamp, and older programs rewrite only those, leaving the digests,
// which speak of the source alone and so stay true. Bytes after the count
// that do not start with the tag are left alone.
inline constexpr std::uint32_t kCountSize = 8;
inline constexpr std::uint32_t kRecordSize = 28;
using Record = std::array<unsigned char, kRecordSize>;

Record EncodeRecord(std::int64_t count, const SourceStamp& stamp);

// What a size file of `size` bytes (its first bytes in `record`) says.
struct StoredCount {
  std::int64_t count = 0;
  bool tail_is_ours = true;  // empty, or this program's tag
  bool stamped = false;      // a whole stamp is present
  SourceStamp stamp;
};
StoredCount DecodeRecord(const Record& record, std::uint32_t size);

// The digest table (from offset 28 on) for `segments`, and back: the
// segments of `bytes` that end at or before `count`, none where the tag,
// the length, the check or the order of the ends is wrong.
std::vector<unsigned char> EncodeDigests(
    const std::vector<engine::Segment>& segments);
std::vector<engine::Segment> DecodeDigests(
    const std::vector<unsigned char>& bytes, std::int64_t count);

// Whether the last bytes before `end` (up to 64 KiB) are the same in the
// source and the target: enough to tell another file, or another version
// of it, without rereading the copy. Moves both channels' positions.
bool SameTail(engine::FileChannel& source, engine::FileChannel& target,
              std::int64_t end);

// The open size file of a resumable run. Main thread only.
class SizeFile {
 public:
  explicit SizeFile(os::Platform& platform)
      : platform_(platform), channel_(platform, "Size File") {}

  // Opens the file where it exists (else it is created when a count is
  // first stored) and reads what it holds, for the start decision; the
  // stamp is what every count stored from now on carries. Writes nothing.
  struct Facts {
    bool present = false;
    std::uint32_t bytes = 0;  // of the record read
    std::uint32_t links = 1;
    StoredCount stored;
  };
  Facts Read(const std::string& name, const SourceStamp& stamp);
  // The count the run goes on from, as the start decision took it.
  void Take(std::int64_t count) { stored_ = count; }

  // Makes `written` durable while it is below the source's size: forces
  // the target's data to disk, and only then stores the count and forces
  // it to disk too (a complete copy's count is stored by MarkComplete).
  // `written` must end a prefix of the target written in full. A failed
  // flush of the target raises EWin32Error and stores nothing, so the file
  // keeps the previous, still true, count.
  void Checkpoint(engine::FileChannel& target, std::int64_t written);

  // Stores the source's whole size as the count, forced to disk: the
  // temporary target is complete and flushed, and a later run goes straight
  // to finishing instead of writing into it. kSkip does nothing where no
  // count was ever stored (that run then tells the finished copy by its
  // length and time); kCreate makes the file.
  enum class IfAbsent { kSkip, kCreate };
  void MarkComplete(IfAbsent if_absent);

  // The source's digests stored with the count (none in a file without
  // them, or with a tail not this program's).
  std::vector<engine::Segment> ReadDigests();
  // From now on every count stored carries the sealed segments of
  // `digests`, which must outlive this object.
  void KeepDigests(const engine::SourceDigests& digests) {
    digests_ = &digests;
  }
  // Stores `count`, below the stored one, forced to disk: the bytes after
  // it are to be copied again.
  void Rewind(std::int64_t count) { Store(count); }

  // Closes the file; returns whether there was one.
  bool Close();

  // The count read or stored last; 0 before Open.
  std::int64_t stored() const { return stored_; }

 private:
  void Store(std::int64_t count);
  // How many names the open file has.
  std::uint32_t Links();
  os::Platform& platform_;

  engine::FileChannel channel_;
  SourceStamp stamp_;
  bool tail_is_ours_ = true;
  std::int64_t stored_ = 0;
  const engine::SourceDigests* digests_ = nullptr;
};

}  // namespace ferrux::resume
