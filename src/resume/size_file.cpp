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
constexpr unsigned char kDigestTag[4] = {'F', 'X', 'D', '1'};
constexpr std::size_t kDigestHeader = 16;  // tag, n, check
constexpr std::size_t kDigestEntry = 24;
// A table read back is never larger: 24 bytes per 16 MiB of source and per
// checkpoint.
constexpr std::int64_t kLargestTable = std::int64_t{64} << 20;

constexpr std::uint32_t kComparedBytes = 65536;

void PutBits(unsigned char* at, std::uint64_t bits, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) {
    at[i] = static_cast<unsigned char>(bits >> (8 * i));
  }
}

std::uint64_t GetBits(const unsigned char* at, std::uint32_t bytes) {
  std::uint64_t bits = 0;
  for (std::uint32_t i = 0; i < bytes; ++i) {
    bits |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  }
  return bits;
}

void Put(Record& record, std::uint32_t at, std::int64_t value) {
  PutBits(record.data() + at, static_cast<std::uint64_t>(value), 8);
}

std::int64_t Get(const Record& record, std::uint32_t at) {
  return static_cast<std::int64_t>(GetBits(record.data() + at, 8));
}

std::uint64_t CheckOf(const unsigned char* entries, std::size_t size) {
  engine::Hash128 hash;
  hash.Add(entries, size);
  return hash.Value().low;
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

std::vector<unsigned char> EncodeDigests(
    const std::vector<engine::Segment>& segments) {
  std::vector<unsigned char> bytes(kDigestHeader +
                                   kDigestEntry * segments.size());
  std::copy(std::begin(kDigestTag), std::end(kDigestTag), bytes.begin());
  PutBits(&bytes[4], segments.size(), 4);
  unsigned char* entry = bytes.data() + kDigestHeader;
  for (const engine::Segment& segment : segments) {
    PutBits(entry, static_cast<std::uint64_t>(segment.end), 8);
    PutBits(entry + 8, segment.digest.high, 8);
    PutBits(entry + 16, segment.digest.low, 8);
    entry += kDigestEntry;
  }
  PutBits(&bytes[8],
          CheckOf(bytes.data() + kDigestHeader, bytes.size() - kDigestHeader),
          8);
  return bytes;
}

std::vector<engine::Segment> DecodeDigests(
    const std::vector<unsigned char>& bytes, std::int64_t count) {
  std::vector<engine::Segment> segments;
  if (bytes.size() < kDigestHeader ||
      !std::equal(std::begin(kDigestTag), std::end(kDigestTag),
                  bytes.begin())) {
    return segments;
  }
  // At most 2^32 - 1, and the bound below keeps it within the bytes.
  const auto n = static_cast<std::size_t>(GetBits(&bytes[4], 4));
  if (n > (bytes.size() - kDigestHeader) / kDigestEntry ||
      CheckOf(bytes.data() + kDigestHeader, n * kDigestEntry) !=
          GetBits(&bytes[8], 8)) {
    return segments;
  }
  std::int64_t last = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char* entry = &bytes[kDigestHeader + i * kDigestEntry];
    const auto end = static_cast<std::int64_t>(GetBits(entry, 8));
    if (end <= last) return {};
    if (end > count) break;
    segments.push_back({end, {GetBits(entry + 8, 8), GetBits(entry + 16, 8)}});
    last = end;
  }
  return segments;
}

bool SameTail(engine::FileChannel& source, engine::FileChannel& target,
              std::int64_t end) {
  const std::int64_t from = end - std::min<std::int64_t>(end, kComparedBytes);
  const auto length = static_cast<std::uint32_t>(end - from);
  return ReadAt(source, from, length) == ReadAt(target, from, length);
}

SizeFile::Facts SizeFile::Read(const std::string& name,
                               const SourceStamp& stamp) {
  stamp_ = stamp;
  channel_.Assign(name);
  Facts facts;
  // Not created before a count is stored: on a share each creation and
  // removal is a round trip, and a copy done within one interval needs
  // none.
  if (!channel_.OpenExisting()) return facts;
  facts.present = true;
  facts.links = Links();
  Record record{};
  facts.bytes = channel_.ReadBlock(record.data(), kRecordSize);
  facts.stored = DecodeRecord(record, facts.bytes);
  tail_is_ours_ = facts.stored.tail_is_ours;
  return facts;
}

std::uint32_t SizeFile::Links() {
  const os::Result<std::uint32_t> links =
      platform_.LinkCount(channel_.handle());
  engine::CheckLastError(platform_, links.status);
  return links.value;
}

std::vector<engine::Segment> SizeFile::ReadDigests() {
  if (channel_.mode() == engine::ChannelMode::kClosed || !tail_is_ours_) {
    return {};
  }
  const std::int64_t length =
      std::min(channel_.Size64() - kRecordSize, kLargestTable);
  if (length <= 0) return {};
  return DecodeDigests(
      ReadAt(channel_, kRecordSize, static_cast<std::uint32_t>(length)),
      stored_);
}

void SizeFile::Store(std::int64_t count) {
  if (channel_.mode() == engine::ChannelMode::kClosed) {
    channel_.OpenOrCreate(engine::FileChannel::Sharing::kShared);
    // A name planted since the run looked: written through, it would
    // overwrite another file.
    if (Links() > 1) {
      engine::RaiseException(
          "Size File has another name, delete .tmp and .size files to start "
          "over");
    }
    // A count must never outlive the names it speaks of: a power cut that
    // kept it and lost the new size file's name, or the temporary file's
    // made before it, would leave a count no run resumes from (file systems
    // and servers make names durable on their own schedule). One folder
    // flush per copy, before its first count; a file system that keeps no
    // folder to flush makes its names durable its own way.
    const os::Status flushed = platform_.FlushFolderOf(channel_.name());
    if (flushed.code != os::kErrorNotSupported) {
      engine::CheckLastError(platform_, flushed);
    }
  }
  channel_.Seek64(0);
  const Record record = EncodeRecord(count, stamp_);
  std::vector<unsigned char> bytes(record.begin(), record.end());
  // A tail that is not this program's own is left as it is.
  if (!tail_is_ours_) bytes.resize(kCountSize);
  // The digests go with the count in one write: a torn one is caught by
  // their check, or else by the read-back, and costs only a copy again.
  if (tail_is_ours_ && digests_ != nullptr) {
    const std::vector<unsigned char> table = EncodeDigests(digests_->sealed());
    bytes.insert(bytes.end(), table.begin(), table.end());
  }
  channel_.WriteBlock(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  // Without this a power cut would lose the count and the next run would
  // start over; it costs one small flush per checkpoint.
  channel_.FlushToDisk();
  stored_ = count;
}

void SizeFile::Checkpoint(engine::FileChannel& target, std::int64_t written) {
  // The row of a complete copy stores nothing, and finishing flushes the
  // target anyway: a flush here would be a round trip on a share for
  // nothing.
  if (written >= stamp_.size) return;
  // Only a count whose bytes are on the device may be stored: a resume
  // from a count beyond the durable data would yield a corrupt copy.
  target.FlushToDisk();
  Store(written);
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
