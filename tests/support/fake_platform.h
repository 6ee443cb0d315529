// An in-memory os::Platform for in-process runs of the program: files and
// folders by name, scripted faults and changes of the world, a console that
// writes into a string, and a clock that moves only when the program reads
// or sleeps. Events and threads are real, so the writer thread runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "os/native_platform.h"
#include "os/platform.h"

namespace ferrux::testing {

inline constexpr os::Conventions kConventions{"\n", "/", '/', "ferrux", 4095};

class FakePlatform final : public os::Platform {
 public:
  // The last-write time files are given unless a test says otherwise.
  static constexpr std::int64_t kTime = 1700000000123456789;
  // A file or folder; two names holding one node are hard links, and a
  // symbolic link is a node of kind kOther.
  struct Node {
    std::string bytes;
    std::int64_t time_ns = kTime;
    os::FileKind kind = os::FileKind::kRegular;
    std::uint32_t attributes = 0644;
  };
  // What a step's code means for ReadFile and WriteFile: half the bytes
  // asked are moved, without a failure.
  static constexpr std::uint32_t kShort = 0xFFFFFFFF;
  // The `nth` call of the member called `call` ("ReadFile", "Sleep") whose
  // name (the file's as opened, or the name passed) contains `on` first
  // runs `then`, which may change the world, then fails with `code`
  // (0: it does not fail); `lasting`: so do all later such calls. The
  // console's name is "stdout".
  struct Step {
    Step(std::string call_name, int nth_call, std::uint32_t fails_with,
         std::string name_part = {}, bool for_good = false,
         std::function<void(FakePlatform&)> hook = {})
        : call(std::move(call_name)),
          nth(nth_call),
          code(fails_with),
          on(std::move(name_part)),
          lasting(for_good),
          then(std::move(hook)) {}
    std::string call;
    int nth;
    std::uint32_t code;
    std::string on;
    bool lasting;
    std::function<void(FakePlatform&)> then;
    int seen = 0;  // such calls so far
  };
  // Thrown by ExitProcess, and from then on by every member that does
  // work, so that every thread of the run stops.
  struct Exited {};

  FakePlatform();
  ~FakePlatform() override { End(); }

  // Makes `name` a new node (a folder for kDirectory) and returns it.
  Node& Put(const std::string& name, std::string bytes = {},
            os::FileKind kind = os::FileKind::kRegular);
  // Ends the run's process as main does: threads still waiting wake and
  // end; every thread is joined.
  void End();

  // The world. Hooks (Step::then) run with the platform's lock held and
  // may change any of it.
  std::map<std::string, std::shared_ptr<Node>> names;  // "" is the root
  // Folders' volumes by name ("dst"); any other is {"ext4", "/dev/sda1"}.
  std::map<std::string, Volume> volumes;
  std::vector<Step> script;
  std::string output;              // what the program wrote to standard output
  std::uint32_t now_ms = 0;        // TickCount; Sleep adds its wait
  std::uint32_t read_ms = 1000;    // added by every ReadFile
  std::optional<int> exit_status;  // as ExitProcess was given it

