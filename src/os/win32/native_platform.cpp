// Win32 body of the native platform: the kernel32, advapi32 and user32
// services the program is designed against, called as they are named.
#include "os/native_platform.h"

#include <new>
#include <utility>

#include "os/win32/win32_support.h"

namespace ferrux::os {
namespace {

static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorTooManyOpenFiles == ERROR_TOO_MANY_OPEN_FILES);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorDiskFull == ERROR_DISK_FULL);
static_assert(kErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorFilenameTooLong == ERROR_FILENAME_EXCED_RANGE);

// Captures GetLastError at the failure site. A call that failed without
// saying why must still count as failed.
Status Failed(const char* call) {
  DWORD code = ::GetLastError();
  if (code == NO_ERROR) code = ERROR_GEN_FAILURE;
  return Status{code, static_cast<int>(code), call};
}

HANDLE Native(FileHandle file) { return reinterpret_cast<HANDLE>(file.native); }

HANDLE Guard(FileHandle file) { return reinterpret_cast<HANDLE>(file.guard); }

void CloseIfOpen(std::intptr_t handle) {
  if (handle != -1) (void)::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

FileHandle Wrap(HANDLE handle) {
  return FileHandle{reinterpret_cast<std::intptr_t>(handle), 0};
}

std::int64_t Join(const FILETIME& time) {
  return static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
      time.dwLowDateTime);
}

// 100-ns ticks since 1601 to nanoseconds since 1970.
std::int64_t UnixNanoseconds(const FILETIME& time) {
  return (Join(time) - 116444736000000000) * 100;
}

FILETIME Split(std::int64_t value) {
  const auto bits = static_cast<std::uint64_t>(value);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(bits & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(bits >> 32);
  return time;
}

using SetFileValidDataCall = BOOL(WINAPI*)(HANDLE, LONGLONG);

// Looked up at run time: older systems do not have it.
SetFileValidDataCall FindSetFileValidData() {
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<SetFileValidDataCall>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "SetFileValidData")));
}

class Win32Event final : public Event {
 public:
  explicit Win32Event(HANDLE handle) : handle_(handle) {}
  void Set() override { ::SetEvent(handle_); }
  void Reset() override { ::ResetEvent(handle_); }
  void Wait() override { ::WaitForSingleObject(handle_, INFINITE); }

 private:
  // Never closed: events live until the process ends.
  HANDLE handle_;
};

struct ThreadStart {
  ThreadEntry entry;
  void* argument;
};

DWORD WINAPI ThreadTrampoline(LPVOID parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.entry(start.argument);
  return 0;
}

// Waited for when it goes.
class Win32Thread final : public Thread {
 public:
  explicit Win32Thread(HANDLE handle) : handle_(handle) {}
  ~Win32Thread() override {
    (void)::WaitForSingleObject(handle_, INFINITE);
    ::CloseHandle(handle_);
  }

 private:
  HANDLE handle_;
};

