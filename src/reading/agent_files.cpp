#include "reading/agent_files.h"

#include <utility>

#include "files/describe.h"
#include "files/paths.h"
#include "files/walk.h"
#include "model/text.h"
#include "ordering/ordering.h"
#include "reading/file_jobs.h"
#include "reading/json_file.h"

namespace tq {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> components_below(const fs::path& path, const fs::path& root) {
  std::vector<std::string> parts;
  const std::string relative = relative_path(path, root);
  std::string_view rest = relative;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    parts.emplace_back(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return parts;
}

std::optional<AgentFileMatch> match_file(const fs::path& path, const fs::path& root,
                                         const AgentFileRules& rules) {
  const std::vector<std::string> parts = components_below(path, root);
  return rules.match(parts);
}

struct Examined {
  std::optional<TimelineEvent> event;
  std::vector<Diagnostic> diagnostics;
};

Diagnostic content_warning(std::string_view relative, uint64_t size, uint64_t limit) {
  SourceInfo source;
  source.artifact_kind = ArtifactKind::AgentFile;
  source.relative_path = std::string(relative);
  return Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning, std::move(source),
                    concat("File size ", size, " exceeds max_content_size ", limit,
                           "; its content is not kept.")};
}

// The description of a text kind, or the warning that stands for the file.
Result<std::optional<FileDescription>> describe_text(const fs::path& path, std::string_view rel,
                                                     const ParseContext& context, Examined& out) {
  auto described = describe_file(path, context.options.include_content,
                                 context.options.max_content_size, context.scope, context.monitor);
  if (!described) {
    if (auto fault = machine_fault(path, described.error().code)) {
      return std::unexpected(std::move(*fault));
    }
    SourceInfo source;
    source.artifact_kind = ArtifactKind::AgentFile;
    source.relative_path = std::string(rel);
    out.diagnostics.push_back(Diagnostic{DiagnosticCode::UnreadableArtifact, Severity::Warning,
                                         std::move(source),
                                         describe_error_text(described.error(), rel)});
    return std::optional<FileDescription>();
  }
  if (context.options.include_content && !described->content) {
    out.diagnostics.push_back(
        content_warning(rel, described->size, context.options.max_content_size));
  }
  return std::optional<FileDescription>(std::move(*described));
}

Result<Examined> examine(const fs::path& path, const AgentFileMatch& match,
                         const ParseContext& context, const fs::path& evidence_root,
                         Provider provider) {
  Examined out;
  const std::string rel = relative_path(path, evidence_root);
  std::optional<FileDescription> description;
  AgentFileFacts facts;
  if (match.kind->read_document != nullptr) {
    TQ_TRY(std::optional<JsonFile> file,
           read_json_file(path, context, rel, ArtifactKind::AgentFile, out.diagnostics));
    if (!file) return out;
    if (file->document) facts = match.kind->read_document(*file->document);
    description = std::move(file->description);
  } else {
    TQ_TRY(description, describe_text(path, rel, context, out));
    if (!description) return out;
  }

  TimelineEvent e;
  e.provider = provider;
  e.event_type = EventType::AgentFile;
  e.event_id = generate_event_id(provider, ArtifactKind::AgentFile,
                                 relative_path_id(path, evidence_root), "agent_file");
  e.message =
      facts.message ? std::move(facts.message) : file_name_bytes(path).transform(lossy_utf8);
  if (facts.session_id) {
    e.session_id = std::move(*facts.session_id);
  } else if (match.session_id) {
    e.session_id = *match.session_id;
  }
  if (facts.working_directory) e.working_directory = std::move(*facts.working_directory);
  e.timestamp = facts.time ? facts.time : description->times.modified;
  e.timestamp_source = facts.time    ? TimestampSource::Embedded
                       : e.timestamp ? TimestampSource::FilesystemModified
                                     : TimestampSource::None;
  e.source_file_sha256 = description->sha256;
  e.source.artifact_kind = ArtifactKind::AgentFile;
  e.source.record_type = std::string(match.kind->record_type);
  e.source.relative_path = rel;
  if (match.source_id) e.source.source_id = *match.source_id;
  // A file about a subagent is tied to it as the subagent's own records are:
  // its id, and the session of the agent that started it.
  if (match.agent_id) {
    EventFacts& who = e.facts.held();
    who.agent_id = *match.agent_id;
    who.parent_session_id = e.session_id ? std::optional(*e.session_id) : std::nullopt;
    who.agent_type = std::move(facts.agent_type);
    who.agent_description = std::move(facts.agent_description);
  }
  e.artifact = description->artifact();
  e.fs_times = description->times;
  out.event = std::move(e);
  return out;
}

}  // namespace

Status list_agent_files(const fs::path& root, const ParseContext& context,
                        const AgentFileRules& rules, FileListing& listing) {
  return list_reader_files(
      root, context,
      [&](const fs::path& path) { return match_file(path, root, rules).has_value(); }, listing);
}

Result<ReaderOutput> scan_agent_files(const fs::path& root, const ParseContext& context,
                                      const fs::path& evidence_root, const AgentFileRules& rules) {
  ReaderOutput out;
  TQ_TRY(const std::vector<fs::path> files,
         reader_files(
             root, context,
             [&](const fs::path& path) { return match_file(path, root, rules).has_value(); },
             [&](const WalkItem& item) {
               // This walk crosses the directories the other readers walk and
               // report; it tells only of the files its rules take.
               if (!match_file(item.path, root, rules)) return;
               SourceInfo source;
               source.artifact_kind = ArtifactKind::AgentFile;
               source.relative_path = relative_path(item.path, evidence_root);
               out.diagnostics.push_back(walk_diagnostic(item, evidence_root, std::move(source),
                                                         "walkdir error: ", Severity::Warning));
             }));
  std::optional<Error> failure;
  for_each_file<Result<Examined>>(
      files, context,
      [&](size_t i) {
        return examine(files[i], *match_file(files[i], root, rules), context, evidence_root,
                       rules.provider);
      },
      [&](Result<Examined> examined) {
        if (!examined) {
          failure = std::move(examined.error());
          return false;
        }
        if (examined->event) {
          examined->event->sequence = out.events.size();
          out.events.push_back(std::move(*examined->event));
        }
        append_diagnostics(out.diagnostics, std::move(examined->diagnostics));
        return true;
      });
  if (failure) return std::unexpected(std::move(*failure));
  return out;
}

}  // namespace tq
