#include "files/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <expected>
#include <functional>
#include <utility>

#include "error/error.h"
#include "files/paths.h"
#include "model/text.h"

namespace tq {
namespace {

namespace fs = std::filesystem;

struct Child {
  std::string name;
  unsigned char d_type = DT_UNKNOWN;
};

struct Listing {
  std::vector<Child> children;  // sorted by name bytes
  std::optional<std::string> error;
  std::optional<Refusal> refusal;  // set with `error` for a directory left alone
  int error_number = 0;            // errno of a failed listing
};

std::string io_error(const fs::path& path, int error_number) {
  return "IO error for operation on " + display_path(path) + ": " + os_error_text(error_number);
}

void fail_listing(Listing& listing, const fs::path& path, int error_number) {
  listing.error = io_error(path, error_number);
  listing.error_number = error_number;
}

// A directory reached for listing. When it can be reached but not listed it is
// held open only to be known (O_PATH), so that it is still yielded, with its
// listing error after it.
struct Entered {
  Descriptor fd;
  int list_error = 0;  // errno of the open for listing; 0 when `fd` lists it
};

// `open(flags)` opens the entry. Its error is that of reaching it at all.
std::expected<Entered, std::error_code> enter(
    const std::function<std::expected<Descriptor, std::error_code>(int)>& open) {
  auto listable = open(O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listable) return Entered{std::move(*listable), 0};
  auto known = open(O_PATH | O_CLOEXEC);
  if (!known) return std::unexpected(listable.error());
  return Entered{std::move(*known), listable.error().value()};
}

// All names of one directory, sorted, so the walk never depends on the order in
// which the file system lists them. `fd` stays open for the entries below.
Listing list_directory(const fs::path& path, int fd) {
  Listing listing;
  if (on_pseudo_file_system(fd)) {
    listing.refusal = Refusal::PseudoFileSystem;
    listing.error = refusal_error(Refusal::PseudoFileSystem).message();
    return listing;
  }
  const int own = ::dup(fd);
  DIR* dir = own < 0 ? nullptr : ::fdopendir(own);
  if (dir == nullptr) {
    fail_listing(listing, path, errno);
    if (own >= 0) ::close(own);
    return listing;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) fail_listing(listing, path, errno);
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    listing.children.push_back({std::string(name), entry->d_type});
  }
  ::closedir(dir);
  std::sort(listing.children.begin(), listing.children.end(),
            [](const Child& a, const Child& b) { return a.name < b.name; });
  return listing;
}

fs::file_type type_from_mode(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return fs::file_type::regular;
    case S_IFDIR:
      return fs::file_type::directory;
    case S_IFLNK:
      return fs::file_type::symlink;
    case S_IFBLK:
      return fs::file_type::block;
    case S_IFCHR:
      return fs::file_type::character;
    case S_IFIFO:
      return fs::file_type::fifo;
    case S_IFSOCK:
      return fs::file_type::socket;
    default:
      return fs::file_type::unknown;
  }
}

std::optional<fs::file_type> type_from_dirent(unsigned char d_type) {
  switch (d_type) {
    case DT_REG:
      return fs::file_type::regular;
    case DT_DIR:
      return fs::file_type::directory;
    case DT_LNK:
      return fs::file_type::symlink;
    case DT_BLK:
      return fs::file_type::block;
    case DT_CHR:
      return fs::file_type::character;
    case DT_FIFO:
      return fs::file_type::fifo;
    case DT_SOCK:
      return fs::file_type::socket;
    default:
      return std::nullopt;
  }
}

std::error_code system_code(int error_number) {
  return std::error_code(error_number, std::system_category());
}

WalkItem error_item(fs::path path, size_t depth, std::string text, std::error_code code = {}) {
  WalkItem item;
  item.path = std::move(path);
  item.depth = depth;
  item.error = std::move(text);
  item.code = code;
  return item;
}

WalkItem refusal_item(fs::path path, size_t depth, Refusal refusal) {
  const std::error_code code = refusal_error(refusal);
  return error_item(std::move(path), depth, code.message(), code);
}

// The item for a failed system call on `path`, errno still as the call left it.
WalkItem system_error_item(fs::path path, size_t depth) {
  const int error_number = errno;
  std::string text = io_error(path, error_number);
  return error_item(std::move(path), depth, std::move(text), system_code(error_number));
}

// Why a file named as one a reader takes is left alone: a link the walk didn't
// follow, or something that reading could block on or never end; none for a
// regular file.
std::optional<Refusal> refusal_for_type(fs::file_type type) {
  switch (type) {
    case fs::file_type::regular:
      return std::nullopt;
    case fs::file_type::symlink:
      return Refusal::SymbolicLink;
    default:
      return Refusal::SpecialFile;
  }
}

}  // namespace