class Win32Platform final : public Platform {
 public:
  Result<FileHandle> OpenFile(const std::string& name, OpenMode mode) override;
  FileHandle StandardHandle(StandardStream stream) override {
    const HANDLE handle =
        ::GetStdHandle(stream == StandardStream::kInput ? STD_INPUT_HANDLE
                                                        : STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
    return Wrap(handle);
  }
  Result<std::uint32_t> ReadFile(FileHandle file, void* buffer,
                                 std::uint32_t count) override {
    DWORD done = 0;
    if (!::ReadFile(Native(file), buffer, count, &done, nullptr)) {
      return {0, Failed("ReadFile")};
    }
    return {done, {}};
  }
  // Uncached reads stay synchronous, one block at a time.
  bool ReadsAhead(FileHandle) override { return false; }
  Status BeginRead(FileHandle, void*, std::uint32_t, std::int64_t) override {
    return Status{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, "ReadFile"};
  }
  Result<std::uint32_t> EndRead(FileHandle) override {
    return {0, Status{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, "ReadFile"}};
  }
  Result<std::uint32_t> WriteFile(FileHandle file, const void* buffer,
                                  std::uint32_t count) override {
    DWORD done = 0;
    if (!::WriteFile(Native(file), buffer, count, &done, nullptr)) {
      return {0, Failed("WriteFile")};
    }
    return {done, {}};
  }
  Status SetPosition(FileHandle file, std::int64_t position) override {
    LONG high = static_cast<LONG>(position >> 32);
    // All ones in the low half is a valid position; only the last-error
    // code tells a failure, so it must not be a stale one.
    ::SetLastError(NO_ERROR);
    const DWORD low =
        ::SetFilePointer(Native(file), static_cast<LONG>(position & 0xFFFFFFFF),
                         &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR) {
      return Failed("SetFilePointer");
    }
    return {};
  }
  Result<std::int64_t> FileSize(FileHandle file) override {
    DWORD high = 0;
    ::SetLastError(NO_ERROR);
    const DWORD low = ::GetFileSize(Native(file), &high);
    if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
      return {0, Failed("GetFileSize")};
    }
    return {static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) |
                                      low),
            {}};
  }
  Status SetEndOfFile(FileHandle file) override {
    if (!::SetEndOfFile(Native(file))) return Failed("SetEndOfFile");
    return {};
  }
  Status FlushFile(FileHandle file) override {
    if (!::FlushFileBuffers(Native(file))) return Failed("FlushFileBuffers");
    return {};
  }
  Status SetCacheMode(FileHandle& file, const std::string& name,
                      CacheMode mode) override;
  Status CloseFile(FileHandle file) override {
    CloseIfOpen(file.guard);
    // A handle the rename already closed (see RenameNoReplace).
    if (!file.valid()) return {};
    if (!::CloseHandle(Native(file))) return Failed("CloseHandle");
    return {};
  }
  Result<std::uint32_t> LinkCount(FileHandle file) override {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(Native(file), &info)) {
      return {0, Failed("GetFileInformationByHandle")};
    }
    return {info.nNumberOfLinks, {}};
  }
  bool IsSameFile(FileHandle, const std::string&) override {
    // Hard links are never made by the program on Windows, where the
    // rename itself never replaces.
    return false;
  }
  Result<FileTimes> GetFileTimes(FileHandle file) override {
    FILETIME creation;
    FILETIME write;
    if (!::GetFileTime(Native(file), &creation, nullptr, &write)) {
      return {{}, Failed("GetFileTime")};
    }
    FileTimes times;
    times.creation = Join(creation);
    times.last_write = Join(write);
    times.last_write_unix_ns = UnixNanoseconds(write);
    return {times, {}};
  }
  Status SetFileTimes(FileHandle file, const FileTimes& times) override {
    const FILETIME creation = Split(times.creation);
    const FILETIME write = Split(times.last_write);
    if (!::SetFileTime(Native(file), &creation, nullptr, &write)) {
      return Failed("SetFileTime");
    }
    return {};
  }
  Result<std::uint32_t> GetAttributes(const std::string& name) override {
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      return {0, Failed("GetFileAttributesA")};
    }
    return {attributes, {}};
  }
  Status SetAttributes(FileHandle file, const std::string& name,
                       std::uint32_t attributes) override;
  Result<NameFacts> LookUp(const std::string& name) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) {
      return {{}, Failed("GetFileAttributesExA")};
    }
    const std::int64_t size = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
        data.nFileSizeLow);
    return {{size, UnixNanoseconds(data.ftLastWriteTime)}, {}};
  }
  Status RemoveFile(const std::string& name) override {
    if (!::DeleteFileA(name.c_str())) return Failed("DeleteFileA");
    return {};
  }
  Status RenameNoReplace(FileHandle& file, const std::string& from,
                         const std::string& to) override;
  Status LinkNoReplace(const std::string&, const std::string&) override {
    return Status{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, "CreateHardLinkA"};
  }
  Status RenameIfAbsent(FileHandle&, const std::string&,
                        const std::string&) override {
    return Status{ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, "MoveFileExA"};
  }
  Status FlushFolderOf(const std::string& name) override;
  // Folders are held only by the guard handles of open files.
  void ForgetFolders() override {}
  Result<std::uint64_t> FileSystemOf(const std::string& name) override {
    // The volume's serial number, which a share keeps across reconnects.
    const HANDLE handle = ::CreateFileA(
        name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {0, Failed("CreateFileA")};
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
    const Status failure =
        known ? Status{} : Failed("GetFileInformationByHandle");
    ::CloseHandle(handle);
    return {known ? info.dwVolumeSerialNumber : 0u, failure};
  }
  bool ValidDataCallAvailable() override {
    return FindSetFileValidData() != nullptr;
  }
  Status ReserveSpace(FileHandle file, std::int64_t former,
                      std::int64_t length) override;
  std::string DescribeError(const Status& status) override {
    char text[256];
    // Inserts are ignored: without arguments a message with inserts would
    // read memory that is not there.
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
            FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, status.code, 0, text, sizeof text, nullptr);
    return std::string(text, length);
  }

  bool IsNtFamily() override {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!::GetVersionExA(&version)) return false;
    return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
  }
  Status EnablePrivileges() override;
  Result<bool> IsCharacterDevice(FileHandle file) override {
    ::SetLastError(NO_ERROR);
    const DWORD type = ::GetFileType(Native(file));
    if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
      return {false, Failed("GetFileType")};
    }
    return {type == FILE_TYPE_CHAR, {}};
  }
  bool IsLeadByte(unsigned char byte) override {
    return ::IsDBCSLeadByte(byte) != 0;
  }
  std::string ToOem(std::string_view text) override {
    std::string copy(text);
    if (!copy.empty()) {
      ::CharToOemBuffA(copy.data(), copy.data(),
                       static_cast<DWORD>(copy.size()));
    }
    return copy;
  }
  char TimeSeparator() override {
    char separator[2];
    if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_STIME, separator,
                         sizeof separator) == 0) {
      return ':';
    }
    return separator[0];
  }

  void* AllocatePages(std::size_t size) override {
    return ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE,
                          PAGE_READWRITE);
  }
  void FreePages(void* address, std::size_t) override {
    (void)::VirtualFree(address, 0, MEM_RELEASE);  // fails only for no region
  }
  bool LockPages(void* address, std::size_t size) override {
    return ::VirtualLock(address, size) != 0;
  }
  std::optional<LockLimits> GetLockLimits() override {
    SIZE_T minimum = 0;
    SIZE_T maximum = 0;
    if (!::GetProcessWorkingSetSize(::GetCurrentProcess(), &minimum,
                                    &maximum)) {
      return std::nullopt;
    }
    return LockLimits{minimum, maximum};
  }
  bool SetLockLimits(const LockLimits& limits) override {
    return ::SetProcessWorkingSetSize(::GetCurrentProcess(), limits.minimum,
                                      limits.maximum) != 0;
  }

  std::uint32_t TickCount() override { return ::GetTickCount(); }
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  Result<std::unique_ptr<Event>> NewEvent(EventReset reset,
                                          InitialState initial) override {
    const HANDLE handle =
        ::CreateEventA(nullptr, reset == EventReset::kManual,
                       initial == InitialState::kSet, nullptr);
    if (handle == nullptr) return {nullptr, Failed("CreateEventA")};
    return {std::make_unique<Win32Event>(handle), {}};
  }
  Result<std::unique_ptr<Thread>> StartThread(ThreadEntry entry,
                                              void* argument) override {
    auto* start = new (std::nothrow) ThreadStart{entry, argument};
    if (start == nullptr) {
      return {nullptr,
              Status{ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, "new"}};
    }
    const HANDLE thread =
        ::CreateThread(nullptr, 0, &ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) {
      const Status failure = Failed("CreateThread");
      delete start;
      return {nullptr, failure};
    }
    return {std::make_unique<Win32Thread>(thread), {}};
  }

  CodeLocation LocateCode(const void* address) override;
  void OfferUnhandled(const void* address) override;
  [[noreturn]] void ExitProcess(int status) override {
    ::ExitProcess(static_cast<UINT>(status));
  }
};

