#include "files/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// `follow_link`: whether a symbolic link at `path` itself may be followed. A
// directory that was listed as such may have been replaced by a link since.
// O_NOATIME is granted only to the directory's owner or a caller with
// CAP_FOWNER; anyone else lists it without.
int open_directory(const fs::path& path, bool follow_link) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow_link ? 0 : O_NOFOLLOW);
  int fd = ::open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), flags);
  return fd;
}

// All names of one directory, sorted, so the walk never depends on the order in
// which the file system lists them.
Listing list_directory(const fs::path& path, bool follow_link) {
  Listing listing;
  int fd = open_directory(path, follow_link);
  if (fd < 0) {
    fail_listing(listing, path, errno);
    return listing;
  }
  if (on_pseudo_file_system(fd)) {
    ::close(fd);
    listing.refusal = Refusal::PseudoFileSystem;
    listing.error = refusal_error(Refusal::PseudoFileSystem).message();
    return listing;
  }
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    fail_listing(listing, path, errno);
    ::close(fd);
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

WalkItem error_item(fs::path path, size_t depth, std::string text, int error_number = 0,
                    std::optional<Refusal> refusal = std::nullopt) {
  WalkItem item;
  item.path = std::move(path);
  item.depth = depth;
  item.error = std::move(text);
  item.error_number = error_number;
  item.refusal = refusal;
  return item;
}

WalkItem refusal_item(fs::path path, size_t depth, Refusal refusal) {
  return error_item(std::move(path), depth, refusal_error(refusal).message(), 0, refusal);
}

// The item for a failed system call on `path`, errno still as the call left it.
WalkItem system_error_item(fs::path path, size_t depth) {
  const int error_number = errno;
  std::string text = io_error(path, error_number);
  return error_item(std::move(path), depth, std::move(text), error_number);
}

}  // namespace

struct DirectoryWalk::Frame {
  fs::path path;
  size_t depth = 0;
  dev_t device = 0;  // identity of the directory, for finding link cycles
  ino_t inode = 0;
  std::vector<Child> children;
  size_t next = 0;                   // index of the next child to visit
  std::optional<std::string> error;  // listing failure, reported before the children
  std::optional<Refusal> refusal;    // set with `error` when the listing was refused
  int error_number = 0;              // errno of that failure
};

DirectoryWalk::DirectoryWalk(fs::path start, WalkOptions options)
    : start_(std::move(start)), options_(options) {}

DirectoryWalk::~DirectoryWalk() = default;

std::optional<WalkItem> DirectoryWalk::next() {
  auto descend = [this](const fs::path& dir, size_t depth, const struct stat& st) {
    if (options_.max_depth && depth >= *options_.max_depth) return;
    Listing listing = list_directory(dir, depth == 0 || options_.follow_symlinks);
    stack_.push_back(Frame{dir, depth, st.st_dev, st.st_ino, std::move(listing.children), 0,
                           std::move(listing.error), listing.refusal, listing.error_number});
  };

  if (!started_) {
    started_ = true;
    struct stat st {};
    if (options_.scope != nullptr && ::lstat(start_.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        !options_.scope->may_follow(start_)) {
      return refusal_item(start_, 0, Refusal::OutsideEvidence);
    }
    if (::stat(start_.c_str(), &st) != 0) return system_error_item(start_, 0);
    WalkItem item{start_, type_from_mode(st.st_mode), 0, std::nullopt, std::nullopt};
    if (item.type == fs::file_type::directory) {
      walked_.insert({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
      descend(start_, 0, st);
    }
    return item;
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
      return error_item(top.path, top.depth, std::move(text), top.error_number, top.refusal);
    }
    if (top.next >= top.children.size()) {
      stack_.pop_back();
      continue;
    }
    const Child& child = top.children[top.next++];
    fs::path path = top.path / child.name;
    size_t depth = top.depth + 1;

    struct stat st {};
    std::optional<fs::file_type> type;
    bool have_stat = false;
    if (options_.follow_symlinks) {
      if (::stat(path.c_str(), &st) != 0) return system_error_item(path, depth);
      have_stat = true;
      type = type_from_mode(st.st_mode);
    } else {
      type = type_from_dirent(child.d_type);
      if (!type) {
        if (::lstat(path.c_str(), &st) != 0) return system_error_item(path, depth);
        have_stat = true;
        type = type_from_mode(st.st_mode);
      }
    }

    if (*type == fs::file_type::directory) {
      if (!have_stat && ::stat(path.c_str(), &st) != 0) return system_error_item(path, depth);
      if (options_.follow_symlinks) {
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
      WalkItem item{path, fs::file_type::directory, depth, std::nullopt, std::nullopt};
      descend(path, depth, st);
      return item;
    }
    return WalkItem{std::move(path), *type, depth, std::nullopt, std::nullopt};
  }
  return std::nullopt;
}

Diagnostic walk_diagnostic(const WalkItem& item, const fs::path& evidence_root, SourceInfo source,
                           std::string_view prefix, Severity severity) {
  if (item.refusal) {
    return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                      refusal_text(*item.refusal, relative_path(item.path, evidence_root))};
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
      if (auto fault = machine_fault(item->path, item->error_number)) {
        return std::unexpected(std::move(*fault));
      }
      on_error(*item);
    } else if (item->type == fs::file_type::regular && keep(item->path)) {
      files.push_back(std::move(item->path));
    }
  }
  sort_paths(files);
  return files;
}

}  // namespace tq
