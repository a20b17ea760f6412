// File: reading/listing.h
//
// A parse lists every file it will read before it reads the first one, so the
// totals its monitor hears are final from the first report: a progress bar
// over a profile whose transcripts are read last doesn't see its totals grow
// once the history and caches are done.
//
//   FileListing listing;
//   TQ_CHECK(adapter.list(path, kind, context, listing));
//   ListedMonitor monitor(*context.monitor, listing);   // tells the totals now
//   reading.monitor = &monitor;                          // a copy of the context
//
// Each reader lists its files with the same function it reads them by, so the
// listing and the read can't disagree on which files a rule takes. A file
// that appears between the two (an agent still writing) is told when its
// reader finds it, as the totals' only growth.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "context/monitor.h"
#include "error/error.h"
#include "files/walk.h"

namespace tq {

// How a reader under `context` walks: its links, its scope, its monitor.
WalkOptions walk_options(const ParseContext& context);

// The stored size of `path` as the monitor counts it: 0 for what is not a
// regular file or can't be examined (its reader reports why).
uint64_t listed_size(const std::filesystem::path& path);

// The files one parse will read, in the order its readers list them.
struct FileListing {
  std::vector<std::filesystem::path> files;
  std::vector<uint64_t> sizes;  // each file's listed size, beside it
  uint64_t bytes = 0;           // the sum of their listed sizes

  void add(std::filesystem::path file);
  void add_all(std::span<const std::filesystem::path> more);
};

// The files a reader takes below `path` (files_to_read, files/walk.h, under
// the parse's context); its listing and its read both ask here, so they
// can't take different files.
using FileFilter = std::function<bool(const std::filesystem::path&)>;
[[nodiscard]] Result<std::vector<std::filesystem::path>> reader_files(
    const std::filesystem::path& path, const ParseContext& context, const FileFilter& keep,
    const std::function<void(const WalkItem&)>& on_error);
// Where a reader's walk errors go: each becomes walk_diagnostic's diagnostic
// on a source of `kind`, in the reader's own words (`prefix`, `severity`).
struct WalkReport {
  ArtifactKind kind;
  std::string_view prefix;
  Severity severity;
  const std::filesystem::path& evidence_root;
  std::vector<Diagnostic>& into;
};
// reader_files, with each walk error reported to `report`.
[[nodiscard]] Result<std::vector<std::filesystem::path>> reader_files(
    const std::filesystem::path& path, const ParseContext& context, const FileFilter& keep,
    const WalkReport& report);
// Adds them to `listing`; walk errors are the read's to report.
[[nodiscard]] Status list_reader_files(const std::filesystem::path& path,
                                       const ParseContext& context, const FileFilter& keep,
                                       FileListing& listing);

// Forwards to the monitor of a parse whose files were listed first. It tells
// the listing's totals at once; the readers then tell of the same files again
// as they find them, and only what exceeds the listing reaches the monitor.
class ListedMonitor final : public ParseMonitor {
 public:
  ListedMonitor(ParseMonitor& inner, const FileListing& listing);
  ListedMonitor(const ListedMonitor&) = delete;
  ListedMonitor& operator=(const ListedMonitor&) = delete;

  void files_found(uint64_t files, uint64_t bytes) override;
  void files_done(uint64_t files, uint64_t bytes) override { inner_.files_done(files, bytes); }
  void bytes_read(uint64_t bytes) override { inner_.bytes_read(bytes); }
  bool stop_requested() override { return inner_.stop_requested(); }

 private:
  ParseMonitor& inner_;
  std::mutex mutex_;
  // What the listing told and no reader has found again yet; guarded.
  uint64_t files_left_;
  uint64_t bytes_left_;
};

// Accounts for every entry below `top` (or `top` itself, a file): a regular
// file the listing holds was taken; any other is named with the reason no
// reader took it (no reader reads its kind, a link not followed, a special
// file, an error of the walk). Paths are measured from `evidence_root`.
void account_files(const std::filesystem::path& top, const std::filesystem::path& evidence_root,
                   const FileListing& listing, const ParseContext& context,
                   std::vector<FileAccount>& accounts);

// Tells `monitor` (may be null) that the single file `path`, read by a reader
// that runs no file jobs, is done.
void report_file_done(ParseMonitor* monitor, const std::filesystem::path& path);

}  // namespace tq
