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

// Whether the system would take the last part of `name` without the dots
// and spaces that end it: always but for a name given as "\\?\...".
bool EndsTrimmed(std::wstring_view name) {
  if (name.starts_with(L"\\\\?\\")) return false;
  const std::wstring_view leaf =
      name.substr(name.find_last_of(L"\\/:") + 1);  // npos + 1 is 0
  return !leaf.empty() && leaf != L"." && leaf != L".." &&
         (leaf.back() == L'.' || leaf.back() == L' ');
}

}  // namespace

std::optional<std::wstring> Utf16(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80   ? 1
                               : lead < 0xC2 ? 0
                               : lead < 0xE0 ? 2
                               : lead < 0xF0 ? 3
                               : lead < 0xF5 ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    char32_t code = length == 1 ? lead : lead & (0xFFu >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (next & 0x3Fu);
    }
    // The shortest form only, and nothing beyond U+10FFFF.
    constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF) return std::nullopt;
    if (code >= 0x10000) {
      code -= 0x10000;
      wide.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      wide.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      wide.push_back(static_cast<wchar_t>(code));
    }
    i += length;
  }
  return wide;
}

std::string Utf8(std::wstring_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = static_cast<char16_t>(text[i]);
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() &&
        text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) +
             (static_cast<char16_t>(text[++i]) - 0xDC00u);
    }
    const auto put = [&narrow](char32_t byte) {
      narrow.push_back(static_cast<char>(byte));
    };
    if (code < 0x80) {
      put(code);
    } else if (code < 0x800) {
      put(0xC0 | (code >> 6));
      put(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      put(0xE0 | (code >> 12));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    } else {
      put(0xF0 | (code >> 18));
      put(0x80 | ((code >> 12) & 0x3F));
      put(0x80 | ((code >> 6) & 0x3F));
      put(0x80 | (code & 0x3F));
    }
  }
  return narrow;
}

std::wstring FullPathOf(const std::wstring& name) {
  return SizedCall([&](wchar_t* buffer, DWORD size) {
    return ::GetFullPathNameW(name.c_str(), size, buffer, nullptr);
  });
}

std::wstring ComparablePath(std::wstring path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) {
    path.erase(2, 6);
  } else if (path.starts_with(L"\\\\?\\")) {
    path.erase(0, 4);
  }
  while (!path.empty() && (path.back() == L'.' || path.back() == L' ')) {
    path.pop_back();
  }
  ::CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
  return path;
}

WideName WideOf(const std::string& name, const char* call) {
  std::optional<std::wstring> wide = Utf16(name);
  if (!wide) return {{}, FailedWith(call, ERROR_INVALID_NAME)};
  if (!EndsTrimmed(*wide)) return {std::move(*wide), {}};
  // Such a name is kept exactly as "\\?\" and the full path of its folder,
  // the folder made as for any name ("." and ".." resolved, "/" as "\\"),
  // and the last part, which the system then takes as it is.
  const std::size_t end = wide->find_last_of(L"\\/:");
  std::wstring folder =
      end == std::wstring::npos ? L"." : wide->substr(0, end + 1);
  if (folder.back() == L':') folder += L'.';
  std::wstring full = FullPathOf(folder);
  if (full.empty()) return {{}, Failed(call)};
  if (full.back() != L'\\') full += L'\\';
  if (full.starts_with(L"\\\\.\\")) {
    full.erase(0, 4);  // a device path: "\\.\" is normalised too
  } else if (full.starts_with(L"\\\\")) {
    full.replace(0, 2, L"UNC\\");  // a share: \\?\UNC\server\share
  }
  return {L"\\\\?\\" + full + wide->substr(end + 1), {}};
}

bool Win32Platform::IsSameFile(FileHandle, const std::string&) {
  // Hard links are never made by the program on Windows, where the
  // rename itself never replaces.
  return false;
}

Result<std::uint32_t> Win32Platform::GetAttributes(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(Native(file), &info)) {
    return {0, Failed("GetFileInformationByHandle")};
  }
  return {info.dwFileAttributes, {}};
}

Result<Platform::NameFacts> Win32Platform::LookUp(const std::string& name) {
  const WideName wide = WideOf(name, "GetFileAttributesExW");
  if (!wide.status.ok()) return {{}, wide.status};
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(wide.text.c_str(), GetFileExInfoStandard,
                              &data)) {
    return {{}, Failed("GetFileAttributesExW")};
  }
  const std::int64_t size = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
      data.nFileSizeLow);
  const DWORD attributes = data.dwFileAttributes;
  const FileKind kind =
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? FileKind::kOther
      : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? FileKind::kDirectory
                                                       : FileKind::kRegular;
  return {{size, UnixNanoseconds(data.ftLastWriteTime), kind}, {}};
}

