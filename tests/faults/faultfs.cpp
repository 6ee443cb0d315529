// faultfs: a pass-through FUSE file system over a backing folder that
// misbehaves on request, the way network shares and disks do. Test code only.
//
//   faultfs BACKING MOUNTPOINT [-f] [-o OPTION[,OPTION...]]
//
//   refuse_direct        an open with O_DIRECT fails with EINVAL
//   fail_on=KIND         read, write or fsync: the share drops after
//   fail_after=N         N bytes (fsync: N calls) of that kind, and every
//   fail_errno=NAME      later call of that kind fails with EIO or ENOTCONN
//   fail_count=N         only N calls fail, then the share works again: a
//                        hiccup instead of a drop
//   short_reads          every read returns half of what was asked
//   latency_us=N         every read, write and fsync first waits N us
//   throttle_bps=N       reads and writes together move at most N bytes/s
//   volatile             writes and truncations stay in memory until the
//                        file is fsync'ed; unmounting is a power cut that
//                        loses them (creation, rename, unlink, times and
//                        modes reach the backing folder at once)
//   writeback_seed=N     with volatile: at the power cut each lost write or
//                        truncation still reaches the disk with probability
//                        1/2 (pseudo-random from N), as early write-back can
//   writeback            the kernel's write-back cache: write() ends in the
//                        page cache, so with fail_on=write the error comes
//                        only at fsync, fdatasync or close (mounting fails
//                        where the kernel cannot)
//
// Single-threaded: the daemon serves one request at a time. Counters go to
// standard error when it ends.
#define FUSE_USE_VERSION 31
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

enum Kind { kRead, kWrite, kFsync, kKinds };

struct Options {
  int refuse_direct = 0;
  int short_reads = 0;
  int is_volatile = 0;
  int writeback = 0;
  unsigned long fail_after = 0;
  unsigned long fail_count = 0;
  char* fail_on = nullptr;
  char* fail_errno = nullptr;
  unsigned long latency_us = 0;
  unsigned long throttle_bps = 0;
  unsigned long writeback_seed = 0;
};

#define OPTION(text, field, value) \
  { text, offsetof(Options, field), value }
const fuse_opt kOptionSpecs[] = {
    OPTION("refuse_direct", refuse_direct, 1),
    OPTION("short_reads", short_reads, 1),
    OPTION("volatile", is_volatile, 1),
    OPTION("writeback", writeback, 1),
    OPTION("fail_after=%lu", fail_after, 0),
    OPTION("fail_count=%lu", fail_count, 0),
    OPTION("fail_on=%s", fail_on, 0),
    OPTION("fail_errno=%s", fail_errno, 0),
    OPTION("latency_us=%lu", latency_us, 0),
    OPTION("throttle_bps=%lu", throttle_bps, 0),
    OPTION("writeback_seed=%lu", writeback_seed, 0),
    FUSE_OPT_END};

Options options;
int fail_kind = kKinds;  // none
int fail_code = EIO;
int root = -1;  // the backing folder
const char* backing = nullptr;

struct Counters {
  unsigned long refused_direct, failed, fsyncs, lost, written_back;
  unsigned long long passed[kKinds];
} counters{};
std::chrono::steady_clock::time_point throttle_due;

// A write (or, with cut set, a truncation to `at`) not yet on the disk.
struct Op {
  off_t at;
  bool cut;
  std::string bytes;
};
// Unflushed changes of one file, in order. The duplicate descriptor keeps
// the inode alive, so its number cannot be reused while changes wait.
struct Pending {
  int fd = -1;
  off_t size = 0;  // as the changes make it
  std::vector<Op> ops;
};
std::map<ino_t, Pending> pending;

const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }
int Fd(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }

Pending* Find(int fd) {
  struct stat info;
  if (!options.is_volatile || fstat(fd, &info) != 0) return nullptr;
  const auto it = pending.find(info.st_ino);
  return it == pending.end() ? nullptr : &it->second;
}

void Log(int fd, Op op) {
  struct stat info;
  fstat(fd, &info);
  Pending& p = pending[info.st_ino];
  if (p.fd < 0) {
    p.fd = dup(fd);
    p.size = info.st_size;
  }
  p.size = op.cut
               ? op.at
               : std::max(p.size, op.at + static_cast<off_t>(op.bytes.size()));
  p.ops.push_back(std::move(op));
}

int Apply(int fd, const Op& op) {
  if (op.cut) return ftruncate(fd, op.at) == 0 ? 0 : -errno;
  const auto size = static_cast<ssize_t>(op.bytes.size());
  return pwrite(fd, op.bytes.data(), op.bytes.size(), op.at) == size ? 0 : -EIO;
}

