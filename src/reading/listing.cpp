#include "reading/listing.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "files/evidence.h"
#include "files/paths.h"

namespace tq {

WalkOptions walk_options(const ParseContext& context) {
  return {.follow_symlinks = context.options.follow_symlinks,
          .scope = context.scope,
          .monitor = context.monitor};
}

uint64_t listed_size(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void FileListing::add(std::filesystem::path file) {
  const uint64_t size = listed_size(file);
  bytes += size;
  sizes.push_back(size);
  files.push_back(std::move(file));
}

void FileListing::add_all(std::span<const std::filesystem::path> more) {
  for (const auto& file : more) add(file);
}

Result<std::vector<std::filesystem::path>> reader_files(
    const std::filesystem::path& path, const ParseContext& context, const FileFilter& keep,
    const std::function<void(const WalkItem&)>& on_error) {
  return files_to_read(path, walk_options(context), keep, on_error);
}

Result<std::vector<std::filesystem::path>> reader_files(const std::filesystem::path& path,
                                                        const ParseContext& context,
                                                        const FileFilter& keep,
                                                        const WalkReport& report) {
  return reader_files(path, context, keep, [&report](const WalkItem& item) {
    SourceInfo source;
    source.artifact_kind = report.kind;
    source.relative_path = relative_path(item.path, report.evidence_root);
    report.into.push_back(walk_diagnostic(item, report.evidence_root, std::move(source),
                                          report.prefix, report.severity));
  });
}

Status list_reader_files(const std::filesystem::path& path, const ParseContext& context,
                         const FileFilter& keep, FileListing& listing) {
  TQ_TRY(const std::vector<std::filesystem::path> files,
         reader_files(path, context, keep, [](const WalkItem&) {}));
  listing.add_all(files);
  return {};
}

ListedMonitor::ListedMonitor(ParseMonitor& inner, const FileListing& listing)
    : inner_(inner), files_left_(listing.files.size()), bytes_left_(listing.bytes) {
  inner_.files_found(files_left_, bytes_left_);
}

void ListedMonitor::files_found(uint64_t files, uint64_t bytes) {
  uint64_t new_files = 0;
  uint64_t new_bytes = 0;
  {
    std::lock_guard lock(mutex_);
    const uint64_t known_files = std::min(files, files_left_);
    const uint64_t known_bytes = std::min(bytes, bytes_left_);
    files_left_ -= known_files;
    bytes_left_ -= known_bytes;
    new_files = files - known_files;
    new_bytes = bytes - known_bytes;
  }
  if (new_files != 0 || new_bytes != 0) inner_.files_found(new_files, new_bytes);
}

namespace {

// Consistent with path equality, which compares paths element by element.
struct PathHash {
  size_t operator()(const std::filesystem::path& path) const {
    return std::filesystem::hash_value(path);
  }
};

// Why the walk left an entry alone, in a few words.
std::string_view refusal_reason(Refusal refusal) {
  switch (refusal) {
    case Refusal::OutsideEvidence:
      return "link outside the evidence";
    case Refusal::PseudoFileSystem:
      return "pseudo file system";
    case Refusal::WalkedAlready:
      return "directory reached again";
    case Refusal::SymbolicLink:
      return "link not followed";
    case Refusal::SpecialFile:
      return "special file";
  }
  return "refused";
}

// Why no reader took `item`; empty for a directory, which holds the entries
// that are accounted for.
std::string untaken_reason(const WalkItem& item) {
  if (item.error) {
    if (std::optional<Refusal> refusal = item.refusal())
      return std::string(refusal_reason(*refusal));
    return "unreadable: " + *item.error;
  }
  switch (item.type) {
    case std::filesystem::file_type::directory:
      return {};
    case std::filesystem::file_type::regular:
      return "no reader for this kind of file";
    case std::filesystem::file_type::symlink:
      return std::string(refusal_reason(Refusal::SymbolicLink));
    default:
      return std::string(refusal_reason(Refusal::SpecialFile));
  }
}

}  // namespace

void account_files(const std::filesystem::path& top, const std::filesystem::path& evidence_root,
                   const FileListing& listing, const ParseContext& context,
                   std::vector<FileAccount>& accounts) {
  // Looked up once for each of a profile's entries: hashed, and a taken file
  // keeps the size its listing measured instead of being examined again.
  std::unordered_map<std::filesystem::path, uint64_t, PathHash> taken;
  taken.reserve(listing.files.size());
  for (size_t i = 0; i < listing.files.size(); ++i)
    taken.emplace(listing.files[i], listing.sizes[i]);
  DirectoryWalk walk(top, walk_options(context));
  while (std::optional<WalkItem> item = walk.next()) {
    FileAccount account;
    const auto found = !item->error && item->type == std::filesystem::file_type::regular
                           ? taken.find(item->path)
                           : taken.end();
    account.taken = found != taken.end();
    if (!account.taken) {
      account.reason = untaken_reason(*item);
      if (account.reason.empty()) continue;
    }
    account.relative_path = relative_path(item->path, evidence_root);
    account.size = account.taken ? found->second : item->error ? 0 : listed_size(item->path);
    accounts.push_back(std::move(account));
  }
}

void report_file_done(ParseMonitor* monitor, const std::filesystem::path& path) {
  if (monitor != nullptr) monitor->files_done(1, listed_size(path));
}

}  // namespace tq
