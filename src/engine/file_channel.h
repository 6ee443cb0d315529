// FileChannel: one file opened through a handle, with or without the file
// cache. Every failing operation raises: EInOutError for opening, transfer,
// truncation and closing; EWin32Error for positioning, sizing, flushing and
// the switches of cache mode.
#pragma once

#include <cstdint>
#include <string>

#include "os/platform.h"

namespace ferrux::engine {

enum class ChannelMode { kClosed, kReadOnly, kReadWrite };

// Uncached transfers keep buffer addresses, sizes and positions multiples
// of this, the largest sector size the program allows for.
inline constexpr std::uint32_t kUncachedUnit = 4096;

// A channel is used by one thread at a time; the caller hands it over.
// Only regular files are opened: a directory fails as Windows fails to
// open one (EInOutError "File access denied"), anything else with
// Exception "<what> is not a regular file", where `what` names the file's
// part in the copy ("Source File").
class FileChannel {
 public:
  FileChannel(os::Platform& platform, const char* what)
      : platform_(platform), what_(what) {}
  FileChannel(const FileChannel&) = delete;
  FileChannel& operator=(const FileChannel&) = delete;
  // Closes a file still open (a failed run's), ignoring a failure: its
  // data and names stay as they are.
  ~FileChannel();

  // Stores the name and marks the channel closed; opens nothing. The name
  // must already be within the platform's limit.
  void Assign(std::string name);

  // Opens the existing file for reading; others may read and write it. The
  // channel is at position 0 and kReadOnly. kRefuse: never through a link
  // (a file the program made, which it may change the attributes of).
  enum class Links { kFollow, kRefuse };
  void Open(Links links = Links::kFollow);
  // Opens the file for reading and writing, keeping its contents, or
  // creates it when it does not exist; no other failure creates, empties or
  // touches anything. kExclusive holds the file for this run alone until
  // it is closed (another run fails with a sharing violation).
  enum class Sharing { kShared, kExclusive };
  void OpenOrCreate(Sharing sharing);
  // Opens the existing file for reading and writing, shared; returns false,
  // opening nothing, where it does not exist. Any other failure raises.
  bool OpenExisting();

  // Reads up to `count` bytes at the current position; returns the number
  // read, 0 at the end of the file.
  std::uint32_t ReadBlock(void* buffer, std::uint32_t count);
  // Reads that run ahead where the system allows it (see os::Platform):
  // BeginRead starts reading up to `count` bytes at `position`; EndRead
  // waits for the oldest read begun and returns its count, raising like
  // ReadBlock.
  bool ReadsAhead() const { return platform_.ReadsAhead(handle_); }
  void BeginRead(void* buffer, std::uint32_t count, std::int64_t position);
  std::uint32_t EndRead();
  // Writes `count` bytes; writing fewer raises EInOutError "Disk full".
  void WriteBlock(const void* buffer, std::uint32_t count);
  // Writes up to `count` bytes and returns the number written; a short
  // write is for the caller to judge.
  std::uint32_t WriteBlockCounted(const void* buffer, std::uint32_t count);
  // Writes up to `count` bytes at `position`, leaving the file's position
  // alone; returns the number written. Any thread that has the channel
  // handed to it for writing, while the owner only reads and flushes.
  std::uint32_t WriteBlockAt(const void* buffer, std::uint32_t count,
                             std::int64_t position);
  // Makes the file end at the current position (cuts or extends it).
  void TruncateHere();
  // Closes the handle; the channel is closed afterwards even when that
  // fails.
  void Close();

  // Forces the data written so far (with kAll, the file's times too) to
  // the storage device; raises EWin32Error when the system cannot.
  void FlushToDisk(
      os::Platform::FlushScope scope = os::Platform::FlushScope::kData);

  // Positions beyond the end are accepted.
  void Seek64(std::int64_t position);
  std::int64_t Size64();

  // Switch the open file to transfers without the file cache, or back,
  // without letting go of it. The position is unspecified afterwards; on
  // failure EWin32Error is raised and the channel is closed.
  void ReopenSourceUncached();
  void ReopenTargetUncached();
  void ReopenCached();
  // For reading back what was written and flushed: from the device or the
  // server, past every cache, reads running ahead where ReadsAhead says.
  void ReopenForReadBack();

  const std::string& name() const { return name_; }
  ChannelMode mode() const { return mode_; }
  // The open file, for the platform calls the channel does not wrap; some
  // of them replace the handle.
  os::FileHandle& handle() { return handle_; }

 private:
  // Takes the file `opened`, if it is one the program works with.
  void Adopt(const os::Result<os::FileHandle>& opened, ChannelMode mode_after);
  void Reopen(os::CacheMode cache_mode);
  // Raises EInOutError 103 unless the channel's mode allows the operation.
  void Require(bool allowed) const;

  os::Platform& platform_;
  const char* what_;
  std::string name_;
  os::FileHandle handle_;
  ChannelMode mode_ = ChannelMode::kClosed;
};

}  // namespace ferrux::engine
