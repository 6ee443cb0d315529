// The in-memory platform's members that keep state, and the in-process run.
#include "support/fake_platform.h"

#include "app/program.h"
#include "report/console_out.h"

namespace ferrux::testing {
namespace {

// A run that fails for good leaves its writer's objects to the end of the
// process on purpose; they stay referenced from here, so that the leak
// check does not count them.
std::vector<void*>& KeptToTheEnd() {
  static auto* kept = new std::vector<void*>;
  return *kept;
}

// Joined when it goes; the thread itself is the platform's.
class FakeThread final : public os::Thread {
 public:
  explicit FakeThread(std::thread& thread) : thread_(thread) {}
  ~FakeThread() override {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread& thread_;
};

}  // namespace

// Once the process has ended every wait ends, as the thread would, so that
// no thread of it waits for good.
class FakeEvent final : public os::Event {
 public:
  FakeEvent(FakePlatform& platform, bool manual, bool set)
      : platform_(platform), manual_(manual), set_(set) {}
  void Set() override {
    const std::lock_guard lock(platform_.mutex_);
    set_ = true;
    platform_.changed_.notify_all();
  }
  void Reset() override {
    const std::lock_guard lock(platform_.mutex_);
    set_ = false;
  }
  void Wait() override {
    std::unique_lock lock(platform_.mutex_);
    platform_.changed_.wait(lock, [&] { return set_ || platform_.ended_; });
    if (platform_.ended_) throw FakePlatform::Exited{};
    if (!manual_) set_ = false;
  }

 private:
  FakePlatform& platform_;
  const bool manual_;
  bool set_;
};

FakePlatform::FakePlatform() {
  Put("", {}, os::FileKind::kDirectory);
  open_[1] = {nullptr, "stdout"};
}

FakePlatform::Node& FakePlatform::Put(Name name, std::string bytes,
                                      os::FileKind kind) {
  const std::lock_guard lock(mutex_);
  auto& node = names[name] = std::make_shared<Node>(Node{std::move(bytes)});
  node->kind = kind;
  return *node;
}

void FakePlatform::End() {
  {
    const std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

// Names as the program builds them ("dst/.", "dst/", "./a.bin") to the
// keys of `names` ("dst", "a.bin").
std::string FakePlatform::Key(std::string name) {
  while (name.starts_with("./")) name.erase(0, 2);
  if (name == ".") return "";
  if (name.ends_with("/.")) name.resize(name.size() - 2);
  if (name.ends_with('/')) name.pop_back();
  return name;
}

os::Status FakePlatform::Gate(const char* call, Name name) {
  if (ended_) throw Exited{};
  std::uint32_t code = 0;
  for (std::size_t i = 0; i < script.size(); ++i) {
    if (script[i].call != call || name.find(script[i].on) == name.npos) {
      continue;
    }
    const int seen = ++script[i].seen;
    if (seen == script[i].nth && script[i].then) {
      const auto then = script[i].then;  // the hook may grow the script
      then(*this);
    }
    const Step& step = script[i];
    if (code == 0 && (seen == step.nth || (step.lasting && seen > step.nth))) {
      code = step.code;
    }
  }
  return {code, static_cast<int>(code), code == 0 ? "" : call};
}

os::Result<os::FileHandle> FakePlatform::OpenFile(Name name,
                                                  os::OpenMode mode) {
  const std::lock_guard lock(mutex_);
  const std::string key = Key(name);
  Status status = Gate("OpenFile", key);
  std::shared_ptr<Node> node = Find(key);
  const std::shared_ptr<Node> folder = Find(key.substr(0, key.rfind('/') + 1));
  const bool exclusive = mode == os::OpenMode::kReadWriteExclusive;
  for (const auto& [handle, other] : open_) {
    if (node && exclusive && other.exclusive && other.node == node) {
      status = {os::kErrorSharingViolation, 0, "OpenFile"};
    }
  }
  if (!node && (!folder || folder->kind != os::FileKind::kDirectory)) {
    status = {os::kErrorPathNotFound, 0, "OpenFile"};
  } else if (!node && !exclusive && mode != os::OpenMode::kReadWrite) {
    status = {os::kErrorFileNotFound, 0, "OpenFile"};
  }
  if (!status.ok()) return {{}, status};
  if (!node) {
    node = names[key] = std::make_shared<Node>(
        Node{{}, Now(), os::FileKind::kRegular, 0600});  // owner-only
  }
  open_[next_handle_] = {node, key, 0, exclusive};
  return {{next_handle_++}, {}};
}

// Reads into `buffer`, or writes from it.
os::Result<std::uint32_t> FakePlatform::Transfer(
    const char* call, Handle file, void* buffer, Count count,
    std::optional<std::int64_t> position) {
  const bool read = call[0] == 'R';
  const std::lock_guard lock(mutex_);
  if (read) now_ms += read_ms;
  Open& open = open_.at(file.native);
  const Status status = Gate(call, open.name);
  if (!status.ok() && status.code != kShort) return {0, status};
  if (status.code == kShort) count /= 2;
  std::string& bytes = open.node ? open.node->bytes : output;
  const std::size_t at =
      !open.node ? output.size()
                 : static_cast<std::size_t>(position.value_or(open.at));
  if (read) {  // at most what lies between `at` and the end
    count = static_cast<Count>(bytes.copy(static_cast<char*>(buffer), count,
                                          std::min(at, bytes.size())));
  } else {
    bytes.resize(std::max(bytes.size(), at + count));
    bytes.replace(at, count, static_cast<const char*>(buffer), count);
    if (open.node) open.node->time_ns = Now();
  }
  if (!position) open.at += count;
  return {count, {}};
}

os::Status FakePlatform::Move(const char* call, Name from, Name to, bool keep) {
  const std::lock_guard lock(mutex_);
  const Status status = Gate(call, Key(to));
  const std::shared_ptr<Node> node = Find(from);
  if (!status.ok()) return status;
  if (Find(to)) return {os::kErrorAlreadyExists, 0, call};
  if (!node) return {os::kErrorFileNotFound, 0, call};
  names[Key(to)] = node;
  if (!keep) names.erase(Key(from));
  return {};
}

os::Result<std::unique_ptr<os::Event>> FakePlatform::NewEvent(
    os::EventReset reset, os::InitialState initial) {
  return {std::make_unique<FakeEvent>(*this, reset == os::EventReset::kManual,
                                      initial == os::InitialState::kSet),
          {}};
}

os::Result<std::unique_ptr<os::Thread>> FakePlatform::StartThread(
    os::ThreadEntry entry, void* argument) {
  const std::lock_guard lock(mutex_);
  KeptToTheEnd().push_back(argument);
  threads_.emplace_back([entry, argument] {
    try {
      entry(argument);
    } catch (const Exited&) {
    }
  });
  return {std::make_unique<FakeThread>(threads_.back()), {}};
}

void FakePlatform::ExitProcess(int status) {
  {
    const std::lock_guard lock(mutex_);
    if (!exit_status) exit_status = status;
    ended_ = true;
    changed_.notify_all();
  }
  throw Exited{};
}

Outcome RunInProcess(FakePlatform& platform,
                     const std::vector<std::string>& arguments) {
  int status = app::kExitFailure;
  report::ConsoleOut console(platform, kConventions.line_end);
  try {
    status = app::RunProgram(platform, kConventions, console, arguments);
    if (!console.Close()) status = app::kExitFailure;
  } catch (const FakePlatform::Exited&) {
  }
  platform.End();  // while the console, which a woken writer may use, lives
  return {platform.exit_status.value_or(status), platform.output};
}

}  // namespace ferrux::testing
