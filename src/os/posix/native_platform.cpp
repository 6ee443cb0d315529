// POSIX (Linux) body of the native platform: files through file descriptors,
// errno mapped to the Win32 codes the rest of the program speaks, memory
// through mmap/mlock, events over a mutex and a condition variable.
#include "os/native_platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/aio_abi.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace ferrux::os {
namespace {

// FileHandle::traits bits. kTraitDropCache: the handle uses the page cache
// (a local source by choice, a target whose file system refused O_DIRECT),
// and the back end keeps that cache clean by hand. kTraitReadsAhead: its
// direct reads may run ahead (see ReadsInFlight).
constexpr std::uint32_t kTraitDropCache = 1;
constexpr std::uint32_t kTraitReadsAhead = 2;

// The reads of one file that run ahead, through Linux native AIO on a
// descriptor opened for direct I/O: numbered as begun, ended in that order
// even when the later one completes first.
struct ReadsInFlight {
  aio_context_t context = 0;
  std::uint64_t begun = 0;
  std::uint64_t ended = 0;
  std::map<std::uint64_t, std::int64_t> done;  // results not yet ended
};

// Win32 codes for errno values that have no constant in platform.h.
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotSameDevice = 17;
constexpr std::uint32_t kErrorNotSupported = 50;
constexpr std::uint32_t kErrorNetNameDeleted = 64;
constexpr std::uint32_t kErrorSemTimeout = 121;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorAlreadyExists = 183;
constexpr std::uint32_t kErrorFileTooLarge = 223;
constexpr std::uint32_t kErrorNoData = 232;
constexpr std::uint32_t kErrorIoDevice = 1117;
constexpr std::uint32_t kErrorCantResolveFilename = 1921;

std::uint32_t Win32CodeOf(int error) {
  switch (error) {
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrorAccessDenied;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case ETXTBSY:
      return kErrorSharingViolation;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EINVAL:
    case EOVERFLOW:
      return kErrorInvalidParameter;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EBADF:
      return kErrorInvalidHandle;
    case EXDEV:
      return kErrorNotSameDevice;
    case EOPNOTSUPP:
    case ENOSYS:
      return kErrorNotSupported;
    case ENOTCONN:
    case ECONNRESET:
    case ECONNABORTED:
    case ESTALE:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
      return kErrorNetNameDeleted;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    case EBUSY:
      return kErrorBusy;
    case EEXIST:
      return kErrorAlreadyExists;
    case EFBIG:
      return kErrorFileTooLarge;
    case EPIPE:
      return kErrorNoData;
    case ELOOP:
      return kErrorCantResolveFilename;
    default:
      return kErrorIoDevice;
  }
}

// Captures errno at the failure site.
Status Failed(const char* call, int error = errno) {
  return Status{Win32CodeOf(error), error, call};
}

// A failure with a Win32 code but no errno behind it.
Status FailedWith(const char* call, std::uint32_t code) {
  return Status{code, 0, call};
}

int Fd(FileHandle file) { return static_cast<int>(file.native); }

std::string ParentOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return name.substr(0, slash);
}

// An open that fails with ENOENT says "file not found" only when the file
// alone is missing; a missing directory on the path is "path not found". A
// symbolic link where a writable file should be is refused access.
Status OpenFailure(const std::string& name, int error, bool writable) {
  if (error == ENOENT) {
    struct stat info;
    if (::stat(ParentOf(name).c_str(), &info) != 0) {
      return Status{kErrorPathNotFound, ENOENT, "open"};
    }
  }
  if (error == ELOOP && writable) {
    return Status{kErrorAccessDenied, ELOOP, "open"};
  }
  return Failed("open", error);
}

// A standard output that another program made non-blocking: the write waits
// until it takes more instead of losing the text.
bool WaitWritable(int fd) {
  pollfd writable{fd, POLLOUT, 0};
  return ::poll(&writable, 1, -1) >= 0 || errno == EINTR;
}

