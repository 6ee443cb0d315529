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

// CreateFileW's access, share mode and flags for each way of opening.
struct OpenRow {
  DWORD access, share, disposition, flags;
};

// Others may read and write the files the run opens; the size and stamp of
// the source, and the bytes compared on resuming, tell a changed one.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The source may also be renamed or deleted meanwhile, as a log that is
// rotated is: its holder's opens ask for that right, which an open that
// does not share it would refuse. The open file goes on being read.
constexpr DWORD kShareSource = kShareAll | FILE_SHARE_DELETE;
// The files the run writes are opened as themselves, never through a
// link or another reparse point planted under their name.
constexpr DWORD kNoReparse = FILE_FLAG_OPEN_REPARSE_POINT;

OpenRow RowOf(OpenMode mode) {
  // OPEN_ALWAYS creates only a missing file: a failed open never empties one.
  if (mode == OpenMode::kReadExisting) {
    return {GENERIC_READ, kShareSource, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL};
  }
  if (mode == OpenMode::kReadOwnExisting) {
    return {GENERIC_READ, kShareAll, OPEN_EXISTING,
            kNoReparse | FILE_ATTRIBUTE_NORMAL};
  }
  if (mode == OpenMode::kReadWriteExisting) {
    return {GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING,
            kNoReparse | FILE_ATTRIBUTE_NORMAL};
  }
  return {GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS,
          kNoReparse | FILE_ATTRIBUTE_NORMAL};
}

OpenRow RowOf(CacheMode mode) {
  switch (mode) {
    case CacheMode::kSourceUncached:
      return {GENERIC_READ, kShareSource, OPEN_EXISTING,
              FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN};
    case CacheMode::kTargetUncached:
      return {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING,
              kNoReparse | FILE_FLAG_NO_BUFFERING};
    case CacheMode::kReadBack:
      // Reads only, which stay synchronous here: a named copy may be
      // read-only, or read by another program that shares only reading.
      return {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
              kNoReparse | FILE_FLAG_NO_BUFFERING};
    case CacheMode::kCached:
      break;
  }
  return {GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING, kNoReparse};
}

// The security of the files the run creates: only the user who runs it
// may reach them (what owner-only modes are elsewhere). Null where the
// user cannot be told; the file then takes the folder's.
class PrivateSecurity {
 public:
  PrivateSecurity() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return;
    }
    DWORD length = 0;
    const BOOL known =
        ::GetTokenInformation(token, TokenUser, user_, sizeof user_, &length);
    ::CloseHandle(token);
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
    const auto acl = reinterpret_cast<PACL>(acl_);
    // Protected: no permission of the folder is inherited.
    if (known && ::InitializeAcl(acl, sizeof acl_, ACL_REVISION) &&
        ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
        ::InitializeSecurityDescriptor(&descriptor_,
                                       SECURITY_DESCRIPTOR_REVISION) &&
        ::SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
        ::SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED,
                                       SE_DACL_PROTECTED)) {
      attributes_ = {sizeof attributes_, &descriptor_, FALSE};
      ready_ = true;
    }
  }
  SECURITY_ATTRIBUTES* get() { return ready_ ? &attributes_ : nullptr; }

 private:
  alignas(TOKEN_USER) unsigned char user_[sizeof(TOKEN_USER) +
                                          SECURITY_MAX_SID_SIZE] = {};
  alignas(ACL) unsigned char acl_[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                                  SECURITY_MAX_SID_SIZE] = {};
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ready_ = false;
};

using GetFinalPathNameByHandleCall = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD,
                                                    DWORD);

// The path of the open file or folder as the system gives it, through
// links, mapped drives and short names, in the form names compare in;
// empty where the system cannot tell (before Vista; some redirectors).
std::wstring FinalPathOf(HANDLE handle) {
  const auto final_path =
      FindKernelCall<GetFinalPathNameByHandleCall>("GetFinalPathNameByHandleW");
  if (final_path == nullptr) return {};
  std::wstring path = SizedCall([&](wchar_t* buffer, DWORD size) {
    return final_path(handle, buffer, size, 0);
  });
  return path.empty() ? path : ComparablePath(std::move(path));
}