  os::Result<os::FileHandle> OpenFile(const std::string& name,
                                      os::OpenMode mode) override;
  os::FileHandle StandardHandle(os::StandardStream stream) override;
  os::Result<std::uint32_t> ReadFile(os::FileHandle file, void* buffer,
                                     std::uint32_t count) override;
  bool ReadsAhead(os::FileHandle) override { return false; }
  os::Status BeginRead(os::FileHandle file, void* buffer, std::uint32_t count,
                       std::int64_t position) override;
  os::Result<std::uint32_t> EndRead(os::FileHandle file) override;
  os::Result<std::uint32_t> WriteFile(os::FileHandle file, const void* buffer,
                                      std::uint32_t count) override;
  os::Status SetPosition(os::FileHandle file, std::int64_t position) override;
  os::Result<std::int64_t> FileSize(os::FileHandle file) override;
  os::Status SetEndOfFile(os::FileHandle file) override;
  os::Status FlushFile(os::FileHandle file, FlushScope scope) override;
  os::Status SetCacheMode(os::FileHandle& file, const std::string& name,
                          os::CacheMode mode) override;
  os::Status CloseFile(os::FileHandle file) override;
  os::Result<os::FileKind> KindOf(os::FileHandle file) override;
  os::Result<std::uint32_t> LinkCount(os::FileHandle file) override;
  bool IsSameFile(os::FileHandle file, const std::string& name) override;
  os::Result<os::FileTimes> GetFileTimes(os::FileHandle file) override;
  os::Status SetFileTimes(os::FileHandle file,
                          const os::FileTimes& times) override;
  os::Result<std::uint32_t> GetAttributes(os::FileHandle file) override;
  os::Result<NameFacts> LookUp(const std::string& name) override;
  os::Status SetAttributes(os::FileHandle file, const std::string& name,
                           std::uint32_t attributes) override;
  os::Status RemoveFile(const std::string& name) override;
  NameLengths MeasureName(const std::string& name) override;
  os::Status RenameNoReplace(os::FileHandle& file, const std::string& from,
                             const std::string& to) override;
  os::Status LinkNoReplace(const std::string& from,
                           const std::string& to) override;
  os::Result<bool> RenameIfAbsent(os::FileHandle& file, const std::string& from,
                                  const std::string& to) override;
  void ForgetFolders() override {}
  os::Result<Volume> VolumeOf(const std::string& name) override;
  os::Status FlushFolderOf(const std::string& name) override;
  std::int64_t LargestFileSize(const std::string&) override {
    return INT64_MAX;
  }
  bool ValidDataCallAvailable() override { return true; }
  os::Status ReserveSpace(os::FileHandle file, std::int64_t former,
                          std::int64_t length) override;
  std::string DescribeError(const os::Status& status) override {
    return std::string(status.call) + " failed";
  }
  bool IsNtFamily() override { return true; }
  os::Status EnablePrivileges() override { return {}; }
  os::Result<bool> IsCharacterDevice(os::FileHandle file) override;
  bool IsLeadByte(unsigned char) override { return false; }
  std::string ToOem(std::string_view text) override {
    return std::string(text);
  }
  char TimeSeparator() override { return ':'; }
  void* AllocatePages(std::size_t size) override;
  void FreePages(void* address, std::size_t size) override;
  bool LockPages(void*, std::size_t) override { return true; }
  std::optional<os::LockLimits> GetLockLimits() override { return {}; }
  bool SetLockLimits(const os::LockLimits&) override { return false; }
  std::uint32_t TickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  os::Result<std::unique_ptr<os::Event>> NewEvent(
      os::EventReset reset, os::InitialState initial) override;
  os::Result<std::unique_ptr<os::Thread>> StartThread(os::ThreadEntry entry,
                                                      void* argument) override;
  os::CodeLocation LocateCode(const void*) override { return {"ferrux", 0}; }
  void OfferUnhandled(const void*) override {}
  [[noreturn]] void ExitProcess(int status) override;

 private:
  friend class FakeEvent;
  struct Open {
    std::shared_ptr<Node> node;  // none for the console
    std::string name;
    std::int64_t at = 0;
    bool exclusive = false;
    std::list<os::Result<std::uint32_t>> ahead = {};  // begun, not ended
  };
  // Counts the call against the script and runs its hooks; the failure
  // due, if any. Raises Exited once the process has ended. Lock held.
  os::Status Gate(const char* call, const std::string& name);
  Open& At(os::FileHandle file) { return open_.at(file.native); }
  std::int64_t Now() const {
    return kTime + 86400000000000 + now_ms * 1000000LL;
  }
  os::Status Move(const std::string& from, const std::string& to, bool keep);

  std::recursive_mutex mutex_;
  std::condition_variable_any changed_;  // an event set, or the end
  bool ended_ = false;
  std::map<std::intptr_t, Open> open_;
  std::intptr_t next_handle_ = 3;
  std::list<std::thread> threads_;
};

// The exit status and output of one run of the program on `platform`, as
// main runs it (the console closed at the end); the process then ends.
struct Outcome {
  int status = -1;
  std::string output;
};
Outcome RunInProcess(FakePlatform& platform,
                     const std::vector<std::string>& arguments);

}  // namespace ferrux::testing