// CreateFileA's access, share mode and flags for each way of opening.
struct OpenRow {
  DWORD access, share, disposition, flags;
};

OpenRow RowOf(OpenMode mode) {
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
  // OPEN_ALWAYS creates only a missing file: a failed open never empties one.
  if (mode == OpenMode::kReadExisting) {
    return {GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
  }
  if (mode == OpenMode::kReadWriteExisting) {
    return {GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING,
            FILE_ATTRIBUTE_NORMAL};
  }
  return {GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS,
          FILE_ATTRIBUTE_NORMAL};
}

OpenRow RowOf(CacheMode mode) {
  switch (mode) {
    case CacheMode::kSourceUncached:
      return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN |
                  FILE_ATTRIBUTE_NORMAL};
    case CacheMode::kTargetUncached:
    case CacheMode::kReadBack:  // reads stay synchronous here
      return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
              FILE_FLAG_NO_BUFFERING | FILE_ATTRIBUTE_NORMAL};
    case CacheMode::kCached:
      break;
  }
  return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
}

Result<FileHandle> Open(const std::string& name, const OpenRow& row) {
  const HANDLE handle =
      ::CreateFileA(name.c_str(), row.access, row.share, nullptr,
                    row.disposition, row.flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {{}, Failed("CreateFileA")};
  return {Wrap(handle), {}};
}

// The exclusion of a run: a second handle that shares everything, so that
// the run's own opens and its rename pass, and holds a lock on one byte far
// beyond any data, which a second run cannot take. It lives from the first
// open to the last close, across every reopen and the rename.
Result<FileHandle> OpenGuard(const std::string& name) {
  const HANDLE guard =
      ::CreateFileA(name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (guard == INVALID_HANDLE_VALUE) return {{}, Failed("CreateFileA")};
  OVERLAPPED far_byte{};
  far_byte.Offset = 0xFFFFFFFE;
  far_byte.OffsetHigh = 0x7FFFFFFF;
  if (!::LockFileEx(guard, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY,
                    0, 1, 0, &far_byte)) {
    const DWORD code = ::GetLastError();
    // File systems without locks (1, 50) are used without.
    if (code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION) {
      ::CloseHandle(guard);
      return {{},
              Status{ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION,
                     "LockFileEx"}};
    }
  }
  FileHandle file;
  file.guard = reinterpret_cast<std::intptr_t>(guard);
  return {file, {}};
}

Result<FileHandle> Win32Platform::OpenFile(const std::string& name,
                                           OpenMode mode) {
  if (mode != OpenMode::kReadWriteExclusive) return Open(name, RowOf(mode));
  Result<FileHandle> file = OpenGuard(name);
  if (!file.ok()) return file;
  const Result<FileHandle> main = Open(name, RowOf(mode));
  if (!main.ok()) {
    CloseIfOpen(file.value.guard);
    return main;
  }
  file.value.native = main.value.native;
  return file;
}

Status Win32Platform::SetCacheMode(FileHandle& file, const std::string& name,
                                   CacheMode mode) {
  // The result of closing is not examined: the file is opened again at
  // once, and a handle that cannot be closed cannot be used either.
  (void)::CloseHandle(Native(file));
  const Result<FileHandle> opened = Open(name, RowOf(mode));
  file.native = opened.value.native;
  if (!opened.ok()) CloseIfOpen(std::exchange(file.guard, -1));
  return opened.status;
}

Status Win32Platform::RenameNoReplace(FileHandle& file, const std::string& from,
                                      const std::string& to) {
  // The file cannot be renamed while a handle that does not share deletion
  // is open; the guard, which does, keeps holding it.
  (void)::CloseHandle(Native(file));
  file.native = -1;
  // Without MOVEFILE_REPLACE_EXISTING it never replaces. Write-through
  // matters only where the move copies; FlushFolderOf makes the name
  // durable.
  if (!::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
    return Failed("MoveFileExA");
  }
  return {};
}

Status Win32Platform::ReserveSpace(FileHandle file, std::int64_t former,
                                   std::int64_t length) {
  // The length first (a full volume fails here), then the valid data.
  Status status = SetPosition(file, length);
  if (status.ok()) status = SetEndOfFile(file);
  if (!status.ok()) return status;
  const SetFileValidDataCall declare = FindSetFileValidData();
  if (declare != nullptr && declare(Native(file), length)) return {};
  const Status refused{ERROR_NOT_SUPPORTED, static_cast<int>(::GetLastError()),
                       "SetFileValidData"};
  status = SetPosition(file, former);
  if (status.ok()) status = SetEndOfFile(file);
  return status.ok() ? refused : status;
}

using SetFileInformationByHandleCall = BOOL(WINAPI*)(HANDLE, int, LPVOID,
                                                     DWORD);

// Windows Vista and later; looked up so that the program still starts on
// older systems, which set the attributes by name.
SetFileInformationByHandleCall FindSetFileInformationByHandle() {
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<SetFileInformationByHandleCall>(
      reinterpret_cast<void*>(
          ::GetProcAddress(kernel, "SetFileInformationByHandle")));
}

Status Win32Platform::SetAttributes(FileHandle file, const std::string& name,
                                    std::uint32_t attributes) {
  // Through the guard, which the rename left on the file: a name could by
  // now stand for something else.
  const SetFileInformationByHandleCall set = FindSetFileInformationByHandle();
  if (set != nullptr && file.guard != -1) {
    // FILE_BASIC_INFO: times of 0 stay as they are; so would attributes of
    // 0, which is why "none" is FILE_ATTRIBUTE_NORMAL.
    struct {
      LARGE_INTEGER creation, access, write, change;
      DWORD attributes;
    } basic{};
    basic.attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    constexpr int kFileBasicInfo = 0;
    if (!set(Guard(file), kFileBasicInfo, &basic, sizeof basic)) {
      return Failed("SetFileInformationByHandle");
    }
    return {};
  }
  if (!::SetFileAttributesA(name.c_str(), attributes)) {
    return Failed("SetFileAttributesA");
  }
  return {};
}

Status Win32Platform::FlushFolderOf(const std::string& name) {
  // A folder opened for adding files may be flushed, which makes the
  // names in it durable (NTFS; SMB servers that take a folder flush).
  const std::size_t end = name.find_last_of("\\/:");
  std::string folder = end == std::string::npos ? "." : name.substr(0, end + 1);
  if (folder.back() == ':') folder += '.';
  const HANDLE handle = ::CreateFileA(
      folder.c_str(), FILE_ADD_FILE | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  Status status;
  if (handle == INVALID_HANDLE_VALUE) {
    status = Failed("CreateFileA");
  } else {
    if (!::FlushFileBuffers(handle)) status = Failed("FlushFileBuffers");
    ::CloseHandle(handle);
  }
  // Refused or unknown where the system keeps no folder to flush (FAT,
  // some servers): the name is there, its durability is the system's.
  switch (status.code) {
    case ERROR_INVALID_FUNCTION:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
      return {};
    default:
      return status;
  }
}

Status Win32Platform::EnablePrivileges() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(),
                          TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return {};
  }
  DWORD needed = 0;
  ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &needed);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ::CloseHandle(token);
    return {};
  }
  auto* buffer = new (std::nothrow) unsigned char[needed];
  if (buffer == nullptr) {
    ::CloseHandle(token);
    return Status{ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, "new"};
  }
  DWORD length = 0;
  if (::GetTokenInformation(token, TokenPrivileges, buffer, needed, &length)) {
    auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer);
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      privileges->Privileges[i].Attributes |= SE_PRIVILEGE_ENABLED;
    }
    // Refusals are silent: at worst the valid-data call is refused later.
    ::AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr);
  }
  ::CloseHandle(token);
  delete[] buffer;
  return {};
}

