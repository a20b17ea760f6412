#include "claude/root.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "claude/agent_files.h"
#include "claude/cache.h"
#include "claude/file_history.h"
#include "claude/history.h"
#include "claude/transcripts.h"
#include "files/evidence.h"
#include "model/text.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;

// The history is read only when it is a regular file; without follow_symlinks a
// link in its place is not read.
bool is_history_file(const fs::path& path, bool follow_symlinks) {
  std::error_code ec;
  fs::file_status st = follow_symlinks ? fs::status(path, ec) : fs::symlink_status(path, ec);
  return !ec && fs::is_regular_file(st);
}

// The cache and snapshot directories are taken through a link whatever
// follow_symlinks says; the option governs only the walks below them.
bool is_directory_followed(const fs::path& path) {
  std::error_code ec;
  return fs::is_directory(path, ec) && !ec;
}

// A cache reference and the history events that carry it, in history order.
struct Reference {
  std::string key;
  std::vector<size_t> positions;
};

// References in order of first appearance in the history.
std::vector<Reference> collect_references(const std::vector<TimelineEvent>& history) {
  std::vector<Reference> references;
  std::map<std::string, size_t, std::less<>> index;
  for (size_t i = 0; i < history.size(); ++i) {
    const TimelineEvent& e = history[i];
    if (e.event_type != EventType::PasteAttachment && e.event_type != EventType::ImageAttachment) {
      continue;
    }
    if (!e.source.source_id) continue;
    auto [it, inserted] = index.try_emplace(*e.source.source_id, references.size());
    if (inserted) references.push_back(Reference{*e.source.source_id, {}});
    references[it->second].positions.push_back(i);
  }
  return references;
}

Diagnostic reference_diagnostic(const TimelineEvent& event, DiagnosticCode code, Severity severity,
                                std::string message) {
  return Diagnostic{code, severity, event.source, std::move(message)};
}

std::string join_paths(const std::vector<const TimelineEvent*>& matches) {
  std::string joined;
  for (const TimelineEvent* m : matches) {
    if (!joined.empty()) joined += ", ";
    joined += m->source.relative_path;
  }
  return joined;
}

// Points one attachment at the cache file that its reference found alone.
void fold_match(TimelineEvent& event, const TimelineEvent& match,
                std::vector<Diagnostic>& diagnostics) {
  if (!event.artifact) event.artifact.emplace();
  ArtifactInfo& artifact = *event.artifact;
  const ArtifactInfo* found = match.artifact ? &*match.artifact : nullptr;
  if (artifact.sha256 && found != nullptr && found->sha256 && *artifact.sha256 != *found->sha256) {
    diagnostics.push_back(reference_diagnostic(
        event, DiagnosticCode::HashMismatch, Severity::Error,
        concat("Inline content and resolved cache '", match.source.relative_path,
               "' have different SHA-256 values.")));
  }
  artifact.reference_status = ReferenceStatus::Resolved;
  artifact.resolved_path = match.source.relative_path;
  if (found == nullptr) return;
  if (!artifact.content) {
    artifact.content = found->content;
    artifact.content_encoding = found->content_encoding;
    artifact.sha256 = found->sha256;
  }
  if (found->media_type) artifact.media_type = found->media_type;
}

// Cache files by key, each list in the scan's order. A profile can hold
// thousands of pastes and thousands of references to them; looking each
// reference up here keeps resolution from growing with their product.
using CacheIndex = std::map<std::string_view, std::vector<const TimelineEvent*>, std::less<>>;

CacheIndex index_by_key(const EventList& cache) {
  CacheIndex index;
  for (const TimelineEvent& e : cache) {
    if (e.source.source_id) index[*e.source.source_id].push_back(&e);
  }
  return index;
}

