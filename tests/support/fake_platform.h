// FakePlatform: an in-memory OS layer for unit tests. Files live in a map,
// standard output is captured call by call, the tick clock is set by hand,
// and any call can be made to fail or to transfer fewer bytes. Events,
// threads and pages come from the build's own platform, so the writer
// hand-off runs as it does in the program (and under ThreadSanitizer).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/failure.h"
#include "os/native_platform.h"

namespace ferrux::testing {

using os::FileHandle;
using os::Result;
using os::Status;

// "<class>: <message>" of the failure `action` raises, or "" when none.
template <class Action>
std::string Raised(Action action) {
  try {
    action();
  } catch (const engine::Failure& failure) {
    return std::string(failure.class_name()) + ": " + failure.message();
  }
  return "";
}

class FakePlatform final : public os::Platform {
 public:
  static constexpr const char* kStdout = "<stdout>";
  // One call that reached the platform; `data`: the bytes a write wrote.
  struct Call {
    std::string op, file, data;
  };

  // Knobs: set them before the code under test runs.
  bool has_stdout = true;
  bool console = false;  // whether standard output is a character device
  bool nt_family = true;
  bool valid_data_call = true;
  std::string lead_bytes;
  char time_separator = ':';
  os::LockLimits lock_limits{65536, 1048576};
  std::uint32_t tick = 0;
  std::uint32_t tick_step = 0;  // added after every TickCount call
  int write_delay_ms = 0;       // sleep before each write to a file
  std::string throw_on;         // this call throws std::length_error instead

