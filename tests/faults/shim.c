// Test-only preload shim for faults on regular files only (the program's
// output to a terminal or pipe is never touched), set by the test:
//   FERRUX_SHIM_SHORT_READ=N, FERRUX_SHIM_SHORT_WRITE=N: the Nth read() or
//     write() transfers only half of what was asked, as a flaky share may;
//   FERRUX_SHIM_FAIL_WRITE=N:ERRNO: the Nth write() fails with ERRNO;
//   FERRUX_SHIM_REFUSE_DIRECT=1: O_DIRECT is refused (EINVAL), as by file
//     systems without direct I/O;
//   FERRUX_SHIM_NONBLOCKING_STDOUT=1: standard output, a pipe, is made
//     non-blocking and one page small before the program starts.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static atomic_long reads, writes, failing_writes;

static int regular(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

static size_t shortened(const char* variable, atomic_long* calls, int fd,
                        size_t count) {
  const char* setting = getenv(variable);
  if (setting == NULL || count < 2 || !regular(fd)) return count;
  return atomic_fetch_add(calls, 1) + 1 == atol(setting) ? count / 2 : count;
}

ssize_t read(int fd, void* buffer, size_t count) {
  static ssize_t (*real)(int, void*, size_t);
  if (real == NULL)
    real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
  return real(fd, buffer,
              shortened("FERRUX_SHIM_SHORT_READ", &reads, fd, count));
}

ssize_t write(int fd, const void* buffer, size_t count) {
  static ssize_t (*real)(int, const void*, size_t);
  if (real == NULL)
    real = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
  const char* failing = getenv("FERRUX_SHIM_FAIL_WRITE");
  if (failing != NULL && regular(fd) &&
      atomic_fetch_add(&failing_writes, 1) + 1 == atol(failing)) {
    const char* code = strchr(failing, ':');
    errno = code != NULL ? atoi(code + 1) : EIO;
    return -1;
  }
  return real(fd, buffer,
              shortened("FERRUX_SHIM_SHORT_WRITE", &writes, fd, count));
}

// fcntl64 is the name some builds of the C library link against.
static int shim_fcntl(const char* name, int fd, int command, long argument) {
  static int (*real)(int, int, ...);
  if (real == NULL) real = (int (*)(int, int, ...))dlsym(RTLD_NEXT, name);
  if (command == F_SETFL && (argument & O_DIRECT) != 0 &&
      getenv("FERRUX_SHIM_REFUSE_DIRECT") != NULL) {
    errno = EINVAL;
    return -1;
  }
  return real(fd, command, argument);
}

int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const long argument = va_arg(arguments, long);
  va_end(arguments);
  return shim_fcntl("fcntl", fd, command, argument);
}

int fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  const long argument = va_arg(arguments, long);
  va_end(arguments);
  return shim_fcntl("fcntl64", fd, command, argument);
}

__attribute__((constructor)) static void nonblocking_stdout(void) {
  if (getenv("FERRUX_SHIM_NONBLOCKING_STDOUT") == NULL) return;
  fcntl(1, F_SETPIPE_SZ, 4096);
  fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
}
