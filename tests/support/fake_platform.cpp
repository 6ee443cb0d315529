// The in-memory platform's members and the in-process run.
#include "support/fake_platform.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/program.h"
#include "report/console_out.h"

namespace ferrux::testing {
namespace {

using os::FileKind;
using os::Status;

// Names as the program builds them ("dst/.", "./a.bin") to the keys of
// FakePlatform::names ("dst", "a.bin").
std::string Key(std::string name) {
  while (name.starts_with("./")) name.erase(0, 2);
  if (name == ".") return "";
  if (name.ends_with("/.")) name.resize(name.size() - 2);
  return name;
}

std::string ParentOf(const std::string& key) {
  const auto slash = key.rfind('/');
  return slash == std::string::npos ? "" : key.substr(0, slash);
}

Status Fail(std::uint32_t code, const char* call) {
  return {code, static_cast<int>(code), call};
}

// A run that fails for good leaves its writer's objects to the end of the
// process on purpose; they stay referenced from here, so that the leak
// check does not count them.
std::vector<void*>& KeptToTheEnd() {
  static auto* kept = new std::vector<void*>;
  return *kept;
}

}  // namespace

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
  // Once the process has ended every wait returns, so that no thread of
  // it waits for good.
  void Wait() override {
    std::unique_lock lock(platform_.mutex_);
    platform_.changed_.wait(lock, [&] { return set_ || platform_.ended_; });
    if (!manual_) set_ = false;
  }

 private:
  FakePlatform& platform_;
  const bool manual_;
  bool set_;
};

namespace {

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

FakePlatform::FakePlatform() {
  Put("", {}, FileKind::kDirectory);
  open_[1] = {nullptr, "stdout"};
}

FakePlatform::Node& FakePlatform::Put(const std::string& name,
                                      std::string bytes, FileKind kind) {
  const std::lock_guard lock(mutex_);
  auto& node = names[name] = std::make_shared<Node>();
  node->bytes = std::move(bytes);
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

Status FakePlatform::Gate(const char* call, const std::string& name) {
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
  return code == 0 ? Status{} : Fail(code, call);
}

os::Result<os::FileHandle> FakePlatform::OpenFile(const std::string& name,
                                                  os::OpenMode mode) {
  const std::lock_guard lock(mutex_);
  const std::string key = Key(name);
  if (const Status failed = Gate("OpenFile", key); !failed.ok()) {
    return {{}, failed};
  }
  auto found = names.find(key);
  if (found == names.end()) {
    const auto parent = names.find(ParentOf(key));
    if (parent == names.end() || parent->second->kind != FileKind::kDirectory) {
      return {{}, Fail(os::kErrorPathNotFound, "OpenFile")};
    }
    if (mode != os::OpenMode::kReadWrite &&
        mode != os::OpenMode::kReadWriteExclusive) {
      return {{}, Fail(os::kErrorFileNotFound, "OpenFile")};
    }
    found = names.emplace(key, std::make_shared<Node>(Node{{}, Now()})).first;
    found->second->attributes = 0600;
  }
  const bool exclusive = mode == os::OpenMode::kReadWriteExclusive;
  for (const auto& [handle, other] : open_) {
    if (exclusive && other.exclusive && other.node == found->second) {
      return {{}, Fail(os::kErrorSharingViolation, "OpenFile")};
    }
  }
  open_[next_handle_] = {found->second, key, 0, exclusive};
  return {{next_handle_++}, {}};
}

os::FileHandle FakePlatform::StandardHandle(os::StandardStream stream) {
  return {stream == os::StandardStream::kOutput ? 1 : -1};
}

os::Result<std::uint32_t> FakePlatform::ReadFile(os::FileHandle file,
                                                 void* buffer,
                                                 std::uint32_t count) {
  const std::lock_guard lock(mutex_);
  Open& open = At(file);
  const Status failed = Gate("ReadFile", open.name);
  now_ms += read_ms;
  if (failed.code == kShort) count /= 2;
  if (!failed.ok() && failed.code != kShort) return {0, failed};
  const auto size = static_cast<std::int64_t>(open.node->bytes.size());
  const auto done = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(size - open.at, 0, count));
  if (done > 0) {
    std::memcpy(buffer, open.node->bytes.data() + open.at, done);
  }
  open.at += done;
  return {done, {}};
}

Status FakePlatform::BeginRead(os::FileHandle file, void* buffer,
                               std::uint32_t count, std::int64_t position) {
  const std::lock_guard lock(mutex_);
  At(file).at = position;
  const os::Result<std::uint32_t> read = ReadFile(file, buffer, count);
  At(file).ahead.push_back(read);
  return {};
}

os::Result<std::uint32_t> FakePlatform::EndRead(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const os::Result<std::uint32_t> read = At(file).ahead.front();
  At(file).ahead.pop_front();
  return read;
}

os::Result<std::uint32_t> FakePlatform::WriteFile(os::FileHandle file,
                                                  const void* buffer,
                                                  std::uint32_t count) {
  const std::lock_guard lock(mutex_);
  Open& open = At(file);
  const Status failed = Gate("WriteFile", open.name);
  if (failed.code == kShort) count /= 2;
  if (!failed.ok() && failed.code != kShort) return {0, failed};
  const auto* bytes = static_cast<const char*>(buffer);
  if (!open.node) {
    output.append(bytes, count);
    return {count, {}};
  }
  std::string& data = open.node->bytes;
  const auto at = static_cast<std::size_t>(open.at);
  if (data.size() < at + count) data.resize(at + count);
  data.replace(at, count, bytes, count);
  open.at += count;
  open.node->time_ns = Now();
  return {count, {}};
}

Status FakePlatform::SetPosition(os::FileHandle file, std::int64_t position) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("SetPosition", At(file).name);
  if (!failed.ok()) return failed;
  if (position < 0) return Fail(os::kErrorInvalidParameter, "SetPosition");
  At(file).at = position;
  return {};
}

