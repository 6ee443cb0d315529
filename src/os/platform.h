// The one interface through which the program reaches the operating system.
// main.cpp passes the native implementation in; tests pass a fault-injecting
// or clock-faking one. No OS header is included here or by any caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ferrux::os {

// Error codes are Win32 codes on every platform, so that the same situation
// gives the same message and code everywhere. The POSIX back end maps errno.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFilenameTooLong = 206;

// Outcome of one system call. `code` is 0 on success; otherwise the Win32
// error code captured at the failure site, `native` the platform's own error
// number (errno on POSIX, the same code on Windows) from which a description
// is made, and `call` the name of the call that failed.
struct [[nodiscard]] Status {
  std::uint32_t code = 0;
  int native = 0;
  const char* call = "";

  [[nodiscard]] bool ok() const { return code == 0; }
};

// A value, valid only when `status.ok()`.
template <class T>
struct [[nodiscard]] Result {
  T value{};
  Status status;

  [[nodiscard]] bool ok() const { return status.ok(); }
};

// An open file. `native` is the file descriptor or the HANDLE value;
// `traits` and `guard` (a second handle of the same file) are private to
// the back end that produced the handle.
struct FileHandle {
  std::intptr_t native = -1;
  std::uint32_t traits = 0;
  std::intptr_t guard = -1;

  [[nodiscard]] bool valid() const { return native != -1; }
};

// How a file is opened; every open starts with the file cache.
enum class OpenMode {
  kReadExisting,  // read only, the file must exist; others may read and write
  kReadOwnExisting,    // as kReadExisting, never through a link: a file the
                       // program made
  kReadWriteExisting,  // read and write, the file must exist; shared so too
  // Read and write; a missing file is created empty (owner-only where the
  // system has modes), an existing one is never emptied.
  kReadWrite,
  // As kReadWrite, and held for the program alone until it is closed: no
  // other run opens it with kReadWriteExclusive meanwhile (a sharing
  // violation), across every cache-mode switch and the final rename.
  kReadWriteExclusive,
};

// What an open file is. An open never waits for a peer (a FIFO, a
// device); a file that is not regular may come back open for nothing but
// KindOf and CloseFile.
enum class FileKind { kRegular, kDirectory, kOther };

// How transfers of an open file meet the file cache. Uncached transfers
// need buffer addresses, sizes and file positions that are multiples of
// 4096 bytes.
enum class CacheMode {
  kCached,
  kSourceUncached,  // read sequentially without filling the cache
  kTargetUncached,  // written without filling the cache
  kReadBack,  // a written file read from the device (or server), past every
              // cache, its reads running ahead where the system allows
};

enum class StandardStream { kInput, kOutput };

// Creation and last-write time in the platform's own units, which only the
// platform interprets; and the last-write time in one unit on every
// platform (nanoseconds since 1970-01-01 UTC), for comparing across runs.
struct FileTimes {
  std::int64_t creation = 0;
  std::int64_t last_write = 0;
  std::int64_t last_write_fraction = 0;
  std::int64_t last_write_unix_ns = 0;
};

// Limits on the memory a process may lock, in bytes (the working-set
// minimum and maximum, or the soft and hard locked-memory limits).
struct LockLimits {
  std::size_t minimum = 0;
  std::size_t maximum = 0;
};

// Where a code address lies: the file of the module that holds it and the
// address's offset from the module's base.
struct CodeLocation {
  std::string module_file;
  std::uintptr_t offset = 0;
};

enum class EventReset { kAuto, kManual };
enum class InitialState { kClear, kSet };

// A synchronisation event. A Set and the Wait it satisfies order memory like
// a release followed by an acquire. Any thread may call any member.
class Event {
 public:
  virtual ~Event() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  // Blocks, without time-out, until the event is set; an auto-reset event is
  // cleared by the satisfied wait, releasing one waiter.
  virtual void Wait() = 0;
};

using ThreadEntry = void (*)(void* argument);

// A running thread. Its end waits for the thread's entry to return.
class Thread {
 public:
  virtual ~Thread() = default;
};

// Every operating-system service the program uses. Fallible members return a
// Status or Result and never throw. All members may be called from any thread.
class Platform {
 public:
  virtual ~Platform() = default;