int OpenRetrying(int folder, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(folder, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Runs of the program exclude one another from a file, as the Win32 share
// modes make them do: an exclusive advisory lock, held as long as the
// descriptor is open. File systems without locks are used without.
Status HoldExclusively(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno == EWOULDBLOCK) {
    return FailedWith("flock", kErrorSharingViolation);
  }
  return {};
}

// Windows refuses to open a directory as a file; so does the program.
Status RefuseDirectory(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0) return Failed("fstat");
  if (S_ISDIR(info.st_mode)) return Status{kErrorAccessDenied, EISDIR, "open"};
  return {};
}

// Whether every request on the file crosses a network: FUSE (sshfs, SMB
// and others through FUSE; not a drive through FUSE, which has a device of
// its own), NFS, SMB, 9p, Ceph.
bool Distant(int fd) {
  struct statfs info;
  struct stat file;
  if (::fstatfs(fd, &info) != 0 || ::fstat(fd, &file) != 0) return false;
  switch (info.f_type) {
    case FUSE_SUPER_MAGIC:
      return major(file.st_dev) == 0;
    case NFS_SUPER_MAGIC:
    case SMB_SUPER_MAGIC:
    case CIFS_SUPER_MAGIC:
    case SMB2_SUPER_MAGIC:
    case V9FS_MAGIC:
    case CEPH_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// Errors of a call that the file system does not offer at all.
bool Unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

Status NotSupported(const char* call, int error) {
  return Status{kErrorNotSupported, error, call};
}

// Drops [begin, end) from the page cache, reaching back a little further:
// the kernel keeps a file in folios of up to 2 MiB and drops only those
// wholly inside the range, so with small blocks a folio straddling the
// previous range would otherwise stay cached for good.
void DropCache(int fd, off_t begin, off_t end) {
  constexpr off_t kReachBack = off_t{8} << 20;
  const off_t from = begin > kReachBack ? begin - kReachBack : 0;
  (void)::posix_fadvise(fd, from, end - from, POSIX_FADV_DONTNEED);
}

class PosixEvent final : public Event {
 public:
  PosixEvent(EventReset reset, InitialState initial)
      : manual_(reset == EventReset::kManual),
        set_(initial == InitialState::kSet) {}

  void Set() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    if (manual_) {
      changed_.notify_all();
    } else {
      changed_.notify_one();
    }
  }

  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }

  void Wait() override {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
    if (!manual_) set_ = false;
  }

 private:
  const bool manual_;
  bool set_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

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
  Status SetPosition(FileHandle file, std::int64_t position) override;
  Result<std::int64_t> FileSize(FileHandle file) override;
  Status SetEndOfFile(FileHandle file) override;
  Status FlushFile(FileHandle file) override;
  Status SetCacheMode(FileHandle& file, const std::string& name,
                      CacheMode mode) override;
  // Sets O_DIRECT on a distant file (kNo) or any (kYes) and lets two reads
  // run ahead on it; false, changing nothing, on a local file (kNo) or
  // where O_DIRECT is refused.
  enum class AnyFile { kNo, kYes };
  bool StartReadsAhead(FileHandle& file, AnyFile any);
  // Ends what StartReadsAhead began, waiting for reads still in flight.
  void StopReadsAhead(FileHandle& file);
  Status CloseFile(FileHandle file) override;
  Result<std::uint32_t> LinkCount(FileHandle file) override;
  bool IsSameFile(FileHandle file, const std::string& name) override;
  Result<FileTimes> GetFileTimes(FileHandle file) override;
  Status SetFileTimes(FileHandle file, const FileTimes& times) override;
  Result<std::uint32_t> GetAttributes(const std::string& name) override;
  Result<NameFacts> LookUp(const std::string& name) override;
  Status SetAttributes(FileHandle file, const std::string& name,
                       std::uint32_t attributes) override;
  Status RemoveFile(const std::string& name) override;
  Status RenameNoReplace(FileHandle& file, const std::string& from,
                         const std::string& to) override;
  Status LinkNoReplace(const std::string& from, const std::string& to) override;
  Status RenameIfAbsent(FileHandle& file, const std::string& from,
                        const std::string& to) override;
  void ForgetFolders() override;
  Result<std::uint64_t> FileSystemOf(const std::string& name) override;
  Status FlushFolderOf(const std::string& name) override;
  bool ValidDataCallAvailable() override { return true; }
  Status ReserveSpace(FileHandle file, std::int64_t former,
                      std::int64_t length) override;
  std::string DescribeError(const Status& status) override;

  bool IsNtFamily() override { return true; }
  Status EnablePrivileges() override { return {}; }
  Result<bool> IsCharacterDevice(FileHandle file) override;
  bool IsLeadByte(unsigned char) override { return false; }
  std::string ToOem(std::string_view text) override {
    return std::string(text);
  }
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
                                          InitialState initial) override {
    return {std::make_unique<PosixEvent>(reset, initial), {}};
  }
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

  // Used by the main thread only, like the source it serves.
  std::map<int, ReadsInFlight> reads_;
  // The folders of files opened exclusively, by path, held open until the
  // process ends: the names in them are reached without looking the folder
  // up again (a round trip on a share), it cannot be swapped for another
  // under the run, and it is there to be flushed after the rename.
  std::map<std::string, int> folders_;
};

