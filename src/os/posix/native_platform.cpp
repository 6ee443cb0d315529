// POSIX (Linux) body of the native platform, files and I/O: file
// descriptors opened without waiting, errno mapped to the Win32 codes the
// rest of the program speaks, cache modes switched on the open descriptor,
// reads that run ahead through native AIO. Names and finishing are in
// names.cpp, memory, threads and the process in process.cpp.
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>

#include <cstring>

#include "os/posix/posix_platform.h"

namespace ferrux::os::posix {
namespace {

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

// An open that fails with ENOENT says "file not found" only when the file
// alone is missing; a missing directory on the path is "path not found". A
// symbolic link where a file of the program's own should be is refused
// access.
Status OpenFailure(const std::string& name, int error, bool own) {
  if (error == ENOENT) {
    struct stat info;
    if (::stat(ParentOf(name).c_str(), &info) != 0) {
      return Status{kErrorPathNotFound, ENOENT, "open"};
    }
  }
  if (error == ELOOP && own) {
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

// Drops [begin, end) from the page cache, reaching back a little further:
// the kernel keeps a file in folios of up to 2 MiB and drops only those
// wholly inside the range, so with small blocks a folio straddling the
// previous range would otherwise stay cached for good.
void DropCache(int fd, off_t begin, off_t end) {
  constexpr off_t kReachBack = off_t{8} << 20;
  const off_t from = begin > kReachBack ? begin - kReachBack : 0;
  (void)::posix_fadvise(fd, from, end - from, POSIX_FADV_DONTNEED);
}

}  // namespace

Status Failed(const char* call, int error) {
  return Status{Win32CodeOf(error), error, call};
}

Status FailedWith(const char* call, std::uint32_t code) {
  return Status{code, 0, call};
}

std::string ParentOf(const std::string& name) {
  const auto slash = name.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return name.substr(0, slash);
}

int OpenRetrying(int folder, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(folder, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool Unsupported(int error) {
  return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

Status NotSupported(const char* call, int error) {
  return Status{kErrorNotSupported, error, call};
}

Result<FileHandle> PosixPlatform::OpenFile(const std::string& name,
                                           OpenMode mode) {
  const bool own = mode != OpenMode::kReadExisting;  // a file the program made
  const bool writable = own && mode != OpenMode::kReadOwnExisting;
  const bool exclusive = mode == OpenMode::kReadWriteExclusive;
  // Writable files are created private to the owner until the copy is
  // complete, and O_NOFOLLOW keeps a planted symbolic link from redirecting
  // them. Creating only a missing file, in the same call, never empties a
  // file that a failing share merely could not open. O_NONBLOCK: a FIFO or
  // a device opens at once instead of waiting for a peer (the caller asks
  // KindOf and refuses it); a regular file is made blocking again.
  const int creating =
      mode == OpenMode::kReadWriteExisting || !writable ? 0 : O_CREAT;
  const int flags = (writable ? O_RDWR | creating | O_NOFOLLOW : O_RDONLY) |
                    (own ? O_NOFOLLOW : 0) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  if (exclusive && folders_.count(ParentOf(name)) == 0) {
    // Where the folder cannot be opened (no read permission), names are
    // used as they are.
    const int folder = OpenRetrying(AT_FDCWD, ParentOf(name).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) folders_[ParentOf(name)] = folder;
  }
  // An exclusive open waits while another run has let go of its file for
  // the rename (RenameIfAbsent), so that it never takes that file.
  const int folder = exclusive ? HeldFolderOf(name) : -1;
  if (folder >= 0 && !LockFolder(folder, LOCK_SH)) {
    return {{}, FailedWith("flock", kErrorSharingViolation)};
  }
  const AtName at = own ? At(name) : AtName{AT_FDCWD, name};
  int fd = OpenRetrying(at.folder, at.leaf.c_str(), flags, 0600);
  // A socket cannot be opened at all: it is taken as a path only, for
  // KindOf to tell.
  if (fd < 0 && errno == ENXIO) {
    fd = OpenRetrying(at.folder, at.leaf.c_str(),
                      O_PATH | O_CLOEXEC | (flags & O_NOFOLLOW));
  }
  const int error = errno;
  struct stat info;
  Status status;
  // A file that may be missing is looked for in a folder already open.
  if (fd < 0 && error == ENOENT && mode == OpenMode::kReadWriteExisting) {
    status = Failed("open", error);
  } else if (fd < 0) {
    status = OpenFailure(name, error, own);
  } else if (::fstat(fd, &info) != 0) {
    status = Failed("fstat");
  } else if (S_ISREG(info.st_mode)) {
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      status = Failed("fcntl");
    } else if (exclusive) {
      status = HoldExclusively(fd);
    }
  }
  if (folder >= 0) ::flock(folder, LOCK_UN);
  if (!status.ok() && fd >= 0) ::close(fd);
  if (!status.ok()) return {{}, status};
  return {FileHandle{fd, 0}, {}};
}

bool PosixPlatform::StartReadsAhead(FileHandle& file) {
  const int fd = Fd(file);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0) {
    return false;
  }
  aio_context_t context = 0;
  if (::syscall(SYS_io_setup, kMaxReadsInFlight, &context) == 0) {
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
    // The source is read with O_DIRECT, whole blocks, the next reads always
    // under way before their blocks are needed: the device overlaps it with the
    // write of the block before, and no byte is copied out of the page
    // cache (through the cache, with read-ahead and each block dropped once
    // read, a copy cost three times the CPU on a local disk at the same
    // rate). Across a network a direct read asks for the whole block at
    // once, where the read-ahead window (128 KiB) costs a round trip each.
    // Where O_DIRECT is refused, the cache is read ahead and dropped behind.
    if (StartReadsAhead(file)) return {};
    file.traits = kTraitDropCache;
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return {};
  }
  // A read back runs reads ahead too: its hashing then overlaps the
  // device's work.
  if (mode == CacheMode::kReadBack && StartReadsAhead(file)) {
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
      // Fails only for a descriptor that is no file; the pages are then
      // still the flushed data, so the check stays sound if less strict.
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

namespace {

// After a write of `done` bytes at `start` through the cache of a file that
// is to stay out of it: write-back of this block starts at once, then the
// block before it (started one call earlier) is waited for and dropped from
// the cache, so the cache holds at most two blocks of the file instead of
// all of it. The wait hands this call a failed write-back of that block,
// which a later flush would no longer see: it is this write's failure.
Status KeepOutOfCache(int fd, off_t start, off_t done) {
  if (::sync_file_range(fd, start, done, SYNC_FILE_RANGE_WRITE) != 0) {
    return Failed("sync_file_range");
  }
  if (start < done) return {};
  if (::sync_file_range(fd, start - done, done,
                        SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                            SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
    return Failed("sync_file_range");
  }
  DropCache(fd, start - done, start);
  return {};
}

}  // namespace

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
    const Status kept = KeepOutOfCache(Fd(file), start, done);
    if (!kept.ok()) return {0, kept};
  }
  return {static_cast<std::uint32_t>(done), {}};
}

Result<std::uint32_t> PosixPlatform::WriteAt(FileHandle file,
                                             const void* buffer,
                                             std::uint32_t count,
                                             std::int64_t position) {
  ssize_t done;
  do {
    done = ::pwrite(Fd(file), buffer, count, static_cast<off_t>(position));
  } while (done < 0 && errno == EINTR);
  if (done < 0) return {0, Failed("pwrite")};
  if ((file.traits & kTraitDropCache) != 0 && done > 0) {
    const Status kept =
        KeepOutOfCache(Fd(file), static_cast<off_t>(position), done);
    if (!kept.ok()) return {0, kept};
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

Status PosixPlatform::FlushFile(FileHandle file, FlushScope scope) {
  // A failed flush clears the error in the kernel: the caller must act on
  // this result, there is no second chance to see it.
  const bool all = scope == FlushScope::kAll;
  int result;
  do {
    result = all ? ::fsync(Fd(file)) : ::fdatasync(Fd(file));
  } while (result != 0 && errno == EINTR);
  if (result != 0) return Failed(all ? "fsync" : "fdatasync");
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
  // A file not taken again after its rename (RenameIfAbsent).
  if (!file.valid()) return {};
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway.
  if (::close(Fd(file)) != 0) return Failed("close");
  return {};
}

Result<FileKind> PosixPlatform::KindOf(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {FileKind::kOther, Failed("fstat")};
  if (S_ISREG(info.st_mode)) return {FileKind::kRegular, {}};
  return {S_ISDIR(info.st_mode) ? FileKind::kDirectory : FileKind::kOther, {}};
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
  // The access time is given as it is rather than left out: FUSE file
  // systems (exFAT, SMB through smbnetfs) drop the whole change when one
  // of the two is omitted.
  struct stat now;
  if (::fstat(Fd(file), &now) != 0) return Failed("fstat");
  struct timespec values[2];
  values[0] = now.st_atim;
  values[1].tv_sec = static_cast<time_t>(times.last_write);
  values[1].tv_nsec = static_cast<long>(times.last_write_fraction);
  if (::futimens(Fd(file), values) != 0) return Failed("futimens");
  return {};
}

Result<std::uint32_t> PosixPlatform::GetAttributes(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {0, Failed("fstat")};
  return {static_cast<std::uint32_t>(info.st_mode & 0777), {}};
}

std::int64_t PosixPlatform::LargestFileSize(const std::string& name) {
  // FAT keeps a 32-bit length. Told by the mount table, which costs no
  // round trip to a share.
  const Result<Volume> volume = VolumeOf(name);
  const bool fat = volume.ok() && (volume.value.kind == "vfat" ||
                                   volume.value.kind == "msdos");
  std::int64_t largest = fat ? std::int64_t{0xFFFFFFFF} : INT64_MAX;
  // The process's own limit (ulimit -f) stops a file as the volume does.
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
      limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < static_cast<rlim_t>(largest)) {
    largest = static_cast<std::int64_t>(limit.rlim_cur);
  }
  return largest;
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

}  // namespace ferrux::os::posix