  // --- Files. Names are 8-bit texts passed to the system unchanged.
  virtual Result<FileHandle> OpenFile(const std::string& name,
                                      OpenMode mode) = 0;
  // The process's standard handle; invalid when the process has none.
  // Text written to the output handle is UTF-8, which the back end
  // converts for the system (Windows: UTF-16 to a console, else the
  // console's code page), a character split between writes included.
  virtual FileHandle StandardHandle(StandardStream stream) = 0;
  // One read; the count may be lower than asked, 0 at the end of the file.
  virtual Result<std::uint32_t> ReadFile(FileHandle file, void* buffer,
                                         std::uint32_t count) = 0;
  // Reads that run ahead, where the system can keep several in flight (an
  // uncached source, a read back): BeginRead starts reading
  // `count` bytes at `position` into `buffer` and returns at once; EndRead
  // waits for the oldest read begun and gives its count, as ReadFile would.
  // At most kMaxReadsInFlight are in flight. Where ReadsAhead is false,
  // neither is used.
  static constexpr std::uint32_t kMaxReadsInFlight = 16;
  virtual bool ReadsAhead(FileHandle file) = 0;
  virtual Status BeginRead(FileHandle file, void* buffer, std::uint32_t count,
                           std::int64_t position) = 0;
  virtual Result<std::uint32_t> EndRead(FileHandle file) = 0;
  // One write at the current position; the count written may be lower
  // than asked.
  virtual Result<std::uint32_t> WriteFile(FileHandle file, const void* buffer,
                                          std::uint32_t count) = 0;
  // One write at `position`, which moves no position another thread relies
  // on: the writer thread writes so while the main thread reads. Writes of
  // one file come in order of their positions.
  virtual Result<std::uint32_t> WriteAt(FileHandle file, const void* buffer,
                                        std::uint32_t count,
                                        std::int64_t position) = 0;
  // Positions beyond the end are accepted; a negative one is refused.
  virtual Status SetPosition(FileHandle file, std::int64_t position) = 0;
  virtual Result<std::int64_t> FileSize(FileHandle file) = 0;
  // Makes the file end at the current position, cutting or extending it.
  virtual Status SetEndOfFile(FileHandle file) = 0;
  // Forces the file's data written so far to the storage device, and any
  // failure to write back data written earlier is reported here. kAll also
  // forces its times, which a flush of the data alone may leave behind.
  enum class FlushScope { kData, kAll };
  virtual Status FlushFile(FileHandle file, FlushScope scope) = 0;
  // Switches the open `file`, called `name`, between cached and uncached
  // transfers without letting go of it (a file held exclusively stays
  // held). The handle may change; the position is unspecified afterwards.
  // Where the file system cannot transfer without the cache, the switch
  // succeeds and the back end keeps the cache from filling instead. On
  // failure the file is closed.
  virtual Status SetCacheMode(FileHandle& file, const std::string& name,
                              CacheMode mode) = 0;
  virtual Status CloseFile(FileHandle file) = 0;
  virtual Result<FileKind> KindOf(FileHandle file) = 0;
  // How many names the file has. Some network file systems always say 1.
  virtual Result<std::uint32_t> LinkCount(FileHandle file) = 0;
  // Whether `name` is another name of the open `file`: true only when the
  // system says so for certain.
  virtual bool IsSameFile(FileHandle file, const std::string& name) = 0;
  virtual Result<FileTimes> GetFileTimes(FileHandle file) = 0;
  // Sets the creation time where the system keeps one, and the last-write
  // time; the last-access time is left alone.
  virtual Status SetFileTimes(FileHandle file, const FileTimes& times) = 0;
  // The attributes (permission bits on POSIX) of the open `file`.
  virtual Result<std::uint32_t> GetAttributes(FileHandle file) = 0;
  // The length, last-write time (as FileTimes::last_write_unix_ns) and kind
  // of the file called `name`, not following a link (a link is kOther);
  // kErrorFileNotFound where there is none.
  struct NameFacts {
    std::int64_t size = 0;
    std::int64_t last_write_unix_ns = 0;
    FileKind kind = FileKind::kRegular;
  };
  virtual Result<NameFacts> LookUp(const std::string& name) = 0;
  // Sets the attributes of the open `file`, now called `name`, without
  // following a link that may have taken that name.
  virtual Status SetAttributes(FileHandle file, const std::string& name,
                               std::uint32_t attributes) = 0;
  virtual Status RemoveFile(const std::string& name) = 0;
  // How long `name` is, its last part, and the longest last part the
  // folder that holds it takes, in the units of the system's limits (bytes;
  // UTF-16 units on Windows). The limit is the largest size_t where the
  // system cannot tell (a folder that does not exist). And whether the
  // last part ends in a dot or a space that the system drops from names
  // (Windows, unless given as \\?\...): the OS layer keeps it, other
  // programs do not.
  struct NameLengths {
    std::size_t whole = 0;
    std::size_t leaf = 0;
    std::size_t leaf_limit = 0;
    bool leaf_trimmed = false;
  };
  virtual NameLengths MeasureName(const std::string& name) = 0;

