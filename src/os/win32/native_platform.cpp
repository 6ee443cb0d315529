// Win32 body, process and console: the platform's creation, descriptions
// of errors, system facts, memory, the tick, threads and events, and the
// handling of failures no handler caught. Win32 only.
#include "os/native_platform.h"

#include <new>
#include <utility>

#include "os/win32/win32_platform.h"

namespace ferrux::os::win32 {
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
  Win32Thread(const Win32Thread&) = delete;
  Win32Thread& operator=(const Win32Thread&) = delete;

 private:
  HANDLE handle_;
};

// The exception code under which a failure of the program's own meets the
// system: a customer code (bit 29), "FX".
constexpr DWORD kUnhandledFailure = 0xE0004658;

// Without a debugger the filter asks this one: the program reports its
// failures itself, and a crash ends the process without a dialog that
// would hold a console program up.
LONG WINAPI ProgramReportsItself(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

// How much of `text` is whole characters: a character whose last bytes
// are still to come is held back.
std::size_t WholeCharacters(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // within a character
    const std::size_t length = byte >= 0xF0   ? 4
                               : byte >= 0xE0 ? 3
                               : byte >= 0xC0 ? 2
                                              : 1;
    return length > back ? text.size() - back : text.size();
  }
  return text.size();
}

// `wide` in the code page `page`. A character the code page lacks shows as
// "?", never as a look-alike of another name; a code page that cannot
// lack one (UTF-8) takes neither the flag nor the default.
std::string InCodePage(const std::wstring& wide, UINT page) {
  const int size = static_cast<int>(wide.size());
  for (const DWORD flags : {DWORD{WC_NO_BEST_FIT_CHARS}, DWORD{0}}) {
    const char* fallback = flags != 0 ? "?" : nullptr;
    const int length = ::WideCharToMultiByte(page, flags, wide.data(), size,
                                             nullptr, 0, fallback, nullptr);
    if (length <= 0) continue;
    std::string bytes(static_cast<std::size_t>(length), '?');
    ::WideCharToMultiByte(page, flags, wide.data(), size, bytes.data(), length,
                          fallback, nullptr);
    return bytes;
  }
  return {};
}

}  // namespace

// Texts are UTF-8 inside the program. A console is written in UTF-16 and
// shows every character its font has; anything else (a file, a pipe) gets
// the console's code page, which is what a program reading it there
// expects, or the OEM code page where the process has no console.
Result<std::uint32_t> Win32Platform::WriteText(FileHandle file,
                                               const void* buffer,
                                               std::uint32_t count) {
  const std::lock_guard<std::mutex> lock(text_mutex_);
  std::string text = std::exchange(text_tail_, std::string());
  text.append(static_cast<const char*>(buffer), count);
  text_tail_ = text.substr(WholeCharacters(text));
  text.resize(text.size() - text_tail_.size());
  const std::optional<std::wstring> wide = Utf16(text);
  DWORD mode = 0;
  const bool console = wide && ::GetConsoleMode(Native(file), &mode);
  std::string bytes;
  if (!console) {
    // Bytes that are no text, which the program never makes, go as they are.
    const UINT page = ::GetConsoleOutputCP();
    bytes = wide ? InCodePage(*wide, page != 0 ? page : CP_OEMCP) : text;
  }
  const std::size_t size = console ? wide->size() : bytes.size();
  for (std::size_t done = 0; done < size;) {
    const auto rest = static_cast<DWORD>(size - done);
    DWORD written = 0;
    const BOOL ok = console ? ::WriteConsoleW(Native(file), wide->data() + done,
                                              rest, &written, nullptr)
                            : ::WriteFile(Native(file), bytes.data() + done,
                                          rest, &written, nullptr);
    if (!ok) return {0, Failed(console ? "WriteConsoleW" : "WriteFile")};
    if (written == 0) return {0, {}};
    done += written;
  }
  return {count, {}};
}

std::string Win32Platform::DescribeError(const Status& status) {
  wchar_t text[256];
  // Inserts are ignored: without arguments a message with inserts would
  // read memory that is not there. Texts are UTF-8 inside the program.
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, status.code, 0, text, 256, nullptr);
  return Utf8(std::wstring_view(text, length));
}

bool Win32Platform::IsNtFamily() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!::GetVersionExA(&version)) return false;
  return version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

Status Win32Platform::EnterBackgroundMode() {
  // Background processing mode lowers the process's CPU, I/O and memory
  // priority at once (Vista and later; older systems refuse it).
  if (!::SetPriorityClass(::GetCurrentProcess(),
                          PROCESS_MODE_BACKGROUND_BEGIN)) {
    return Failed("SetPriorityClass");
  }
  return {};
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
    return FailedWith("new", ERROR_NOT_ENOUGH_MEMORY);
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

Result<bool> Win32Platform::IsCharacterDevice(FileHandle file) {
  ::SetLastError(NO_ERROR);
  const DWORD type = ::GetFileType(Native(file));
  if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR) {
    return {false, Failed("GetFileType")};
  }
  return {type == FILE_TYPE_CHAR, {}};
}

char Win32Platform::TimeSeparator() {
  char separator[2];
  if (::GetLocaleInfoA(::GetThreadLocale(), LOCALE_STIME, separator,
                       sizeof separator) == 0) {
    return ':';
  }
  return separator[0];
}

void* Win32Platform::AllocatePages(std::size_t size) {
  return ::VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE,
                        PAGE_READWRITE);
}

void Win32Platform::FreePages(void* address, std::size_t) {
  (void)::VirtualFree(address, 0, MEM_RELEASE);  // fails only for no region
}

bool Win32Platform::LockPages(void* address, std::size_t size) {
  return ::VirtualLock(address, size) != 0;
}

std::optional<LockLimits> Win32Platform::GetLockLimits() {
  SIZE_T minimum = 0;
  SIZE_T maximum = 0;
  if (!::GetProcessWorkingSetSize(::GetCurrentProcess(), &minimum, &maximum)) {
    return std::nullopt;
  }
  return LockLimits{minimum, maximum};
}

bool Win32Platform::SetLockLimits(const LockLimits& limits) {
  return ::SetProcessWorkingSetSize(::GetCurrentProcess(), limits.minimum,
                                    limits.maximum) != 0;
}

std::uint32_t Win32Platform::TickCount() { return ::GetTickCount(); }

void Win32Platform::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

Result<std::unique_ptr<Event>> Win32Platform::NewEvent(EventReset reset,
                                                       InitialState initial) {
  const HANDLE handle = ::CreateEventA(nullptr, reset == EventReset::kManual,
                                       initial == InitialState::kSet, nullptr);
  if (handle == nullptr) return {nullptr, Failed("CreateEventA")};
  return {std::make_unique<Win32Event>(handle), {}};
}

Result<std::unique_ptr<Thread>> Win32Platform::StartThread(ThreadEntry entry,
                                                           void* argument) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) {
    return {nullptr, FailedWith("new", ERROR_NOT_ENOUGH_MEMORY)};
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

void Win32Platform::ExitProcess(int status) {
  ::ExitProcess(static_cast<UINT>(status));
}

}  // namespace ferrux::os::win32

namespace ferrux::os {

std::unique_ptr<Platform> CreateNativePlatform() {
  // A drive without its medium or a failing device is a failed call, not a
  // system box that holds an unattended run up.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ::SetUnhandledExceptionFilter(&win32::ProgramReportsItself);
  return std::make_unique<win32::Win32Platform>();
}

}  // namespace ferrux::os
