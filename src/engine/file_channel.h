// FileChannel: one file opened through a handle, with or without the file
// cache. Every failing operation raises: EInOutError for opening, transfer,
// truncation and closing; EWin32Error for positioning, sizing and the
// uncached reopens.
#pragma once

#include <cstdint>
#include <string>

#include "os/platform.h"

namespace ferrux::engine {

enum class ChannelMode { kClosed, kReadOnly, kReadWrite };

// A channel is used by one thread at a time; the caller hands it over.
class FileChannel {
 public:
  explicit FileChannel(os::Platform& platform) : platform_(platform) {}
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;

  // Stores the name and marks the channel closed; opens nothing. The name
  // must already be within the platform's limit.
  void Assign(std::string name);

  // Opens the existing file for reading (kReadOnly) or for reading and
  // writing (kReadWrite); both let others read and write. An empty name
  // takes the standard input instead. The channel is at position 0.
  void Open(ChannelMode access);
  // Creates the file, emptying an existing one, for reading and writing. An
  // empty name takes the standard output instead.
  void Create();
  // Opens the existing file for reading and writing, keeping its contents;
  // if that fails for any reason, creates it. Reports only the creation's
  // failure.
  void OpenOrCreate();

  // Reads up to `count` bytes at the current position; returns the number
  // read, 0 at the end of the file.
  std::uint32_t ReadBlock(void* buffer, std::uint32_t count);
  // Writes `count` bytes; writing fewer raises EInOutError "Disk full".
  void WriteBlock(const void* buffer, std::uint32_t count);
  // Writes up to `count` bytes and returns the number written; a short
  // write is for the caller to judge.
  std::uint32_t WriteBlockCounted(const void* buffer, std::uint32_t count);
  // Makes the file end at the current position (cuts or extends it).
  void TruncateHere();
  // Closes the handle (a standard handle stays open); the channel is closed
  // afterwards even when that fails.
  void Close();

  // Forces the data written so far to the storage device; raises
  // EWin32Error when the system cannot.
  void FlushToDisk();

  // Positions beyond the end are accepted.
  void Seek64(std::int64_t position);
  std::int64_t Size64();

  // Close the handle and open the file again without the file cache,
  // admitting other readers only. The channel keeps its mode and is at
  // position 0; on failure it is closed.
  void ReopenSourceUncached();
  void ReopenTargetUncached();

  const std::string& name() const { return name_; }
  ChannelMode mode() const { return mode_; }
  os::FileHandle handle() const { return handle_; }

 private:
  void OpenWith(os::OpenMode open_mode, ChannelMode mode_after);
  void Reopen(os::OpenMode open_mode);
  // Raises EInOutError 103 unless the channel's mode allows the operation.
  void Require(bool allowed) const;

  os::Platform& platform_;
  std::string name_;
  os::FileHandle handle_;
  ChannelMode mode_ = ChannelMode::kClosed;
  bool standard_ = false;
};

}  // namespace ferrux::engine
