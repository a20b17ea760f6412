#include "claude/cache.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "error/error.h"
#include "files/describe.h"
#include "files/paths.h"
#include "files/walk.h"
#include "model/text.h"
#include "model/utf8.h"
#include "ordering/ordering.h"
#include "parser/file_jobs.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;

struct CacheFile {
  fs::path path;
  FileMetadata metadata;
};

// The file name without its last extension; a stem that is not text gives the
// empty key.
std::string cache_key(const fs::path& path) {
  std::string stem = file_stem_bytes(path).value_or("");
  if (utf8_error(stem)) return {};
  return stem;
}

Diagnostic cache_warning(ArtifactKind kind, std::string message, std::string relative,
                         std::optional<std::string> source_id = std::nullopt) {
  SourceInfo source;
  source.artifact_kind = kind;
  source.relative_path = std::move(relative);
  source.source_id = std::move(source_id);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                    std::move(message)};
}

// The event of one cache file, or the warning that stands for it.
std::expected<TimelineEvent, Diagnostic> cache_event(const CacheFile& file, ArtifactKind kind,
                                                     const ParserOptions& options,
                                                     const fs::path& evidence_root,
                                                     const CacheKeySet& referenced_keys) {
  std::string relative = relative_path(file.path, evidence_root);
  std::string key = cache_key(file.path);
  std::expected<FileDescription, DescribeError> description =
      describe_file(file.path, file.metadata, options.include_content, options.max_content_size);
  if (!description) {
    return std::unexpected(
        cache_warning(kind, concat("SHA-256 computation failed: ", description.error().text),
                      std::move(relative), std::move(key)));
  }

  TimelineEvent e;
  e.provider = Provider::ClaudeCode;
  e.event_type = EventType::OrphanCache;
  e.event_id = generate_event_id(Provider::ClaudeCode, kind, relative, concat("cache:", key));
  e.timestamp = description->times.modified;
  e.timestamp_source = e.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
  e.source.artifact_kind = kind;
  e.source.relative_path = std::move(relative);
  ArtifactInfo artifact = description->artifact();
  if (!referenced_keys.empty() && referenced_keys.contains(key)) {
    artifact.reference_status = ReferenceStatus::Resolved;
  }
  e.source.source_id = std::move(key);
  e.artifact = std::move(artifact);
  e.fs_times = description->times;
  return e;
}

}  // namespace

ReaderOutput scan_cache_dir(const fs::path& path, ArtifactKind kind, const ParserOptions& options,
                            const fs::path& evidence_root, const CacheKeySet& referenced_keys) {
  ReaderOutput out;
  std::vector<CacheFile> files;

  for (WalkItem& item : walk_all(path, {.follow_symlinks = options.follow_symlinks})) {
    if (item.error) {
      out.diagnostics.push_back(cache_warning(kind, concat("walkdir error: ", *item.error),
                                              relative_path(path, evidence_root)));
      continue;
    }
    if (item.type != fs::file_type::regular) continue;
    // A link is only reached as a regular file when it was followed, so reading
    // through links describes the target exactly then.
    std::expected<FileMetadata, std::error_code> metadata = read_file_metadata(item.path);
    if (!metadata) {
      out.diagnostics.push_back(
          cache_warning(kind, concat("Cannot read metadata: ", os_error_text(metadata.error())),
                        relative_path(item.path, evidence_root)));
      continue;
    }
    files.push_back(CacheFile{std::move(item.path), *metadata});
  }

  std::stable_sort(files.begin(), files.end(), [](const CacheFile& a, const CacheFile& b) {
    return path_less(a.path, b.path);
  });

  // Hashing is the work here, so files are described in parallel.
  std::vector<fs::path> paths;
  paths.reserve(files.size());
  for (const CacheFile& file : files) paths.push_back(file.path);
  collect_file_events(
      paths, options,
      [&](size_t i) {
        return cache_event(files[i], kind, options, evidence_root, referenced_keys);
      },
      out);
  return out;
}

}  // namespace tq::claude
