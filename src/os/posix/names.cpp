// POSIX (Linux) body of the native platform, names and finishing: the
// destination folder held open and names reached relative to it, flock for
// the exclusion, the rename without replacing and its fallbacks.
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "os/posix/posix_platform.h"

namespace ferrux::os::posix {

// Runs of the program exclude one another from a file, as the Win32 share
// modes make them do: an exclusive advisory lock, held as long as the
// descriptor is open. File systems without locks are used without.
Status HoldExclusively(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0 && errno == EWOULDBLOCK) {
    return FailedWith("flock", kErrorSharingViolation);
  }
  return {};
}

void Pause(long ms) {
  const timespec pause{ms / 1000, ms % 1000 * 1000000};
  ::nanosleep(&pause, nullptr);
}

namespace {

// A FUSE client lets go of the server's handle after close() returns, and
// an SMB server refuses to rename or delete a file still open (EBUSY): a
// change of a name just closed is tried again for up to some 2.5 s.
template <typename Change>
bool TriedWhileBusy(Change change) {
  bool done = change();
  for (long wait_ms = 10; !done && errno == EBUSY && wait_ms <= 1280;
       wait_ms *= 2) {
    Pause(wait_ms);
    done = change();
  }
  return done;
}

}  // namespace

// A lock on the held destination folder (`how`: LOCK_SH or LOCK_EX), waited
// for some 5 s at most. Runs on this machine keep their exclusion through
// it while a file is let go for its rename (see RenameIfAbsent); a folder
// that takes no locks is used without.
bool LockFolder(int folder, int how) {
  for (long wait_ms = 10;; wait_ms *= 2) {
    if (::flock(folder, how | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return true;
    if (wait_ms > 2560) return false;
    Pause(wait_ms);
  }
}

PosixPlatform::AtName PosixPlatform::At(const std::string& name) const {
  const auto held = folders_.find(ParentOf(name));
  if (held == folders_.end()) return {AT_FDCWD, name};
  const auto slash = name.find_last_of('/');
  return {held->second,
          slash == std::string::npos ? name : name.substr(slash + 1)};
}

Result<std::uint32_t> PosixPlatform::LinkCount(FileHandle file) {
  struct stat info;
  if (::fstat(Fd(file), &info) != 0) return {0, Failed("fstat")};
  return {static_cast<std::uint32_t>(info.st_nlink), {}};
}

bool PosixPlatform::IsSameFile(FileHandle file, const std::string& name) {
  struct stat open_file;
  struct stat named;
  return ::fstat(Fd(file), &open_file) == 0 && open_file.st_nlink > 1 &&
         ::fstatat(At(name).folder, At(name).leaf.c_str(), &named,
                   AT_SYMLINK_NOFOLLOW) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

Result<Platform::NameFacts> PosixPlatform::LookUp(const std::string& name) {
  const AtName at = At(name);
  struct stat info;
  if (::fstatat(at.folder, at.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return {{}, Failed("lstat")};
  }
  const FileKind kind = S_ISREG(info.st_mode)   ? FileKind::kRegular
                        : S_ISDIR(info.st_mode) ? FileKind::kDirectory
                                                : FileKind::kOther;
  return {{static_cast<std::int64_t>(info.st_size),
           static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
               info.st_mtim.tv_nsec,
           kind},
          {}};
}

Status PosixPlatform::SetAttributes(FileHandle file, const std::string&,
                                    std::uint32_t attributes) {
  // On the open file, so that a link put under its name is not followed;
  // only the permission bits: set-user-ID and set-group-ID bits would be
  // unsafe on a copy owned by whoever ran the program.
  if (::fchmod(Fd(file), static_cast<mode_t>(attributes & 0777)) != 0) {
    return Failed("fchmod");
  }
  return {};
}

Status PosixPlatform::RemoveFile(const std::string& name) {
  const AtName at = At(name);
  if (!TriedWhileBusy(
          [&] { return ::unlinkat(at.folder, at.leaf.c_str(), 0) == 0; })) {
    return Failed("unlink");
  }
  return {};
}

Status PosixPlatform::RenameNoReplace(FileHandle&, const std::string& from,
                                      const std::string& to) {
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  if (::renameat2(old_name.folder, old_name.leaf.c_str(), new_name.folder,
                  new_name.leaf.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  // NFS, sshfs and other FUSE file systems refuse the flag.
  if (Unsupported(errno)) return NotSupported("renameat2", errno);
  return Failed("renameat2");
}

Status PosixPlatform::LinkNoReplace(const std::string& from,
                                    const std::string& to) {
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  if (::linkat(old_name.folder, old_name.leaf.c_str(), new_name.folder,
               new_name.leaf.c_str(), 0) == 0) {
    return {};
  }
  // EPERM: the file system has no hard links (SMB through FUSE, exFAT).
  if (errno == EPERM || Unsupported(errno)) return NotSupported("link", errno);
  return Failed("link");
}

Result<bool> PosixPlatform::RenameIfAbsent(FileHandle& file,
                                           const std::string& from,
                                           const std::string& to) {
  struct stat info;
  const AtName old_name = At(from);
  const AtName new_name = At(to);
  const auto rename = [&] {
    return ::renameat(old_name.folder, old_name.leaf.c_str(), new_name.folder,
                      new_name.leaf.c_str()) == 0;
  };
  if (::fstatat(new_name.folder, new_name.leaf.c_str(), &info,
                AT_SYMLINK_NOFOLLOW) == 0) {
    return {false, Failed("lstat", EEXIST)};
  }
  if (errno != ENOENT) return {false, Failed("lstat")};
  if (rename()) return {true, {}};
  if (errno != EBUSY) return {false, Failed("rename")};
  // An SMB server will not rename a file that is open without sharing its
  // deletion: the file is let go for the rename, and its lock with it. The
  // folder, held exclusively meanwhile, keeps every other run's exclusive
  // open waiting (see OpenFile) until the file is taken again under the
  // name it then has, never through a link put there. Without the folder
  // the file is not let go; the rename may still meet it for a moment (see
  // TriedWhileBusy).
  const int folder = HeldFolderOf(from);
  if (folder < 0 || !LockFolder(folder, LOCK_EX)) {
    return {false, Failed("rename", EBUSY)};
  }
  // A file read back last has its reads ahead let go with it: the
  // descriptor that replaces it may bear another number.
  StopReadsAhead(file);
  // The server stamps a file written through a handle when that handle
  // closes (SMB): the times set before are put back once it is taken again.
  struct stat before;
  const bool stamped = ::fstat(Fd(file), &before) == 0;
  ::close(Fd(file));
  const bool renamed = TriedWhileBusy(rename);
  const Status outcome = renamed ? Status{} : Failed("rename");
  const AtName& now = renamed ? new_name : old_name;
  file.native = OpenRetrying(now.folder, now.leaf.c_str(),
                             O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  const Status held = file.valid() ? HoldExclusively(Fd(file)) : Failed("open");
  if (held.ok() && stamped) {
    // (Best effort, as the same call on this file succeeded just before.)
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    (void)::futimens(Fd(file), times);
  }
  if (!held.ok() && file.valid()) {
    ::close(Fd(file));
    file.native = -1;
  }
  ::flock(folder, LOCK_UN);
  return {renamed, held.ok() ? outcome : held};
}

Platform::NameLengths PosixPlatform::MeasureName(const std::string& name) {
  const std::size_t slash = name.find_last_of('/');
  const std::size_t leaf =
      slash == std::string::npos ? name.size() : name.size() - slash - 1;
  // The temporary, size and final names share a folder: its limit is
  // asked once (a round trip on a share), and kept only once known.
  long& limit = name_limits_[ParentOf(name)];
  if (limit <= 0) limit = ::pathconf(ParentOf(name).c_str(), _PC_NAME_MAX);
  return {name.size(), leaf,
          limit > 0 ? static_cast<std::size_t>(limit) : SIZE_MAX};
}

void PosixPlatform::ForgetFolders() {
  for (const auto& [path, folder] : folders_) ::close(folder);
  folders_.clear();
}

namespace {

// The absolute path of `name`, links resolved as far as the system
// answers: a dead share's mount point answers no look-up, so the part of
// the path from there on is kept as written.
std::string ResolvedPath(std::string head) {
  std::string tail;
  for (;;) {
    const std::unique_ptr<char, decltype(&std::free)> real(
        ::realpath(head.c_str(), nullptr), &std::free);
    if (real) {
      const std::string resolved = real.get();
      if (tail.empty()) return resolved;
      return resolved == "/" ? "/" + tail : resolved + "/" + tail;
    }
    if (head == "." || head == "/") return head + "/" + tail;
    const std::string leaf = head.substr(head.find_last_of('/') + 1);
    if (leaf != "." && !leaf.empty()) {
      tail = tail.empty() ? leaf : leaf + "/" + tail;
    }
    head = ParentOf(head);
  }
}

// A field of the mount table, its blanks and back slashes written as
// octal escapes.
std::string Unescaped(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const auto digit = [&](std::size_t k) { return field[i + k] - '0'; };
      text.push_back(
          static_cast<char>(digit(1) * 64 + digit(2) * 8 + digit(3)));
      i += 3;
    } else {
      text.push_back(field[i]);
    }
  }
  return text;
}

}  // namespace

Result<Platform::Volume> PosixPlatform::VolumeOf(const std::string& name) {
  // The mount table, not the file system itself: a dead share's mount is
  // still listed there, with its kind and source, and a FUSE file system's
  // statfs tells one from another by neither.
  std::ifstream table("/proc/self/mountinfo");
  if (!table) return {{}, Failed("open")};
  const std::string path = ResolvedPath(name);
  Volume volume;
  std::size_t longest = 0;
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mount_point, field;
    fields >> id >> parent >> device >> root >> mount_point;
    while (fields >> field && field != "-") {
    }
    std::string kind, source;
    fields >> kind >> source;
    mount_point = Unescaped(mount_point);
    const bool covers =
        mount_point == "/" || path == mount_point ||
        (path.starts_with(mount_point) && path[mount_point.size()] == '/');
    // A later mount at the same point hides the earlier one.
    if (covers && mount_point.size() >= longest) {
      longest = mount_point.size();
      volume = {kind, Unescaped(source), path == mount_point};
    }
  }
  if (volume.kind.empty()) return {{}, FailedWith("open", kErrorPathNotFound)};
  return {volume, {}};
}

Status PosixPlatform::FlushFolderOf(const std::string& name) {
  const auto held = folders_.find(ParentOf(name));
  const int folder = held != folders_.end()
                         ? held->second
                         : OpenRetrying(AT_FDCWD, ParentOf(name).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return Failed("open");
  int result;
  do {
    result = ::fsync(folder);
  } while (result != 0 && errno == EINTR);
  const int error = errno;
  if (held == folders_.end()) ::close(folder);
  // Some file systems keep no folder to flush (EINVAL, EROFS).
  if (result != 0 && (Unsupported(error) || error == EROFS)) {
    return FailedWith("fsync", kErrorNotSupported);
  }
  if (result != 0) return Failed("fsync", error);
  return {};
}

}  // namespace ferrux::os::posix