PosixPlatform::AtName PosixPlatform::At(const std::string& name) const {
  const auto held = folders_.find(ParentOf(name));
  if (held == folders_.end()) return {AT_FDCWD, name};
  const auto slash = name.find_last_of('/');
  return {held->second,
          slash == std::string::npos ? name : name.substr(slash + 1)};
}

Result<FileHandle> PosixPlatform::OpenFile(const std::string& name,
                                           OpenMode mode) {
  const bool writable = mode != OpenMode::kReadExisting;
  // Writable files are created private to the owner until the copy is
  // complete, and O_NOFOLLOW keeps a planted symbolic link from redirecting
  // them. Creating only a missing file, in the same call, never empties a
  // file that a failing share merely could not open.
  const int creating = mode == OpenMode::kReadWriteExisting ? 0 : O_CREAT;
  const int flags = writable ? O_RDWR | creating | O_NOFOLLOW | O_CLOEXEC
                             : O_RDONLY | O_CLOEXEC;
  if (mode == OpenMode::kReadWriteExclusive &&
      folders_.count(ParentOf(name)) == 0) {
    // Where the folder cannot be opened (no read permission), names are
    // used as they are.
    const int folder = OpenRetrying(AT_FDCWD, ParentOf(name).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) folders_[ParentOf(name)] = folder;
  }
  const AtName at = writable ? At(name) : AtName{AT_FDCWD, name};
  const int fd = OpenRetrying(at.folder, at.leaf.c_str(), flags, 0600);
  // A file that may be missing is looked for in a folder already open.
  if (fd < 0 && errno == ENOENT && mode == OpenMode::kReadWriteExisting) {
    return {{}, Failed("open")};
  }
  if (fd < 0) return {{}, OpenFailure(name, errno, writable)};
  Status refused = RefuseDirectory(fd);
  if (refused.ok() && mode == OpenMode::kReadWriteExclusive) {
    refused = HoldExclusively(fd);
  }
  if (!refused.ok()) {
    ::close(fd);
    return {{}, refused};
  }
  return {FileHandle{fd, 0}, {}};
}

bool PosixPlatform::StartReadsAhead(FileHandle& file, AnyFile any) {
  const int fd = Fd(file);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (any == AnyFile::kNo && !Distant(fd)) ||
      ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
    return false;
  }
  aio_context_t context = 0;
  if (::syscall(SYS_io_setup, 2, &context) == 0) {
    reads_[fd].context = context;
    file.traits = kTraitReadsAhead;
  }
  return true;
}

