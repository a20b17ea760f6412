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
#include "parser/file_jobs.h"

namespace tq::codex {
namespace {

Diagnostic attachment_warning(std::string relative, std::string message) {
  SourceInfo source;
  source.artifact_kind = ArtifactKind::Attachment;
  source.relative_path = std::move(relative);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                    std::move(message)};
}

// The event of one attached file, or the warning that stands for it.
std::expected<TimelineEvent, Diagnostic> attachment_event(
    const std::filesystem::path& file, const ParserOptions& options,
    const std::filesystem::path& evidence_root) {
  std::string rel = relative_path(file, evidence_root);
  std::expected<FileDescription, DescribeError> description =
      describe_file(file, options.include_content, options.max_content_size);
  if (!description) {
    const char* what = description.error().stage == DescribeStage::Metadata
                           ? "Cannot read metadata: "
                           : "SHA-256 computation failed: ";
    return std::unexpected(attachment_warning(rel, what + description.error().text));
  }
  TimelineEvent event;
  event.provider = Provider::Codex;
  event.event_type = EventType::Attachment;
  event.event_id =
      generate_event_id(Provider::Codex, ArtifactKind::Attachment, rel, "codex_attachment:" + rel);
  event.timestamp = description->times.modified;
  event.timestamp_source =
      event.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
  event.source.artifact_kind = ArtifactKind::Attachment;
  event.source.record_type = "attachment";
  event.source.source_id = parent_name(file);
  event.source.relative_path = std::move(rel);
  event.artifact = description->artifact();
  event.fs_times = description->times;
  return event;
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
    DirectoryWalk walk(path, WalkOptions{.follow_symlinks = options.follow_symlinks});
    while (std::optional<WalkItem> item = walk.next()) {
      if (item->error) {
        out.diagnostics.push_back(attachment_warning(
            relative_path(item->path, evidence_root),
            "Cannot traverse attachment artifact: " + *item->error));
      } else if (item->type == std::filesystem::file_type::regular) {
        files.push_back(std::move(item->path));
      }
    }
    std::stable_sort(files.begin(), files.end(), path_less);
  }

  // Hashing is the work here, so files are described in parallel.
  collect_file_events(
      files, options, [&](size_t i) { return attachment_event(files[i], options, evidence_root); },
      out);
  return out;
}

}  // namespace tq::codex
