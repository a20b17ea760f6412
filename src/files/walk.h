// File: files/walk.h
//
// Recursive directory walk with a deterministic order and no exceptions. The
// entries of each directory are visited in byte order of their names,
// depth-first, a directory before its contents. The start path is the first
// item (depth 0) and is always followed if it is a symbolic link; other links
// are followed exactly when `follow_symlinks` is set.
//
//   DirectoryWalk walk(dir, {.follow_symlinks = options.follow_symlinks});
//   while (std::optional<WalkItem> item = walk.next()) {
//     if (item->error) { ...diagnostic naming item->path and *item->error...; continue; }
//     if (item->type == std::filesystem::file_type::regular) { ... }
//   }
//
// Problems never end the walk: an unreadable directory, an entry whose type
// can't be read (a dangling link that is followed, say) or a link that leads
// back to one of its own ancestors each produce one error item, and the walk
// goes on with the next entry. Each reader words its own diagnostic from the
// error's text. Directories are opened without updating their access time
// where the system permits it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "error/error.h"

namespace tq {

struct WalkOptions {
  bool follow_symlinks = false;
  // Deepest depth yielded; the start path is depth 0. None: no limit.
  std::optional<size_t> max_depth = std::nullopt;
};

struct WalkItem {
  // The entry's path (the start path joined with the names below it). For an
  // error, the path the error concerns.
  std::filesystem::path path;
  // The entry's type; the target's type when a link was followed. `none` for
  // an error item.
  std::filesystem::file_type type = std::filesystem::file_type::none;
  size_t depth = 0;
  // Set when this item is a walk error, e.g.
  // "IO error for operation on /x/y: Permission denied (os error 13)".
  std::optional<std::string> error;
  // The system's errno behind `error`; 0 when the error is not a system one.
  int error_number = 0;
};

class DirectoryWalk {
 public:
  DirectoryWalk(std::filesystem::path start, WalkOptions options);
  ~DirectoryWalk();
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // The next entry or error in walk order; none when the walk is over.
  std::optional<WalkItem> next();

 private:
  struct Frame;
  std::filesystem::path start_;
  WalkOptions options_;
  bool started_ = false;
  std::vector<Frame> stack_;  // one frame per directory being listed, start first
};

// The whole walk as a list, in walk order.
std::vector<WalkItem> walk_all(const std::filesystem::path& start, WalkOptions options);

// The files a reader is given by `path`: the path itself when it is a regular
// file (links followed), whatever its name; else every regular file below it
// that `keep` accepts, in path order. Each walk error goes to `on_error`, but
// for a fault of the machine (machine_fault), which ends the walk as an error.
[[nodiscard]] Result<std::vector<std::filesystem::path>> files_to_read(
    const std::filesystem::path& path, bool follow_symlinks,
    const std::function<bool(const std::filesystem::path&)>& keep,
    const std::function<void(const WalkItem&)>& on_error);

}  // namespace tq
