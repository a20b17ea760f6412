#include "reading/listing.h"

#include <sys/stat.h>

#include <algorithm>
#include <utility>

namespace tq {

uint64_t listed_size(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

void FileListing::add(std::filesystem::path file) {
  bytes += listed_size(file);
  files.push_back(std::move(file));
}

void FileListing::add_all(std::span<const std::filesystem::path> more) {
  for (const auto& file : more) add(file);
}

Result<std::vector<std::filesystem::path>> reader_files(
    const std::filesystem::path& path, const ParserOptions& options, const FileFilter& keep,
    const std::function<void(const WalkItem&)>& on_error) {
  return files_to_read(path,
                       {.follow_symlinks = options.follow_symlinks,
                        .scope = options.scope,
                        .monitor = options.monitor},
                       keep, on_error);
}

Status list_reader_files(const std::filesystem::path& path, const ParserOptions& options,
                         const FileFilter& keep, FileListing& listing) {
  TQ_TRY(const std::vector<std::filesystem::path> files,
         reader_files(path, options, keep, [](const WalkItem&) {}));
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

void report_file_done(ParseMonitor* monitor, const std::filesystem::path& path) {
  if (monitor != nullptr) monitor->files_done(1, listed_size(path));
}

}  // namespace tq
