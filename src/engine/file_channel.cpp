// FileChannel operations over the platform's file services.
#include "engine/file_channel.h"

#include "engine/failure.h"

namespace ferrux::engine {

void FileChannel::Assign(std::string name) {
  name_ = std::move(name);
  mode_ = ChannelMode::kClosed;
}

void FileChannel::Require(bool allowed) const {
  if (!allowed) CheckIO(kIoNotAllowed);
}

// The one place that decides which files the program works with: a FIFO,
// a socket or a device would block, or feed the copy something else than
// a file's bytes.
void FileChannel::Adopt(const os::Result<os::FileHandle>& opened,
                        ChannelMode mode_after) {
  mode_ = ChannelMode::kClosed;
  CheckIO(opened.status);
  const os::Result<os::FileKind> kind = platform_.KindOf(opened.value);
  if (kind.ok() && kind.value == os::FileKind::kRegular) {
    handle_ = opened.value;
    mode_ = mode_after;
    return;
  }
  // Refused unread and unwritten: what its close says changes nothing.
  (void)platform_.CloseFile(opened.value);  // the refusal is the report
  CheckIO(kind.status);
  if (kind.value == os::FileKind::kDirectory) CheckIO(os::kErrorAccessDenied);
  RaiseException(std::string(what_) + " is not a regular file");
}

void FileChannel::Open(Links links) {
  Adopt(platform_.OpenFile(name_, links == Links::kFollow
                                      ? os::OpenMode::kReadExisting
                                      : os::OpenMode::kReadOwnExisting),
        ChannelMode::kReadOnly);
}

bool FileChannel::OpenExisting() {
  const os::Result<os::FileHandle> opened =
      platform_.OpenFile(name_, os::OpenMode::kReadWriteExisting);
  mode_ = ChannelMode::kClosed;
  if (opened.status.code == os::kErrorFileNotFound) return false;
  Adopt(opened, ChannelMode::kReadWrite);
  return true;
}

void FileChannel::OpenOrCreate(Sharing sharing) {
  Adopt(platform_.OpenFile(name_, sharing == Sharing::kExclusive
                                      ? os::OpenMode::kReadWriteExclusive
                                      : os::OpenMode::kReadWrite),
        ChannelMode::kReadWrite);
}

std::uint32_t FileChannel::ReadBlock(void* buffer, std::uint32_t count) {
  Require(mode_ != ChannelMode::kClosed);
  const os::Result<std::uint32_t> read =
      platform_.ReadFile(handle_, buffer, count);
  CheckIO(read.status);
  return read.value;
}

void FileChannel::BeginRead(void* buffer, std::uint32_t count,
                            std::int64_t position) {
  Require(mode_ != ChannelMode::kClosed);
  CheckIO(platform_.BeginRead(handle_, buffer, count, position));
}

std::uint32_t FileChannel::EndRead() {
  Require(mode_ != ChannelMode::kClosed);
  const os::Result<std::uint32_t> read = platform_.EndRead(handle_);
  CheckIO(read.status);
  return read.value;
}

std::uint32_t FileChannel::WriteBlockCounted(const void* buffer,
                                             std::uint32_t count) {
  Require(mode_ == ChannelMode::kReadWrite);
  const os::Result<std::uint32_t> written =
      platform_.WriteFile(handle_, buffer, count);
  CheckIO(written.status);
  return written.value;
}

std::uint32_t FileChannel::WriteBlockAt(const void* buffer, std::uint32_t count,
                                        std::int64_t position) {
  Require(mode_ == ChannelMode::kReadWrite);
  const os::Result<std::uint32_t> written =
      platform_.WriteAt(handle_, buffer, count, position);
  CheckIO(written.status);
  return written.value;
}

void FileChannel::WriteBlock(const void* buffer, std::uint32_t count) {
  if (WriteBlockCounted(buffer, count) != count) CheckIO(kIoShortWrite);
}

void FileChannel::TruncateHere() {
  Require(mode_ != ChannelMode::kClosed);
  CheckIO(platform_.SetEndOfFile(handle_));
}

FileChannel::~FileChannel() {
  if (mode_ != ChannelMode::kClosed) {
    (void)platform_.CloseFile(handle_);  // nothing is left to report it to
  }
}

void FileChannel::Close() {
  Require(mode_ != ChannelMode::kClosed);
  mode_ = ChannelMode::kClosed;
  CheckIO(platform_.CloseFile(handle_));
}

void FileChannel::FlushToDisk(os::Platform::FlushScope scope) {
  CheckLastError(platform_, platform_.FlushFile(handle_, scope));
}

void FileChannel::Seek64(std::int64_t position) {
  CheckLastError(platform_, platform_.SetPosition(handle_, position));
}

std::int64_t FileChannel::Size64() {
  const os::Result<std::int64_t> size = platform_.FileSize(handle_);
  CheckLastError(platform_, size.status);
  return size.value;
}

void FileChannel::Reopen(os::CacheMode cache_mode) {
  const os::Status status = platform_.SetCacheMode(handle_, name_, cache_mode);
  if (!status.ok()) {
    mode_ = ChannelMode::kClosed;
    CheckLastError(platform_, status);
  }
}

void FileChannel::ReopenSourceUncached() {
  Reopen(os::CacheMode::kSourceUncached);
}

void FileChannel::ReopenTargetUncached() {
  Reopen(os::CacheMode::kTargetUncached);
}

void FileChannel::ReopenCached() { Reopen(os::CacheMode::kCached); }

void FileChannel::ReopenForReadBack() { Reopen(os::CacheMode::kReadBack); }

}  // namespace ferrux::engine
