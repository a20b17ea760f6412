#include "codex/attachments.h"

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

Result<ReaderOutput> scan_attachments(const std::filesystem::path& path,
                                      const ParserOptions& options,
                                      const std::filesystem::path& evidence_root) {
  ReaderOutput out;
  TQ_TRY(const std::vector<std::filesystem::path> files, files_to_read(
      path, options.follow_symlinks, [](const std::filesystem::path&) { return true; },
      [&](const WalkItem& item) {
        out.diagnostics.push_back(
            attachment_warning(relative_path(item.path, evidence_root),
                               "Cannot traverse attachment artifact: " + *item.error));
      }));

  for (const std::filesystem::path& file : files) {
    std::string rel = relative_path(file, evidence_root);
    std::expected<FileDescription, DescribeError> description =
        describe_file(file, options.include_content, options.max_content_size);
    if (!description) {
      if (auto fault = machine_fault(file, description.error().error_number)) {
        return std::unexpected(std::move(*fault));
      }
      const char* what = description.error().stage == DescribeStage::Metadata
                             ? "Cannot read metadata: "
                             : "SHA-256 computation failed: ";
      out.diagnostics.push_back(attachment_warning(rel, what + description.error().text));
      continue;
    }
    TimelineEvent event;
    event.provider = Provider::Codex;
    event.event_type = EventType::Attachment;
    const std::string id_path = relative_path_id(file, evidence_root);
    event.event_id = generate_event_id(Provider::Codex, ArtifactKind::Attachment, id_path,
                                       "codex_attachment:" + id_path);
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
