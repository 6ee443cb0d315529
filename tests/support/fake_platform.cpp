// FakePlatform: in-memory files, captured output, scripted faults.
#include "support/fake_platform.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace ferrux::testing {
namespace {

constexpr std::intptr_t kStdinHandle = 0;
constexpr std::intptr_t kStdoutHandle = 1;

os::Status Error(std::uint32_t code, const char* call) {
  return {code, static_cast<int>(code), call};
}

// Threads started through a fake, counted while they run outside a wait.
struct Background {
  std::mutex mutex;
  std::condition_variable parked;
  int running = 0;
};

Background& Threads() {
  static auto* threads = new Background;  // outlives parked threads
  return *threads;
}

thread_local bool tls_background = false;

void CountRunning(int change) {
  Background& threads = Threads();
  std::lock_guard<std::mutex> lock(threads.mutex);
  threads.running += change;
  threads.parked.notify_all();
}

// With `settle`, a wait of a test's own thread returns only once every
// started thread is parked again. The program frees the writer's job while
// its thread may still be between setting an event and its next wait.
class FakeEvent final : public os::Event {
 public:
  FakeEvent(bool manual, bool set, bool settle, int pause_ms)
      : manual_(manual), set_(set), settle_(settle), pause_ms_(pause_ms) {}
  void Set() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
      changed_.notify_all();
    }
    if (tls_background && pause_ms_ > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms_));
    }
  }
  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }
  void Wait() override {
    if (tls_background) CountRunning(-1);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return set_; });
      if (!manual_) set_ = false;
    }
    if (tls_background) {
      CountRunning(+1);
    } else if (settle_) {
      Background& threads = Threads();
      std::unique_lock<std::mutex> lock(threads.mutex);
      threads.parked.wait(lock, [&] { return threads.running == 0; });
    }
  }

 private:
  const bool manual_;
  bool set_;
  const bool settle_;
  const int pause_ms_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

// The program never deletes its events, and a writer thread may wait on one
// after its test has ended: they stay reachable here for leak checkers.
std::vector<os::Event*>& AllEvents() {
  static auto* events = new std::vector<os::Event*>;
  return *events;
}

}  // namespace

FakePlatform::FakePlatform() {
  files_[kStdout] = std::make_shared<Node>();
  handles_[kStdinHandle] = {"<stdin>", std::make_shared<Node>(), 0, false};
  handles_[kStdoutHandle] = {kStdout, files_[kStdout], 0, true};
}

void FakePlatform::Fail(const std::string& op, int nth, std::uint32_t code,
                        const std::string& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back({op, file, nth, code, 0});
}

void FakePlatform::Short(const std::string& op, int nth, std::uint32_t count,
                         const std::string& file) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back({op, file, nth, 0, count});
}

void FakePlatform::SetFile(const std::string& name, std::string contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[name] = std::make_shared<Node>(Node{std::move(contents)});
}

std::optional<std::string> FakePlatform::File(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = files_.find(name);
  if (found == files_.end()) return std::nullopt;
  return found->second->data;
}

std::vector<FakePlatform::Call> FakePlatform::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

int FakePlatform::WaitForExit() {
  std::unique_lock<std::mutex> lock(mutex_);
  exited_.wait_for(lock, std::chrono::seconds(10),
                   [this] { return exit_status_.has_value(); });
  return exit_status_.value_or(-1);
}

const FakePlatform::Rule* FakePlatform::Enter(const char* op,
                                              const std::string& file) {
  log_.push_back({op, file, 0, 0, {}});
  const int any = ++counts_[std::string(op) + '|'];
  const int mine = file.empty() ? any : ++counts_[op + ('|' + file)];
  for (const Rule& rule : rules_) {
    if (rule.op != op || (!rule.file.empty() && rule.file != file)) continue;
    const int n = rule.file.empty() ? any : mine;
    if (rule.nth == 0 || rule.nth == n) return &rule;
  }
  return nullptr;
}

FakePlatform::Handle* FakePlatform::EnterHandle(const char* op,
                                                os::FileHandle file,
                                                os::Status& status,
                                                std::uint32_t* limit) {
  const auto found = handles_.find(file.native);
  Handle* handle = found == handles_.end() ? nullptr : &found->second;
  const Rule* rule = Enter(op, handle != nullptr ? handle->name : "?");
  if (handle != nullptr) log_.back().position = handle->position;
  if (rule != nullptr && rule->code != 0) {
    status = Error(rule->code, op);
    return nullptr;
  }
  if (rule != nullptr && limit != nullptr)
    *limit = std::min(*limit, rule->limit);
  if (handle == nullptr) status = Error(6, op);  // invalid handle
  return handle;
}