void resolve_references(std::vector<TimelineEvent>& history, const EventList& paste_cache,
                        const EventList& image_cache, std::set<std::string>& consumed_ids,
                        std::vector<Diagnostic>& diagnostics) {
  const CacheIndex paste_index = index_by_key(paste_cache);
  const CacheIndex image_index = index_by_key(image_cache);
  const std::vector<const TimelineEvent*> none;
  for (const Reference& reference : collect_references(history)) {
    for (size_t position : reference.positions) {
      TimelineEvent& event = history[position];
      const CacheIndex& candidates =
          event.event_type == EventType::ImageAttachment ? image_index : paste_index;
      auto found = candidates.find(reference.key);
      const std::vector<const TimelineEvent*>& matches =
          found == candidates.end() ? none : found->second;

      if (matches.empty()) {
        if (!event.artifact) event.artifact.emplace();
        event.artifact->reference_status = ReferenceStatus::Missing;
        diagnostics.push_back(reference_diagnostic(
            event, DiagnosticCode::MissingReference, Severity::Warning,
            concat("Cache reference '", reference.key, "' could not be resolved.")));
      } else if (matches.size() > 1) {
        for (const TimelineEvent* m : matches) consumed_ids.insert(m->event_id);
        if (!event.artifact) event.artifact.emplace();
        event.artifact->reference_status = ReferenceStatus::Ambiguous;
        diagnostics.push_back(
            reference_diagnostic(event, DiagnosticCode::AmbiguousReference, Severity::Warning,
                                 concat("Cache reference '", reference.key,
                                        "' matched multiple files: ", join_paths(matches))));
      } else {
        consumed_ids.insert(matches.front()->event_id);
        fold_match(event, *matches.front(), diagnostics);
      }
    }
  }
}

// Drops the cache files that a reference consumed; the rest stand alone, so
// their reference status no longer means anything.
void append_remaining(EventList& cache, const std::set<std::string>& consumed_ids,
                      EventList& events) {
  for (TimelineEvent& e : cache) {
    if (consumed_ids.contains(e.event_id)) continue;
    if (e.artifact) e.artifact->reference_status.reset();
    events.push_back(std::move(e));
  }
}

// Snapshots know their session but not its project; the prompts of the
// history (and of the transcripts, when read) do.
void assign_snapshot_directories(const std::vector<TimelineEvent>& history,
                                 const EventList& transcripts, EventList& snapshots) {
  std::map<std::string, std::set<std::string>, std::less<>> directories;
  auto note_prompt = [&directories](const TimelineEvent& e) {
    if (e.event_type == EventType::PromptInput && e.session_id && e.working_directory) {
      directories[*e.session_id].insert(*e.working_directory);
    }
  };
  std::for_each(history.begin(), history.end(), note_prompt);
  std::for_each(transcripts.begin(), transcripts.end(), note_prompt);
  for (TimelineEvent& e : snapshots) {
    if (!e.session_id) continue;
    auto it = directories.find(*e.session_id);
    if (it != directories.end() && it->second.size() == 1) {
      e.working_directory = *it->second.begin();
    }
  }
}

// The parts of a profile a parse reads, each absent when the profile lacks it
// (or, for the transcripts, when the parse doesn't read them).
struct RootParts {
  std::optional<fs::path> history;
  std::optional<fs::path> paste_cache;
  std::optional<fs::path> image_cache;
  std::optional<fs::path> file_history;
  std::optional<fs::path> projects;
  // The files beside the sessions, on the whole surface only.
  bool agent_files = false;
};

RootParts root_parts(const fs::path& root, const ParseContext& context) {
  RootParts parts;
  auto directory = [&](const char* name) -> std::optional<fs::path> {
    fs::path dir = root / name;
    if (!is_directory_followed(dir)) return std::nullopt;
    return dir;
  };
  if (fs::path history = root / "history.jsonl";
      is_history_file(history, context.options.follow_symlinks)) {
    parts.history = std::move(history);
  }
  parts.paste_cache = directory("paste-cache");
  parts.image_cache = directory("image-cache");
  parts.file_history = directory("file-history");
  if (context.options.transcripts) parts.projects = directory("projects");
  parts.agent_files = context.options.transcripts;
  return parts;
}

}  // namespace

