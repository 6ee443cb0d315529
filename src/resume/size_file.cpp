// The size file: format, validation, checkpoints.
#include "resume/size_file.h"

#include <algorithm>
#include <vector>

#include "engine/failure.h"

namespace ferrux::resume {
namespace {

constexpr unsigned char kTag[4] = {'F', 'X', 'S', '1'};
constexpr std::uint32_t kTagAt = 8;
constexpr std::uint32_t kStampAt = 12;

constexpr std::uint32_t kComparedBytes = 65536;

void Put(Record& record, std::uint32_t at, std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  for (std::uint32_t i = 0; i < 8; ++i) {
    record[at + i] = static_cast<unsigned char>(bits >> (8 * i));
  }
}

std::int64_t Get(const Record& record, std::uint32_t at) {
  std::uint64_t bits = 0;
  for (std::uint32_t i = 0; i < 8; ++i) {
    bits |= static_cast<std::uint64_t>(record[at + i]) << (8 * i);
  }
  return static_cast<std::int64_t>(bits);
}

// Reads up to `count` bytes at `position`, however the system splits them.
std::vector<unsigned char> ReadAt(engine::FileChannel& channel,
                                  std::int64_t position, std::uint32_t count) {
  std::vector<unsigned char> bytes(count);
  std::uint32_t done = 0;
  channel.Seek64(position);
  while (done < count) {
    const std::uint32_t read =
        channel.ReadBlock(bytes.data() + done, count - done);
    if (read == 0) break;
    done += read;
  }
  bytes.resize(done);
  return bytes;
}

}  // namespace

Record EncodeRecord(std::int64_t count, const SourceStamp& stamp) {
  Record record{};
  Put(record, 0, count);
  std::copy(std::begin(kTag), std::end(kTag), record.begin() + kTagAt);
  Put(record, kStampAt, stamp.size);
  Put(record, kStampAt + 8, stamp.last_write_unix_ns);
  return record;
}

StoredCount DecodeRecord(const Record& record, std::uint32_t size) {
  StoredCount stored;
  if (size < kCountSize) return stored;
  stored.count = Get(record, 0);
  stored.tail_is_ours =
      size == kCountSize ||
      (size >= kStampAt &&
       std::equal(std::begin(kTag), std::end(kTag), record.begin() + kTagAt));
  stored.stamped = stored.tail_is_ours && size >= kRecordSize;
  if (stored.stamped) {
    stored.stamp = {Get(record, kStampAt), Get(record, kStampAt + 8)};
  }
  return stored;
}

void ValidateCount(std::uint32_t bytes_read, std::int64_t count,
                   std::int64_t temp_size, std::int64_t source_size) {
  if (bytes_read != 0 && bytes_read < kCountSize) {
    engine::RaiseException("Strange Counter Size");
  }
  if (temp_size < count) {
    engine::RaiseException("Counter Size More Then Tmp File Size");
  }
  if (count > source_size) {
    engine::RaiseException("Counter Size More Then Src File Size");
  }
}

bool SameTail(engine::FileChannel& source, engine::FileChannel& target,
              std::int64_t end) {
  const std::int64_t from = end - std::min<std::int64_t>(end, kComparedBytes);
  const auto length = static_cast<std::uint32_t>(end - from);
  return ReadAt(source, from, length) == ReadAt(target, from, length);
}

std::int64_t SizeFile::Open(const std::string& name,
                            engine::FileChannel& source,
                            engine::FileChannel& target,
                            const SourceStamp& stamp,
                            report::ConsoleOut& console) {
  stamp_ = stamp;
  channel_.Assign(name);
  // Not created before a count is stored: on a share each creation and
  // removal is a round trip, and a copy done within one interval needs
  // none.
  if (!channel_.OpenExisting()) return 0;
  Record record{};
  const std::uint32_t read = channel_.ReadBlock(record.data(), kRecordSize);
  const StoredCount stored = DecodeRecord(record, read);
  ValidateCount(read, stored.count, target.Size64(), stamp.size);
  tail_is_ours_ = stored.tail_is_ours;
  stored_ = stored.count;
  if (stored.count <= 0) return stored.count;
  // A stamp tells a replaced or rewritten source by its length or time;
  // the compared bytes also catch an edit that kept both, a temporary file
  // put there from elsewhere, and size files without a stamp.
  if (stored.stamped &&
      (stored.stamp.size != stamp.size ||
       stored.stamp.last_write_unix_ns != stamp.last_write_unix_ns)) {
    engine::RaiseException(
        "Source File changed, delete .tmp and .size files to start over");
  }
  if (!SameTail(source, target, stored.count)) {
    engine::RaiseException(
        "Temporary Target File does not match Source File, delete .tmp and "
        ".size files to start over");
  }
  console.PrintLine({"Restart from ", report::Number{stored.count}});
  return stored.count;
}

void SizeFile::Store(std::int64_t count) {
  if (channel_.mode() == engine::ChannelMode::kClosed) {
    channel_.OpenOrCreate(engine::FileChannel::Sharing::kShared);
  }
  channel_.Seek64(0);
  const Record record = EncodeRecord(count, stamp_);
  // A tail that is not this program's own is left as it is.
  channel_.WriteBlock(record.data(), tail_is_ours_ ? kRecordSize : kCountSize);
  // Without this a power cut would lose the count and the next run would
  // start over; it costs one small flush per checkpoint.
  channel_.FlushToDisk();
  stored_ = count;
}

void SizeFile::Checkpoint(engine::BackgroundWriter& writer,
                          engine::FileChannel& target, std::int64_t copied) {
  writer.WaitIdle();
  // The row of a complete copy stores nothing, and finishing flushes the
  // target anyway: a flush here would be a round trip on a share for
  // nothing.
  if (copied >= stamp_.size) return;
  // Only a count whose bytes are on the device may be stored: a resume
  // from a count beyond the durable data would yield a corrupt copy.
  target.FlushToDisk();
  Store(copied);
}

void SizeFile::MarkComplete(IfAbsent if_absent) {
  const bool absent = channel_.mode() == engine::ChannelMode::kClosed;
  if (absent ? if_absent == IfAbsent::kCreate : stored_ != stamp_.size) {
    Store(stamp_.size);
  }
}

bool SizeFile::Close() {
  if (channel_.mode() == engine::ChannelMode::kClosed) return false;
  channel_.Close();
  return true;
}

}  // namespace ferrux::resume