os::Result<os::FileHandle> FakePlatform::OpenFile(const std::string& name,
                                                  os::OpenMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const Rule* rule = Enter("OpenFile", name)) {
    return {{}, Error(rule->code, "OpenFile")};
  }
  std::shared_ptr<Node>& node = files_[name];
  if (mode == os::OpenMode::kCreateAlways) {
    node = std::make_shared<Node>();
  } else if (node == nullptr) {
    files_.erase(name);
    return {{}, Error(os::kErrorFileNotFound, "OpenFile")};
  }
  const bool writable = mode != os::OpenMode::kReadExisting &&
                        mode != os::OpenMode::kSourceUncached;
  handles_[next_handle_] = {name, node, 0, writable};
  return {{next_handle_++, 0}, {}};
}

os::FileHandle FakePlatform::StandardHandle(os::StandardStream stream) {
  if (stream == os::StandardStream::kInput) return {kStdinHandle, 0};
  return has_stdout ? os::FileHandle{kStdoutHandle, 0} : os::FileHandle{};
}

os::Result<std::uint32_t> FakePlatform::ReadFile(os::FileHandle file,
                                                 void* buffer,
                                                 std::uint32_t count) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("ReadFile", file, status, &count);
  if (handle == nullptr) return {0, status};
  const std::string& data = handle->node->data;
  const auto at = static_cast<std::size_t>(handle->position);
  const std::size_t n =
      at >= data.size() ? 0 : std::min<std::size_t>(count, data.size() - at);
  std::copy_n(data.data() + at, n, static_cast<char*>(buffer));
  handle->position += static_cast<std::int64_t>(n);
  log_.back().count = static_cast<std::uint32_t>(n);
  return {static_cast<std::uint32_t>(n), {}};
}

os::Result<std::uint32_t> FakePlatform::WriteFile(os::FileHandle file,
                                                  const void* buffer,
                                                  std::uint32_t count) {
  if (write_delay_ms > 0 && file.native != kStdoutHandle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(write_delay_ms));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("WriteFile", file, status, &count);
  if (handle == nullptr) return {0, status};
  if (!handle->writable) return {0, Error(os::kErrorAccessDenied, "WriteFile")};
  std::string& data = handle->node->data;
  if (file.native == kStdoutHandle) handle->position = std::ssize(data);
  const auto at = static_cast<std::size_t>(handle->position);
  if (data.size() < at + count) data.resize(at + count);
  data.replace(at, count, static_cast<const char*>(buffer), count);
  handle->position += count;
  log_.back().count = count;
  log_.back().data = data.substr(at, count);
  return {count, {}};
}

os::Status FakePlatform::SetPosition(os::FileHandle file,
                                     std::int64_t position) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("SetPosition", file, status);
  if (handle == nullptr) return status;
  if (position < 0) return Error(os::kErrorInvalidParameter, "SetPosition");
  handle->position = position;
  return {};
}

os::Result<std::int64_t> FakePlatform::FileSize(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("FileSize", file, status);
  if (handle == nullptr) return {0, status};
  return {std::ssize(handle->node->data), {}};
}

os::Status FakePlatform::SetEndOfFile(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("SetEndOfFile", file, status);
  if (handle == nullptr) return status;
  handle->node->data.resize(static_cast<std::size_t>(handle->position));
  return {};
}

os::Status FakePlatform::FlushFile(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  EnterHandle("FlushFile", file, status);
  return status;
}

os::Status FakePlatform::CloseFile(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  if (EnterHandle("CloseFile", file, status) != nullptr) {
    handles_.erase(file.native);
  }
  return status;
}

os::Result<os::FileTimes> FakePlatform::GetFileTimes(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("GetFileTimes", file, status);
  if (handle == nullptr) return {{}, status};
  return {handle->node->times, {}};
}

os::Status FakePlatform::SetFileTimes(os::FileHandle file,
                                      const os::FileTimes& times) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  Handle* handle = EnterHandle("SetFileTimes", file, status);
  if (handle != nullptr) handle->node->times = times;
  return status;
}

os::Result<std::uint32_t> FakePlatform::GetAttributes(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Rule* rule = Enter("GetAttributes", name);
  if (rule != nullptr) return {0, Error(rule->code, "GetAttributes")};
  const auto found = files_.find(name);
  if (found == files_.end()) return {0, Error(2, "GetAttributes")};
  return {found->second->attributes, {}};
}