  // The `nth` call (from 1; 0: every call) of `op`, counted over all files
  // or over `file` alone, fails with `code`; calls that return no status
  // answer false, null or nothing. With `limit`, a ReadFile or WriteFile
  // call moves at most `limit` bytes instead.
  void Fail(const std::string& op, int nth, std::uint32_t code,
            const std::string& file = "", std::uint32_t limit = UINT32_MAX) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back({op, file, nth, code, limit});
  }
  void SetFile(const std::string& name, std::string contents) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[name] = std::move(contents);
  }
  std::optional<std::string> File(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.count(name) == 0) return std::nullopt;
    return files_[name];
  }
  std::string Out() { return File(kStdout).value_or(""); }
  std::vector<Call> Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  // The status ExitProcess was given, waiting up to 10 s; -1 if none.
  int WaitForExit();

  Result<FileHandle> OpenFile(const std::string& name,
                              os::OpenMode mode) override;
  FileHandle StandardHandle(os::StandardStream stream) override {
    const bool out = stream == os::StandardStream::kOutput && has_stdout;
    return out ? FileHandle{1, 0} : FileHandle{};
  }
  Result<std::uint32_t> ReadFile(FileHandle file, void* buffer,
                                 std::uint32_t count) override;
  bool ReadsAhead(FileHandle) override { return false; }
  Status BeginRead(FileHandle, void*, std::uint32_t, std::int64_t) override {
    return Error(os::kErrorNotSupported);
  }
  Result<std::uint32_t> EndRead(FileHandle) override {
    return {0, Error(os::kErrorNotSupported)};
  }
  Result<std::uint32_t> WriteFile(FileHandle file, const void* buffer,
                                  std::uint32_t count) override;
  Status SetPosition(FileHandle file, std::int64_t position) override {
    if (position < 0) return {os::kErrorInvalidParameter, 22, "fake"};
    return On("SetPosition", file, [&](Open& f) { f.position = position; });
  }
  Result<std::int64_t> FileSize(FileHandle file) override {
    std::int64_t size = 0;
    const Status status =
        On("FileSize", file, [&](Open& f) { size = std::ssize(*f.data); });
    return {size, status};
  }
  Status SetEndOfFile(FileHandle file) override {
    return On("SetEndOfFile", file, [](Open& f) {
      f.data->resize(static_cast<std::size_t>(f.position));
    });
  }
  Status FlushFile(FileHandle file) override { return On("FlushFile", file); }
  Status SetCacheMode(FileHandle& file, const std::string&,
                      os::CacheMode) override {
    return On("SetCacheMode", file);
  }
  Result<std::uint32_t> LinkCount(FileHandle) override { return {1, {}}; }
  bool IsSameFile(FileHandle, const std::string&) override { return false; }
  Status CloseFile(FileHandle file) override {
    return On("CloseFile", file, [&](Open&) { handles_.erase(file.native); });
  }
  Result<os::FileTimes> GetFileTimes(FileHandle) override { return {}; }
  Status SetFileTimes(FileHandle, const os::FileTimes&) override { return {}; }
  Result<std::uint32_t> GetAttributes(const std::string&) override {
    return {};
  }
  Status SetAttributes(FileHandle, const std::string&, std::uint32_t) override {
    return {};
  }
  Status RemoveFile(const std::string& name) override {
    const Status status = On("RemoveFile", name);
    std::lock_guard<std::mutex> lock(mutex_);
    return status.ok() && files_.erase(name) == 0 ? Error(2) : status;
  }
  Status RenameNoReplace(FileHandle& file, const std::string& from,
                         const std::string& to) override;
  Status LinkNoReplace(const std::string&, const std::string&) override {
    return Error(os::kErrorNotSupported);
  }
  Status RenameIfAbsent(FileHandle&, const std::string&,
                        const std::string&) override {
    return Error(os::kErrorNotSupported);
  }
  Status FlushFolderOf(const std::string& name) override {
    return On("FlushFolderOf", name);
  }
  bool ValidDataCallAvailable() override { return valid_data_call; }
  Status ReserveSpace(FileHandle file, std::int64_t,
                      std::int64_t length) override {
    return On("ReserveSpace", file, [&](Open& f) {
      f.data->resize(static_cast<std::size_t>(length));
    });
  }
  std::string DescribeError(const Status& status) override {
    return "System error " + std::to_string(status.code) + ". \r\n";
  }
  bool IsNtFamily() override { return nt_family; }
  Status EnablePrivileges() override { return On("EnablePrivileges", ""); }
  Result<bool> IsCharacterDevice(FileHandle file) override {
    return {console && file.native == 1, On("IsCharacterDevice", file)};
  }
  bool IsLeadByte(unsigned char byte) override {
    return lead_bytes.find(static_cast<char>(byte)) != std::string::npos;
  }
  // ANSI 0xE4 (a with diaeresis) is 0x84 in the OEM code page: enough to
  // see whether a text went through the conversion.
  std::string ToOem(std::string_view text) override {
    std::string oem(text);
    std::replace(oem.begin(), oem.end(), '\xE4', '\x84');
    return oem;
  }
  char TimeSeparator() override { return time_separator; }
  void* AllocatePages(std::size_t size) override {
    return On("AllocatePages", "").ok() ? native_->AllocatePages(size)
                                        : nullptr;
  }
  bool LockPages(void*, std::size_t) override {
    return On("LockPages", "").ok();
  }
  std::optional<os::LockLimits> GetLockLimits() override {
    if (!On("GetLockLimits", "").ok()) return std::nullopt;
    return lock_limits;
  }
  bool SetLockLimits(const os::LockLimits& limits) override {
    const bool granted = On("SetLockLimits", "").ok();
    if (granted) lock_limits = limits;
    return granted;
  }
  std::uint32_t TickCount() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return (tick += tick_step) - tick_step;
  }
  Result<std::unique_ptr<os::Event>> NewEvent(
      os::EventReset reset, os::InitialState initial) override {
    return native_->NewEvent(reset, initial);
  }
  Status StartThread(os::ThreadEntry entry, void* argument) override {
    return native_->StartThread(entry, argument);
  }
  os::CodeLocation LocateCode(const void* address) override {
    return {"/opt/ferrux/bin/ferrux",
            reinterpret_cast<std::uintptr_t>(address)};
  }
  void OfferUnhandled(const void*) override {}
  [[noreturn]] void ExitProcess(int status) override;

 private:
  struct Open {
    std::string name;
    std::string* data;
    std::int64_t position = 0;
  };
  struct Rule {
    std::string op, file;
    int nth;
    std::uint32_t code, limit;
  };

  static Status Error(std::uint32_t code) {
    return {code, static_cast<int>(code), "fake"};
  }
  // Counts and logs a call; the code a scripted failure gives it (0: none)
  // and, through `limit`, a shorter transfer. Caller holds mutex_.
  std::uint32_t Enter(const char* op, const std::string& file,
                      std::uint32_t* limit = nullptr);
  // Runs `body` on the open handle under the lock unless a scripted
  // failure, or an unknown handle (code 6), fails the call.
  Status On(const char* op, FileHandle file,
            const std::function<void(Open&)>& body = {},
            std::uint32_t* limit = nullptr);
  Status On(const char* op, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    return Error(Enter(op, name));
  }

  std::mutex mutex_;
  std::optional<int> exit_status_;
  std::map<std::string, std::string> files_{{kStdout, ""}};
  std::map<std::intptr_t, Open> handles_{{1, {kStdout, &files_[kStdout], 0}}};
  std::intptr_t next_handle_ = 100;
  std::vector<Rule> rules_;
  std::map<std::string, int> counts_;
  std::vector<Call> log_;
  // Events, threads and pages are the real ones of the build's platform.
  const std::unique_ptr<os::Platform> native_ = os::CreateNativePlatform();
};

}  // namespace ferrux::testing