// Directories whose descriptors one walk holds at most, so that a deep tree
// can't use up the process's descriptors: the deepest keep theirs, and one
// higher up is opened again when the walk comes back to it.
constexpr size_t kHeldDirectories = 64;

struct DirectoryWalk::Frame {
  fs::path path;
  size_t depth = 0;
  dev_t device = 0;  // identity of the directory, for finding link cycles
  ino_t inode = 0;
  Descriptor fd;  // the directory, which its entries are opened below
  std::vector<Child> children;
  size_t next = 0;                   // index of the next child to visit
  std::optional<std::string> error;  // listing failure, reported before the children
  std::optional<Refusal> refusal;    // set with `error` when the listing was refused
  int error_number = 0;              // errno of that failure
};

DirectoryWalk::DirectoryWalk(fs::path start, WalkOptions options)
    : start_(std::move(start)), options_(options) {}

DirectoryWalk::~DirectoryWalk() = default;

void DirectoryWalk::descend(const fs::path& dir, size_t depth, const struct stat& st, Descriptor fd,
                            int list_error) {
  if (options_.max_depth && depth >= *options_.max_depth) return;
  Frame frame;
  frame.path = dir;
  frame.depth = depth;
  frame.device = st.st_dev;
  frame.inode = st.st_ino;
  frame.fd = std::move(fd);
  if (list_error != 0) {
    frame.error = io_error(dir, list_error);
    frame.error_number = list_error;
  } else {
    Listing listing = list_directory(dir, frame.fd.get());
    frame.children = std::move(listing.children);
    frame.error = std::move(listing.error);
    frame.refusal = listing.refusal;
    frame.error_number = listing.error_number;
  }
  stack_.push_back(std::move(frame));
  hold_few_descriptors();
}

std::expected<Descriptor, std::error_code> DirectoryWalk::open_start(int flags) const {
  if (options_.scope != nullptr) return options_.scope->open(start_, flags);
  Descriptor fd(open_keeping_atime(AT_FDCWD, start_.c_str(), flags));
  if (!fd.valid()) return std::unexpected(std::error_code(errno, std::system_category()));
  return fd;
}

void DirectoryWalk::hold_few_descriptors() {
  for (size_t i = stack_.size(); i > kHeldDirectories; --i) {
    Descriptor& fd = stack_[i - 1 - kHeldDirectories].fd;
    if (!fd.valid()) break;
    fd.reset();
  }
}

// Opens again the directories on the way to the top frame whose descriptors
// were closed, each by its name in the one above it, and checks each is the one
// listed; 0, or the errno of the first that can't be (ESTALE: another directory
// took its place).
int DirectoryWalk::reopen_top() {
  size_t held = stack_.size();
  while (held > 0 && !stack_[held - 1].fd.valid()) --held;
  const int follow = options_.follow_symlinks ? 0 : O_NOFOLLOW;
  for (size_t i = held; i < stack_.size(); ++i) {
    Frame& frame = stack_[i];
    std::expected<Descriptor, std::error_code> fd = std::unexpected(std::error_code());
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    if (i == 0) {
      fd = open_start(kFlags);
    } else {
      const std::string name = file_name_bytes(frame.path).value_or(".");
      fd = Descriptor(open_keeping_atime(stack_[i - 1].fd.get(), name.c_str(), kFlags | follow));
      if (!fd->valid()) fd = std::unexpected(std::error_code(errno, std::system_category()));
    }
    if (!fd) return fd.error().value();
    struct stat st {};
    if (::fstat(fd->get(), &st) != 0) return errno;
    if (st.st_dev != frame.device || st.st_ino != frame.inode) return ESTALE;
    frame.fd = std::move(*fd);
  }
  hold_few_descriptors();
  return 0;
}

