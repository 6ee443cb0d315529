// Test-only preload shim for faults on regular files only (the program's
// output to a terminal or pipe is never touched), set by the test:
//   FERRUX_SHIM_SHORT_READ=N, FERRUX_SHIM_SHORT_WRITE=N: the Nth read() or
//     write() transfers only half of what was asked, as a flaky share may;
//   FERRUX_SHIM_FAIL_READ=N:WHAT, FERRUX_SHIM_FAIL_WRITE=N:WHAT: the Nth
//     read() or write() fails with errno WHAT, or throws a C++ exception
//     that is none of the program's own when WHAT is "throw";
//   FERRUX_SHIM_REFUSE_DIRECT=1: O_DIRECT is refused (EINVAL), as by file
//     systems without direct I/O;
//   FERRUX_SHIM_NONBLOCKING_STDOUT=1: standard output, a pipe, is made
//     non-blocking and one page small before the program starts.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

std::atomic<long> reads, writes;

bool Regular(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

template <class Call>
Call Real(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

// The count this call may move, or -1 when it is to fail (errno set).
ssize_t Planned(const char* shorten, const char* fail, std::atomic<long>& calls,
                int fd, size_t count) {
  if (!Regular(fd)) return static_cast<ssize_t>(count);
  const long call = ++calls;
  const char* failing = getenv(fail);
  if (failing != nullptr && call == atol(failing)) {
    const char* what = strchr(failing, ':');
    if (what != nullptr && strcmp(what + 1, "throw") == 0) {
      throw std::length_error("from the test shim");
    }
    errno = what != nullptr ? atoi(what + 1) : EIO;
    return -1;
  }
  const char* shortening = getenv(shorten);
  return static_cast<ssize_t>(
      shortening != nullptr && call == atol(shortening) ? count / 2 : count);
}

int Fcntl(const char* name, int fd, int command, long argument) {
  if (command == F_SETFL && (argument & O_DIRECT) != 0 &&
      getenv("FERRUX_SHIM_REFUSE_DIRECT") != nullptr) {
    errno = EINVAL;
    return -1;
  }
  return Real<int (*)(int, int, ...)>(name)(fd, command, argument);
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
  const ssize_t planned = Planned("FERRUX_SHIM_SHORT_READ",
                                  "FERRUX_SHIM_FAIL_READ", reads, fd, count);
  if (planned < 0) return -1;
  return Real<ssize_t (*)(int, void*, size_t)>("read")(
      fd, buffer, static_cast<size_t>(planned));
}

ssize_t write(int fd, const void* buffer, size_t count) {
  const ssize_t planned = Planned("FERRUX_SHIM_SHORT_WRITE",
                                  "FERRUX_SHIM_FAIL_WRITE", writes, fd, count);
  if (planned < 0) return -1;
  return Real<ssize_t (*)(int, const void*, size_t)>("write")(
      fd, buffer, static_cast<size_t>(planned));
}

// fcntl64 is the name some builds of the C library link against.
int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const long argument = va_arg(arguments, long);
  va_end(arguments);
  return Fcntl("fcntl", fd, command, argument);
}

int fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const long argument = va_arg(arguments, long);
  va_end(arguments);
  return Fcntl("fcntl64", fd, command, argument);
}

__attribute__((constructor)) static void NonblockingStdout() {
  if (getenv("FERRUX_SHIM_NONBLOCKING_STDOUT") == nullptr) return;
  fcntl(1, F_SETPIPE_SZ, 4096);
  fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
}

}  // extern "C"
