// An in-memory os::Platform for in-process runs of the program: files and
// folders by name, scripted faults and changes of the world, a console that
// writes into a string, and a clock that moves only when the program reads
// or sleeps. Events and threads are real, so the writer thread runs.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "os/native_platform.h"
#include "os/platform.h"

namespace ferrux::testing {

inline constexpr os::Conventions kConventions{"\n", "/", '/', "ferrux", 4095};

// Every member may be called from any thread. The public world is the
// test's between runs, and its hooks' during one.
class FakePlatform final : public os::Platform {
  using Handle = os::FileHandle;
  using Status = os::Status;
  using Name = const std::string&;
  using Count = std::uint32_t;
  template <class T>
  using Result = os::Result<T>;
  // A result that also serves members that return only a status.
  template <class T>
  struct Done : Result<T> {
    operator Status() const { return this->status; }  // NOLINT: by design
  };

 public:
  // The last-write time of the files a test makes.
  static constexpr std::int64_t kTime = 1700000000123456789;
  // A file or folder; two names holding one node are hard links, and a
  // symbolic link is a node of kind kOther.
  struct Node {
    std::string bytes;
    std::int64_t time_ns = kTime;
    os::FileKind kind = os::FileKind::kRegular;
    std::uint32_t attributes = 0644;
  };
  // A step's code for ReadFile and WriteFile: half the bytes asked are
  // moved, and the call succeeds.
  static constexpr Count kShort = 0xFFFFFFFF;
  // The `nth` call of the member named `call` (by this class's member
  // names, "ReadFile", not the system's calls; any that touches a file, a
  // folder or the console but MeasureName and CloseFile, and Sleep) whose
  // name (the file's as opened, or the name passed; the console is
  // "stdout") contains `on` first runs `then`, which may change the world,
  // then fails with `code` (0: it does not); `lasting`: so do all later
  // such calls. A lasting kErrorNotSupported takes a way to the final name
  // (RenameNoReplace, LinkNoReplace, RenameIfAbsent) away.
  struct Step {
    std::string call;
    int nth = 1;
    std::uint32_t code = 0;
    std::string on = {};
    bool lasting = false;
    std::function<void(FakePlatform&)> then = {};
    int seen = 0;  // such calls so far
  };
  // Thrown by ExitProcess, and from then on by every member that does
  // work, so that every thread of the run stops.
  struct Exited {};

  FakePlatform();
  ~FakePlatform() override { End(); }
  // Makes `name` a new node and returns it.
  Node& Put(Name name, std::string bytes = {},
            os::FileKind kind = os::FileKind::kRegular);
  // Ends the process as main does: threads still waiting wake and end;
  // all are joined.
  void End();

  std::map<std::string, std::shared_ptr<Node>> names;  // "" is the root
  // Folders' volumes by name ("dst"); any other is {"ext4", "/dev/sda1"}.
  std::map<std::string, Volume> volumes;
  std::vector<Step> script;
  std::string output;                // what the program wrote to stdout
  std::uint32_t now_ms = 0;          // TickCount; Sleep adds its wait
  std::uint32_t read_ms = 1000;      // added by every ReadFile
  std::int64_t largest = INT64_MAX;  // LargestFileSize, for every folder
  std::optional<int> exit_status;    // as ExitProcess was given it