std::optional<WalkItem> DirectoryWalk::first() {
  // The start is the caller's: it is followed when it is a link, but for one
  // the scope refuses.
  auto entered = enter([this](int flags) { return open_start(flags); });
  if (!entered) {
    if (std::optional<Refusal> refusal = as_refusal(entered.error())) {
      return refusal_item(start_, 0, *refusal);
    }
    errno = entered.error().value();
    return system_error_item(start_, 0);
  }
  struct stat st {};
  if (::fstat(entered->fd.get(), &st) != 0) return system_error_item(start_, 0);
  WalkItem item{start_, type_from_mode(st.st_mode), 0, std::nullopt, {}};
  if (item.type == fs::file_type::directory) {
    walked_.insert({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
    descend(start_, 0, st, std::move(entered->fd), entered->list_error);
  }
  return item;
}

std::optional<WalkItem> DirectoryWalk::next() {
  if (!started_) {
    started_ = true;
    return first();
  }
  while (!stack_.empty()) {
    // A home with millions of entries takes seconds to walk; a stopped parse
    // shouldn't wait for it.
    if (stop_requested(options_.monitor)) {
      stack_.clear();
      return std::nullopt;
    }
    Frame& top = stack_.back();
    if (top.error) {
      std::string text = std::move(*top.error);
      top.error.reset();
      return error_item(top.path, top.depth, std::move(text),
                        top.refusal ? refusal_error(*top.refusal) : system_code(top.error_number));
    }
    if (top.next >= top.children.size()) {
      stack_.pop_back();
      continue;
    }
    if (!top.fd.valid()) {
      if (const int error_number = reopen_top(); error_number != 0) {
        top.children.clear();
        return error_item(top.path, top.depth, io_error(top.path, error_number),
                          system_code(error_number));
      }
    }
    const Child& child = top.children[top.next++];
    return visit(top.fd.get(), child.name, child.d_type, top.path / child.name, top.depth + 1);
  }
  return std::nullopt;
}

// Every entry is looked up in the descriptor of the directory that listed it,
// never by its path, so that a directory on the way swapped for a link since
// can't lead the walk elsewhere.
std::optional<WalkItem> DirectoryWalk::visit(int parent, const std::string& name,
                                             unsigned char d_type, fs::path path, size_t depth) {
  const bool follow = options_.follow_symlinks;
  struct stat st {};
  std::optional<fs::file_type> type = follow ? std::nullopt : type_from_dirent(d_type);
  if (!type) {
    if (::fstatat(parent, name.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
      return system_error_item(std::move(path), depth);
    }
    type = type_from_mode(st.st_mode);
  }
  if (*type != fs::file_type::directory)
    return WalkItem{std::move(path), *type, depth, std::nullopt, {}};

  auto entered = enter([&](int flags) -> std::expected<Descriptor, std::error_code> {
    Descriptor fd(open_keeping_atime(parent, name.c_str(), flags | (follow ? 0 : O_NOFOLLOW)));
    if (!fd.valid()) return std::unexpected(std::error_code(errno, std::system_category()));
    return fd;
  });
  // Listed as a directory but no longer one (a link put in its place, say): it
  // is yielded as listed, and the failure to list it follows.
  if (!entered || ::fstat(entered->fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    const int error_number = !entered ? entered.error().value() : ENOTDIR;
    descend(path, depth, {}, Descriptor(), error_number);
    return WalkItem{std::move(path), fs::file_type::directory, depth, std::nullopt, {}};
  }
  if (follow) {
    // A followed link may lead back to a directory we are inside of; going
    // in would never end.
    for (const Frame& ancestor : stack_) {
      if (ancestor.device == st.st_dev && ancestor.inode == st.st_ino) {
        return error_item(path, depth,
                          "File system loop found: " + display_path(path) +
                              " points to an ancestor " + display_path(ancestor.path));
      }
    }
  }
  if (!walked_.insert({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)})
           .second) {
    return refusal_item(std::move(path), depth, Refusal::WalkedAlready);
  }
  WalkItem item{path, fs::file_type::directory, depth, std::nullopt, {}};
  descend(path, depth, st, std::move(entered->fd), entered->list_error);
  return item;
}

Diagnostic walk_diagnostic(const WalkItem& item, const fs::path& evidence_root, SourceInfo source,
                           std::string_view prefix, Severity severity) {
  if (std::optional<Refusal> refusal = item.refusal()) {
    return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                      refusal_text(*refusal, relative_path(item.path, evidence_root))};
  }
  return Diagnostic{DiagnosticCode::UnreadableArtifact, severity, std::move(source),
                    concat(prefix, item.error.value_or(""))};
}

std::vector<WalkItem> walk_all(const fs::path& start, WalkOptions options) {
  std::vector<WalkItem> items;
  DirectoryWalk walk(start, options);
  while (std::optional<WalkItem> item = walk.next()) items.push_back(std::move(*item));
  return items;
}

Result<std::vector<fs::path>> files_to_read(const fs::path& path, WalkOptions options,
                                            const std::function<bool(const fs::path&)>& keep,
                                            const std::function<void(const WalkItem&)>& on_error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return std::vector<fs::path>{path};
  std::vector<fs::path> files;
  DirectoryWalk walk(path, options);
  while (std::optional<WalkItem> item = walk.next()) {
    if (item->error) {
      if (auto fault = machine_fault(item->path, item->code)) {
        return std::unexpected(std::move(*fault));
      }
      on_error(*item);
    } else if (item->type != fs::file_type::directory && keep(item->path)) {
      if (std::optional<Refusal> refusal = refusal_for_type(item->type)) {
        on_error(refusal_item(std::move(item->path), item->depth, *refusal));
      } else {
        files.push_back(std::move(item->path));
      }
    }
  }
  sort_paths(files);
  return files;
}

}  // namespace tq
