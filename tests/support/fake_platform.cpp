// FakePlatform: in-memory files and scripted faults.
#include "support/fake_platform.h"

#include <chrono>
#include <thread>

namespace ferrux::testing {
namespace {

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

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
  if (throw_on == op && file != kStdout) {
    throw std::length_error(std::string("fake ") + op);
  }
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

Result<FileHandle> FakePlatform::OpenFile(const std::string& name,
                                          os::OpenMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (const std::uint32_t code = Enter("OpenFile", name)) {
    return {{}, Error(code)};
  }
  if (files_.count(name) == 0) {
    if (mode == os::OpenMode::kReadExisting) {
      return {{}, Error(os::kErrorFileNotFound)};
    }
    files_[name];
  }
  handles_[next_handle_] = {name, &files_[name], 0};
  return {{next_handle_++, 0}, {}};
}

Result<std::uint32_t> FakePlatform::ReadFile(FileHandle file, void* buffer,
                                             std::uint32_t count) {
  std::size_t read = 0;
  const auto body = [&](Open& f) {
    const auto at = static_cast<std::size_t>(f.position);
    read = f.data->copy(static_cast<char*>(buffer), count,
                        std::min(at, f.data->size()));
    f.position += static_cast<std::int64_t>(read);
  };
  const Status status = On("ReadFile", file, body, &count);
  return {static_cast<std::uint32_t>(read), status};
}

Result<std::uint32_t> FakePlatform::WriteFile(FileHandle file,
                                              const void* buffer,
                                              std::uint32_t count) {
  if (file.native != 1) Sleep(write_delay_ms);
  const auto body = [&](Open& f) {
    const auto at = static_cast<std::size_t>(f.position);
    f.data->resize(std::max(f.data->size(), at + count));
    f.data->replace(at, count, static_cast<const char*>(buffer), count);
    f.position += count;
    log_.back().data = f.data->substr(at, count);
  };
  const Status status = On("WriteFile", file, body, &count);
  return {status.ok() ? count : 0, status};
}

Status FakePlatform::RenameNoReplace(FileHandle&, const std::string& from,
                                     const std::string& to) {
  const Status status = On("RenameNoReplace", from);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!status.ok()) return status;
  if (files_.count(to) != 0) return Error(os::kErrorAlreadyExists);
  if (files_.count(from) == 0) return Error(os::kErrorFileNotFound);
  // The node moves, so that open handles keep their contents.
  auto node = files_.extract(from);
  node.key() = to;
  files_.insert(std::move(node));
  return {};
}

// The test process must go on: the status is handed to WaitForExit and the
// calling thread parks for good, touching nothing of this object again.
void FakePlatform::ExitProcess(int status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    exit_status_ = status;
  }
  for (;;) Sleep(3600000);
}

}  // namespace ferrux::testing