os::Result<std::int64_t> FakePlatform::FileSize(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("FileSize", At(file).name);
  return {static_cast<std::int64_t>(At(file).node->bytes.size()), failed};
}

Status FakePlatform::SetEndOfFile(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  Open& open = At(file);
  const Status failed = Gate("SetEndOfFile", open.name);
  if (!failed.ok()) return failed;
  open.node->bytes.resize(static_cast<std::size_t>(open.at));
  open.node->time_ns = Now();
  return {};
}

Status FakePlatform::FlushFile(os::FileHandle file, FlushScope) {
  const std::lock_guard lock(mutex_);
  return Gate("FlushFile", At(file).name);
}

Status FakePlatform::SetCacheMode(os::FileHandle& file, const std::string&,
                                  os::CacheMode) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("SetCacheMode", At(file).name);
  if (!failed.ok()) open_.erase(file.native);
  return failed;
}

Status FakePlatform::CloseFile(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  open_.erase(file.native);
  return {};
}

os::Result<FileKind> FakePlatform::KindOf(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("KindOf", At(file).name);
  return {At(file).node->kind, failed};
}

os::Result<std::uint32_t> FakePlatform::LinkCount(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("LinkCount", At(file).name);
  const auto links = std::count_if(names.begin(), names.end(), [&](auto& n) {
    return n.second == At(file).node;
  });
  return {static_cast<std::uint32_t>(links), failed};
}

bool FakePlatform::IsSameFile(os::FileHandle file, const std::string& name) {
  const std::lock_guard lock(mutex_);
  if (!Gate("IsSameFile", Key(name)).ok()) return false;
  const auto found = names.find(Key(name));
  return found != names.end() && found->second == At(file).node &&
         LinkCount(file).value > 1;
}

os::Result<os::FileTimes> FakePlatform::GetFileTimes(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("GetFileTimes", At(file).name);
  const std::int64_t time = At(file).node->time_ns;
  return {{0, time / 1000000000, time % 1000000000, time}, failed};
}

Status FakePlatform::SetFileTimes(os::FileHandle file,
                                  const os::FileTimes& times) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("SetFileTimes", At(file).name);
  if (failed.ok()) {
    At(file).node->time_ns =
        times.last_write * 1000000000 + times.last_write_fraction;
  }
  return failed;
}

os::Result<std::uint32_t> FakePlatform::GetAttributes(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("GetAttributes", At(file).name);
  return {At(file).node->attributes, failed};
}

