// faultfs: a pass-through FUSE file system over a backing folder, for the
// faults that only a file system can show. Test code only.
//
//   faultfs BACKING MOUNTPOINT [-f] [-o OPTION[,OPTION...]]
//
//   short_reads       every read returns half of what was asked, as a
//                     server may
//   volatile          writes and truncations stay in memory until the file
//                     is fsync'ed; unmounting is a power cut that loses
//                     them (creation, rename, unlink, times and modes
//                     reach the backing folder at once)
//   writeback_seed=N  with volatile: at the power cut each lost write or
//                     truncation still reaches the disk with probability
//                     1/2 (pseudo-random from N), as early write-back can
//   replacing_rename  a rename that must not replace is refused (EINVAL)
//                     while a plain one replaces, as cloud and object-store
//                     mounts do (hard links are never served)
//
// Single-threaded: the daemon serves one request at a time.
#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

// The operations table names only the operations served.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

struct Options {
  int short_reads = 0;
  int is_volatile = 0;
  unsigned long writeback_seed = 0;
  int replacing_rename = 0;
} options;

const fuse_opt kOptionTable[] = {
    {"short_reads", offsetof(Options, short_reads), 1},
    {"volatile", offsetof(Options, is_volatile), 1},
    {"writeback_seed=%lu", offsetof(Options, writeback_seed), 0},
    {"replacing_rename", offsetof(Options, replacing_rename), 1},
    FUSE_OPT_END};

int root = -1;  // the backing folder

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
int Done(int result) { return result < 0 ? -errno : 0; }

// The unflushed changes of the file open as fd, if any.
std::map<ino_t, Pending>::iterator Find(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? pending.find(info.st_ino) : pending.end();
}

int Apply(int fd, const Op& op) {
  if (op.cut) return Done(ftruncate(fd, op.at));
  const auto size = static_cast<ssize_t>(op.bytes.size());
  return pwrite(fd, op.bytes.data(), op.bytes.size(), op.at) == size ? 0 : -EIO;
}

// On a volatile mount the change waits in memory; else it is made now.
int Change(int fd, Op op) {
  if (!options.is_volatile) return Apply(fd, op);
  struct stat info;
  if (fstat(fd, &info) != 0) return -errno;
  Pending& p = pending[info.st_ino];
  if (p.fd < 0) {
    p.fd = dup(fd);
    p.size = info.st_size;
  }
  p.size = op.cut
               ? op.at
               : std::max(p.size, op.at + static_cast<off_t>(op.bytes.size()));
  p.ops.push_back(std::move(op));
  return 0;
}

int DoGetattr(const char* path, struct stat* info, fuse_file_info*) {
  if (fstatat(root, Rel(path), info, AT_SYMLINK_NOFOLLOW) != 0) return -errno;
  const auto it = pending.find(info->st_ino);
  if (it != pending.end()) info->st_size = it->second.size;
  return 0;
}

// Opens the backing file through the cache: the kernel has already applied
// O_DIRECT's rules, and gives every transfer its offset.
int OpenBacking(const char* path, int flags, mode_t mode, fuse_file_info* fi) {
  flags = (flags & ~(O_DIRECT | O_APPEND | O_TRUNC)) | O_CLOEXEC;
  const int fd = openat(root, Rel(path), flags, mode);
  fi->fh = static_cast<uint64_t>(fd);
  return Done(fd);
}

int DoOpen(const char* path, fuse_file_info* fi) {
  return OpenBacking(path, fi->flags & ~O_CREAT, 0, fi);
}

int DoCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  return OpenBacking(path, fi->flags | O_CREAT, mode, fi);
}

// The program never reads back what it wrote in the same mount; a read of
// unflushed changes would need them laid over the disk's bytes, so it is
// refused rather than answered with stale bytes.
int DoRead(const char*, char* buffer, size_t size, off_t offset,
           fuse_file_info* fi) {
  if (Find(Fd(fi)) != pending.end()) return -EIO;
  if (options.short_reads && size > 1) size /= 2;
  const ssize_t got = pread(Fd(fi), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int DoWrite(const char*, const char* buffer, size_t size, off_t offset,
            fuse_file_info* fi) {
  const int result = Change(Fd(fi), {offset, false, std::string(buffer, size)});
  return result < 0 ? result : static_cast<int>(size);
}

// The program truncates only files it holds open.
int DoTruncate(const char*, off_t length, fuse_file_info* fi) {
  return fi != nullptr ? Change(Fd(fi), {length, true, {}}) : -ENOSYS;
}

// Makes the file's changes durable: the only way they survive a power cut.
int DoFsync(const char*, int, fuse_file_info* fi) {
  const auto it = Find(Fd(fi));
  if (it == pending.end()) return 0;
  int result = 0;
  for (const Op& op : it->second.ops) {
    if (result == 0) result = Apply(it->second.fd, op);
  }
  close(it->second.fd);
  pending.erase(it);
  return result;
}

int DoRelease(const char*, fuse_file_info* fi) { return Done(close(Fd(fi))); }

int DoUnlink(const char* path) { return Done(unlinkat(root, Rel(path), 0)); }

int DoRename(const char* from, const char* to, unsigned int flags) {
  if (options.replacing_rename && flags != 0) return -EINVAL;
  return Done(renameat2(root, Rel(from), root, Rel(to), flags));
}

int DoChmod(const char* path, mode_t mode, fuse_file_info*) {
  return Done(fchmodat(root, Rel(path), mode, 0));
}

int DoUtimens(const char* path, const timespec times[2], fuse_file_info*) {
  return Done(utimensat(root, Rel(path), times, AT_SYMLINK_NOFOLLOW));
}

// Unmounting: on a volatile mount, the power cut.
void DoDestroy(void*) {
  std::mt19937_64 coin(options.writeback_seed);
  for (const auto& entry : pending) {
    const Pending& p = entry.second;
    for (const Op& op : p.ops) {
      if (options.writeback_seed != 0 && (coin() & 1) != 0) Apply(p.fd, op);
    }
    close(p.fd);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  // The backing folder comes first; the rest goes to FUSE.
  if (argc < 3 ||
      (root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
    std::fprintf(stderr,
                 "usage: faultfs BACKING MOUNTPOINT [-f] [-o options]\n");
    return 2;
  }
  argv[1] = argv[0];
  fuse_args args = FUSE_ARGS_INIT(argc - 1, argv + 1);
  if (fuse_opt_parse(&args, &options, kOptionTable, nullptr) != 0) return 2;
  fuse_opt_add_arg(&args, "-s");
  const fuse_operations operations{.getattr = DoGetattr,
                                   .unlink = DoUnlink,
                                   .rename = DoRename,
                                   .chmod = DoChmod,
                                   .truncate = DoTruncate,
                                   .open = DoOpen,
                                   .read = DoRead,
                                   .write = DoWrite,
                                   .release = DoRelease,
                                   .fsync = DoFsync,
                                   .destroy = DoDestroy,
                                   .create = DoCreate,
                                   .utimens = DoUtimens};
  return fuse_main(args.argc, args.argv, &operations, nullptr);
}
