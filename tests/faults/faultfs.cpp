// faultfs: a pass-through FUSE file system over a backing folder, for the
// faults that only a file system can show, and the power cuts it replays
// from what it recorded. Test code only.
//
//   faultfs BACKING MOUNTPOINT [-f] [-o OPTION[,OPTION...]]
//
//   short_reads       every read returns half of what was asked, as a
//                     server may
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
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// The operations table names only the operations served.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

struct Options {
  int short_reads = 0;
  char* journal = nullptr;
  int link_way = 0;
  int replacing_rename = 0;
} options;

const fuse_opt kOptionTable[] = {
    {"short_reads", offsetof(Options, short_reads), 1},
    {"journal=%s", offsetof(Options, journal), 0},
    {"link_way", offsetof(Options, link_way), 1},
    {"replacing_rename", offsetof(Options, replacing_rename), 1},
    FUSE_OPT_END};

int root = -1;  // the backing folder

// The journal: one line per change, files named by an id per inode, since a
// name may be dropped or given again while the file it stood for lives on.
FILE* journal = nullptr;
FILE* blob = nullptr;
std::map<ino_t, long> ids;
long next_id = 0;

const char* Rel(const char* path) { return path[1] == '\0' ? "." : path + 1; }
int Fd(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }
int Done(int result) { return result < 0 ? -errno : 0; }

long IdOfFd(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 ? ids[info.st_ino] : -1;
}
long IdOf(const char* path) {
  struct stat info;
  return fstatat(root, Rel(path), &info, AT_SYMLINK_NOFOLLOW) == 0
             ? ids[info.st_ino]
             : -1;
}

template <typename... Args>
void Note(const char* format, Args... args) {
  if (journal != nullptr) std::fprintf(journal, format, args...);
}

