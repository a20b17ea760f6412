#include "codex/attachments.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "files/describe.h"
#include "files/paths.h"
#include "files/walk.h"
#include "ordering/ordering.h"
#include "reading/file_jobs.h"

namespace tq::codex {
namespace {

Diagnostic attachment_warning(std::string relative, std::string message) {
  SourceInfo source;
  source.artifact_kind = ArtifactKind::Attachment;
  source.relative_path = std::move(relative);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                    std::move(message)};
}

// The event of one attached file, or the warning that stands for it; a fault
// of the machine is the error.
Result<FileEvent> attachment_event(const std::filesystem::path& file, const ParseContext& context,
                                   const std::filesystem::path& evidence_root) {
  std::string rel = relative_path(file, evidence_root);
  std::expected<FileDescription, DescribeError> description =
      describe_file(file, context.options.include_content, context.options.max_content_size,
                    context.scope, context.monitor);
  if (!description) {
    if (auto fault = machine_fault(file, description.error().code)) {
      return std::unexpected(std::move(*fault));
    }
    return FileEvent(
        std::unexpected(attachment_warning(rel, describe_error_text(description.error(), rel))));
  }
  TimelineEvent event;
  event.provider = Provider::Codex;
  event.event_type = EventType::Attachment;
  const std::string id_path = relative_path_id(file, evidence_root);
  event.event_id = generate_event_id(Provider::Codex, ArtifactKind::Attachment, id_path,
                                     "codex_attachment:" + id_path);
  event.timestamp = description->times.modified;
  event.timestamp_source =
      event.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
  event.source.artifact_kind = ArtifactKind::Attachment;
  event.source.record_type = "attachment";
  event.source.source_id = parent_name(file);
  event.source.relative_path = std::move(rel);
  event.artifact = description->artifact();
  event.fs_times = description->times;
  return FileEvent(std::move(event));
}

}  // namespace

namespace {

// Every file below the directory is an attachment.
bool any_file(const std::filesystem::path&) { return true; }

}  // namespace

Status list_attachments(const std::filesystem::path& path, const ParseContext& context,
                        FileListing& listing) {
  return list_reader_files(path, context, any_file, listing);
}

Result<ReaderOutput> scan_attachments(const std::filesystem::path& path,
                                      const ParseContext& context,
                                      const std::filesystem::path& evidence_root) {
  ReaderOutput out;
  TQ_TRY(const std::vector<std::filesystem::path> files,
         reader_files(path, context, any_file,
                      WalkReport{ArtifactKind::Attachment, "Cannot traverse attachment artifact: ",
                                 Severity::Warning, evidence_root, out.diagnostics}));

  // Hashing is the work here, so files are described in parallel.
  TQ_CHECK(collect_file_events(
      files, context, [&](size_t i) { return attachment_event(files[i], context, evidence_root); },
      out));
  return out;
}

}  // namespace tq::codex
