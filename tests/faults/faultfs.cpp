// faultfs: a pass-through FUSE file system over a backing folder, for the
// faults that only a file system can show, and the power cuts it replays
// from what it recorded. Test code only.
//
//   faultfs BACKING MOUNTPOINT [-f] [-o OPTION[,OPTION...]]
//
//   short_reads       every read returns half of what was asked, as a
//                     server may
//   write_delay=MS    each 64 KiB written take MS milliseconds more (however
//                     the writes are cut), so that a copy whose clock cannot
//                     be sped up lasts past an interval
//   journal=PATH      every change is made at once and also appended to
//                     PATH in order (written bytes in PATH.data), with the
//                     flushes that would make it durable
//   link_way          a rename that must not replace is refused (EINVAL)
//                     but hard links are served, as sshfs does
//   replacing_rename  a rename that must not replace is refused (EINVAL)
//                     while a plain one replaces, and hard links are never
//                     served, as SMB and exFAT mounts do
//
//   faultfs cuts JOURNAL SNAPSHOT MODEL LIST  lists the distinct cut states
//                                             in LIST; prints the boundaries,
//                                             the states tried, the distinct
//   faultfs cut JOURNAL SNAPSHOT LIST K DIR   rebuilds state K (from 0) in DIR
//
// SNAPSHOT is a copy of the backing folder taken before the recorded mount;
// MODEL is "ordered" (a journal that keeps every prefix of what is pending)
// or "any" (a server that applies pending changes in any order).
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// The operations table names only the operations served.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

struct Options {
  int short_reads, link_way, replacing_rename, write_delay;
  char* journal;
} options{};

const fuse_opt kOptionTable[] = {
    {"short_reads", offsetof(Options, short_reads), 1},
    {"write_delay=%d", offsetof(Options, write_delay), 0},
    {"journal=%s", offsetof(Options, journal), 0},
    {"link_way", offsetof(Options, link_way), 1},
    {"replacing_rename", offsetof(Options, replacing_rename), 1},
    FUSE_OPT_END};

int root = -1;  // the backing folder

// The journal: one line per change, files named by an id per inode, since a
// name may be dropped or given again while the file it stood for lives on.
FILE *journal = nullptr, *blob = nullptr;
std::map<ino_t, long> ids;
long next_id = 0;

const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }
int Fd(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }
int Done(int result) { return result < 0 ? -errno : 0; }

// The id of the file NAME in the folder FD, or (no NAME) of the open file FD.
long IdOf(int fd, const char* name = "") {
  struct stat info;
  return fstatat(fd, name, &info, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0
             ? -1
             : ids[info.st_ino];
}

// Notes a change that RESULT says was made; FUSE's answer.
template <typename... Args>
int Note(int result, const char* format, Args... args) {
  if (result == 0 && journal != nullptr) std::fprintf(journal, format, args...);
  return Done(result);
}

// Opens the backing file through the cache: the kernel has already applied
// O_DIRECT's rules, and gives every transfer its offset.
int Open(const char* path, fuse_file_info* fi, mode_t mode = 0, int add = 0) {
  const int flags = (fi->flags & ~O_CREAT) | add;  // O_CREAT for create
  const int fd = openat(root, Rel(path),
                        (flags & ~(O_DIRECT | O_APPEND)) | O_CLOEXEC, mode);
  fi->fh = static_cast<uint64_t>(fd);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) return -errno;
  long& id = ids[info.st_ino];
  if ((flags & O_CREAT) != 0)
    return Note(0, "C %ld %s\n", id = next_id++, Rel(path));
  return (flags & O_TRUNC) != 0 ? Note(0, "T %ld 0\n", id) : 0;
}

// The power-cut model. A change is durable once what makes it so has run:
// a name (create, link, rename, unlink) once its folder is flushed, since a
// folder's entries are written with the folder; written bytes and lengths
// once the file's data is flushed (fsync or fdatasync); times and modes
// only by a full fsync, which fdatasync may skip. Everything else made
// before the cut is pending, and may be lost.
struct Op {
  char kind = 0;
  long id = -1;
  std::string name, to;                 // a path; the new path of a rename
  size_t at = 0, length = 0, data = 0;  // a mode, or times, in the last two
};

bool IsFlush(const Op& op) { return std::strchr("SDF", op.kind); }

