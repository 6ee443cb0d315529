// Test-only preload shim for faults that strace cannot inject (a transfer
// shorter than asked, a C++ exception, a refused O_DIRECT flag), set by
// the test. Only regular files are touched, never the program's output.
//   FERRUX_SHIM_READ=N:WHAT, FERRUX_SHIM_WRITE=N:WHAT: the Nth read() or
//     write() (pwrite() counted with them) moves half of what was asked (WHAT
//     "half"), nothing ("none"), throws an exception that is none of the
//     program's own ("throw"), or fails with that errno number;
//   FERRUX_SHIM_REFUSE_DIRECT=1: O_DIRECT is refused (EINVAL), as by file
//     systems without direct I/O;
//   FERRUX_SHIM_NONBLOCKING_STDOUT=1: standard output, a pipe, is made
//     non-blocking and one page small before the program starts;
//   FERRUX_SHIM_UNLINK_LIES=N: the Nth unlinkat() removes the name and
//     yet fails with ENOENT, as NFS answers an unlink sent again.
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

std::atomic<long> reads, writes, unlinks;

template <class Call>
Call Real(const char* name) {
  return reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

// The count this call may move, or -1 when it is to fail (errno set).
ssize_t Planned(const char* setting, std::atomic<long>& calls, int fd,
                size_t count) {
  struct stat info;
  const char* plan = getenv(setting);
  if (plan == nullptr || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      ++calls != atol(plan) || strchr(plan, ':') == nullptr) {
    return static_cast<ssize_t>(count);
  }
  const char* what = strchr(plan, ':') + 1;
  if (strcmp(what, "half") == 0) return static_cast<ssize_t>(count / 2);
  if (strcmp(what, "none") == 0) return 0;
  if (strcmp(what, "throw") == 0) throw std::length_error("from the test shim");
  errno = atoi(what);
  return -1;
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
  const ssize_t planned = Planned("FERRUX_SHIM_READ", reads, fd, count);
  if (planned < 0) return -1;
  return Real<ssize_t (*)(int, void*, size_t)>("read")(
      fd, buffer, static_cast<size_t>(planned));
}

ssize_t write(int fd, const void* buffer, size_t count) {
  const ssize_t planned = Planned("FERRUX_SHIM_WRITE", writes, fd, count);
  if (planned < 0) return -1;
  return Real<ssize_t (*)(int, const void*, size_t)>("write")(
      fd, buffer, static_cast<size_t>(planned));
}

// pwrite64 is the name some builds of the C library link against.
#define FERRUX_SHIM_PWRITE(name)                                             \
  ssize_t name(int fd, const void* buffer, size_t count, off_t at) {         \
    const ssize_t planned = Planned("FERRUX_SHIM_WRITE", writes, fd, count); \
    if (planned < 0) return -1;                                              \
    return Real<ssize_t (*)(int, const void*, size_t, off_t)>(#name)(        \
        fd, buffer, static_cast<size_t>(planned), at);                       \
  }
FERRUX_SHIM_PWRITE(pwrite)
FERRUX_SHIM_PWRITE(pwrite64)

int unlinkat(int folder, const char* name, int flags) {
  const int done =
      Real<int (*)(int, const char*, int)>("unlinkat")(folder, name, flags);
  const char* nth = getenv("FERRUX_SHIM_UNLINK_LIES");
  if (done != 0 || nth == nullptr || ++unlinks != atol(nth)) return done;
  errno = ENOENT;
  return -1;
}

// fcntl64 is the name some builds of the C library link against.
#define FERRUX_SHIM_FCNTL(name)                    \
  int name(int fd, int command, ...) {             \
    va_list arguments;                             \
    va_start(arguments, command);                  \
    const long argument = va_arg(arguments, long); \
    va_end(arguments);                             \
    return Fcntl(#name, fd, command, argument);    \
  }
FERRUX_SHIM_FCNTL(fcntl)
FERRUX_SHIM_FCNTL(fcntl64)

__attribute__((constructor)) static void NonblockingStdout() {
  if (getenv("FERRUX_SHIM_NONBLOCKING_STDOUT") == nullptr) return;
  fcntl(1, F_SETPIPE_SZ, 4096);
  fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
}

}  // extern "C"