  Result<Handle> OpenFile(Name name, os::OpenMode mode) override;
  // The console, for output; standard input is never read.
  Handle StandardHandle(os::StandardStream) override { return {1}; }
  Result<Count> ReadFile(Handle file, void* buffer, Count count) override {
    return Transfer("ReadFile", file, buffer, count);
  }
  // Reads never run ahead, so the two below are never called.
  bool ReadsAhead(Handle) override { return false; }
  Status BeginRead(Handle, void*, Count, std::int64_t) override {
    return {os::kErrorNotSupported, 0, "BeginRead"};
  }
  Result<Count> EndRead(Handle) override {
    return {0, BeginRead({}, {}, 0, 0)};
  }
  Result<Count> WriteFile(Handle file, const void* buffer,
                          Count count) override {
    return Transfer("WriteFile", file, const_cast<void*>(buffer), count);
  }
  Result<Count> WriteAt(Handle file, const void* buffer, Count count,
                        std::int64_t position) override {
    return Transfer("WriteAt", file, const_cast<void*>(buffer), count,
                    position);
  }
  Status SetPosition(Handle file, std::int64_t to) override {
    if (to < 0) return {os::kErrorInvalidParameter, 0, "SetPosition"};
    return On("SetPosition", file, [&](Open& open) { return open.at = to; });
  }
  Result<std::int64_t> FileSize(Handle file) override {
    return On("FileSize", file, [](Open& open) { return Size(*open.node); });
  }
  Status SetEndOfFile(Handle file) override {
    return On("SetEndOfFile", file, [&](Open& open) {
      open.node->bytes.resize(static_cast<std::size_t>(open.at));
      return open.node->time_ns = Now();
    });
  }
  Status FlushFile(Handle file, FlushScope) override {
    return On("FlushFile", file, [](Open&) { return 0; });
  }
  // Its failure closes the file.
  Status SetCacheMode(Handle& file, Name, os::CacheMode) override {
    const Status status = On("SetCacheMode", file, [](Open&) { return 0; });
    if (!status.ok()) (void)CloseFile(file);  // it never fails
    return status;
  }
  Status CloseFile(Handle file) override {
    const std::lock_guard lock(mutex_);
    open_.erase(file.native);
    return {};
  }
  Result<os::FileKind> KindOf(Handle file) override {
    return On("KindOf", file, [](Open& open) { return open.node->kind; });
  }
  Result<Count> LinkCount(Handle file) override {
    return On("LinkCount", file, [&](Open& open) { return Links(open.node); });
  }
  bool IsSameFile(Handle file, Name name) override {
    return On("IsSameFile", file,
              [&](Open& open) {
                return Find(name) == open.node && Links(open.node) > 1;
              })
        .value;
  }
  Result<os::FileTimes> GetFileTimes(Handle file) override {
    return On("GetFileTimes", file, [](Open& open) {
      const std::int64_t ns = open.node->time_ns;
      return os::FileTimes{0, ns / 1000000000, ns % 1000000000, ns};
    });
  }
  Status SetFileTimes(Handle file, const os::FileTimes& times) override {
    return On("SetFileTimes", file, [&](Open& open) {
      return open.node->time_ns =
                 times.last_write * 1000000000 + times.last_write_fraction;
    });
  }
  Result<Count> GetAttributes(Handle file) override {
    return On("GetAttributes", file,
              [](Open& open) { return open.node->attributes; });
  }
  Result<NameFacts> LookUp(Name name) override {
    return ByName("LookUp", name, [&](std::shared_ptr<Node>& node) {
      return NameFacts{Size(*node), node->time_ns, node->kind};
    });
  }
  Status SetAttributes(Handle file, Name, Count attributes) override {
    return On("SetAttributes", file,
              [&](Open& open) { return open.node->attributes = attributes; });
  }
  Status RemoveFile(Name name) override {
    return ByName("RemoveFile", name, [&](std::shared_ptr<Node>&) {
      return names.erase(Key(name));
    });
  }
  NameLengths MeasureName(Name name) override {
    return {name.size(), name.size() - (name.rfind('/') + 1), 255};
  }
  Status RenameNoReplace(Handle&, Name from, Name to) override {
    return Move("RenameNoReplace", from, to, false);
  }
  Status LinkNoReplace(Name from, Name to) override {
    return Move("LinkNoReplace", from, to, true);
  }
  Result<bool> RenameIfAbsent(Handle&, Name from, Name to) override {
    const Status status = Move("RenameIfAbsent", from, to, false);
    return {status.ok(), status};
  }
  void ForgetFolders() override {}
  Result<Volume> VolumeOf(Name name) override {
    return ByName("VolumeOf", name, [&](std::shared_ptr<Node>&) {
      const auto found = volumes.find(Key(name));
      return found != volumes.end() ? found->second
                                    : Volume{"ext4", "/dev/sda1"};
    });
  }
  Status FlushFolderOf(Name name) override {
    return ByName(
        "FlushFolderOf", name, [](auto&) { return 0; }, true);
  }
  std::int64_t LargestFileSize(Name) override { return largest; }
  bool ValidDataCallAvailable() override { return true; }
  Status ReserveSpace(Handle file, std::int64_t, std::int64_t size) override {
    return On("ReserveSpace", file, [&](Open& open) {
      open.node->bytes.resize(static_cast<std::size_t>(size));
      return 0;
    });
  }
  std::string DescribeError(const Status& status) override {
    return std::string(status.call) + " failed";
  }
  bool IsNtFamily() override { return true; }
  Status EnablePrivileges() override { return {}; }
  Status EnterBackgroundMode() override { return {}; }
  Result<bool> IsCharacterDevice(Handle file) override {
    return On("IsCharacterDevice", file, [](Open&) { return false; });
  }
  bool IsLeadByte(unsigned char) override { return false; }
  char TimeSeparator() override { return ':'; }
  void* AllocatePages(std::size_t size) override {
    return std::memset(::operator new (size, std::align_val_t{4096}), 0, size);
  }
  void FreePages(void* address, std::size_t) override {
    ::operator delete (address, std::align_val_t{4096});
  }
  bool LockPages(void*, std::size_t) override { return true; }
  std::optional<os::LockLimits> GetLockLimits() override { return {}; }
  bool SetLockLimits(const os::LockLimits&) override { return false; }
  std::uint32_t TickCount() override {
    const std::lock_guard lock(mutex_);
    return now_ms;
  }
  void Sleep(std::uint32_t milliseconds) override {
    ByName(
        "Sleep", "", [&](auto&) { return now_ms += milliseconds; }, true);
  }
  Result<std::unique_ptr<os::Event>> NewEvent(
      os::EventReset reset, os::InitialState initial) override;
  Result<std::unique_ptr<os::Thread>> StartThread(os::ThreadEntry entry,
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
  };
  // Counts the call against the script and runs its hooks; the failure
  // due, if any. Raises Exited once the process has ended. Lock held.
  Status Gate(const char* call, Name name);
  // What `work` makes of the open `file`, unless the call fails first.
  template <class Work, class T = std::invoke_result_t<Work, Open&>>
  Done<T> On(const char* call, Handle file, Work work) {
    const std::lock_guard lock(mutex_);
    Open& open = open_.at(file.native);
    const Status status = Gate(call, open.name);
    return {{status.ok() ? work(open) : T{}, status}};
  }
  // What `work` makes of the node `name`, unless the call fails first or,
  // where the node must exist, there is none.
  template <class Work,
            class T = std::invoke_result_t<Work, std::shared_ptr<Node>&>>
  Done<T> ByName(const char* call, Name name, Work work, bool any = false) {
    const std::lock_guard lock(mutex_);
    Status status = Gate(call, Key(name));
    std::shared_ptr<Node> node = Find(name);
    if (status.ok() && !node && !any)
      status = {os::kErrorFileNotFound, 0, call};
    return {{status.ok() ? work(node) : T{}, status}};
  }
  Result<Count> Transfer(const char* call, Handle file, void* buffer,
                         Count count,
                         std::optional<std::int64_t> position = {});
  // Gives the node `from` the name `to`; drops `from` unless `keep`.
  Status Move(const char* call, Name from, Name to, bool keep);
  static std::string Key(std::string name);
  std::shared_ptr<Node> Find(Name name) {
    const auto found = names.find(Key(name));
    return found == names.end() ? nullptr : found->second;
  }
  Count Links(const std::shared_ptr<Node>& node) {
    return static_cast<Count>(std::count_if(
        names.begin(), names.end(), [&](auto& n) { return n.second == node; }));
  }
  static std::int64_t Size(const Node& node) {
    return static_cast<std::int64_t>(node.bytes.size());
  }
  std::int64_t Now() const { return kTime + (86400000 + now_ms) * 1000000LL; }

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