// A full fsync makes all of a file durable; fdatasync its bytes and length.
bool MadeDurable(const Op& op, const Op& flush) {
  if (std::strchr("CLRU", op.kind)) {
    const std::string& path = op.kind == 'R' ? op.to : op.name;
    const auto slash = path.rfind('/');
    return flush.kind == 'F' &&
           flush.name ==
               (slash == std::string::npos ? "." : path.substr(0, slash));
  }
  return flush.id == op.id &&
         (flush.kind == 'S' ||
          (flush.kind == 'D' && std::strchr("WT", op.kind)));
}

// What the console file is: the text the user saw, not durable state.
constexpr const char* kConsole = "console.txt";

struct File {
  std::string bytes;
  std::optional<unsigned> mode;
  std::optional<timespec> time;
};

struct Tree {
  std::map<std::string, long> names;
  std::map<long, File> files;

  std::string Key() const {
    std::ostringstream key;
    for (const auto& [name, id] : names) {
      if (name == kConsole) continue;
      const File& file = files.at(id);
      const timespec time = file.time.value_or(timespec{});
      key << name << ' ' << names.begin()->second - id << ' '
          << file.mode.value_or(0) << ' ' << time.tv_sec << '.' << time.tv_nsec
          << ' ' << std::hash<std::string>{}(file.bytes) << '\n';
    }
    return key.str();
  }
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// The journal read back: its changes, the bytes written, the files there
// before, and the console's id.
std::vector<Op> ops;
std::string data;
Tree start;
long console = -1;

void Load(const std::string& path, const std::string& snapshot) {
  data = Slurp(path + ".data");
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    Op op;
    fields >> op.kind;
    if (op.kind != 'F') fields >> op.id;
    if (std::strchr("OCLUFR", op.kind)) fields >> op.name;
    if (op.kind == 'R') fields >> op.to;
    if (op.kind == 'M') fields >> std::oct;
    if (op.kind == 'W') fields >> op.at;
    fields >> op.length >> op.data;  // those a change has not stay 0
    if (op.name == kConsole && std::strchr("CO", op.kind)) console = op.id;
    if (op.kind == 'O') {
      start.names[op.name] = op.id;
      const auto [file, added] = start.files.try_emplace(op.id);
      if (!added) continue;
      const std::string copy = snapshot + "/" + op.name;
      struct stat info;
      stat(copy.c_str(), &info);
      file->second = {Slurp(copy), info.st_mode & 07777, info.st_mtim};
    }
    ops.push_back(op);
  }
}

Tree Replay(const std::vector<size_t>& kept) {
  Tree tree = start;
  for (size_t j : kept) {
    const Op& op = ops[j];
    File& file = tree.files[op.id];
    // By ids, not names: a rename kept without its create still brings
    // the file to light, and an unlink drops only the name it dropped.
    const auto it = tree.names.find(op.name);
    if (std::strchr("RU", op.kind) && it != tree.names.end() &&
        it->second == op.id)
      tree.names.erase(it);
    if (std::strchr("CL", op.kind)) tree.names[op.name] = op.id;
    if (op.kind == 'R') tree.names[op.to] = op.id;
    if (op.kind == 'T') file.bytes.resize(op.length);
    if (op.kind == 'W') {
      file.bytes.resize(std::max(file.bytes.size(), op.at + op.length));
      file.bytes.replace(op.at, op.length, data, op.data, op.length);
    }
    if (op.kind == 'M') file.mode = static_cast<unsigned>(op.length);
    if (op.kind == 'X')
      file.time = {static_cast<time_t>(op.length), static_cast<long>(op.data)};
  }
  return tree;
}

