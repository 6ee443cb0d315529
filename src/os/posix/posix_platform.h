// The POSIX (Linux) platform's parts that its bodies share: the class, the
// Win32 codes errno maps to, and the helpers of more than one body. Only
// src/os/posix/*.cpp include it.
#pragma once

#include <linux/aio_abi.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "os/native_platform.h"

namespace ferrux::os::posix {

// FileHandle::traits bits. kTraitDropCache: the handle uses the page cache
// (a local source by choice, a target whose file system refused O_DIRECT),
// and the back end keeps that cache clean by hand. kTraitReadsAhead: its
// direct reads may run ahead (see ReadsInFlight).
inline constexpr std::uint32_t kTraitDropCache = 1;
inline constexpr std::uint32_t kTraitReadsAhead = 2;

// The reads of one file that run ahead, through Linux native AIO on a
// descriptor opened for direct I/O: numbered as begun, ended in that order
// even when a later one completes first.
struct ReadsInFlight {
  aio_context_t context = 0;
  std::uint64_t begun = 0;
  std::uint64_t ended = 0;
  std::map<std::uint64_t, std::int64_t> done;  // results not yet ended
};

// Win32 codes for errno values that have no constant in platform.h.
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotSameDevice = 17;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorNetNameDeleted = 64;
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFileTooLarge = 223;
inline constexpr std::uint32_t kErrorNoData = 232;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorCantResolveFilename = 1921;

// Captures errno at the failure site.
Status Failed(const char* call, int error = errno);
// A failure with a Win32 code but no errno behind it.
Status FailedWith(const char* call, std::uint32_t code);
inline int Fd(FileHandle file) { return static_cast<int>(file.native); }
std::string ParentOf(const std::string& name);
int OpenRetrying(int folder, const char* name, int flags, mode_t mode = 0);
Status HoldExclusively(int fd);
void Pause(long ms);
bool LockFolder(int folder, int how);
// Errors of a call that the file system does not offer at all.
bool Unsupported(int error);
Status NotSupported(const char* call, int error);

class PosixPlatform final : public Platform {
 public:
  Result<FileHandle> OpenFile(const std::string& name, OpenMode mode) override;
  FileHandle StandardHandle(StandardStream stream) override;
  Result<std::uint32_t> ReadFile(FileHandle file, void* buffer,
                                 std::uint32_t count) override;
  bool ReadsAhead(FileHandle file) override {
    return (file.traits & kTraitReadsAhead) != 0;
  }
  Status BeginRead(FileHandle file, void* buffer, std::uint32_t count,
                   std::int64_t position) override;
  Result<std::uint32_t> EndRead(FileHandle file) override;
  Result<std::uint32_t> WriteFile(FileHandle file, const void* buffer,
                                  std::uint32_t count) override;
  Result<std::uint32_t> WriteAt(FileHandle file, const void* buffer,
                                std::uint32_t count,
                                std::int64_t position) override;
  Status SetPosition(FileHandle file, std::int64_t position) override;
  Result<std::int64_t> FileSize(FileHandle file) override;
  Status SetEndOfFile(FileHandle file) override;
  Status FlushFile(FileHandle file, FlushScope scope) override;
  Status SetCacheMode(FileHandle& file, const std::string& name,
                      CacheMode mode) override;
  // Sets O_DIRECT on the file and lets two reads run ahead on it; false,
  // changing nothing, where O_DIRECT is refused.
  bool StartReadsAhead(FileHandle& file);
  // Ends what StartReadsAhead began, waiting for reads still in flight.
  void StopReadsAhead(FileHandle& file);
  Status CloseFile(FileHandle file) override;
  Result<FileKind> KindOf(FileHandle file) override;
  Result<std::uint32_t> LinkCount(FileHandle file) override;
  bool IsSameFile(FileHandle file, const std::string& name) override;
  Result<FileTimes> GetFileTimes(FileHandle file) override;
  Status SetFileTimes(FileHandle file, const FileTimes& times) override;
  Result<std::uint32_t> GetAttributes(FileHandle file) override;
  Result<NameFacts> LookUp(const std::string& name) override;
  std::int64_t LargestFileSize(const std::string& name) override;
  NameLengths MeasureName(const std::string& name) override;
  Status SetAttributes(FileHandle file, const std::string& name,
                       std::uint32_t attributes) override;
  Status RemoveFile(const std::string& name) override;
  Status RenameNoReplace(FileHandle& file, const std::string& from,
                         const std::string& to) override;
  Status LinkNoReplace(const std::string& from, const std::string& to) override;
  Result<bool> RenameIfAbsent(FileHandle& file, const std::string& from,
                              const std::string& to) override;
  void ForgetFolders() override;
  Result<Volume> VolumeOf(const std::string& name) override;
  Status FlushFolderOf(const std::string& name) override;
  bool ValidDataCallAvailable() override { return true; }
  Status ReserveSpace(FileHandle file, std::int64_t former,
                      std::int64_t length) override;
  std::string DescribeError(const Status& status) override;

  bool IsNtFamily() override { return true; }
  Status EnablePrivileges() override { return {}; }
  Status EnterBackgroundMode() override;
  Result<bool> IsCharacterDevice(FileHandle file) override;
  bool IsLeadByte(unsigned char) override { return false; }
  char TimeSeparator() override { return ':'; }

  void* AllocatePages(std::size_t size) override;
  void FreePages(void* address, std::size_t size) override {
    (void)::munmap(address, size);  // fails only for a region never mapped
  }
  bool LockPages(void* address, std::size_t size) override {
    return ::mlock(address, size) == 0;
  }
  std::optional<LockLimits> GetLockLimits() override;
  bool SetLockLimits(const LockLimits& limits) override;

  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;

  Result<std::unique_ptr<Event>> NewEvent(EventReset reset,
                                          InitialState initial) override;
  Result<std::unique_ptr<Thread>> StartThread(ThreadEntry entry,
                                              void* argument) override;

  CodeLocation LocateCode(const void* address) override;
  // A debugger on Linux sees the report's exit; nothing to offer.
  void OfferUnhandled(const void*) override {}
  [[noreturn]] void ExitProcess(int status) override { ::_exit(status); }

 private:
  // A name as the *at() calls take it: relative to the destination folder
  // when that is held (see OpenFile), else as given.
  struct AtName {
    int folder;
    std::string leaf;
  };
  AtName At(const std::string& name) const;
  // The held folder of `name`, or -1.
  int HeldFolderOf(const std::string& name) const {
    const auto held = folders_.find(ParentOf(name));
    return held == folders_.end() ? -1 : held->second;
  }

  // Names' length limits by folder, asked once (see MeasureName).
  std::map<std::string, long> name_limits_;

  // Used by the main thread only, like the source it serves.
  std::map<int, ReadsInFlight> reads_;
  // The folders of files opened exclusively, by path, held open until
  // ForgetFolders (between the tries of a copy): the names in them are
  // reached without looking the folder up again (a round trip on a share),
  // it cannot be swapped for another under the run, and it is there to be
  // flushed after the rename.
  std::map<std::string, int> folders_;
};

}  // namespace ferrux::os::posix