Status PosixPlatform::SetCacheMode(FileHandle& file, const std::string&,
                                   CacheMode mode) {
  const int fd = Fd(file);
  StopReadsAhead(file);
  file.traits = 0;
  if (mode == CacheMode::kSourceUncached) {
    // On a local disk the source is read through the cache with sequential
    // read-ahead, each block dropped once read: O_DIRECT reads, one block at
    // a time, stall the writes they overlap, while read-ahead keeps the
    // device busy ahead of the reader. Across a network the read-ahead
    // window (128 KiB) costs a round trip each, whatever the block, while
    // a direct read asks for the whole block at once.
    // Two reads then stay in flight, so that a round trip overlaps each
    // block.
    if (StartReadsAhead(file, AnyFile::kNo)) return {};
    file.traits = kTraitDropCache;
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return {};
  }
  // A read back runs two reads ahead on a local disk too: its hashing then
  // overlaps the device's work.
  if (mode == CacheMode::kReadBack && StartReadsAhead(file, AnyFile::kYes)) {
    return {};
  }
  // The flag changes on the open descriptor: reopening would let go of the
  // lock and cost a round trip on a share.
  const int flags = ::fcntl(fd, F_GETFL);
  const int wanted =
      mode != CacheMode::kCached ? flags | O_DIRECT : flags & ~O_DIRECT;
  if (flags >= 0 && (wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0)) {
    return {};
  }
  if (flags >= 0 && errno == EINVAL && mode != CacheMode::kCached) {
    // Some file systems refuse O_DIRECT; the transfer sizes stay the same
    // and the page cache is kept clean by hand. A read back then starts
    // from an empty cache: the file was flushed, so its pages can go.
    file.traits = kTraitDropCache;
    if (mode == CacheMode::kReadBack) {
      (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    return {};
  }
  const Status failure = Failed("fcntl");
  ::close(fd);
  return failure;
}

FileHandle PosixPlatform::StandardHandle(StandardStream stream) {
  const int fd = stream == StandardStream::kInput ? 0 : 1;
  if (::fcntl(fd, F_GETFD) == -1) return FileHandle{};
  return FileHandle{fd, 0};
}

Result<std::uint32_t> PosixPlatform::ReadFile(FileHandle file, void* buffer,
                                              std::uint32_t count) {
  const off_t start =
      (file.traits & kTraitDropCache) != 0 ? ::lseek(Fd(file), 0, SEEK_CUR) : 0;
  ssize_t done;
  do {
    done = ::read(Fd(file), buffer, count);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return {0, Failed("read")};
  if ((file.traits & kTraitDropCache) != 0 && done > 0 && start >= 0) {
    DropCache(Fd(file), start, start + done);
  }
  return {static_cast<std::uint32_t>(done), {}};
}

Result<std::uint32_t> PosixPlatform::WriteFile(FileHandle file,
                                               const void* buffer,
                                               std::uint32_t count) {
  const off_t start =
      (file.traits & kTraitDropCache) != 0 ? ::lseek(Fd(file), 0, SEEK_CUR) : 0;
  ssize_t done;
  do {
    done = ::write(Fd(file), buffer, count);
  } while (done < 0 &&
           (errno == EINTR || (errno == EAGAIN && WaitWritable(Fd(file)))));
  if (done < 0) return {0, Failed("write")};
  if ((file.traits & kTraitDropCache) != 0 && done > 0 && start >= 0) {
    // Start write-back of this block at once, then wait for the block
    // before it (started one call earlier) and drop it from the cache: the
    // cache holds at most two blocks of the file instead of all of it. The
    // wait hands this call a failed write-back of that block, which a later
    // flush would no longer see: it is this write's failure.
    if (::sync_file_range(Fd(file), start, done, SYNC_FILE_RANGE_WRITE) != 0) {
      return {0, Failed("sync_file_range")};
    }
    if (start >= done) {
      if (::sync_file_range(Fd(file), start - done, done,
                            SYNC_FILE_RANGE_WAIT_BEFORE |
                                SYNC_FILE_RANGE_WRITE |
                                SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        return {0, Failed("sync_file_range")};
      }
      DropCache(Fd(file), start - done, start);
    }
  }
  return {static_cast<std::uint32_t>(done), {}};
}

Status PosixPlatform::SetPosition(FileHandle file, std::int64_t position) {
  if (::lseek(Fd(file), static_cast<off_t>(position), SEEK_SET) < 0) {
    return Failed("lseek");
  }
  return {};
}

Result<std::int64_t> PosixPlatform::FileSize(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {0, Failed("fstat")};
  if (S_ISBLK(info.st_mode)) {
    // A disk or partition reports no length through fstat.
    std::uint64_t bytes = 0;
    if (::ioctl(Fd(file), BLKGETSIZE64, &bytes) != 0) {
      return {0, Failed("ioctl")};
    }
    return {static_cast<std::int64_t>(bytes), {}};
  }
  return {static_cast<std::int64_t>(info.st_size), {}};
}

Status PosixPlatform::SetEndOfFile(FileHandle file) {
  const off_t here = ::lseek(Fd(file), 0, SEEK_CUR);
  if (here < 0) return Failed("lseek");
  int result;
  do {
    result = ::ftruncate(Fd(file), here);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return Failed("ftruncate");
  return {};
}

Status PosixPlatform::FlushFile(FileHandle file) {
  // A failed fdatasync clears the error in the kernel: the caller must act
  // on this result, there is no second chance to see it.
  int result;
  do {
    result = ::fdatasync(Fd(file));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return Failed("fdatasync");
  return {};
}

Status PosixPlatform::BeginRead(FileHandle file, void* buffer,
                                std::uint32_t count, std::int64_t position) {
  ReadsInFlight& reads = reads_.at(Fd(file));
  iocb request{};
  request.aio_data = reads.begun;
  request.aio_lio_opcode = IOCB_CMD_PREAD;
  request.aio_fildes = static_cast<std::uint32_t>(Fd(file));
  request.aio_buf = reinterpret_cast<std::uintptr_t>(buffer);
  request.aio_nbytes = count;
  request.aio_offset = position;
  iocb* requests[1] = {&request};
  long result;
  do {
    result = ::syscall(SYS_io_submit, reads.context, 1, requests);
  } while (result < 0 && errno == EINTR);
  if (result != 1) return Failed("io_submit", result < 0 ? errno : EAGAIN);
  ++reads.begun;
  return {};
}

Result<std::uint32_t> PosixPlatform::EndRead(FileHandle file) {
  ReadsInFlight& reads = reads_.at(Fd(file));
  while (reads.done.count(reads.ended) == 0) {
    io_event event{};
    const long got =
        ::syscall(SYS_io_getevents, reads.context, 1, 1, &event, nullptr);
    if (got < 0 && errno != EINTR) return {0, Failed("io_getevents")};
    if (got == 1) reads.done[event.data] = event.res;
  }
  const std::int64_t result = reads.done[reads.ended];
  reads.done.erase(reads.ended++);
  if (result < 0) return {0, Failed("read", static_cast<int>(-result))};
  return {static_cast<std::uint32_t>(result), {}};
}

void PosixPlatform::StopReadsAhead(FileHandle& file) {
  if ((file.traits & kTraitReadsAhead) == 0) return;
  // Waits for reads still in flight, so that none lands after the close.
  (void)::syscall(SYS_io_destroy, reads_.at(Fd(file)).context);
  reads_.erase(Fd(file));
  file.traits &= ~kTraitReadsAhead;
}

Status PosixPlatform::CloseFile(FileHandle file) {
  StopReadsAhead(file);
  // A file that could not be taken again after its rename (RenameIfAbsent).
  if (!file.valid()) return {};
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  if (::close(Fd(file)) != 0) return Failed("close");
  return {};
}

Result<std::uint32_t> PosixPlatform::LinkCount(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {0, Failed("fstat")};
  return {static_cast<std::uint32_t>(info.st_nlink), {}};
}

bool PosixPlatform::IsSameFile(FileHandle file, const std::string& name) {
  struct stat open_file;
  struct stat named;
  return ::fstat(Fd(file), &open_file) == 0 && open_file.st_nlink > 1 &&
         ::fstatat(At(name).folder, At(name).leaf.c_str(), &named,
                   AT_SYMLINK_NOFOLLOW) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

Result<FileTimes> PosixPlatform::GetFileTimes(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {{}, Failed("fstat")};
  FileTimes times;
  times.last_write = info.st_mtim.tv_sec;
  times.last_write_fraction = info.st_mtim.tv_nsec;
  times.last_write_unix_ns =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
      info.st_mtim.tv_nsec;
  return {times, {}};
}

Status PosixPlatform::SetFileTimes(FileHandle file, const FileTimes& times) {
  // Linux keeps no settable creation time; only the last-write time moves.
  struct timespec values[2];
  values[0].tv_sec = 0;
  values[0].tv_nsec = UTIME_OMIT;
  values[1].tv_sec = static_cast<time_t>(times.last_write);
  values[1].tv_nsec = static_cast<long>(times.last_write_fraction);
  if (::futimens(Fd(file), values) != 0) return Failed("futimens");
  return {};
}

Result<std::uint32_t> PosixPlatform::GetAttributes(const std::string& name) {
  struct stat info;
  if (::stat(name.c_str(), &info) != 0) return {0, Failed("stat")};
  return {static_cast<std::uint32_t>(info.st_mode & 0777), {}};
}

Result<Platform::NameFacts> PosixPlatform::LookUp(const std::string& name) {
  const AtName at = At(name);
  struct stat info;
  if (::fstatat(at.folder, at.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return {{}, Failed("lstat")};
  }
  return {{static_cast<std::int64_t>(info.st_size),
           static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
               info.st_mtim.tv_nsec},
          {}};
}

Status PosixPlatform::SetAttributes(FileHandle file, const std::string&,
                                    std::uint32_t attributes) {
  // On the open file, so that a link put under its name is not followed;
  // only the permission bits: set-user-ID and set-group-ID bits would be
  // unsafe on a copy owned by whoever ran the program.
  if (::fchmod(Fd(file), static_cast<mode_t>(attributes & 0777)) != 0) {
    return Failed("fchmod");
  }
  return {};
}

Status PosixPlatform::RemoveFile(const std::string& name) {
  const AtName at = At(name);
  if (::unlinkat(at.folder, at.leaf.c_str(), 0) != 0) return Failed("unlink");
  return {};
}

Status PosixPlatform::RenameNoReplace(FileHandle&, const std::string& from,
                                      const std::string& to) {
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  if (::renameat2(old_name.folder, old_name.leaf.c_str(), new_name.folder,
                  new_name.leaf.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  // NFS, sshfs and other FUSE file systems refuse the flag.
  if (Unsupported(errno)) return NotSupported("renameat2", errno);
  return Failed("renameat2");
}

Status PosixPlatform::LinkNoReplace(const std::string& from,
                                    const std::string& to) {
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  if (::linkat(old_name.folder, old_name.leaf.c_str(), new_name.folder,
               new_name.leaf.c_str(), 0) == 0) {
    return {};
  }
  // EPERM: the file system has no hard links (SMB through FUSE, exFAT).
  if (errno == EPERM || Unsupported(errno)) return NotSupported("link", errno);
  return Failed("link");
}

Status PosixPlatform::RenameIfAbsent(FileHandle& file, const std::string& from,
                                     const std::string& to) {
  struct stat info;
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  const auto rename = [&] {
    return ::renameat(old_name.folder, old_name.leaf.c_str(), new_name.folder,
                      new_name.leaf.c_str()) == 0;
  };
  if (::fstatat(new_name.folder, new_name.leaf.c_str(), &info,
                AT_SYMLINK_NOFOLLOW) == 0) {
    return Failed("lstat", EEXIST);
  }
  if (errno != ENOENT) return Failed("lstat");
  if (rename()) return {};
  if (errno != EBUSY) return Failed("rename");
  // An SMB server will not rename a file that is open without sharing its
  // deletion: the file is let go for the rename (and its lock with it, for
  // that moment) and taken again under the name it then has, never through
  // a link put there. A FUSE client lets go of the server's handle after
  // close() returns, so the rename may still meet it for a moment: it is
  // tried again for up to some 2.5 s.
  // A file read back last has its reads ahead let go with it: the
  // descriptor that replaces it may bear another number.
  StopReadsAhead(file);
  ::close(Fd(file));
  bool renamed = rename();
  for (long wait_ms = 10; !renamed && errno == EBUSY && wait_ms <= 1280;
       wait_ms *= 2) {
    const timespec pause{wait_ms / 1000, wait_ms % 1000 * 1000000};
    ::nanosleep(&pause, nullptr);
    renamed = rename();
  }
  const int error = errno;
  const AtName& now = renamed ? new_name : old_name;
  file.native = OpenRetrying(now.folder, now.leaf.c_str(),
                             O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (file.valid()) (void)HoldExclusively(Fd(file));
  return renamed ? Status{} : Failed("rename", error);
}

void PosixPlatform::ForgetFolders() {
  for (const auto& [path, folder] : folders_) ::close(folder);
  folders_.clear();
}

Result<std::uint64_t> PosixPlatform::FileSystemOf(const std::string& name) {
  // The kind and the id statfs reports: a FUSE or network file system
  // keeps both across a remount (its device number may change), and the
  // local file system under a bare mount point differs in kind.
  struct statfs info;
  int result;
  do {
    result = ::statfs(name.c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return {0, Failed("statfs")};
  std::uint32_t id[2];
  static_assert(sizeof id == sizeof info.f_fsid);
  std::memcpy(id, &info.f_fsid, sizeof id);
  return {(static_cast<std::uint64_t>(info.f_type) << 32) ^ id[0] ^
              (static_cast<std::uint64_t>(id[1]) << 16),
          {}};
}

Status PosixPlatform::FlushFolderOf(const std::string& name) {
  const auto held = folders_.find(ParentOf(name));
  const int folder = held != folders_.end()
                         ? held->second
                         : OpenRetrying(AT_FDCWD, ParentOf(name).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return Failed("open");
  int result;
  do {
    result = ::fsync(folder);
  } while (result != 0 && errno == EINTR);
  const int error = errno;
  if (held == folders_.end()) ::close(folder);
  // Some file systems keep no folder to flush (EINVAL, EROFS).
  if (result != 0 && !Unsupported(error) && error != EROFS) {
    return Failed("fsync", error);
  }
  return {};
}

Status PosixPlatform::ReserveSpace(FileHandle file, std::int64_t,
                                   std::int64_t length) {
  // Space that fallocate reserves reads as zeros without being written,
  // which is what declaring it valid buys on Windows, and it lengthens the
  // file in the same call: where it is refused (network shares, FUSE),
  // nothing has changed and no round trip was spent on lengthening.
  // posix_fallocate is not used: where the file system cannot reserve, it
  // writes zeros instead.
  int result;
  do {
    result = ::fallocate(Fd(file), 0, 0, static_cast<off_t>(length));
  } while (result != 0 && errno == EINTR);
  if (result == 0) return {};
  if (Unsupported(errno)) return NotSupported("fallocate", errno);
  return Failed("fallocate");
}

std::string PosixPlatform::DescribeError(const Status& status) {
  if (status.native != 0) return std::strerror(status.native);
  if (status.code == kErrorSharingViolation) {
    return "The file is in use by another process";
  }
  if (status.code == kErrorAccessDenied) return "Access denied";
  return "";
}

Result<bool> PosixPlatform::IsCharacterDevice(FileHandle file) {
  if (::isatty(Fd(file)) == 1) return {true, {}};
  if (errno == EBADF) return {false, Failed("isatty")};
  return {false, {}};
}

void* PosixPlatform::AllocatePages(std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return address == MAP_FAILED ? nullptr : address;
}

std::optional<LockLimits> PosixPlatform::GetLockLimits() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return std::nullopt;
  // An unlimited soft limit leaves nothing to raise.
  if (limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  LockLimits limits;
  limits.minimum = static_cast<std::size_t>(limit.rlim_cur);
  limits.maximum = limit.rlim_max == RLIM_INFINITY
                       ? SIZE_MAX
                       : static_cast<std::size_t>(limit.rlim_max);
  return limits;
}

bool PosixPlatform::SetLockLimits(const LockLimits& limits) {
  struct rlimit current;
  if (::getrlimit(RLIMIT_MEMLOCK, &current) != 0) return false;
  struct rlimit wanted;
  wanted.rlim_cur = limits.minimum;
  wanted.rlim_max =
      current.rlim_max == RLIM_INFINITY ? RLIM_INFINITY : limits.maximum;
  if (::setrlimit(RLIMIT_MEMLOCK, &wanted) == 0) return true;
  // Only a privileged process may raise the hard limit; the soft limit may
  // still rise within it.
  if (errno != EPERM || wanted.rlim_cur > current.rlim_max) return false;
  wanted.rlim_max = current.rlim_max;
  return ::setrlimit(RLIMIT_MEMLOCK, &wanted) == 0;
}

std::uint32_t PosixPlatform::TickCount() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void PosixPlatform::Sleep(std::uint32_t milliseconds) {
  struct timespec left {
    static_cast<time_t>(milliseconds / 1000),
        static_cast<long>(milliseconds % 1000) * 1000000
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Joined when it goes.
class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::thread thread) : thread_(std::move(thread)) {}
  ~PosixThread() override { thread_.join(); }

 private:
  std::thread thread_;
};

Result<std::unique_ptr<Thread>> PosixPlatform::StartThread(ThreadEntry entry,
                                                           void* argument) {
  try {
    return {std::make_unique<PosixThread>(std::thread(entry, argument)), {}};
  } catch (const std::system_error& failure) {
    return {nullptr, Failed("pthread_create", failure.code().value())};
  }
}

CodeLocation PosixPlatform::LocateCode(const void* address) {
  Dl_info info{};
  if (address != nullptr && ::dladdr(address, &info) != 0 &&
      info.dli_fbase != nullptr && info.dli_fname != nullptr &&
      info.dli_fname[0] != '\0') {
    return {info.dli_fname,
            reinterpret_cast<std::uintptr_t>(address) -
                reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
  }
  char own[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", own, sizeof own - 1);
  std::string file = length > 0 ? std::string(own, static_cast<size_t>(length))
                                : std::string("ferrux");
  const auto raw = reinterpret_cast<std::uintptr_t>(address);
  if (info.dli_fbase != nullptr) {
    return {file, raw - reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
  }
  return {file, raw == 0 ? 0 : raw - 4096};
}

}  // namespace

const Conventions& NativeConventions() {
  static const Conventions conventions{"\n", "/", '/', "ferrux", PATH_MAX - 1};
  return conventions;
}

std::unique_ptr<Platform> CreateNativePlatform() {
  // A closed standard output must show up as a failed write, not as a
  // silent death by signal.
  ::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<PosixPlatform>();
}

std::optional<std::string> RawCommandLine() { return std::nullopt; }

}  // namespace ferrux::os