// Every cut state of the model: at each flush, and at the end, the durable
// changes plus some of the pending ones. Pending writes in a row to one
// file go as one unit (a cut inside it is as its midpoint), so a long copy
// does not make a state per block. Writes LIST, one distinct state a line
// (how far the console had got, then the changes kept), and prints the
// boundaries, the states tried and the distinct ones.
int ListCuts(bool any_order, const char* list_path) {
  size_t boundaries = 0, tried = 0;
  std::vector<std::pair<size_t, std::string>> states;
  std::map<std::string, size_t> index;
  for (size_t i = 0; i <= ops.size(); ++i) {
    if (i < ops.size() && !IsFlush(ops[i])) continue;
    boundaries++;
    std::vector<size_t> durable;
    std::vector<std::vector<size_t>> units;
    for (size_t j = 0; j < i; ++j) {
      const Op& op = ops[j];
      if (op.id == console || op.kind == 'O' || IsFlush(op)) continue;
      size_t k = j + 1;  // the first flush that makes it durable, if any
      while (k < i && !MadeDurable(op, ops[k])) ++k;
      const Op* p = units.empty() ? nullptr : &ops[units.back().back()];
      if (k < i) {
        durable.push_back(j);
      } else if (p && op.kind == 'W' && p->kind == 'W' && p->id == op.id) {
        units.back().push_back(j);
      } else {
        units.push_back({j});
      }
    }
    // Ordered: each prefix, and each with the next unit cut at its
    // midpoint; any order: every subset, or above 10 units a fixed sample,
    // the same every run.
    const size_t n = units.size();
    const size_t rounds = !any_order ? n + 1 : n <= 10 ? size_t{1} << n : 512;
    std::mt19937_64 coin(i);
    for (size_t r = 0; r < rounds; ++r) {
      for (const bool mid : {false, true}) {
        if (mid && (any_order || r == n || units[r].size() < 2)) break;
        std::string kept_text;
        std::vector<size_t> kept = durable;
        for (size_t u = 0; u < n; ++u) {
          const bool whole = !any_order ? u < r
                             : n <= 10  ? ((r >> u) & 1) != 0
                                        : (coin() & 1) != 0;
          const size_t take = whole           ? units[u].size()
                              : mid && u == r ? units[u].size() / 2
                                              : 0;
          kept.insert(kept.end(), units[u].begin(),
                      units[u].begin() + static_cast<long>(take));
        }
        std::ranges::sort(kept);
        for (size_t j : kept) kept_text += " " + std::to_string(j);
        tried++;
        const auto [found, added] =
            index.try_emplace(Replay(kept).Key(), states.size());
        if (added) states.emplace_back(i, kept_text);
        states[found->second].first = i;
      }
    }
  }
  std::ofstream list(list_path);
  for (const auto& [seen, kept] : states) list << seen << kept << '\n';
  std::printf("%zu %zu %zu\n", boundaries, tried, states.size());
  return 0;
}