Status list_claude_root(const fs::path& root, const ParseContext& context, FileListing& listing) {
  const RootParts parts = root_parts(root, context);
  if (parts.history) listing.add(*parts.history);
  for (const auto& cache : {parts.paste_cache, parts.image_cache}) {
    if (cache) TQ_CHECK(list_cache_dir(*cache, context, listing));
  }
  if (parts.file_history) list_file_history(*parts.file_history, context, listing);
  if (parts.projects) TQ_CHECK(list_transcripts(*parts.projects, context, listing));
  if (parts.agent_files) TQ_CHECK(list_agent_files(root, context, agent_file_rules(), listing));
  return {};
}

Status parse_claude_root(const fs::path& root, const fs::path& evidence_root,
                         const ParseContext& context, EventList& events,
                         std::vector<Diagnostic>& diagnostics) {
  TQ_TRY(std::optional<Diagnostic> unreadable, unreadable_profile(root, evidence_root));
  if (unreadable) {
    diagnostics.push_back(std::move(*unreadable));
    return {};
  }
  const RootParts parts = root_parts(root, context);
  HistoryFileResult history;
  if (parts.history) {
    TQ_TRY(history, parse_history_file(*parts.history, context, evidence_root));
    report_file_done(context.monitor, *parts.history);
  }
  append_diagnostics(diagnostics, std::move(history.diagnostics));

  CacheKeySet referenced_keys;
  for (const TimelineEvent& e : history.events) {
    if ((e.event_type == EventType::PasteAttachment ||
         e.event_type == EventType::ImageAttachment) &&
        e.source.source_id) {
      referenced_keys.insert(*e.source.source_id);
    }
  }

  auto scan_cache = [&](const std::optional<fs::path>& dir,
                        ArtifactKind kind) -> Result<ReaderOutput> {
    if (!dir) return ReaderOutput{};
    return scan_cache_dir(*dir, kind, context, evidence_root, referenced_keys);
  };
  TQ_TRY(ReaderOutput paste_cache, scan_cache(parts.paste_cache, ArtifactKind::PasteCache));
  TQ_TRY(ReaderOutput image_cache, scan_cache(parts.image_cache, ArtifactKind::ImageCache));
  ReaderOutput snapshots;
  if (parts.file_history) {
    TQ_TRY(snapshots, scan_file_history(*parts.file_history, context, evidence_root));
  }

  TranscriptOutput transcripts;
  if (parts.projects) {
    TQ_TRY(transcripts, scan_transcripts(*parts.projects, context, evidence_root));
  }

  ReaderOutput agent_files;
  if (parts.agent_files) {
    TQ_TRY(agent_files, scan_agent_files(root, context, evidence_root, agent_file_rules()));
  }

  std::set<std::string> consumed_ids;
  resolve_references(history.events, paste_cache.events, image_cache.events, consumed_ids,
                     diagnostics);
  assign_snapshot_directories(history.events, transcripts.output.events, snapshots.events);
  apply_snapshot_origins(transcripts.snapshot_origins, snapshots.events);
  tie_plans(transcripts.slugs, agent_files.events);

  events.append(std::move(history.events));
  events.reserve(paste_cache.events.size() + image_cache.events.size());
  append_remaining(paste_cache.events, consumed_ids, events);
  append_remaining(image_cache.events, consumed_ids, events);
  events.append(std::move(snapshots.events));
  events.append(std::move(transcripts.output.events));
  events.append(std::move(agent_files.events));
  append_diagnostics(diagnostics, std::move(paste_cache.diagnostics));
  append_diagnostics(diagnostics, std::move(image_cache.diagnostics));
  append_diagnostics(diagnostics, std::move(snapshots.diagnostics));
  append_diagnostics(diagnostics, std::move(transcripts.output.diagnostics));
  append_diagnostics(diagnostics, std::move(agent_files.diagnostics));
  return {};
}

}  // namespace tq::claude