// The durable bytes with the unflushed changes laid over them in order.
int ReadMerged(const Pending& p, char* buffer, size_t size, off_t offset) {
  const off_t end = p.size;
  if (offset >= end) return 0;
  const auto n =
      static_cast<off_t>(std::min(size, static_cast<size_t>(end - offset)));
  const ssize_t got = pread(p.fd, buffer, static_cast<size_t>(n), offset);
  if (got < 0) return -errno;
  std::memset(buffer + got, 0, static_cast<size_t>(n - got));
  for (const Op& op : p.ops) {
    const off_t op_end =
        op.cut ? offset + n : op.at + static_cast<off_t>(op.bytes.size());
    const off_t lo = std::max(op.at, offset);
    const off_t hi = std::min(op_end, offset + n);
    if (lo >= hi) continue;
    const auto length = static_cast<size_t>(hi - lo);
    if (op.cut) {
      std::memset(buffer + (lo - offset), 0, length);
    } else {
      std::memcpy(buffer + (lo - offset), op.bytes.data() + (lo - op.at),
                  length);
    }
  }
  return static_cast<int>(n);
}

int Truncate(int fd, off_t length) {
  if (options.is_volatile) {
    Log(fd, {length, true, {}});
    return 0;
  }
  return ftruncate(fd, length) == 0 ? 0 : -errno;
}

// Every transfer and flush passes here: latency, the drop, the throttle.
int Gate(int kind, size_t bytes) {
  if (options.latency_us != 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(options.latency_us));
  }
  if (kind == fail_kind && counters.passed[kind] >= options.fail_after &&
      (options.fail_count == 0 || counters.failed < options.fail_count)) {
    ++counters.failed;
    return -fail_code;
  }
  counters.passed[kind] += bytes;
  if (options.throttle_bps != 0 && kind != kFsync) {
    // A leaky bucket without credit: idle time buys no burst later.
    const auto now = std::chrono::steady_clock::now();
    throttle_due =
        std::max(throttle_due, now) +
        std::chrono::nanoseconds(bytes * 1000000000ull / options.throttle_bps);
    std::this_thread::sleep_until(throttle_due);
  }
  return 0;
}

int DoGetattr(const char* path, struct stat* info, fuse_file_info* fi) {
  const int result = fi != nullptr
                         ? fstat(Fd(fi), info)
                         : fstatat(root, Rel(path), info, AT_SYMLINK_NOFOLLOW);
  if (result != 0) return -errno;
  if (options.is_volatile && S_ISREG(info->st_mode)) {
    const auto it = pending.find(info->st_ino);
    if (it != pending.end()) info->st_size = it->second.size;
  }
  return 0;
}

int DoReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
              fuse_file_info*, fuse_readdir_flags) {
  const int fd = openat(root, Rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* folder = fd < 0 ? nullptr : fdopendir(fd);
  if (folder == nullptr) return -errno;
  while (const dirent* entry = readdir(folder)) {
    fill(buffer, entry->d_name, nullptr, 0,
         static_cast<fuse_fill_dir_flags>(0));
  }
  closedir(folder);
  return 0;
}

// Opens the backing file through the cache: the kernel has already
// applied O_DIRECT's rules, and gives every transfer its offset.
int OpenBacking(const char* path, int flags, mode_t mode, fuse_file_info* fi) {
  if (options.refuse_direct && (flags & O_DIRECT) != 0) {
    ++counters.refused_direct;
    return -EINVAL;
  }
  // Read-write where possible: unflushed changes are read back through it.
  flags = (flags & ~(O_DIRECT | O_APPEND | O_TRUNC)) | O_CLOEXEC;
  int fd = openat(root, Rel(path), (flags & ~O_ACCMODE) | O_RDWR, mode);
  if (fd < 0) fd = openat(root, Rel(path), flags, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  if ((flags & O_TRUNC) != 0) return Truncate(fd, 0);
  return 0;
}

int DoOpen(const char* path, fuse_file_info* fi) {
  return OpenBacking(path, fi->flags & ~O_CREAT, 0, fi);
}

int DoCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  return OpenBacking(path, fi->flags | O_CREAT, mode, fi);
}

int DoRead(const char*, char* buffer, size_t size, off_t offset,
           fuse_file_info* fi) {
  if (options.short_reads && size > 1) size /= 2;
  if (const int refused = Gate(kRead, size)) return refused;
  if (const Pending* p = Find(Fd(fi))) {
    return ReadMerged(*p, buffer, size, offset);
  }
  const ssize_t got = pread(Fd(fi), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int DoWrite(const char*, const char* buffer, size_t size, off_t offset,
            fuse_file_info* fi) {
  if (const int refused = Gate(kWrite, size)) return refused;
  if (options.is_volatile) {
    Log(Fd(fi), {offset, false, std::string(buffer, size)});
    return static_cast<int>(size);
  }
  const ssize_t done = pwrite(Fd(fi), buffer, size, offset);
  return done < 0 ? -errno : static_cast<int>(done);
}

int DoTruncate(const char* path, off_t length, fuse_file_info* fi) {
  if (fi != nullptr) return Truncate(Fd(fi), length);
  const int fd = openat(root, Rel(path), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  const int result = Truncate(fd, length);
  close(fd);
  return result;
}

// Makes the file's changes durable: the only way they survive a power cut.
int DoFsync(const char*, int, fuse_file_info* fi) {
  ++counters.fsyncs;
  if (const int refused = Gate(kFsync, 1)) return refused;
  struct stat info;
  if (!options.is_volatile || fstat(Fd(fi), &info) != 0) return 0;
  const auto it = pending.find(info.st_ino);
  if (it == pending.end()) return 0;
  int result = 0;
  for (const Op& op : it->second.ops) {
    if (result == 0) result = Apply(it->second.fd, op);
  }
  close(it->second.fd);
  pending.erase(it);
  return result;
}

int DoRelease(const char*, fuse_file_info* fi) {
  close(Fd(fi));
  return 0;
}

int DoUnlink(const char* path) {
  return unlinkat(root, Rel(path), 0) == 0 ? 0 : -errno;
}

int DoRename(const char* from, const char* to, unsigned int flags) {
  return renameat2(root, Rel(from), root, Rel(to), flags) == 0 ? 0 : -errno;
}

int DoChmod(const char* path, mode_t mode, fuse_file_info*) {
  return fchmodat(root, Rel(path), mode, 0) == 0 ? 0 : -errno;
}

int DoUtimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  const int result =
      fi != nullptr ? futimens(Fd(fi), times)
                    : utimensat(root, Rel(path), times, AT_SYMLINK_NOFOLLOW);
  return result == 0 ? 0 : -errno;
}

// Asked for without checking what the kernel offers: a kernel without it
// refuses the mount, rather than the test running without late errors.
void* DoInit(fuse_conn_info* conn, fuse_config*) {
  if (options.writeback) conn->want |= FUSE_CAP_WRITEBACK_CACHE;
  return nullptr;
}

// Unmounting: on a volatile mount, the power cut.
void DoDestroy(void*) {
  std::mt19937_64 coin(options.writeback_seed);
  for (const auto& entry : pending) {
    const Pending& p = entry.second;
    for (const Op& op : p.ops) {
      if (options.writeback_seed != 0 && (coin() & 1) != 0 &&
          Apply(p.fd, op) == 0) {
        ++counters.written_back;
      } else {
        ++counters.lost;
      }
    }
    close(p.fd);
  }
  std::fprintf(stderr,
               "faultfs %s: refused_direct=%lu read=%llu written=%llu "
               "fsyncs=%lu failed=%lu lost=%lu written_back=%lu\n",
               backing, counters.refused_direct, counters.passed[kRead],
               counters.passed[kWrite], counters.fsyncs, counters.failed,
               counters.lost, counters.written_back);
}

// The first free argument is the backing folder; the rest goes to FUSE.
int TakeBacking(void*, const char* arg, int key, fuse_args*) {
  if (key != FUSE_OPT_KEY_NONOPT || backing != nullptr) return 1;
  backing = arg;
  return 0;
}

bool ParseFault() {
  if (options.fail_on != nullptr) {
    const std::string on = options.fail_on;
    fail_kind = on == "read"    ? kRead
                : on == "write" ? kWrite
                : on == "fsync" ? kFsync
                                : -1;
  }
  if (options.fail_errno != nullptr) {
    const std::string name = options.fail_errno;
    fail_code = name == "EIO" ? EIO : name == "ENOTCONN" ? ENOTCONN : -1;
  }
  return fail_kind >= 0 && fail_code > 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, kOptionSpecs, TakeBacking) != 0 ||
      backing == nullptr || !ParseFault()) {
    std::fprintf(stderr,
                 "usage: faultfs BACKING MOUNTPOINT [-f] [-o options]\n");
    return 2;
  }
  root = open(backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    std::perror(backing);
    return 2;
  }
  fuse_opt_add_arg(&args, "-s");
  fuse_operations operations{};
  operations.getattr = DoGetattr;
  operations.readdir = DoReaddir;
  operations.open = DoOpen;
  operations.create = DoCreate;
  operations.read = DoRead;
  operations.write = DoWrite;
  operations.truncate = DoTruncate;
  operations.fsync = DoFsync;
  operations.release = DoRelease;
  operations.unlink = DoUnlink;
  operations.rename = DoRename;
  operations.chmod = DoChmod;
  operations.utimens = DoUtimens;
  operations.init = DoInit;
  operations.destroy = DoDestroy;
  const int status = fuse_main(args.argc, args.argv, &operations, nullptr);
  fuse_opt_free_args(&args);
  return status;
}