os::Result<os::Platform::NameFacts> FakePlatform::LookUp(
    const std::string& name) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("LookUp", Key(name));
  const auto found = names.find(Key(name));
  if (!failed.ok()) return {{}, failed};
  if (found == names.end()) return {{}, Fail(os::kErrorFileNotFound, "LookUp")};
  const Node& node = *found->second;
  return {
      {static_cast<std::int64_t>(node.bytes.size()), node.time_ns, node.kind},
      {}};
}

Status FakePlatform::SetAttributes(os::FileHandle file, const std::string& name,
                                   std::uint32_t attributes) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("SetAttributes", Key(name));
  if (failed.ok()) At(file).node->attributes = attributes;
  return failed;
}

Status FakePlatform::RemoveFile(const std::string& name) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("RemoveFile", Key(name));
  const auto found = names.find(Key(name));
  if (!failed.ok()) return failed;
  if (found == names.end()) return Fail(os::kErrorFileNotFound, "RemoveFile");
  if (found->second->kind == FileKind::kDirectory) {
    return Fail(os::kErrorAccessDenied, "RemoveFile");
  }
  names.erase(found);
  return {};
}

os::Platform::NameLengths FakePlatform::MeasureName(const std::string& name) {
  const std::lock_guard lock(mutex_);
  (void)Gate("MeasureName", name);  // nothing to fail, only to count
  return {name.size(), name.size() - ParentOf(name).size(), 255};
}

// Gives the node `from` the name `to` too; drops `from` unless `keep`.
Status FakePlatform::Move(const std::string& from, const std::string& to,
                          bool keep) {
  if (names.count(Key(to)) != 0) return Fail(os::kErrorAlreadyExists, "Move");
  const auto found = names.find(Key(from));
  if (found == names.end()) return Fail(os::kErrorFileNotFound, "Move");
  names[Key(to)] = found->second;
  if (!keep) names.erase(Key(from));
  return {};
}

Status FakePlatform::RenameNoReplace(os::FileHandle&, const std::string& from,
                                     const std::string& to) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("RenameNoReplace", Key(to));
  return failed.ok() ? Move(from, to, false) : failed;
}

Status FakePlatform::LinkNoReplace(const std::string& from,
                                   const std::string& to) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("LinkNoReplace", Key(to));
  return failed.ok() ? Move(from, to, true) : failed;
}

os::Result<bool> FakePlatform::RenameIfAbsent(os::FileHandle&,
                                              const std::string& from,
                                              const std::string& to) {
  const std::lock_guard lock(mutex_);
  Status failed = Gate("RenameIfAbsent", Key(to));
  if (failed.ok()) failed = Move(from, to, false);
  return {failed.ok(), failed};
}

os::Result<os::Platform::Volume> FakePlatform::VolumeOf(
    const std::string& name) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("VolumeOf", Key(name));
  const auto found = volumes.find(Key(name));
  return {found != volumes.end() ? found->second : Volume{"ext4", "/dev/sda1"},
          failed};
}

Status FakePlatform::FlushFolderOf(const std::string& name) {
  const std::lock_guard lock(mutex_);
  return Gate("FlushFolderOf", Key(name));
}

Status FakePlatform::ReserveSpace(os::FileHandle file, std::int64_t,
                                  std::int64_t length) {
  const std::lock_guard lock(mutex_);
  const Status failed = Gate("ReserveSpace", At(file).name);
  if (failed.ok())
    At(file).node->bytes.resize(static_cast<std::size_t>(length));
  return failed;
}

os::Result<bool> FakePlatform::IsCharacterDevice(os::FileHandle file) {
  const std::lock_guard lock(mutex_);
  return {false, Gate("IsCharacterDevice", At(file).name)};
}

void* FakePlatform::AllocatePages(std::size_t size) {
  return std::memset(::operator new (size, std::align_val_t{4096}), 0, size);
}

void FakePlatform::FreePages(void* address, std::size_t) {
  ::operator delete (address, std::align_val_t{4096});
}

std::uint32_t FakePlatform::TickCount() {
  const std::lock_guard lock(mutex_);
  return now_ms;
}

void FakePlatform::Sleep(std::uint32_t milliseconds) {
  const std::lock_guard lock(mutex_);
  (void)Gate("Sleep", "");  // for the hooks: a sleep cannot fail
  now_ms += milliseconds;
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
