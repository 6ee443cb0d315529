// FakePlatform: in-memory files, captured output, scripted faults, and
// events and threads over the standard library.
#include "support/fake_platform.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace ferrux::testing {
namespace {

Status Error(std::uint32_t code) {
  return {code, static_cast<int>(code), "fake"};
}

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Threads started through any fake, counted while they run outside a wait.
// Never destroyed, like the events: parked threads outlive every test, and
// the leak checker finds the events through `all_events`.
struct Background {
  std::mutex mutex;
  std::condition_variable parked;
  int running = 0;
};
Background& threads = *new Background;
std::vector<os::Event*>& all_events = *new std::vector<os::Event*>;
thread_local bool tls_background = false;

void CountRunning(int change) {
  std::lock_guard<std::mutex> lock(threads.mutex);
  threads.running += change;
  threads.parked.notify_all();
}

// With `settle`, a wait of a test's own thread returns only once every
// started thread waits again: the program frees the writer's job while the
// writer thread may still be between setting an event and its next wait.
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
    if (tls_background) Sleep(pause_ms_);
  }
  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }
  void Wait() override {
    if (tls_background) CountRunning(-1);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
    set_ = manual_;
    lock.unlock();
    if (tls_background) {
      CountRunning(+1);
    } else if (settle_) {
      std::unique_lock<std::mutex> all(threads.mutex);
      threads.parked.wait(all, [] { return threads.running == 0; });
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

}  // namespace

FakePlatform::FakePlatform() {
  files_[kStdout] = std::make_shared<std::string>();
  handles_[0] = {"<stdin>", std::make_shared<std::string>(), 0, false};
  handles_[1] = {kStdout, files_[kStdout], 0, true};
}

void FakePlatform::Script(Rule rule) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(std::move(rule));
}

void FakePlatform::SetFile(const std::string& name, std::string contents) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[name] = std::make_shared<std::string>(std::move(contents));
}

std::optional<std::string> FakePlatform::File(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = files_.find(name);
  if (found == files_.end()) return std::nullopt;
  return *found->second;
}

std::vector<FakePlatform::Call> FakePlatform::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

int FakePlatform::WaitForExit() {
  for (int i = 0; i < 10000; ++i, Sleep(1)) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (exit_status_) return *exit_status_;
  }
  return -1;
}

std::uint32_t FakePlatform::Enter(const char* op, const std::string& file,
                                  std::uint32_t* limit) {
  log_.push_back({op, file, ""});
  const int any = ++counts_[op];
  const int mine = ++counts_[op + ('|' + file)];
  for (const Rule& rule : rules_) {
    if (rule.op != op || (!rule.file.empty() && rule.file != file)) continue;
    if (rule.nth != 0 && rule.nth != (rule.file.empty() ? any : mine)) {
      continue;
    }
    if (limit != nullptr) *limit = std::min(*limit, rule.limit);
    return rule.code;
  }
  return 0;
}

Status FakePlatform::On(const char* op, FileHandle file,
                        const std::function<void(Open&)>& body,
                        std::uint32_t* limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = handles_.find(file.native);
  const bool known = found != handles_.end();
  const std::uint32_t code = Enter(op, known ? found->second.name : "?", limit);
  if (code != 0 || !known) return Error(known ? code : 6);
  if (body) body(found->second);
  return {};
}

Status FakePlatform::On(const char* op, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Error(Enter(op, name));
}

Result<FileHandle> FakePlatform::OpenFile(const std::string& name,
                                          os::OpenMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const std::uint32_t code = Enter("OpenFile", name)) {
    return {{}, Error(code)};
  }
  if (mode == os::OpenMode::kCreateAlways) {
    files_[name] = std::make_shared<std::string>();
  } else if (files_.count(name) == 0) {
    return {{}, Error(os::kErrorFileNotFound)};
  }
  const bool writable = mode != os::OpenMode::kReadExisting &&
                        mode != os::OpenMode::kSourceUncached;
  handles_[next_handle_] = {name, files_[name], 0, writable};
  return {{next_handle_++, 0}, {}};
}

Result<std::uint32_t> FakePlatform::ReadFile(FileHandle file, void* buffer,
                                             std::uint32_t count) {
  std::uint32_t read = 0;
  const Status status = On(
      "ReadFile", file,
      [&](Open& f) {
        const auto at =
            static_cast<std::size_t>(std::min(f.position, f.Size()));
        read = static_cast<std::uint32_t>(
            f.data->copy(static_cast<char*>(buffer), count, at));
        f.position += read;
      },
      &count);
  return {read, status};
}

Result<std::uint32_t> FakePlatform::WriteFile(FileHandle file,
                                              const void* buffer,
                                              std::uint32_t count) {
  if (file.native != 1) Sleep(write_delay_ms);
  Status denied;
  const Status status = On(
      "WriteFile", file,
      [&](Open& f) {
        if (!f.writable) return void(denied = Error(os::kErrorAccessDenied));
        if (file.native == 1) f.position = f.Size();
        const auto at = static_cast<std::size_t>(f.position);
        f.data->resize(std::max(f.data->size(), at + count));
        f.data->replace(at, count, static_cast<const char*>(buffer), count);
        f.position += count;
        log_.back().data = f.data->substr(at, count);
      },
      &count);
  if (!status.ok() || !denied.ok()) return {0, status.ok() ? denied : status};
  return {count, {}};
}

Status FakePlatform::RemoveFile(const std::string& name) {
  const Status status = On("RemoveFile", name);
  std::lock_guard<std::mutex> lock(mutex_);
  if (status.ok() && files_.erase(name) == 0) return Error(2);
  return status;
}

Status FakePlatform::MoveFileNoReplace(const std::string& from,
                                       const std::string& to) {
  const Status status = On("MoveFile", from);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!status.ok()) return status;
  if (files_.count(to) != 0) return Error(183);  // already exists
  if (files_.count(from) == 0) return Error(os::kErrorFileNotFound);
  files_[to] = files_[from];
  files_.erase(from);
  return {};
}

void* FakePlatform::AllocatePages(std::size_t size) {
  if (!On("AllocatePages", "").ok()) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<char>& block = pages_.emplace_back(size + 4096, '\0');
  void* start = block.data();
  std::size_t space = block.size();
  return std::align(4096, size, start, space);
}

Result<std::unique_ptr<os::Event>> FakePlatform::NewEvent(
    os::EventReset reset, os::InitialState initial) {
  const Status status = On("NewEvent", "");
  if (!status.ok()) return {nullptr, status};
  all_events.push_back(new FakeEvent(reset == os::EventReset::kManual,
                                     initial == os::InitialState::kSet,
                                     settle_waits, pause_after_set_ms));
  return {std::unique_ptr<os::Event>(all_events.back()), {}};
}

Status FakePlatform::StartThread(os::ThreadEntry entry, void* argument) {
  const Status status = On("StartThread", "");
  if (!status.ok()) return status;
  CountRunning(+1);
  std::thread([entry, argument] {
    tls_background = true;
    entry(argument);
  }).detach();
  return {};
}

// The test process must go on: the status is handed to WaitForExit and the
// calling thread parks for good, touching nothing of this object again.
void FakePlatform::ExitProcess(int status) {
  if (tls_background) CountRunning(-1);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exit_status_ = status;
  }
  for (;;) Sleep(3600000);
}

}  // namespace ferrux::testing