// The exception code under which a failure of the program's own meets the
// system: a customer code (bit 29), "FX".
constexpr DWORD kUnhandledFailure = 0xE0004658;

void Win32Platform::OfferUnhandled(const void* address) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = kUnhandledFailure;
  record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = const_cast<void*>(address);
  CONTEXT context{};
  ::RtlCaptureContext(&context);
  EXCEPTION_POINTERS pointers{&record, &context};
  if (::UnhandledExceptionFilter(&pointers) == EXCEPTION_EXECUTE_HANDLER) {
    return;
  }
  // Declined, as while a debugger is attached: raised for real, with no
  // handler anywhere, so that the debugger sees it and the system ends the
  // process.
  ::RaiseException(kUnhandledFailure, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

// Without a debugger the filter asks this one: the program reports its
// failures itself, and a crash ends the process without a dialog that
// would hold a console program up.
LONG WINAPI ProgramReportsItself(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

CodeLocation Win32Platform::LocateCode(const void* address) {
  char file[MAX_PATH];
  MEMORY_BASIC_INFORMATION region{};
  if (address != nullptr &&
      ::VirtualQuery(address, &region, sizeof region) != 0 &&
      region.State == MEM_COMMIT) {
    const DWORD length = ::GetModuleFileNameA(
        static_cast<HMODULE>(region.AllocationBase), file, sizeof file);
    if (length != 0) {
      return {std::string(file, length),
              reinterpret_cast<std::uintptr_t>(address) -
                  reinterpret_cast<std::uintptr_t>(region.AllocationBase)};
    }
  }
  const DWORD length = ::GetModuleFileNameA(nullptr, file, sizeof file);
  const auto raw = reinterpret_cast<std::uintptr_t>(address);
  return {std::string(file, length), raw == 0 ? 0 : raw - 4096};
}

}  // namespace

const Conventions& NativeConventions() {
  static const Conventions conventions{"\r\n", "\\:", '\\', "ferrux.exe",
                                       MAX_PATH - 1};
  return conventions;
}

std::unique_ptr<Platform> CreateNativePlatform() {
  ::SetUnhandledExceptionFilter(&ProgramReportsItself);
  return std::make_unique<Win32Platform>();
}

std::optional<std::string> RawCommandLine() { return ::GetCommandLineA(); }

}  // namespace ferrux::os
