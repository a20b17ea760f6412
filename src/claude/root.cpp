#include "claude/root.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "claude/agent_files.h"
#include "claude/cache.h"
#include "claude/file_history.h"
#include "claude/history.h"
#include "claude/transcripts.h"
#include "files/evidence.h"
#include "model/text.h"
#include "reading/hand_off.h"

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

// Resolves the history's cache references as its events are read, in order,
// against the caches read before it. Its diagnostics come out as a pass over
// the whole history would give them: by each key's first appearance, then by
// the events that carry it.
class CacheReferences {
 public:
  CacheReferences(const EventList& paste_cache, const EventList& image_cache)
      : paste_index_(index_by_key(paste_cache)), image_index_(index_by_key(image_cache)) {}

  // Resolves the attachments among `events`, the next ones of the history.
  void resolve(std::span<TimelineEvent> events) {
    static const std::vector<const TimelineEvent*> kNone;
    for (TimelineEvent& event : events) {
      const size_t position = position_++;
      if (event.event_type != EventType::PasteAttachment &&
          event.event_type != EventType::ImageAttachment) {
        continue;
      }
      if (!event.source.source_id) continue;
      const std::string& key = *event.source.source_id;
      const size_t order = key_order_.try_emplace(key, key_order_.size()).first->second;
      const CacheIndex& candidates =
          event.event_type == EventType::ImageAttachment ? image_index_ : paste_index_;
      auto found = candidates.find(key);
      const std::vector<const TimelineEvent*>& matches =
          found == candidates.end() ? kNone : found->second;
      std::vector<Diagnostic> said;
      if (matches.empty()) {
        if (!event.artifact) event.artifact.emplace();
        event.artifact->reference_status = ReferenceStatus::Missing;
        said.push_back(
            reference_diagnostic(event, DiagnosticCode::MissingReference, Severity::Warning,
                                 concat("Cache reference '", key, "' could not be resolved.")));
      } else if (matches.size() > 1) {
        for (const TimelineEvent* m : matches) consumed_ids_.insert(m->event_id);
        if (!event.artifact) event.artifact.emplace();
        event.artifact->reference_status = ReferenceStatus::Ambiguous;
        said.push_back(reference_diagnostic(
            event, DiagnosticCode::AmbiguousReference, Severity::Warning,
            concat("Cache reference '", key, "' matched multiple files: ", join_paths(matches))));
      } else {
        consumed_ids_.insert(matches.front()->event_id);
        fold_match(event, *matches.front(), said);
      }
      for (Diagnostic& d : said) said_.push_back({order, position, std::move(d)});
    }
  }

  std::vector<Diagnostic> take_diagnostics() {
    std::stable_sort(said_.begin(), said_.end(), [](const Said& a, const Said& b) {
      return std::tie(a.order, a.position) < std::tie(b.order, b.position);
    });
    std::vector<Diagnostic> out;
    out.reserve(said_.size());
    for (Said& s : said_) out.push_back(std::move(s.diagnostic));
    said_.clear();
    return out;
  }

  // The cache files a reference took, which are no events of their own.
  const std::set<std::string>& consumed_ids() const { return consumed_ids_; }

 private:
  struct Said {
    size_t order;     // of the key's first appearance
    size_t position;  // of the event in the history
    Diagnostic diagnostic;
  };

  CacheIndex paste_index_;
  CacheIndex image_index_;
  std::map<std::string, size_t, std::less<>> key_order_;
  size_t position_ = 0;
  std::set<std::string> consumed_ids_;
  std::vector<Said> said_;
};

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
class SessionDirectories {
 public:
  void note(const TimelineEvent& e) {
    if (e.event_type == EventType::PromptInput && e.session_id && e.working_directory) {
      directories_[*e.session_id].insert(*e.working_directory);
    }
  }

  // Gives each snapshot its session's project, when the prompts name one only.
  void assign(EventList& snapshots) const {
    for (TimelineEvent& e : snapshots) {
      if (!e.session_id) continue;
      auto it = directories_.find(*e.session_id);
      if (it != directories_.end() && it->second.size() == 1) {
        e.working_directory = *it->second.begin();
      }
    }
  }

 private:
  std::map<std::string, std::set<std::string>, std::less<>> directories_;
};

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
  // The caches are read first: the history's attachments are resolved against
  // them as the history is read, so that its events can leave as they are made.
  auto scan_cache = [&](const std::optional<fs::path>& dir,
                        ArtifactKind kind) -> Result<ReaderOutput> {
    if (!dir) return ReaderOutput{};
    return scan_cache_dir(*dir, kind, context, evidence_root);
  };
  TQ_TRY(ReaderOutput paste_cache, scan_cache(parts.paste_cache, ArtifactKind::PasteCache));
  TQ_TRY(ReaderOutput image_cache, scan_cache(parts.image_cache, ArtifactKind::ImageCache));
  CacheReferences references(paste_cache.events, image_cache.events);
  SessionDirectories directories;

  UnstampedEvents history_events(context);  // or the sink's, as they come
  if (parts.history) {
    TQ_TRY(HistoryFileResult history,
           read_history_file(*parts.history, context, evidence_root,
                             [&](std::vector<TimelineEvent>&& made) {
                               references.resolve(made);
                               for (const TimelineEvent& e : made) directories.note(e);
                               return history_events.take(std::move(made));
                             }));
    TQ_CHECK(history_events.stamp(history.sha256));
    report_file_done(context.monitor, *parts.history);
    append_diagnostics(diagnostics, std::move(history.diagnostics));
  }
  append_diagnostics(diagnostics, references.take_diagnostics());

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

  for (const TimelineEvent& e : transcripts.output.events) directories.note(e);
  directories.assign(snapshots.events);
  apply_snapshot_origins(transcripts.snapshot_origins, snapshots.events);
  tie_plans(transcripts.slugs, agent_files.events);

  events.append(history_events.take_kept());
  events.reserve(paste_cache.events.size() + image_cache.events.size());
  append_remaining(paste_cache.events, references.consumed_ids(), events);
  append_remaining(image_cache.events, references.consumed_ids(), events);
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