  // Three ways to give the open `file` (named `from`) the name `to`, none
  // of which ever replaces a file that has that name (kErrorAlreadyExists).
  // Each answers kErrorNotSupported where the file system cannot do it,
  // having changed nothing. `file` stays usable afterwards.
  // One atomic step.
  virtual Status RenameNoReplace(FileHandle& file, const std::string& from,
                                 const std::string& to) = 0;
  // A second name only; the caller removes `from`.
  virtual Status LinkNoReplace(const std::string& from,
                               const std::string& to) = 0;
  // A check that `to` does not exist, then a rename that would replace a
  // file created under `to` between the two by someone else. The value
  // says whether the file was renamed. Where the file had to be let go for
  // the rename, no other run takes it meanwhile; if it cannot be held
  // again afterwards, `file` is left invalid and the status says why.
  virtual Result<bool> RenameIfAbsent(FileHandle& file, const std::string& from,
                                      const std::string& to) = 0;
  // Lets go of the folders held for files opened with kReadWriteExclusive,
  // so that nothing of a share stays open; a later exclusive open holds its
  // folder anew. Only while no such file is open.
  virtual void ForgetFolders() = 0;
  // The file system that holds the folder `name`: its kind ("ext4",
  // "fuse.sshfs"; "NTFS"), what it is mounted from (a device, a share's
  // address; a volume's serial number), and whether `name` is where it is
  // mounted. Known also while a share there is dead (its mount stays
  // listed); a share unmounted leaves its mount point a folder of the file
  // system beneath, with other answers.
  struct Volume {
    std::string kind;
    std::string source;
    bool mount_root = false;
    bool operator==(const Volume&) const = default;
  };
  virtual Result<Volume> VolumeOf(const std::string& name) = 0;
  // Forces the names in the folder that holds `name` to disk. Where the
  // file system offers no such call or refuses it, kErrorNotSupported.
  virtual Status FlushFolderOf(const std::string& name) = 0;
  // The length of the largest file the volume that holds the folder
  // `name` takes (FAT: 4 GiB - 1), or the process's own lower limit, or
  // INT64_MAX where there is none.
  virtual std::int64_t LargestFileSize(const std::string& name) = 0;
  // Whether this system has a call that declares a file's new space valid
  // without zeroing it (looked up anew on every call).
  virtual bool ValidDataCallAvailable() = 0;
  // Makes the file, now `former` bytes long, `length` bytes long with the
  // space reserved on the volume and declared valid data. Where the system
  // refuses to reserve or to declare (kErrorNotSupported), the file keeps
  // its former length; any other failure, such as a full volume, is
  // reported as it is.
  virtual Status ReserveSpace(FileHandle file, std::int64_t former,
                              std::int64_t length) = 0;
  // The system's own description of a failure, as it would show it.
  virtual std::string DescribeError(const Status& status) = 0;

  // --- Facts about the system.
  // True on systems of the Windows NT family and on POSIX systems.
  virtual bool IsNtFamily() = 0;
  // Lowers the process's CPU and I/O priority (and on Windows its memory
  // priority) to the lowest the system has, for the rest of the process's
  // life, threads started later included.
  virtual Status EnterBackgroundMode() = 0;
  // Switches on every privilege the process's token holds. Every refusal is
  // silent; the only failure reported is memory exhaustion (code 8).
  virtual Status EnablePrivileges() = 0;
  // Whether `file` is a character device (a console or terminal).
  virtual Result<bool> IsCharacterDevice(FileHandle file) = 0;
  // Whether `byte` opens a double-byte character in the ANSI code page.
  virtual bool IsLeadByte(unsigned char byte) = 0;
  // The locale's one-character time separator, or ':'.
  virtual char TimeSeparator() = 0;

  // --- Memory.
  // A new, zero-filled, page-aligned region, or nullptr.
  virtual void* AllocatePages(std::size_t size) = 0;
  // Gives back a region from AllocatePages of that `size`, locked or not.
  virtual void FreePages(void* address, std::size_t size) = 0;
  // Keeps the region resident in physical memory.
  virtual bool LockPages(void* address, std::size_t size) = 0;
  virtual std::optional<LockLimits> GetLockLimits() = 0;
  virtual bool SetLockLimits(const LockLimits& limits) = 0;

  // --- Time: milliseconds of a monotonic clock, wrapping modulo 2^32.
  virtual std::uint32_t TickCount() = 0;
  // Returns after `milliseconds`, holding nothing meanwhile.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // --- Threads and events.
  virtual Result<std::unique_ptr<Event>> NewEvent(EventReset reset,
                                                  InitialState initial) = 0;
  // Starts a thread that runs entry(argument) at once.
  virtual Result<std::unique_ptr<Thread>> StartThread(ThreadEntry entry,
                                                      void* argument) = 0;

  // --- Process.
  virtual CodeLocation LocateCode(const void* address) = 0;
  // Offers a failure at `address` that no handler of the program caught to
  // the system's own handling. Returns when the program is to report it;
  // where the system takes it (a debugger is attached) the process ends by
  // the system's means and the call does not return.
  virtual void OfferUnhandled(const void* address) = 0;
  // Ends the whole process, all threads, with `status`. Flushes nothing.
  [[noreturn]] virtual void ExitProcess(int status) = 0;
};

}  // namespace ferrux::os
