// The size file: format, validation, checkpoints.
#include "resume/size_file.h"

#include "engine/failure.h"

namespace ferrux::resume {

CountBytes EncodeCount(std::int64_t count) {
  const auto bits = static_cast<std::uint64_t>(count);
  CountBytes bytes{};
  for (std::uint32_t i = 0; i < kCountSize; ++i) {
    bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
  }
  return bytes;
}

std::int64_t DecodeCount(const CountBytes& bytes) {
  std::uint64_t bits = 0;
  for (std::uint32_t i = 0; i < kCountSize; ++i) {
    bits |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
  }
  return static_cast<std::int64_t>(bits);
}

void ValidateCount(std::uint32_t bytes_read, std::int64_t count,
                   std::int64_t temp_size, std::int64_t source_size) {
  if (bytes_read != 0 && bytes_read != kCountSize) {
    engine::RaiseException("Strange Counter Size");
  }
  if (temp_size < count) {
    engine::RaiseException("Counter Size More Then Tmp File Size");
  }
  if (count > source_size) {
    engine::RaiseException("Counter Size More Then Src File Size");
  }
}

std::int64_t SizeFile::Open(const std::string& name,
                            engine::FileChannel& target,
                            std::int64_t source_size,
                            report::ConsoleOut& console) {
  channel_.Assign(name);
  channel_.OpenOrCreate();
  CountBytes bytes{};
  const std::uint32_t read = channel_.ReadBlock(bytes.data(), kCountSize);
  const std::int64_t count = read == kCountSize ? DecodeCount(bytes) : 0;
  ValidateCount(read, count, target.Size64(), source_size);
  if (count > 0) console.PrintLine({"Restart from ", report::Number{count}});
  return count;
}

void SizeFile::Checkpoint(engine::BackgroundWriter& writer,
                          engine::FileChannel& target, std::int64_t copied,
                          std::int64_t source_size) {
  writer.WaitIdle();
  // Only a count whose bytes are on the device may be stored: a resume
  // from a count beyond the durable data would yield a corrupt copy.
  target.FlushToDisk();
  if (copied < source_size) {
    channel_.Seek64(0);
    const CountBytes bytes = EncodeCount(copied);
    channel_.WriteBlock(bytes.data(), kCountSize);
    // Without this a power cut would lose the count and the next run would
    // start over; it costs one small flush per checkpoint.
    channel_.FlushToDisk();
  }
}

void SizeFile::Close() { channel_.Close(); }

}  // namespace ferrux::resume
