// Win32 body, names and finishing: facts and attributes by name, the
// lengths of names, removing, renaming without replacing, flushing the
// folder, and the texts of names for the console. Win32 only.
#include "os/native_platform.h"
#include "os/win32/win32_platform.h"

namespace ferrux::os::win32 {
namespace {

using SetFileInformationByHandleCall = BOOL(WINAPI*)(HANDLE, int, LPVOID,
                                                     DWORD);

// Windows Vista and later; looked up so that the program still starts on
// older systems, which set the attributes by name.
SetFileInformationByHandleCall FindSetFileInformationByHandle() {
  return FindKernelCall<SetFileInformationByHandleCall>(
      "SetFileInformationByHandle");
}

}  // namespace

bool Win32Platform::IsSameFile(FileHandle, const std::string&) {
  // Hard links are never made by the program on Windows, where the
  // rename itself never replaces.
  return false;
}

Result<std::uint32_t> Win32Platform::GetAttributes(const std::string& name) {
  const DWORD attributes = ::GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return {0, Failed("GetFileAttributesA")};
  }
  return {attributes, {}};
}

Result<Platform::NameFacts> Win32Platform::LookUp(const std::string& name) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) {
    return {{}, Failed("GetFileAttributesExA")};
  }
  const std::int64_t size = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
      data.nFileSizeLow);
  return {{size, UnixNanoseconds(data.ftLastWriteTime)}, {}};
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

Platform::NameLengths Win32Platform::MeasureName(const std::string& name) {
  const std::size_t end = name.find_last_of("\\/:");
  // NTFS, FAT and exFAT alike take names of 255 units.
  return {name.size(),
          end == std::string::npos ? name.size() : name.size() - end - 1, 255};
}

Status Win32Platform::RemoveFile(const std::string& name) {
  if (!::DeleteFileA(name.c_str())) return Failed("DeleteFileA");
  return {};
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

Status Win32Platform::LinkNoReplace(const std::string&, const std::string&) {
  return FailedWith("CreateHardLinkA", ERROR_NOT_SUPPORTED);
}

Status Win32Platform::RenameIfAbsent(FileHandle&, const std::string&,
                                     const std::string&) {
  return FailedWith("MoveFileExA", ERROR_NOT_SUPPORTED);
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

bool Win32Platform::IsLeadByte(unsigned char byte) {
  return ::IsDBCSLeadByte(byte) != 0;
}

std::string Win32Platform::ToOem(std::string_view text) {
  std::string copy(text);
  if (!copy.empty()) {
    ::CharToOemBuffA(copy.data(), copy.data(), static_cast<DWORD>(copy.size()));
  }
  return copy;
}

}  // namespace ferrux::os::win32

namespace ferrux::os {

const Conventions& NativeConventions() {
  // "/" separates as "\\" does in every Win32 call.
  static const Conventions conventions{"\r\n", "\\/:", '\\', "ferrux.exe",
                                       MAX_PATH - 1};
  return conventions;
}

std::optional<std::string> RawCommandLine() { return ::GetCommandLineA(); }

}  // namespace ferrux::os
