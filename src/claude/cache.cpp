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

}  // namespace

Result<ReaderOutput> scan_cache_dir(const fs::path& path, ArtifactKind kind,
                                    const ParserOptions& options, const fs::path& evidence_root,
                                    const CacheKeySet& referenced_keys) {
  ReaderOutput out;
  std::vector<CacheFile> files;

  for (WalkItem& item : walk_all(path, {.follow_symlinks = options.follow_symlinks})) {
    if (item.error) {
      if (auto fault = machine_fault(item.path, item.error_number)) {
        return std::unexpected(std::move(*fault));
      }
      out.diagnostics.push_back(cache_warning(kind, concat("walkdir error: ", *item.error),
                                              relative_path(path, evidence_root)));
      continue;
    }
    if (item.type != fs::file_type::regular) continue;
    // A link is only reached as a regular file when it was followed, so reading
    // through links describes the target exactly then.
    std::expected<FileMetadata, std::error_code> metadata = read_file_metadata(item.path);
    if (!metadata) {
      if (auto fault = machine_fault(item.path, metadata.error().value())) {
        return std::unexpected(std::move(*fault));
      }
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

  for (const CacheFile& file : files) {
    std::string relative = relative_path(file.path, evidence_root);
    std::string key = cache_key(file.path);
    std::expected<FileDescription, DescribeError> description =
        describe_file(file.path, file.metadata, options.include_content, options.max_content_size);
    if (!description) {
      if (auto fault = machine_fault(file.path, description.error().error_number)) {
        return std::unexpected(std::move(*fault));
      }
      out.diagnostics.push_back(
          cache_warning(kind, concat("SHA-256 computation failed: ", description.error().text),
                        std::move(relative), std::move(key)));
      continue;
    }

    TimelineEvent e;
    e.provider = Provider::ClaudeCode;
    e.event_type = EventType::OrphanCache;
    e.event_id =
        generate_event_id(Provider::ClaudeCode, kind, relative_path_id(file.path, evidence_root),
                          concat("cache:", key));
    e.sequence = out.events.size();
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
    out.events.push_back(std::move(e));
  }
  return out;
}

}  // namespace tq::claude
