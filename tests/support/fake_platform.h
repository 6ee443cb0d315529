// FakePlatform: an in-memory OS layer for unit tests. Files live in a map,
// standard output is captured call by call, the tick clock is set by hand,
// and any call can be made to fail or to transfer fewer bytes. Events and
// threads are real, so the writer hand-off runs as it does in the program.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/platform.h"

namespace ferrux::testing {

class FakePlatform final : public os::Platform {
 public:
  static constexpr const char* kStdout = "<stdout>";

  // One call that reached a file, in the order the calls arrived. `data`
  // holds the bytes written; `count` the bytes moved by a read or write.
  struct Call {
    std::string op;
    std::string file;
    std::int64_t position = 0;
    std::uint32_t count = 0;
    std::string data;
  };

  FakePlatform();

  // Knobs. Set them before the code under test runs; only TickCount and
  // SetLockLimits change them afterwards.
  bool has_stdout = true;
  bool console = false;  // IsCharacterDevice's answer for standard output
  bool nt_family = true;
  bool valid_data_call = true;
  bool debugger = false;
  std::string lead_bytes;  // bytes IsLeadByte accepts
  char time_separator = ':';
  std::string module_file = "/opt/ferrux/bin/ferrux";
  os::LockLimits lock_limits{65536, 1048576};
  std::uint32_t tick = 0;
  std::uint32_t tick_step = 0;  // added after every TickCount call
  int write_delay_ms = 0;       // sleep before each write to a file
  // A wait of the test's thread returns only once every thread started
  // through a fake waits again (see FakeEvent).
  bool settle_waits = true;
  int pause_after_set_ms = 0;  // a started thread sleeps after each Set

  // The `nth` call (from 1; 0 for every call) of `op`, counted over all
  // files or over `file` alone, fails with `code` (bool, pointer and
  // optional answers turn false, null or empty).
  void Fail(const std::string& op, int nth, std::uint32_t code,
            const std::string& file = "");
  // The `nth` ReadFile or WriteFile call moves at most `count` bytes.
  void Short(const std::string& op, int nth, std::uint32_t count,
             const std::string& file = "");

  void SetFile(const std::string& name, std::string contents);
  std::optional<std::string> File(const std::string& name);
  std::string Out() { return File(kStdout).value_or(""); }
  std::vector<Call> Log();
  // The status ExitProcess received, waiting up to 10 s for it; -1 if none.
  int WaitForExit();

  os::Result<os::FileHandle> OpenFile(const std::string& name,
                                      os::OpenMode mode) override;
  os::FileHandle StandardHandle(os::StandardStream stream) override;
  os::Result<std::uint32_t> ReadFile(os::FileHandle file, void* buffer,
                                     std::uint32_t count) override;
  os::Result<std::uint32_t> WriteFile(os::FileHandle file, const void* buffer,
                                      std::uint32_t count) override;
  os::Status SetPosition(os::FileHandle file, std::int64_t position) override;
  os::Result<std::int64_t> FileSize(os::FileHandle file) override;
  os::Status SetEndOfFile(os::FileHandle file) override;
  os::Status FlushFile(os::FileHandle file) override;
  os::Status CloseFile(os::FileHandle file) override;
  os::Result<os::FileTimes> GetFileTimes(os::FileHandle file) override;
  os::Status SetFileTimes(os::FileHandle file,
                          const os::FileTimes& times) override;
  os::Result<std::uint32_t> GetAttributes(const std::string& name) override;
  os::Status SetAttributes(const std::string& name,
                           std::uint32_t attributes) override;
  os::Status RemoveFile(const std::string& name) override;
  os::Status MoveFileNoReplace(const std::string& from,
                               const std::string& to) override;
  bool ValidDataCallAvailable() override { return valid_data_call; }
  os::Status SetValidData(os::FileHandle file, std::int64_t length) override;
  std::string DescribeError(const os::Status& status) override;
  bool IsNtFamily() override { return nt_family; }
  os::Status EnablePrivileges() override;
  os::Result<bool> IsCharacterDevice(os::FileHandle file) override;
  bool IsLeadByte(unsigned char byte) override;
  std::string ToOem(std::string_view text) override;
  char TimeSeparator() override { return time_separator; }
  void* AllocatePages(std::size_t size) override;
  bool LockPages(void* address, std::size_t size) override;
  std::optional<os::LockLimits> GetLockLimits() override;
  bool SetLockLimits(const os::LockLimits& limits) override;
  std::uint32_t TickCount() override;
  os::Result<std::unique_ptr<os::Event>> NewEvent(
      os::EventReset reset, os::InitialState initial) override;
  os::Status StartThread(os::ThreadEntry entry, void* argument) override;
  os::CodeLocation LocateCode(const void* address) override;
  bool DebuggerAttached() override { return debugger; }
  [[noreturn]] void ExitProcess(int status) override;

 private:
  struct Node {
    std::string data;
    std::uint32_t attributes = 0x20;
    os::FileTimes times{1, 2, 3};
  };
  struct Handle {
    std::string name;
    std::shared_ptr<Node> node;
    std::int64_t position = 0;
    bool writable = false;
  };
  struct Rule {
    std::string op, file;
    int nth;
    std::uint32_t code;
    std::uint32_t limit;
  };

  // Counts and logs a call of `op` on `file`; the rule that hits it, if any.
  const Rule* Enter(const char* op, const std::string& file);
  // Like Enter, for calls on a handle: the handle, or nullptr with `status`
  // set when a rule or an unknown handle fails the call.
  Handle* EnterHandle(const char* op, os::FileHandle file, os::Status& status,
                      std::uint32_t* limit = nullptr);

  std::mutex mutex_;
  std::condition_variable exited_;
  std::optional<int> exit_status_;
  std::map<std::string, std::shared_ptr<Node>> files_;
  std::map<std::intptr_t, Handle> handles_;
  std::intptr_t next_handle_ = 100;
  std::vector<Rule> rules_;
  std::map<std::string, int> counts_;
  std::vector<Call> log_;
  std::vector<std::vector<char>> pages_;
};

}  // namespace ferrux::testing
