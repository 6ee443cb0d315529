// The size file: the whole resume state. It holds, as one 8-byte
// little-endian signed count, how many bytes at the start of the temporary
// target are on disk and equal to the source.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/background_writer.h"
#include "engine/file_channel.h"
#include "os/platform.h"
#include "report/console_out.h"

namespace ferrux::resume {

inline constexpr std::uint32_t kCountSize = 8;

using CountBytes = std::array<unsigned char, kCountSize>;

CountBytes EncodeCount(std::int64_t count);
std::int64_t DecodeCount(const CountBytes& bytes);

// Raises Exception when a stored count (read as `bytes_read` bytes) cannot
// belong to a temporary target of `temp_size` bytes copied from a source of
// `source_size` bytes. The checks run in this order: "Strange Counter Size"
// (neither 0 nor 8 bytes), "Counter Size More Then Tmp File Size",
// "Counter Size More Then Src File Size".
void ValidateCount(std::uint32_t bytes_read, std::int64_t count,
                   std::int64_t temp_size, std::int64_t source_size);

// The open size file of a resumable run. Main thread only.
class SizeFile {
 public:
  explicit SizeFile(os::Platform& platform) : channel_(platform) {}

  // Opens the file (created empty if it cannot be opened), reads and
  // validates the stored count against the temporary target and the
  // source, and returns it (0 for an empty file). Prints "Restart from "
  // and the count when it is above 0. Raises the channel's failures and
  // those of ValidateCount; repairs nothing.
  std::int64_t Open(const std::string& name, engine::FileChannel& target,
                    std::int64_t source_size, report::ConsoleOut& console);

  // Makes `copied` durable, in this order: wait until the writer has
  // written every block handed to it, force the target's data to disk, and
  // only then store the count and force it to disk too (while it is below
  // `source_size`; a complete copy's count is never stored). A failed flush
  // of the target raises EWin32Error and stores nothing, so the file keeps
  // the previous, still true, count.
  void Checkpoint(engine::BackgroundWriter& writer, engine::FileChannel& target,
                  std::int64_t copied, std::int64_t source_size);

  void Close();

 private:
  engine::FileChannel channel_;
};

}  // namespace ferrux::resume