// Rebuilds in OUT the state of one LINE of the list.
int Rebuild(const std::string& line, const std::string& out) {
  std::istringstream fields(line);
  size_t seen = 0;
  fields >> seen;
  std::vector<size_t> kept(std::istream_iterator<size_t>(fields), {});
  // The console holds all the program wrote to it before the cut; its
  // changes touch no other file, so they replay in order with the rest.
  for (size_t j = 0; j < seen && console >= 0; ++j) {
    if (ops[j].id == console) kept.push_back(j);
  }
  std::ranges::sort(kept);
  Tree tree = Replay(kept);
  if (console >= 0) tree.names[kConsole] = console;
  std::map<long, std::string> first;
  for (const auto& [name, id] : tree.names) {
    const std::string path = out + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    if (const auto [it, added] = first.try_emplace(id, path); !added) {
      link(it->second.c_str(), path.c_str());
      continue;
    }
    const File& file = tree.files[id];
    std::ofstream(path, std::ios::binary) << file.bytes;
    if (file.mode) chmod(path.c_str(), *file.mode);
    if (file.time) {
      const timespec times[2] = {*file.time, *file.time};
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if ((verb == "cuts" && argc >= 6) || (verb == "cut" && argc >= 7)) {
    Load(argv[2], argv[3]);
    if (verb == "cuts")
      return ListCuts(std::strcmp(argv[4], "any") == 0, argv[5]);
    std::ifstream list(argv[4]);
    std::string line;
    for (auto k = std::stoul(argv[5]); k-- > 0;) std::getline(list, line);
    return std::getline(list, line) ? Rebuild(line, argv[6]) : 1;
  }
  // The backing folder comes first; the rest goes to FUSE.
  if (verb == "cuts" || verb == "cut" || argc < 3 ||
      (root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0) {
    std::fprintf(stderr,
                 "usage: faultfs BACKING MOUNTPOINT [-f] [-o options]\n"
                 "       faultfs cuts JOURNAL SNAPSHOT ordered|any LIST\n"
                 "       faultfs cut JOURNAL SNAPSHOT LIST K DIR\n");
    return 2;
  }
  const fs::path backing = argv[1];
  argv[1] = argv[0];
  fuse_args args = FUSE_ARGS_INIT(argc - 1, argv + 1);
  if (fuse_opt_parse(&args, &options, kOptionTable, nullptr) != 0) return 2;
  fuse_opt_add_arg(&args, "-s");
  if (options.journal != nullptr) {
    journal = std::fopen(options.journal, "w");
    blob = std::fopen((std::string(options.journal) + ".data").c_str(), "wb");
    if (journal == nullptr || blob == nullptr) return 2;
  }
  // Names every file there before the mount by its id.
  for (const auto& entry : fs::recursive_directory_iterator(backing)) {
    struct stat info;
    if (lstat(entry.path().c_str(), &info) != 0 || S_ISDIR(info.st_mode))
      continue;
    next_id += ids.try_emplace(info.st_ino, next_id).second;
    Note(0, "O %ld %s\n", ids[info.st_ino],
         entry.path().lexically_relative(backing).c_str());
  }
  // The operations served; each change is made, then noted.
  fuse_operations o{};
  // The backing folder's inode numbers, so that two names of one file are
  // seen as one file, as on a local disk or NFS.
  o.init = [](fuse_conn_info*, fuse_config* config) -> void* {
    config->use_ino = 1;
    return nullptr;
  };
  o.getattr = [](const char* path, struct stat* info, fuse_file_info*) {
    return Done(fstatat(root, Rel(path), info, AT_SYMLINK_NOFOLLOW));
  };
  o.open = [](const char* path, fuse_file_info* fi) { return Open(path, fi); };
  o.create = [](const char* path, mode_t mode, fuse_file_info* fi) {
    return Open(path, fi, mode, O_CREAT);
  };
  o.read = [](const char*, char* buffer, size_t size, off_t offset,
              fuse_file_info* fi) {
    if (options.short_reads && size > 1) size /= 2;
    const ssize_t got = pread(Fd(fi), buffer, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
  };
  o.write = [](const char*, const char* buffer, size_t size, off_t offset,
               fuse_file_info* fi) {
    const ssize_t done = pwrite(Fd(fi), buffer, size, offset);
    if (done < 0) return -errno;
    usleep(static_cast<useconds_t>(options.write_delay * done / 64));
    if (blob != nullptr) {
      Note(0, "W %ld %lld %zd %ld\n", IdOf(Fd(fi)),
           static_cast<long long>(offset), done, std::ftell(blob));
      std::fwrite(buffer, 1, static_cast<size_t>(done), blob);
    }
    return static_cast<int>(done);
  };
  o.truncate = [](const char*, off_t length, fuse_file_info* fi) {
    if (fi == nullptr) return -ENOSYS;  // the program truncates open files only
    return Note(ftruncate(Fd(fi), length), "T %ld %lld\n", IdOf(Fd(fi)),
                static_cast<long long>(length));
  };
  // A flush is noted even when it fails, as a server may have made it.
  o.fsync = [](const char*, int datasync, fuse_file_info* fi) {
    Note(0, "%c %ld\n", datasync != 0 ? 'D' : 'S', IdOf(Fd(fi)));
    return Done(fsync(Fd(fi)));
  };
  o.fsyncdir = [](const char* path, int, fuse_file_info*) {
    return Note(0, "F %s\n", Rel(path));
  };
  o.release = [](const char*, fuse_file_info* fi) {
    return Done(close(Fd(fi)));
  };
  o.unlink = [](const char* path) {
    const long id = IdOf(root, Rel(path));
    return Note(unlinkat(root, Rel(path), 0), "U %ld %s\n", id, Rel(path));
  };
  o.link = [](const char* from, const char* to) {
    if (options.replacing_rename) return -EPERM;
    return Note(linkat(root, Rel(from), root, Rel(to), 0), "L %ld %s\n",
                IdOf(root, Rel(from)), Rel(to));  // either side: one inode
  };
  o.rename = [](const char* from, const char* to, unsigned int flags) {
    const long id = IdOf(root, Rel(from));
    if ((options.replacing_rename || options.link_way) && flags != 0)
      return -EINVAL;
    return Note(renameat2(root, Rel(from), root, Rel(to), flags),
                "R %ld %s %s\n", id, Rel(from), Rel(to));
  };
  o.chmod = [](const char* path, mode_t mode, fuse_file_info*) {
    const long id = IdOf(root, Rel(path));
    return Note(fchmodat(root, Rel(path), mode, 0), "M %ld %o\n", id, mode);
  };
  o.utimens = [](const char* path, const timespec times[2], fuse_file_info*) {
    const int result = utimensat(root, Rel(path), times, AT_SYMLINK_NOFOLLOW);
    struct stat info;
    if (result != 0 || fstatat(root, Rel(path), &info, 0) != 0)
      return Done(result);
    return Note(0, "X %ld %lld %ld\n", ids[info.st_ino],
                static_cast<long long>(info.st_mtim.tv_sec),
                info.st_mtim.tv_nsec);
  };
  return fuse_main(args.argc, args.argv, &o, nullptr);
}