// Names every file there before the mount by its id.
void NameExisting(const std::string& folder) {
  DIR* d = fdopendir(openat(root, folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder == "." ? name : folder + "/" + name;
    struct stat info;
    if (fstatat(root, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      NameExisting(path);
    } else {
      if (ids.count(info.st_ino) == 0) ids[info.st_ino] = next_id++;
      Note("O %ld %s\n", ids[info.st_ino], path.c_str());
    }
  }
  closedir(d);
}

// The backing folder's inode numbers, so that two names of one file are
// seen as one file, as on a local disk or NFS.
void* DoInit(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;
  return nullptr;
}

int DoGetattr(const char* path, struct stat* info, fuse_file_info*) {
  return Done(fstatat(root, Rel(path), info, AT_SYMLINK_NOFOLLOW));
}

// Opens the backing file through the cache: the kernel has already applied
// O_DIRECT's rules, and gives every transfer its offset.
int OpenBacking(const char* path, int flags, mode_t mode, fuse_file_info* fi) {
  const bool created = (flags & O_CREAT) != 0;
  const int fd = openat(root, Rel(path),
                        (flags & ~(O_DIRECT | O_APPEND)) | O_CLOEXEC, mode);
  fi->fh = static_cast<uint64_t>(fd);
  if (fd < 0) return -errno;
  struct stat info;
  fstat(fd, &info);
  if (created) {
    ids[info.st_ino] = next_id++;
    Note("C %ld %s\n", ids[info.st_ino], Rel(path));
  } else if ((flags & O_TRUNC) != 0) {
    Note("T %ld 0\n", ids[info.st_ino]);
  }
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
  const ssize_t got = pread(Fd(fi), buffer, size, offset);
  return got < 0 ? -errno : static_cast<int>(got);
}

int DoWrite(const char*, const char* buffer, size_t size, off_t offset,
            fuse_file_info* fi) {
  const ssize_t done = pwrite(Fd(fi), buffer, size, offset);
  if (done < 0) return -errno;
  if (blob != nullptr) {
    Note("W %ld %lld %zd %ld\n", IdOfFd(Fd(fi)), static_cast<long long>(offset),
         done, std::ftell(blob));
    std::fwrite(buffer, 1, static_cast<size_t>(done), blob);
  }
  return static_cast<int>(done);
}

int DoTruncate(const char*, off_t length, fuse_file_info* fi) {
  if (fi == nullptr) return -ENOSYS;  // the program truncates open files only
  const int result = ftruncate(Fd(fi), length);
  if (result == 0) {
    Note("T %ld %lld\n", IdOfFd(Fd(fi)), static_cast<long long>(length));
  }
  return Done(result);
}

int DoFsync(const char*, int datasync, fuse_file_info* fi) {
  Note("%c %ld\n", datasync != 0 ? 'D' : 'S', IdOfFd(Fd(fi)));
  return Done(fsync(Fd(fi)));
}

int DoFsyncdir(const char* path, int, fuse_file_info*) {
  Note("F %s\n", Rel(path));
  return 0;
}

int DoRelease(const char*, fuse_file_info* fi) { return Done(close(Fd(fi))); }

int DoUnlink(const char* path) {
  const long id = IdOf(path);
  const int result = unlinkat(root, Rel(path), 0);
  if (result == 0) Note("U %ld %s\n", id, Rel(path));
  return Done(result);
}

int DoLink(const char* from, const char* to) {
  if (options.replacing_rename) return -EPERM;
  const int result = linkat(root, Rel(from), root, Rel(to), 0);
  if (result == 0) Note("L %ld %s\n", IdOf(from), Rel(to));
  return Done(result);
}

int DoRename(const char* from, const char* to, unsigned int flags) {
  if ((options.replacing_rename || options.link_way) && flags != 0) {
    return -EINVAL;
  }
  const long id = IdOf(from);
  const int result = renameat2(root, Rel(from), root, Rel(to), flags);
  if (result == 0) Note("R %ld %s %s\n", id, Rel(from), Rel(to));
  return Done(result);
}

int DoChmod(const char* path, mode_t mode, fuse_file_info*) {
  const int result = fchmodat(root, Rel(path), mode, 0);
  if (result == 0) Note("M %ld %o\n", IdOf(path), mode);
  return Done(result);
}

int DoUtimens(const char* path, const timespec times[2], fuse_file_info*) {
  const int result = utimensat(root, Rel(path), times, AT_SYMLINK_NOFOLLOW);
  struct stat info;
  if (result == 0 && fstatat(root, Rel(path), &info, 0) == 0) {
    Note("X %ld %lld %ld\n", ids[info.st_ino],
         static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec);
  }
  return Done(result);
}

void DoDestroy(void*) {
  if (journal != nullptr) std::fclose(journal);
  if (blob != nullptr) std::fclose(blob);
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

// What the console file is: the text the user saw, not durable state.
constexpr const char* kConsole = "console.txt";

struct Tree {
  std::map<std::string, long> names;
  std::map<long, std::string> bytes;
  std::map<long, unsigned> modes;
  std::map<long, std::pair<size_t, size_t>> times;
};

struct Model {
  std::vector<Op> ops;
  std::string data;
  Tree start;
  long console = -1;

  bool Flush(const Op& op) const { return std::strchr("SDF", op.kind); }
  bool Counted(const Op& op) const {
    return op.id != console && op.kind != 'O' && !Flush(op);
  }
  static std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
  }
  bool MadeDurable(const Op& op, const Op& flush) const {
    if (std::strchr("CLRU", op.kind)) {
      return flush.kind == 'F' &&
             flush.name == FolderOf(op.kind == 'R' ? op.to : op.name);
    }
    if (flush.id != op.id) return false;
    if (std::strchr("WT", op.kind)) return flush.kind != 'F';
    return flush.kind == 'S';
  }

  Tree Replay(const std::vector<size_t>& kept) const {
    Tree tree = start;
    for (size_t j : kept) {
      const Op& op = ops[j];
      std::string& bytes = tree.bytes[op.id];
      // By ids, not names: a rename kept without its create still brings
      // the file to light, and an unlink drops only the name it dropped.
      const auto it = tree.names.find(op.name);
      if (std::strchr("RU", op.kind) && it != tree.names.end() &&
          it->second == op.id) {
        tree.names.erase(it);
      }
      if (std::strchr("CL", op.kind)) tree.names[op.name] = op.id;
      if (op.kind == 'R') tree.names[op.to] = op.id;
      if (op.kind == 'T') bytes.resize(op.length);
      if (op.kind == 'W') {
        bytes.resize(std::max(bytes.size(), op.at + op.length));
        bytes.replace(op.at, op.length, data, op.data, op.length);
      }
      if (op.kind == 'M') tree.modes[op.id] = static_cast<unsigned>(op.length);
      if (op.kind == 'X') tree.times[op.id] = {op.length, op.data};
    }
    return tree;
  }

  static std::string Key(const Tree& tree) {
    std::ostringstream key;
    for (const auto& [name, id] : tree.names) {
      if (name == kConsole) continue;
      const auto mode = tree.modes.find(id);
      const auto time = tree.times.find(id);
      key << name << ' ' << tree.names.begin()->second - id << ' '
          << std::hash<std::string>{}(tree.bytes.at(id)) << ' '
          << (mode != tree.modes.end() ? mode->second : 0u) << ' '
          << (time != tree.times.end() ? time->second.first : 0) << '.'
          << (time != tree.times.end() ? time->second.second : 0) << '\n';
    }
    return key.str();
  }
};

Model Load(const std::string& path, const std::string& snapshot) {
  Model model;
  std::ifstream blob_in(path + ".data", std::ios::binary);
  model.data.assign(std::istreambuf_iterator<char>(blob_in), {});
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Op op;
    fields >> op.kind;
    if (op.kind != 'F') fields >> op.id;
    if (std::strchr("OCLUFR", op.kind)) fields >> op.name;
    if (op.kind == 'R') fields >> op.to;
    if (op.kind == 'M') fields >> std::oct;
    if (op.kind == 'W') fields >> op.at;
    fields >> op.length >> op.data;  // those a change has not stay 0
    if (op.name == kConsole && (op.kind == 'C' || op.kind == 'O'))
      model.console = op.id;
    if (op.kind == 'O') {
      Tree& t = model.start;
      t.names[op.name] = op.id;
      if (t.bytes.count(op.id)) continue;
      std::ifstream file(snapshot + "/" + op.name, std::ios::binary);
      t.bytes[op.id].assign(std::istreambuf_iterator<char>(file), {});
      struct stat info;
      stat((snapshot + "/" + op.name).c_str(), &info);
      t.modes[op.id] = info.st_mode & 07777;
      t.times[op.id] = {static_cast<size_t>(info.st_mtim.tv_sec),
                        static_cast<size_t>(info.st_mtim.tv_nsec)};
    }
    model.ops.push_back(op);
  }
  return model;
}

// One distinct state: the changes kept, and how far the console had got.
struct State {
  std::vector<size_t> kept;
  size_t seen = 0;
};

struct Figures {
  size_t boundaries = 0, tried = 0;
  std::vector<State> states;
};

// Every cut state of the model: at each flush, and at the end, the durable
// changes plus some of the pending ones. Pending writes in a row to one
// file go as one unit (a cut inside it is as its midpoint), so a long copy
// does not make a state per block.
Figures Enumerate(const Model& model, bool any_order) {
  Figures figures;
  std::map<std::string, size_t> index;
  const auto& ops = model.ops;
  for (size_t i = 0; i <= ops.size(); ++i) {
    if (i < ops.size() && !model.Flush(ops[i])) continue;
    figures.boundaries++;
    std::vector<size_t> durable;
    std::vector<std::vector<size_t>> units;
    for (size_t j = 0; j < i; ++j) {
      if (!model.Counted(ops[j])) continue;
      bool made = false;
      for (size_t k = j + 1; k < i && !made; ++k) {
        made = model.Flush(ops[k]) && model.MadeDurable(ops[j], ops[k]);
      }
      if (made) {
        durable.push_back(j);
      } else if (!units.empty() && ops[j].kind == 'W' &&
                 ops[units.back().back()].kind == 'W' &&
                 ops[units.back().back()].id == ops[j].id) {
        units.back().push_back(j);
      } else {
        units.push_back({j});
      }
    }
    auto keep = [&](const std::vector<bool>& whole, long half) {
      std::vector<size_t> kept = durable;
      for (size_t u = 0; u < units.size(); ++u) {
        if (whole[u]) kept.insert(kept.end(), units[u].begin(), units[u].end());
      }
      if (half >= 0) {
        const auto& unit = units[static_cast<size_t>(half)];
        kept.insert(kept.end(), unit.begin(),
                    unit.begin() + static_cast<long>(unit.size() / 2));
      }
      std::sort(kept.begin(), kept.end());
      figures.tried++;
      const std::string key = Model::Key(model.Replay(kept));
      const auto found = index.find(key);
      if (found == index.end()) {
        index[key] = figures.states.size();
        figures.states.push_back({kept, i});
      } else {
        figures.states[found->second].seen = i;
      }
    };
    const size_t n = units.size();
    if (!any_order) {
      for (size_t k = 0; k <= n; ++k) {
        std::vector<bool> whole(n, false);
        std::fill(whole.begin(), whole.begin() + static_cast<long>(k), true);
        keep(whole, -1);
        if (k < n && units[k].size() > 1) keep(whole, static_cast<long>(k));
      }
    } else if (n <= 10) {
      for (size_t mask = 0; mask < (size_t{1} << n); ++mask) {
        std::vector<bool> whole(n);
        for (size_t u = 0; u < n; ++u) whole[u] = ((mask >> u) & 1) != 0;
        keep(whole, -1);
      }
    } else {
      std::mt19937_64 coin(i);  // a fixed sample, the same every run
      for (int draw = 0; draw < 512; ++draw) {
        std::vector<bool> whole(n);
        for (size_t u = 0; u < n; ++u) whole[u] = (coin() & 1) != 0;
        keep(whole, -1);
      }
    }
  }
  return figures;
}

void Rebuild(const Model& model, const State& state, const std::string& out) {
  Tree tree = model.Replay(state.kept);
  // The console holds all the program wrote to it before the cut.
  if (model.console >= 0) {
    std::vector<size_t> said;
    for (size_t j = 0; j < state.seen; ++j) {
      if (model.ops[j].id == model.console) said.push_back(j);
    }
    const Tree console = model.Replay(said);
    tree.names[kConsole] = model.console;
    tree.bytes[model.console] = console.bytes.count(model.console)
                                    ? console.bytes.at(model.console)
                                    : std::string();
  }
  std::map<long, std::string> first;
  for (const auto& [name, id] : tree.names) {
    const std::string path = out + "/" + name;
    for (size_t slash = out.size() + 1;
         (slash = path.find('/', slash)) != std::string::npos; ++slash) {
      mkdir(path.substr(0, slash).c_str(), 0755);
    }
    if (first.count(id)) {
      link(first[id].c_str(), path.c_str());
      continue;
    }
    first[id] = path;
    std::ofstream(path, std::ios::binary) << tree.bytes[id];
    if (tree.modes.count(id)) chmod(path.c_str(), tree.modes[id]);
    if (tree.times.count(id)) {
      const timespec time{static_cast<time_t>(tree.times[id].first),
                          static_cast<long>(tree.times[id].second)};
      const timespec times[2] = {time, time};
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
  }
}

// "cuts" lists the distinct states in LIST (how far the console got, then
// the changes kept); "cut" rebuilds one of them.
int Cuts(int argc, char* argv[]) {
  if (argc < 6 || (std::strcmp(argv[1], "cut") == 0 && argc < 7)) {
    std::fprintf(stderr,
                 "usage: faultfs cuts JOURNAL SNAPSHOT ordered|any LIST\n"
                 "       faultfs cut JOURNAL SNAPSHOT LIST K DIR\n");
    return 2;
  }
  const Model model = Load(argv[2], argv[3]);
  if (std::strcmp(argv[1], "cuts") == 0) {
    const Figures figures = Enumerate(model, std::strcmp(argv[4], "any") == 0);
    std::ofstream list(argv[5]);
    for (const State& state : figures.states) {
      list << state.seen;
      for (size_t j : state.kept) list << ' ' << j;
      list << '\n';
    }
    std::printf("%zu %zu %zu\n", figures.boundaries, figures.tried,
                figures.states.size());
    return 0;
  }
  std::ifstream list(argv[4]);
  std::string line;
  for (auto k = std::stoul(argv[5]); k-- > 0;) std::getline(list, line);
  if (!std::getline(list, line)) return 1;
  std::istringstream fields(line);
  State state;
  fields >> state.seen;
  for (size_t j; fields >> j;) state.kept.push_back(j);
  Rebuild(model, state, argv[6]);
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1 &&
      (std::strcmp(argv[1], "cuts") == 0 || std::strcmp(argv[1], "cut") == 0)) {
    return Cuts(argc, argv);
  }
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
  if (options.journal != nullptr) {
    journal = std::fopen(options.journal, "w");
    blob = std::fopen((std::string(options.journal) + ".data").c_str(), "wb");
    if (journal == nullptr || blob == nullptr) return 2;
  }
  NameExisting(".");
  const fuse_operations operations{.getattr = DoGetattr,
                                   .unlink = DoUnlink,
                                   .rename = DoRename,
                                   .link = DoLink,
                                   .chmod = DoChmod,
                                   .truncate = DoTruncate,
                                   .open = DoOpen,
                                   .read = DoRead,
                                   .write = DoWrite,
                                   .release = DoRelease,
                                   .fsync = DoFsync,
                                   .fsyncdir = DoFsyncdir,
                                   .init = DoInit,
                                   .destroy = DoDestroy,
                                   .create = DoCreate,
                                   .utimens = DoUtimens};
  return fuse_main(args.argc, args.argv, &operations, nullptr);
}