// Whether the open file is another than the one `name` stands for: a link
// was followed although the open asked not to (Wine follows the host's
// symbolic links), to a file of any name in any folder. Its whole path is
// compared with the path of the folder that `name` names, as the system
// gives it, and the last part of `name`. Vista and later; false where the
// system cannot tell.
bool ReachedElsewhere(HANDLE handle, const std::wstring& name) {
  if (name.empty()) return false;
  const std::wstring reached = FinalPathOf(handle);
  if (reached.empty()) return false;
  // Most often the name spells the path as the system gives it.
  if (ComparablePath(FullPathOf(name)) == reached) return false;
  const std::size_t end = name.find_last_of(L"\\/:");
  std::wstring folder =
      end == std::wstring::npos ? L"." : name.substr(0, end + 1);
  if (folder.back() == L':') folder += L'.';
  const HANDLE opened = ::CreateFileW(
      folder.c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  std::wstring expected = FinalPathOf(opened);
  ::CloseHandle(opened);
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected += L'\\';
  expected += name.substr(end + 1);
  return ComparablePath(std::move(expected)) != reached;
}

// An open whose path runs through a file where a folder should be: the
// system says the path is not found, some servers that the folder's name
// is invalid (ERROR_DIRECTORY). Both are the one situation, as ENOTDIR is
// on POSIX.
Status OpenFailed(const char* call) {
  const Status status = Failed(call);
  return status.code == ERROR_DIRECTORY ? FailedWith(call, ERROR_PATH_NOT_FOUND)
                                        : status;
}

// A file opened without following a reparse point is refused when it is
// one, or was reached through one all the same, as a link is refused
// elsewhere.
Status RefuseReparsePoint(HANDLE handle, const std::wstring& name,
                          const char* call) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) {
    return Failed("GetFileInformationByHandle");
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      ReachedElsewhere(handle, name)) {
    return FailedWith(call, ERROR_ACCESS_DENIED);
  }
  return {};
}

// Checks a handle just opened by `row` under `name` (empty: reopened
// through a handle already checked), and closes it when refused.
Result<FileHandle> Opened(HANDLE handle, const OpenRow& row,
                          const std::wstring& name, const char* call) {
  if (handle == INVALID_HANDLE_VALUE) return {{}, OpenFailed(call)};
  if ((row.flags & kNoReparse) != 0) {
    const Status refused = RefuseReparsePoint(handle, name, call);
    if (!refused.ok()) {
      ::CloseHandle(handle);
      return {{}, refused};
    }
  }
  return {Wrap(handle), {}};
}

Result<FileHandle> Open(const std::string& name, const OpenRow& row) {
  const WideName wide = WideOf(name, "CreateFileW");
  if (!wide.status.ok()) return {{}, wide.status};
  PrivateSecurity security;
  const auto open = [&](DWORD disposition) {
    return ::CreateFileW(wide.text.c_str(), row.access, row.share,
                         security.get(), disposition, row.flags, nullptr);
  };
  if (row.disposition != OPEN_ALWAYS) {
    return Opened(open(row.disposition), row, wide.text, "CreateFileW");
  }
  // Open, else create only a name that is free: a link that leads nowhere
  // is never followed to create its target, also where the system follows
  // links regardless (Wine). A file made between the two steps by another
  // run is opened on the second round.
  for (int round = 0; round < 2; ++round) {
    HANDLE handle = open(OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      handle = open(CREATE_NEW);
      if (handle == INVALID_HANDLE_VALUE &&
          ::GetLastError() == ERROR_FILE_EXISTS) {
        continue;
      }
    }
    return Opened(handle, row, wide.text, "CreateFileW");
  }
  // A name that is there but cannot be opened: a link to nothing.
  return {{}, FailedWith("CreateFileW", ERROR_ACCESS_DENIED)};
}