Status Win32Platform::SetAttributes(FileHandle file, const std::string& name,
                                    std::uint32_t attributes) {
  // On the file itself, never by its name, which could by now stand for
  // something else: through the guard the rename left on it, or through a
  // second handle of an open named copy, which may only be read.
  const SetFileInformationByHandleCall set = FindSetFileInformationByHandle();
  const auto reopen = FindKernelCall<ReOpenFileCall>("ReOpenFile");
  if (set != nullptr && reopen != nullptr &&
      (file.guard != -1 || file.valid())) {
    HANDLE through = Guard(file);
    if (file.guard == -1) {
      // Without the right to its permissions the attributes are still set.
      for (const DWORD access : {DWORD{FILE_WRITE_ATTRIBUTES | WRITE_DAC},
                                 DWORD{FILE_WRITE_ATTRIBUTES}}) {
        through =
            reopen(Native(file), access,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (through != INVALID_HANDLE_VALUE) break;
      }
    }
    if (through == INVALID_HANDLE_VALUE) return Failed("ReOpenFile");
    // FILE_BASIC_INFO: times of 0 stay as they are; so would attributes of
    // 0, which is why "none" is FILE_ATTRIBUTE_NORMAL.
    struct {
      LARGE_INTEGER creation, access, write, change;
      DWORD attributes;
    } basic{};
    basic.attributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
    constexpr int kFileBasicInfo = 0;
    Status status;
    if (!set(through, kFileBasicInfo, &basic, sizeof basic)) {
      status = Failed("SetFileInformationByHandle");
    }
    // Named, the copy takes the folder's permissions, as any file made
    // there (also one named by a run stopped before it got here); where it
    // cannot, it stays private to the user, which is safe.
    ACL inherit;
    if (status.ok() &&
        ::InitializeAcl(&inherit, sizeof inherit, ACL_REVISION)) {
      (void)::SetSecurityInfo(
          through, SE_FILE_OBJECT,
          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
          nullptr, nullptr, &inherit, nullptr);
    }
    if (through != Guard(file)) ::CloseHandle(through);
    return status;
  }
  // Systems before Vista.
  const WideName wide = WideOf(name, "SetFileAttributesW");
  if (!wide.status.ok()) return wide.status;
  if (!::SetFileAttributesW(wide.text.c_str(), attributes)) {
    return Failed("SetFileAttributesW");
  }
  return {};
}

Platform::NameLengths Win32Platform::MeasureName(const std::string& name) {
  // In UTF-16 units; a name the system cannot take is refused when used.
  const std::wstring wide = Utf16(name).value_or(std::wstring());
  const std::size_t end = wide.find_last_of(L"\\/:");
  // NTFS, FAT and exFAT alike take names of 255 units.
  return {wide.size(),
          end == std::wstring::npos ? wide.size() : wide.size() - end - 1, 255,
          EndsTrimmed(wide)};
}

Status Win32Platform::RemoveFile(const std::string& name) {
  const WideName wide = WideOf(name, "DeleteFileW");
  if (!wide.status.ok()) return wide.status;
  if (!::DeleteFileW(wide.text.c_str())) return Failed("DeleteFileW");
  return {};
}

Status Win32Platform::RenameNoReplace(FileHandle& file, const std::string& from,
                                      const std::string& to) {
  // The file cannot be renamed while a handle that does not share deletion
  // is open; the guard, which does, keeps holding it.
  const WideName old_name = WideOf(from, "MoveFileExW");
  const WideName new_name = WideOf(to, "MoveFileExW");
  if (!old_name.status.ok()) return old_name.status;
  if (!new_name.status.ok()) return new_name.status;
  (void)::CloseHandle(Native(file));
  file.native = -1;
  // Without MOVEFILE_REPLACE_EXISTING it never replaces. Write-through
  // matters only where the move copies; FlushFolderOf makes the name
  // durable.
  if (!::MoveFileExW(old_name.text.c_str(), new_name.text.c_str(),
                     MOVEFILE_WRITE_THROUGH)) {
    return Failed("MoveFileExW");
  }
  return {};
}

Status Win32Platform::LinkNoReplace(const std::string&, const std::string&) {
  return FailedWith("CreateHardLinkW", ERROR_NOT_SUPPORTED);
}

Result<bool> Win32Platform::RenameIfAbsent(FileHandle&, const std::string&,
                                           const std::string&) {
  return {false, FailedWith("MoveFileExW", ERROR_NOT_SUPPORTED)};
}

using GetVolumeInformationByHandleCall = BOOL(WINAPI*)(HANDLE, LPWSTR, DWORD,
                                                       LPDWORD, LPDWORD,
                                                       LPDWORD, LPWSTR, DWORD);

Result<Platform::Volume> Win32Platform::VolumeOf(const std::string& name) {
  // The volume's file system and serial number, which a share keeps across
  // reconnects, asked through a handle of the volume's root folder: that
  // needs no access to the volume's device, which Wine refuses. The folder
  // is its mount point where it is the volume's root.
  const WideName wide = WideOf(name, "GetFullPathNameW");
  if (!wide.status.ok()) return {{}, wide.status};
  // A "\\?\" name is taken as it is, its "\\." too, which is no folder.
  std::wstring folder = FullPathOf(wide.text);
  if (folder.empty()) return {{}, Failed("GetFullPathNameW")};
  if (folder.ends_with(L"\\.")) folder.pop_back();
  // The root is never longer than the path it is found from.
  std::wstring root(folder.size() + MAX_PATH, L'\0');
  if (!::GetVolumePathNameW(folder.c_str(), root.data(),
                            static_cast<DWORD>(root.size()))) {
    return {{}, Failed("GetVolumePathNameW")};
  }
  root.resize(root.find(L'\0'));
  // The root's handle: the folder itself need not exist.
  const HANDLE handle = ::CreateFileW(
      root.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {{}, Failed("CreateFileW")};
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = ::GetFileInformationByHandle(handle, &info) != 0;
  const Status failure =
      known ? Status{} : Failed("GetFileInformationByHandle");
  wchar_t system[MAX_PATH + 1] = {};
  const auto volume = FindKernelCall<GetVolumeInformationByHandleCall>(
      "GetVolumeInformationByHandleW");  // Vista and later
  if (known && volume != nullptr &&
      !volume(handle, nullptr, 0, nullptr, nullptr, nullptr, system,
              MAX_PATH + 1)) {
    system[0] = L'\0';
  }
  ::CloseHandle(handle);
  if (!known) return {{}, failure};
  const auto without_separator = [](std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return ComparablePath(std::move(path));
  };
  return {{Utf8(system), std::to_string(info.dwVolumeSerialNumber),
           without_separator(folder) == without_separator(root)},
          {}};
}

Status Win32Platform::FlushFolderOf(const std::string& name) {
  // A folder opened for adding files may be flushed, which makes the
  // names in it durable (NTFS; SMB servers that take a folder flush).
  // UTF-8 keeps every byte of a multi-byte character above 0x7F, so the
  // last separator found here is a whole character.
  const std::size_t end = name.find_last_of("\\/:");
  std::string folder = end == std::string::npos ? "." : name.substr(0, end + 1);
  if (folder.back() == ':') folder += '.';
  const WideName wide = WideOf(folder, "CreateFileW");
  if (!wide.status.ok()) return wide.status;
  const HANDLE handle = ::CreateFileW(
      wide.text.c_str(), FILE_ADD_FILE | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  Status status;
  if (handle == INVALID_HANDLE_VALUE) {
    status = Failed("CreateFileW");
  } else {
    if (!::FlushFileBuffers(handle)) status = Failed("FlushFileBuffers");
    ::CloseHandle(handle);
  }
  // Refused or unknown where the system keeps no folder to flush (FAT,
  // servers that refuse it): the name is there, its durability is the
  // system's.
  switch (status.code) {
    case ERROR_INVALID_FUNCTION:
    case ERROR_ACCESS_DENIED:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NETWORK_ACCESS_DENIED:
      return FailedWith(status.call, ERROR_NOT_SUPPORTED);
    default:
      return status;
  }
}

// Names are UTF-8 inside the program: no byte of a multi-byte character
// can be taken for a separator.
bool Win32Platform::IsLeadByte(unsigned char) { return false; }

}  // namespace ferrux::os::win32

namespace ferrux::os {

const Conventions& NativeConventions() {
  // "/" separates as "\\" does in every Win32 call.
  static const Conventions conventions{"\r\n", "\\/:", '\\', "ferrux.exe",
                                       MAX_PATH - 1};
  return conventions;
}

// Read wide and kept as UTF-8: the ANSI form would give a name outside
// the code page as a look-alike, which may be another file.
std::optional<std::string> RawCommandLine() {
  return win32::Utf8(::GetCommandLineW());
}

}  // namespace ferrux::os
