#include "codex/attachments.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "files/describe.h"
#include "files/paths.h"
#include "files/walk.h"
#include "ordering/ordering.h"

namespace tq::codex {
namespace {

Diagnostic attachment_warning(std::string relative, std::string message) {
  SourceInfo source;
  source.artifact_kind = ArtifactKind::Attachment;
  source.relative_path = std::move(relative);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                    std::move(message)};
}

}  // namespace

ReaderOutput scan_attachments(const std::filesystem::path& path, const ParserOptions& options,
                              const std::filesystem::path& evidence_root) {
  ReaderOutput out;
  std::vector<std::filesystem::path> files;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    files.push_back(path);
  } else {
    DirectoryWalk walk(
        path, WalkOptions{.follow_symlinks = options.follow_symlinks, .scope = options.scope});
    while (std::optional<WalkItem> item = walk.next()) {
      if (item->error) {
        SourceInfo source;
        source.artifact_kind = ArtifactKind::Attachment;
        source.relative_path = relative_path(item->path, evidence_root);
        out.diagnostics.push_back(
            walk_diagnostic(*item, evidence_root, std::move(source),
                            "Cannot traverse attachment artifact: ", Severity::Warning));
      } else if (item->type == std::filesystem::file_type::regular) {
        files.push_back(std::move(item->path));
      }
    }
    std::stable_sort(files.begin(), files.end(), path_less);
  }

  for (const std::filesystem::path& file : files) {
    std::string rel = relative_path(file, evidence_root);
    std::expected<FileDescription, DescribeError> description =
        describe_file(file, options.include_content, options.max_content_size, options.scope);
    if (!description) {
      out.diagnostics.push_back(
          attachment_warning(rel, describe_error_text(description.error(), rel)));
      continue;
    }
    TimelineEvent event;
    event.provider = Provider::Codex;
    event.event_type = EventType::Attachment;
    event.event_id = generate_event_id(Provider::Codex, ArtifactKind::Attachment, rel,
                                       "codex_attachment:" + rel);
    event.sequence = out.events.size();
    event.timestamp = description->times.modified;
    event.timestamp_source =
        event.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
    event.source.artifact_kind = ArtifactKind::Attachment;
    event.source.record_type = "attachment";
    event.source.source_id = parent_name(file);
    event.source.relative_path = std::move(rel);
    event.artifact = description->artifact();
    event.fs_times = description->times;
    out.events.push_back(std::move(event));
  }
  return out;
}

}  // namespace tq::codex