// The exclusion of a run: a second handle that shares everything, so that
// the run's own opens and its rename pass, and holds a lock on one byte far
// beyond any data, which a second run cannot take. It lives from the first
// open to the last close, across every reopen and the rename.
Result<FileHandle> OpenGuard(const std::string& name) {
  // Write access to the security, to give the named copy the folder's.
  const OpenRow row{GENERIC_READ | FILE_WRITE_ATTRIBUTES | WRITE_DAC,
                    kShareAll | FILE_SHARE_DELETE, OPEN_ALWAYS,
                    kNoReparse | FILE_ATTRIBUTE_NORMAL};
  const Result<FileHandle> opened = Open(name, row);
  if (!opened.ok()) return opened;
  const HANDLE guard = Native(opened.value);
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
  FileHandle file = Wrap(handle);
  if (stream == StandardStream::kOutput) file.traits = kProgramText;
  return file;
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
  if ((file.traits & kProgramText) != 0) return WriteText(file, buffer, count);
  DWORD done = 0;
  if (!::WriteFile(Native(file), buffer, count, &done, nullptr)) {
    return {0, Failed("WriteFile")};
  }
  return {done, {}};
}

Result<std::uint32_t> Win32Platform::WriteAt(FileHandle file,
                                             const void* buffer,
                                             std::uint32_t count,
                                             std::int64_t position) {
  // On a handle opened for synchronous transfers the offset in OVERLAPPED
  // places the write and the call still returns once it is done.
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(position));
  at.OffsetHigh =
      static_cast<DWORD>(static_cast<std::uint64_t>(position) >> 32);
  DWORD done = 0;
  if (!::WriteFile(Native(file), buffer, count, &done, &at)) {
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

// The system's flush covers the times as well.
Status Win32Platform::FlushFile(FileHandle file, FlushScope) {
  if (!::FlushFileBuffers(Native(file))) return Failed("FlushFileBuffers");
  return {};
}

Status Win32Platform::SetCacheMode(FileHandle& file, const std::string& name,
                                   CacheMode mode) {
  const OpenRow row = RowOf(mode);
  const auto reopen = FindKernelCall<ReOpenFileCall>("ReOpenFile");
  const bool guarded = file.guard != -1;
  // The results of closing are not examined: the file is opened again at
  // once, and a handle that cannot be closed cannot be used either.
  // A file held by a guard is let go first (its new share mode may admit
  // no other writer); the source, which shares everything, only after.
  if (guarded || reopen == nullptr) (void)::CloseHandle(Native(file));
  Result<FileHandle> opened;
  if (reopen != nullptr) {
    // Through a handle of the file itself, never by its name, which may by
    // now stand for another file.
    const HANDLE base = guarded ? Guard(file) : Native(file);
    opened =
        Opened(reopen(base, row.access, row.share, row.flags & ~kNoReparse),
               row, std::wstring(), "ReOpenFile");
    if (!guarded) (void)::CloseHandle(Native(file));
  } else {
    opened = Open(name, row);  // systems before Vista
  }
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

Result<FileKind> Win32Platform::KindOf(FileHandle file) {
  // A pipe, a console or another device is no disk file.
  if (::GetFileType(Native(file)) != FILE_TYPE_DISK) {
    return {FileKind::kOther, {}};
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(Native(file), &info)) {
    return {FileKind::kOther, Failed("GetFileInformationByHandle")};
  }
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return {folder ? FileKind::kDirectory : FileKind::kRegular, {}};
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
  // The access time is given as it is rather than left out: some file
  // systems (FUSE ones, as Wine passes the change on) drop the whole change
  // when one of the times is omitted.
  FILETIME access;
  if (!::GetFileTime(Native(file), nullptr, &access, nullptr)) {
    return Failed("GetFileTime");
  }
  if (!::SetFileTime(Native(file), &creation, &access, &write)) {
    return Failed("SetFileTime");
  }
  return {};
}

std::int64_t Win32Platform::LargestFileSize(const std::string& name) {
  // "FAT" (FAT12 and FAT16) and "FAT32" keep a 32-bit length; a volume
  // that cannot be asked (older systems) is taken to have no lower limit.
  const Result<Volume> volume = VolumeOf(name);
  return volume.ok() && volume.value.kind.starts_with("FAT")
             ? std::int64_t{0xFFFFFFFF}
             : INT64_MAX;
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
