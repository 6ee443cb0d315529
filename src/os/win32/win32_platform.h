// The Win32 Platform, shared by the bodies that implement it by concern:
// files and I/O (files.cpp), names and finishing (names.cpp), process and
// console (native_platform.cpp). Win32 only.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "os/platform.h"
#include "os/win32/win32_support.h"

namespace ferrux::os::win32 {

// Captures GetLastError at the failure site. A call that failed without
// saying why must still count as failed.
inline Status Failed(const char* call) {
  DWORD code = ::GetLastError();
  if (code == NO_ERROR) code = ERROR_GEN_FAILURE;
  return Status{code, static_cast<int>(code), call};
}

inline Status FailedWith(const char* call, DWORD code) {
  return Status{code, static_cast<int>(code), call};
}

inline HANDLE Native(FileHandle file) {
  return reinterpret_cast<HANDLE>(file.native);
}

inline HANDLE Guard(FileHandle file) {
  return reinterpret_cast<HANDLE>(file.guard);
}

inline void CloseIfOpen(std::intptr_t handle) {
  if (handle != -1) (void)::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

inline FileHandle Wrap(HANDLE handle) {
  return FileHandle{reinterpret_cast<std::intptr_t>(handle), 0};
}

// FileHandle::traits of the standard output, whose UTF-8 text WriteFile
// converts for a console or into the console's code page.
constexpr std::uint32_t kProgramText = 1;

// Names and texts are UTF-8 inside the program and UTF-16 at the system.
// A lone surrogate, which a Windows name may hold, keeps its three-byte
// form, so that every name the system gives comes back to it exactly.
// Utf16 answers nothing for bytes that are no such form.
std::optional<std::wstring> Utf16(std::string_view text);
std::string Utf8(std::wstring_view text);

// The name in UTF-16 for a call named `call`, or the status the call
// would have answered for a name it cannot take.
struct WideName {
  std::wstring text;
  Status status;
};
WideName WideOf(const std::string& name, const char* call);

// The text a call writes into a buffer of the size it is given, in UTF-16
// units: the call answers the length written, or where the buffer is too
// small the size it needs, or 0 when it fails (then the text is empty).
template <class Call>
std::wstring SizedCall(Call call) {
  std::wstring text(MAX_PATH + 1, L'\0');
  // A path may grow between two calls; a third size is not chased.
  for (int round = 0; round < 3; ++round) {
    const DWORD length = call(text.data(), static_cast<DWORD>(text.size()));
    if (length == 0) break;
    if (length < text.size()) return text.substr(0, length);
    text.resize(length);
  }
  return {};
}

// The full path of `name`, as the system makes it before opening a file;
// empty where it cannot.
std::wstring FullPathOf(const std::wstring& name);

// A full path in the form names compare in: without "\\?\" ("\\?\UNC\"
// back to "\\"), without the dots and spaces that end it (Wine gives a file
// named "x." the path of "x"), in capitals.
std::wstring ComparablePath(std::wstring path);

inline std::int64_t Join(const FILETIME& time) {
  return static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
      time.dwLowDateTime);
}

// 100-ns ticks since 1601 to nanoseconds since 1970.
inline std::int64_t UnixNanoseconds(const FILETIME& time) {
  return (Join(time) - 116444736000000000) * 100;
}

// A function of kernel32 looked up at run time, for the systems that have
// it; nullptr on the others.
template <class Call>
Call FindKernelCall(const char* name) {
  const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, name)));
}

// Opens the file of an open handle anew, never by its name. Vista and
// later.
using ReOpenFileCall = HANDLE(WINAPI*)(HANDLE, DWORD, DWORD, DWORD);

class Win32Platform final : public Platform {
 public:
  // files.cpp
  Result<FileHandle> OpenFile(const std::string& name, OpenMode mode) override;
  FileHandle StandardHandle(StandardStream stream) override;
  Result<std::uint32_t> ReadFile(FileHandle file, void* buffer,
                                 std::uint32_t count) override;
  bool ReadsAhead(FileHandle) override;
  Status BeginRead(FileHandle, void*, std::uint32_t, std::int64_t) override;
  Result<std::uint32_t> EndRead(FileHandle) override;
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
  Status CloseFile(FileHandle file) override;
  Result<FileKind> KindOf(FileHandle file) override;
  Result<std::uint32_t> LinkCount(FileHandle file) override;
  Result<FileTimes> GetFileTimes(FileHandle file) override;
  Status SetFileTimes(FileHandle file, const FileTimes& times) override;
  std::int64_t LargestFileSize(const std::string& name) override;
  bool ValidDataCallAvailable() override;
  Status ReserveSpace(FileHandle file, std::int64_t former,
                      std::int64_t length) override;

  // names.cpp
  bool IsSameFile(FileHandle, const std::string&) override;
  Result<std::uint32_t> GetAttributes(FileHandle file) override;
  Result<NameFacts> LookUp(const std::string& name) override;
  Status SetAttributes(FileHandle file, const std::string& name,
                       std::uint32_t attributes) override;
  NameLengths MeasureName(const std::string& name) override;
  Status RemoveFile(const std::string& name) override;
  Status RenameNoReplace(FileHandle& file, const std::string& from,
                         const std::string& to) override;
  Status LinkNoReplace(const std::string&, const std::string&) override;
  Result<bool> RenameIfAbsent(FileHandle&, const std::string&,
                              const std::string&) override;
  Status FlushFolderOf(const std::string& name) override;
  // Folders are held only by the guard handles of open files.
  void ForgetFolders() override {}
  Result<Volume> VolumeOf(const std::string& name) override;
  bool IsLeadByte(unsigned char byte) override;

  // native_platform.cpp
  std::string DescribeError(const Status& status) override;
  bool IsNtFamily() override;
  Status EnablePrivileges() override;
  Status EnterBackgroundMode() override;
  Result<bool> IsCharacterDevice(FileHandle file) override;
  char TimeSeparator() override;
  void* AllocatePages(std::size_t size) override;
  void FreePages(void* address, std::size_t size) override;
  bool LockPages(void* address, std::size_t size) override;
  std::optional<LockLimits> GetLockLimits() override;
  bool SetLockLimits(const LockLimits& limits) override;
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  Result<std::unique_ptr<Event>> NewEvent(EventReset reset,
                                          InitialState initial) override;
  Result<std::unique_ptr<Thread>> StartThread(ThreadEntry entry,
                                              void* argument) override;
  CodeLocation LocateCode(const void* address) override;
  void OfferUnhandled(const void* address) override;
  [[noreturn]] void ExitProcess(int status) override;

 private:
  // native_platform.cpp: WriteFile on the standard output. Every line the
  // program prints goes through here, so that all are in one encoding.
  Result<std::uint32_t> WriteText(FileHandle file, const void* buffer,
                                  std::uint32_t count);
  std::mutex text_mutex_;
  std::string text_tail_;  // the start of a character split between writes
};

}  // namespace ferrux::os::win32
