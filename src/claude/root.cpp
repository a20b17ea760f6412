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

}  // namespace

Status parse_claude_root(const fs::path& root, const fs::path& evidence_root,
                         const ParserOptions& options, EventList& events,
                         std::vector<Diagnostic>& diagnostics) {
  TQ_TRY(std::optional<Diagnostic> unreadable, unreadable_profile(root, evidence_root));
  if (unreadable) {
    diagnostics.push_back(std::move(*unreadable));
    return {};
  }
  HistoryFileResult history;
  const fs::path history_path = root / "history.jsonl";
  if (is_history_file(history_path, options.follow_symlinks)) {
    TQ_TRY(history, parse_history_file(history_path, options, evidence_root));
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

  auto scan_cache = [&](const char* name, ArtifactKind kind) -> Result<ReaderOutput> {
    const fs::path dir = root / name;
    if (!is_directory_followed(dir)) return ReaderOutput{};
    return scan_cache_dir(dir, kind, options, evidence_root, referenced_keys);
  };
  TQ_TRY(ReaderOutput paste_cache, scan_cache("paste-cache", ArtifactKind::PasteCache));
  TQ_TRY(ReaderOutput image_cache, scan_cache("image-cache", ArtifactKind::ImageCache));
  ReaderOutput snapshots;
  if (const fs::path dir = root / "file-history"; is_directory_followed(dir)) {
    TQ_TRY(snapshots, scan_file_history(dir, options, evidence_root));
  }

  TranscriptOutput transcripts;
  if (const fs::path dir = root / "projects"; options.transcripts && is_directory_followed(dir)) {
    TQ_TRY(transcripts, scan_transcripts(dir, options, evidence_root));
  }

  std::set<std::string> consumed_ids;
  resolve_references(history.events, paste_cache.events, image_cache.events, consumed_ids,
                     diagnostics);
  assign_snapshot_directories(history.events, transcripts.output.events, snapshots.events);
  apply_snapshot_origins(transcripts.snapshot_origins, snapshots.events);

  events.append(std::move(history.events));
  events.reserve(paste_cache.events.size() + image_cache.events.size());
  append_remaining(paste_cache.events, consumed_ids, events);
  append_remaining(image_cache.events, consumed_ids, events);
  events.append(std::move(snapshots.events));
  events.append(std::move(transcripts.output.events));
  append_diagnostics(diagnostics, std::move(paste_cache.diagnostics));
  append_diagnostics(diagnostics, std::move(image_cache.diagnostics));
  append_diagnostics(diagnostics, std::move(snapshots.diagnostics));
  append_diagnostics(diagnostics, std::move(transcripts.output.diagnostics));
  return {};
}

}  // namespace tq::claude