os::Status FakePlatform::SetAttributes(const std::string& name,
                                       std::uint32_t attributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Rule* rule = Enter("SetAttributes", name);
  if (rule != nullptr) return Error(rule->code, "SetAttributes");
  const auto found = files_.find(name);
  if (found == files_.end()) return Error(2, "SetAttributes");
  found->second->attributes = attributes;
  return {};
}

os::Status FakePlatform::RemoveFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const Rule* rule = Enter("RemoveFile", name)) {
    return Error(rule->code, "RemoveFile");
  }
  return files_.erase(name) == 1 ? os::Status{} : Error(2, "RemoveFile");
}

os::Status FakePlatform::MoveFileNoReplace(const std::string& from,
                                           const std::string& to) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const Rule* rule = Enter("MoveFile", from)) {
    return Error(rule->code, "MoveFile");
  }
  if (files_.count(to) != 0) return Error(183, "MoveFile");  // already exists
  const auto found = files_.find(from);
  if (found == files_.end()) return Error(2, "MoveFile");
  files_[to] = found->second;
  files_.erase(found);
  return {};
}

os::Status FakePlatform::SetValidData(os::FileHandle file,
                                      std::int64_t /*length*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  EnterHandle("SetValidData", file, status);
  return status;
}

std::string FakePlatform::DescribeError(const os::Status& status) {
  return "System error " + std::to_string(status.code) + ". \r\n";
}

os::Status FakePlatform::EnablePrivileges() {
  std::lock_guard<std::mutex> lock(mutex_);
  const Rule* rule = Enter("EnablePrivileges", "");
  return rule != nullptr ? Error(rule->code, "EnablePrivileges") : os::Status{};
}

os::Result<bool> FakePlatform::IsCharacterDevice(os::FileHandle file) {
  std::lock_guard<std::mutex> lock(mutex_);
  os::Status status;
  EnterHandle("IsCharacterDevice", file, status);
  return {console && file.native == kStdoutHandle, status};
}

bool FakePlatform::IsLeadByte(unsigned char byte) {
  return lead_bytes.find(static_cast<char>(byte)) != std::string::npos;
}

// ANSI 0xE4 ("a" with diaeresis) is 0x84 in the OEM code page; enough to
// see whether a text went through the conversion.
std::string FakePlatform::ToOem(std::string_view text) {
  std::string oem(text);
  std::replace(oem.begin(), oem.end(), '\xE4', '\x84');
  return oem;
}

void* FakePlatform::AllocatePages(std::size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Enter("AllocatePages", "") != nullptr) return nullptr;
  std::vector<char>& block = pages_.emplace_back(size + 4096, '\0');
  void* start = block.data();
  std::size_t space = block.size();
  return std::align(4096, size, start, space);
}

bool FakePlatform::LockPages(void* /*address*/, std::size_t /*size*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Enter("LockPages", "") == nullptr;
}

std::optional<os::LockLimits> FakePlatform::GetLockLimits() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Enter("GetLockLimits", "") != nullptr) return std::nullopt;
  return lock_limits;
}

bool FakePlatform::SetLockLimits(const os::LockLimits& limits) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Enter("SetLockLimits", "") != nullptr) return false;
  lock_limits = limits;
  return true;
}

std::uint32_t FakePlatform::TickCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint32_t now = tick;
  tick += tick_step;
  return now;
}

os::Result<std::unique_ptr<os::Event>> FakePlatform::NewEvent(
    os::EventReset reset, os::InitialState initial) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const Rule* rule = Enter("NewEvent", "")) {
    return {nullptr, Error(rule->code, "NewEvent")};
  }
  auto event = std::make_unique<FakeEvent>(reset == os::EventReset::kManual,
                                           initial == os::InitialState::kSet,
                                           settle_waits, pause_after_set_ms);
  AllEvents().push_back(event.get());
  return {std::move(event), {}};
}

os::Status FakePlatform::StartThread(os::ThreadEntry entry, void* argument) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const Rule* rule = Enter("StartThread", "")) {
      return Error(rule->code, "StartThread");
    }
  }
  CountRunning(+1);
  std::thread([entry, argument] {
    tls_background = true;
    entry(argument);
  }).detach();
  return {};
}

os::CodeLocation FakePlatform::LocateCode(const void* address) {
  return {module_file, reinterpret_cast<std::uintptr_t>(address)};
}

// The test process must go on: the status is handed to WaitForExit and the
// calling thread parks for good, touching nothing of this object again.
void FakePlatform::ExitProcess(int status) {
  if (tls_background) CountRunning(-1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exit_status_ = status;
    exited_.notify_all();
  }
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace ferrux::testing
