// POSIX (Linux) body of the native platform, process: memory through
// mmap/mlock and the locked-memory limits, the tick clock, threads, events
// over a mutex and a condition variable, the console, code locations.
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/posix/posix_platform.h"

namespace ferrux::os {
namespace posix {
namespace {

class PosixEvent final : public Event {
 public:
  PosixEvent(EventReset reset, InitialState initial)
      : manual_(reset == EventReset::kManual),
        set_(initial == InitialState::kSet) {}

  void Set() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    if (manual_) {
      changed_.notify_all();
    } else {
      changed_.notify_one();
    }
  }

  void Reset() override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }

  void Wait() override {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return set_; });
    if (!manual_) set_ = false;
  }

 private:
  const bool manual_;
  bool set_;
  std::mutex mutex_;
  std::condition_variable changed_;
};

}  // namespace

Result<std::unique_ptr<Event>> PosixPlatform::NewEvent(EventReset reset,
                                                       InitialState initial) {
  return {std::make_unique<PosixEvent>(reset, initial), {}};
}

Result<bool> PosixPlatform::IsCharacterDevice(FileHandle file) {
  if (::isatty(Fd(file)) == 1) return {true, {}};
  if (errno == EBADF) return {false, Failed("isatty")};
  return {false, {}};
}

void* PosixPlatform::AllocatePages(std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return address == MAP_FAILED ? nullptr : address;
}

std::optional<LockLimits> PosixPlatform::GetLockLimits() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return std::nullopt;
  // An unlimited soft limit leaves nothing to raise.
  if (limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  LockLimits limits;
  limits.minimum = static_cast<std::size_t>(limit.rlim_cur);
  limits.maximum = limit.rlim_max == RLIM_INFINITY
                       ? SIZE_MAX
                       : static_cast<std::size_t>(limit.rlim_max);
  return limits;
}

bool PosixPlatform::SetLockLimits(const LockLimits& limits) {
  struct rlimit current;
  if (::getrlimit(RLIMIT_MEMLOCK, &current) != 0) return false;
  struct rlimit wanted;
  wanted.rlim_cur = limits.minimum;
  wanted.rlim_max =
      current.rlim_max == RLIM_INFINITY ? RLIM_INFINITY : limits.maximum;
  if (::setrlimit(RLIMIT_MEMLOCK, &wanted) == 0) return true;
  // Only a privileged process may raise the hard limit; the soft limit may
  // still rise within it.
  if (errno != EPERM || wanted.rlim_cur > current.rlim_max) return false;
  wanted.rlim_max = current.rlim_max;
  return ::setrlimit(RLIMIT_MEMLOCK, &wanted) == 0;
}

Status PosixPlatform::EnterBackgroundMode() {
  // Both are the calling thread's and pass to the threads it starts, so
  // this comes before the writer's. The idle I/O class is served only
  // when no other I/O waits on the device.
  constexpr int kWhoProcess = 1;  // IOPRIO_WHO_PROCESS
  constexpr int kClassIdle = 3;   // IOPRIO_CLASS_IDLE
  constexpr int kClassShift = 13;
  if (::syscall(SYS_ioprio_set, kWhoProcess, 0, kClassIdle << kClassShift) !=
      0) {
    return Failed("ioprio_set");
  }
  if (::setpriority(PRIO_PROCESS, 0, 19) != 0) return Failed("setpriority");
  return {};
}

std::uint32_t PosixPlatform::TickCount() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void PosixPlatform::Sleep(std::uint32_t milliseconds) {
  struct timespec left {
    static_cast<time_t>(milliseconds / 1000),
        static_cast<long>(milliseconds % 1000) * 1000000
  };
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

namespace {

// Joined when it goes.
class PosixThread final : public Thread {
 public:
  explicit PosixThread(std::thread thread) : thread_(std::move(thread)) {}
  ~PosixThread() override { thread_.join(); }
  PosixThread(const PosixThread&) = delete;
  PosixThread& operator=(const PosixThread&) = delete;

 private:
  std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<Thread>> PosixPlatform::StartThread(ThreadEntry entry,
                                                           void* argument) {
  try {
    return {std::make_unique<PosixThread>(std::thread(entry, argument)), {}};
  } catch (const std::system_error& failure) {
    return {nullptr, Failed("pthread_create", failure.code().value())};
  }
}

CodeLocation PosixPlatform::LocateCode(const void* address) {
  Dl_info info{};
  if (address != nullptr && ::dladdr(address, &info) != 0 &&
      info.dli_fbase != nullptr && info.dli_fname != nullptr &&
      info.dli_fname[0] != '\0') {
    return {info.dli_fname,
            reinterpret_cast<std::uintptr_t>(address) -
                reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
  }
  char own[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", own, sizeof own - 1);
  std::string file = length > 0 ? std::string(own, static_cast<size_t>(length))
                                : std::string("ferrux");
  const auto raw = reinterpret_cast<std::uintptr_t>(address);
  if (info.dli_fbase != nullptr) {
    return {file, raw - reinterpret_cast<std::uintptr_t>(info.dli_fbase)};
  }
  return {file, raw == 0 ? 0 : raw - 4096};
}

}  // namespace posix

const Conventions& NativeConventions() {
  static const Conventions conventions{"\n", "/", '/', "ferrux", PATH_MAX - 1};
  return conventions;
}

std::unique_ptr<Platform> CreateNativePlatform() {
  // A closed standard output must show up as a failed write, not as a
  // silent death by signal.
  ::signal(SIGPIPE, SIG_IGN);
  return std::make_unique<posix::PosixPlatform>();
}

std::optional<std::string> RawCommandLine() { return std::nullopt; }

}  // namespace ferrux::os
