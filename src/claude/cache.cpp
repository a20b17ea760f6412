#include "claude/cache.h"

#include <algorithm>
#include <functional>
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
#include "reading/file_jobs.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;

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

// The event of one cache file, or the warning that stands for it; a fault of
// the machine is the error.
Result<FileEvent> cache_event(const fs::path& file, ArtifactKind kind, const ParseContext& context,
                              const fs::path& evidence_root) {
  std::string relative = relative_path(file, evidence_root);
  std::string key = cache_key(file);
  std::expected<FileDescription, DescribeError> description =
      describe_file(file, context.options.include_content, context.options.max_content_size,
                    context.scope, context.monitor);
  if (!description) {
    if (auto fault = machine_fault(file, description.error().code)) {
      return std::unexpected(std::move(*fault));
    }
    return FileEvent(std::unexpected(cache_warning(
        kind, describe_error_text(description.error(), relative), relative, std::move(key))));
  }

  TimelineEvent e;
  e.provider = Provider::ClaudeCode;
  e.event_type = EventType::OrphanCache;
  e.event_id = generate_event_id(Provider::ClaudeCode, kind, relative_path_id(file, evidence_root),
                                 concat("cache:", key));
  e.timestamp = description->times.modified;
  e.timestamp_source = e.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
  e.source.artifact_kind = kind;
  e.source.relative_path = std::move(relative);
  e.source.source_id = std::move(key);
  e.artifact = description->artifact();
  e.fs_times = description->times;
  return FileEvent(std::move(e));
}

// The cache files below `path` in path order, for the listing and the read
// alike; each walk error that is no fault of the machine goes to `on_error`.
Result<std::vector<fs::path>> cache_files(const fs::path& path, const ParseContext& context,
                                          const std::function<void(const WalkItem&)>& on_error) {
  std::vector<fs::path> files;
  for (WalkItem& item : walk_all(path, walk_options(context))) {
    if (item.error) {
      if (auto fault = machine_fault(item.path, item.code)) {
        return std::unexpected(std::move(*fault));
      }
      on_error(item);
      continue;
    }
    // A link is only reached as a regular file when it was followed, so reading
    // through links describes the target exactly then.
    if (item.type == fs::file_type::regular) files.push_back(std::move(item.path));
  }
  sort_paths(files);
  return files;
}

}  // namespace

Status list_cache_dir(const fs::path& path, const ParseContext& context, FileListing& listing) {
  TQ_TRY(const std::vector<fs::path> files, cache_files(path, context, [](const WalkItem&) {}));
  listing.add_all(files);
  return {};
}

Result<ReaderOutput> scan_cache_dir(const fs::path& path, ArtifactKind kind,
                                    const ParseContext& context, const fs::path& evidence_root) {
  ReaderOutput out;
  TQ_TRY(const std::vector<fs::path> files, cache_files(path, context, [&](const WalkItem& item) {
           SourceInfo source;
           source.artifact_kind = kind;
           source.relative_path = relative_path(path, evidence_root);
           out.diagnostics.push_back(walk_diagnostic(item, evidence_root, std::move(source),
                                                     "walkdir error: ", Severity::Warning));
         }));

  // Hashing is the work here, so files are described in parallel.
  TQ_CHECK(collect_file_events(
      files, context, [&](size_t i) { return cache_event(files[i], kind, context, evidence_root); },
      out));
  return out;
}

}  // namespace tq::claude
