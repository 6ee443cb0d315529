// Win32 body, files and I/O: opening with the run's exclusion, transfers,
// sizes, times, the switch between cached and uncached transfers, and the
// reservation of space. Win32 only.
#include <utility>

#include "os/win32/win32_platform.h"

namespace ferrux::os::win32 {
namespace {

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
  return FindKernelCall<SetFileValidDataCall>("SetFileValidData");
}

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
      return {{}, FailedWith("LockFileEx", ERROR_SHARING_VIOLATION)};
    }
  }
  FileHandle file;
  file.guard = reinterpret_cast<std::intptr_t>(guard);
  return {file, {}};
}

}  // namespace

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

FileHandle Win32Platform::StandardHandle(StandardStream stream) {
  const HANDLE handle = ::GetStdHandle(
      stream == StandardStream::kInput ? STD_INPUT_HANDLE : STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
  return Wrap(handle);
}

Result<std::uint32_t> Win32Platform::ReadFile(FileHandle file, void* buffer,
                                              std::uint32_t count) {
  DWORD done = 0;
  if (!::ReadFile(Native(file), buffer, count, &done, nullptr)) {
    return {0, Failed("ReadFile")};
  }
  return {done, {}};
}

// Uncached reads stay synchronous, one block at a time.
bool Win32Platform::ReadsAhead(FileHandle) { return false; }

Status Win32Platform::BeginRead(FileHandle, void*, std::uint32_t,
                                std::int64_t) {
  return FailedWith("ReadFile", ERROR_NOT_SUPPORTED);
}

Result<std::uint32_t> Win32Platform::EndRead(FileHandle) {
  return {0, FailedWith("ReadFile", ERROR_NOT_SUPPORTED)};
}

Result<std::uint32_t> Win32Platform::WriteFile(FileHandle file,
                                               const void* buffer,
                                               std::uint32_t count) {
  DWORD done = 0;
  if (!::WriteFile(Native(file), buffer, count, &done, nullptr)) {
    return {0, Failed("WriteFile")};
  }
  return {done, {}};
}

Status Win32Platform::SetPosition(FileHandle file, std::int64_t position) {
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

Result<std::int64_t> Win32Platform::FileSize(FileHandle file) {
  DWORD high = 0;
  ::SetLastError(NO_ERROR);
  const DWORD low = ::GetFileSize(Native(file), &high);
  if (low == INVALID_FILE_SIZE && ::GetLastError() != NO_ERROR) {
    return {0, Failed("GetFileSize")};
  }
  return {
      static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low),
      {}};
}

Status Win32Platform::SetEndOfFile(FileHandle file) {
  if (!::SetEndOfFile(Native(file))) return Failed("SetEndOfFile");
  return {};
}

Status Win32Platform::FlushFile(FileHandle file) {
  if (!::FlushFileBuffers(Native(file))) return Failed("FlushFileBuffers");
  return {};
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

Status Win32Platform::CloseFile(FileHandle file) {
  CloseIfOpen(file.guard);
  // A handle the rename already closed (see RenameNoReplace).
  if (!file.valid()) return {};
  if (!::CloseHandle(Native(file))) return Failed("CloseHandle");
  return {};
}

Result<std::uint32_t> Win32Platform::LinkCount(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(Native(file), &info)) {
    return {0, Failed("GetFileInformationByHandle")};
  }
  return {info.nNumberOfLinks, {}};
}

Result<FileTimes> Win32Platform::GetFileTimes(FileHandle file) {
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

Status Win32Platform::SetFileTimes(FileHandle file, const FileTimes& times) {
  const FILETIME creation = Split(times.creation);
  const FILETIME write = Split(times.last_write);
  if (!::SetFileTime(Native(file), &creation, nullptr, &write)) {
    return Failed("SetFileTime");
  }
  return {};
}

bool Win32Platform::ValidDataCallAvailable() {
  return FindSetFileValidData() != nullptr;
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

}  // namespace ferrux::os::win32
