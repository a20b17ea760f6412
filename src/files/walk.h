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
// error's text; `walk_diagnostic` does it the one way they share.
//
// A directory is walked once per walk: reached again (through links, or a bind
// mount) it gives a refusal item, so a tree of links that doubles at every level
// costs time linear in its directories. A directory on a pseudo file system
// gives a refusal item instead of its listing, and so does, with a scope, a start
// path that is a link the scope doesn't let the walk follow (files/evidence.h).
// Directories are opened with O_NOATIME under the same conditions as files
// (files/evidence_file.h). Each directory below the start is opened from the
// descriptor of the one that listed it, without following a link unless
// `follow_symlinks` is set; the start is opened through the scope when there is
// one (EvidenceScope::open), so a walk never leaves the directory it listed.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "context/monitor.h"
#include "error/error.h"
#include "files/evidence.h"
#include "model/model.h"

namespace tq {

struct WalkOptions {
  bool follow_symlinks = false;
  // Deepest depth yielded; the start path is depth 0. None: no limit.
  std::optional<size_t> max_depth = std::nullopt;
  // Decides whether a start path that is a symbolic link is followed; none:
  // always followed.
  const EvidenceScope* scope = nullptr;
  // Asked before every entry (may be null); once it asks to stop, the walk
  // ends as if it were over. Only a parse that is thrown away sets it.
  ParseMonitor* monitor = nullptr;
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
  // What `error` says as a value: the system's error, or a refusal_error when
  // the walk left the path alone on purpose.
  std::error_code code;

  std::optional<Refusal> refusal() const { return as_refusal(code); }
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
  std::optional<WalkItem> first();
  [[nodiscard]] std::expected<Descriptor, std::error_code> open_start(int flags) const;
  // Closes the descriptors of all but the deepest directories being listed.
  void hold_few_descriptors();
  [[nodiscard]] int reopen_top();
  // The entry `name` of the directory open as `parent`.
  std::optional<WalkItem> visit(int parent, const std::string& name, unsigned char d_type,
                                std::filesystem::path path, size_t depth);
  // Lists the directory open as `fd` (or records `list_error`, its errno when it
  // can't be listed) and pushes its frame, unless it lies at the deepest depth.
  void descend(const std::filesystem::path& dir, size_t depth, const struct stat& st, Descriptor fd,
               int list_error);

  std::filesystem::path start_;
  WalkOptions options_;
  bool started_ = false;
  std::vector<Frame> stack_;       // one frame per directory being listed, start first
  std::set<FileIdentity> walked_;  // every directory listed so far
};

// The diagnostic a reader makes of an error item: a refusal is a warning
// `unreadable_artifact` naming the skipped path (relative to `evidence_root`);
// any other error has the reader's `severity` and its `prefix` before the error
// text. `source` is the reader's source for the item.
Diagnostic walk_diagnostic(const WalkItem& item, const std::filesystem::path& evidence_root,
                           SourceInfo source, std::string_view prefix, Severity severity);

// The whole walk as a list, in walk order.
std::vector<WalkItem> walk_all(const std::filesystem::path& start, WalkOptions options);

// The files a reader is given by `path`: the path itself when it is a regular
// file (links followed; opening it through the scope decides whether it is
// read), whatever its name; else every regular file below it that `keep`
// accepts, in path order. Each walk error (refusals included, see
// walk_diagnostic) goes to `on_error`, and so does, as a refusal, each entry
// `keep` accepts that is no regular file nor directory (a link not followed, a
// FIFO, a device, a socket), but for a fault of the machine
// (machine_fault), which ends the walk as an error.
[[nodiscard]] Result<std::vector<std::filesystem::path>> files_to_read(
    const std::filesystem::path& path, WalkOptions options,
    const std::function<bool(const std::filesystem::path&)>& keep,
    const std::function<void(const WalkItem&)>& on_error);

}  // namespace tq
