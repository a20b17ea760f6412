#include "claude/file_history.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
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

struct SnapshotName {
  std::string id;
  uint64_t version = 0;
};

// An optional "+" and at least one decimal digit, nothing else, within 64 bits.
std::optional<uint64_t> parse_version(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// `<id>@v<version>`, split at the last marker so that ids may hold "@v" too.
std::optional<SnapshotName> parse_snapshot_name(std::string_view name) {
  const size_t marker = name.rfind("@v");
  if (marker == std::string_view::npos || marker == 0) return std::nullopt;
  std::optional<uint64_t> version = parse_version(name.substr(marker + 2));
  if (!version) return std::nullopt;
  return SnapshotName{std::string(name.substr(0, marker)), *version};
}

struct RawEntry {
  fs::path path;
  std::string relative_path;
  std::string id_path;  // relative_path as event ids see it
  std::string session_id;
  std::string snapshot_id;
  uint64_t version = 0;
  FileDescription description;
};

Diagnostic snapshot_diagnostic(DiagnosticCode code, Severity severity, std::string message,
                               std::string relative, std::optional<std::string> source_id) {
  SourceInfo source;
  source.artifact_kind = ArtifactKind::FileHistory;
  source.relative_path = std::move(relative);
  source.source_id = std::move(source_id);
  return Diagnostic{code, severity, std::move(source), std::move(message)};
}

// Repeated versions, and holes in chains that start at 1 or later. Chains that
// start at 0 are not checked for holes: misnamed files land there in best-effort
// mode and say nothing about the chain.
void check_chain(const std::vector<const RawEntry*>& chain, std::vector<Diagnostic>& out) {
  if (chain.size() < 2) return;
  std::vector<const RawEntry*> ordered = chain;
  std::stable_sort(ordered.begin(), ordered.end(),
                   [](const RawEntry* a, const RawEntry* b) { return a->version < b->version; });
  for (size_t i = 1; i < ordered.size(); ++i) {
    const RawEntry& first = *ordered[i - 1];
    if (first.version != ordered[i]->version) continue;
    out.push_back(
        snapshot_diagnostic(DiagnosticCode::DuplicateSnapshotVersion, Severity::Warning,
                            concat("Duplicate snapshot version v", first.version, " for source '",
                                   first.snapshot_id, "' in session '", first.session_id, "'"),
                            first.relative_path, first.snapshot_id));
  }
  const RawEntry& lowest = *ordered.front();
  if (lowest.version == 0) return;
  for (size_t i = 1; i < ordered.size(); ++i) {
    const uint64_t a = ordered[i - 1]->version;
    const uint64_t b = ordered[i]->version;
    if (b <= a || b - a == 1) continue;
    out.push_back(snapshot_diagnostic(
        DiagnosticCode::SnapshotVersionGap, Severity::Warning,
        concat("Snapshot version gap for source '", lowest.snapshot_id, "' in session '",
               lowest.session_id, "': v", a, " -> v", b, " (missing v", a + 1, "..v", b - 1, ")"),
        lowest.relative_path, lowest.snapshot_id));
  }
}

TimelineEvent snapshot_event(RawEntry& entry, uint64_t sequence) {
  TimelineEvent e;
  e.provider = Provider::ClaudeCode;
  e.event_type = EventType::FileSnapshot;
  e.event_id = generate_event_id(
      Provider::ClaudeCode, ArtifactKind::FileHistory, entry.id_path,
      concat("file_history:", entry.session_id, ":", entry.snapshot_id, "@v", entry.version));
  e.sequence = sequence;
  e.timestamp = entry.description.times.modified;
  e.timestamp_source = e.timestamp ? TimestampSource::FilesystemModified : TimestampSource::None;
  e.session_id = entry.session_id;
  e.source.artifact_kind = ArtifactKind::FileHistory;
  e.source.relative_path = entry.relative_path;
  e.source.source_id = entry.snapshot_id;
  ArtifactInfo artifact = entry.description.artifact();
  artifact.snapshot_version = entry.version;
  e.artifact = std::move(artifact);
  e.fs_times = entry.description.times;
  return e;
}

// What one walk item gives: a snapshot entry, or the diagnostic that stands
// for it.
using Examined = std::variant<Diagnostic, RawEntry>;

// A fault of the machine is the error.
Result<Examined> examine(WalkItem item, const fs::path& directory, const ParseContext& context,
                         const fs::path& evidence_root) {
  if (item.error) {
    if (auto fault = machine_fault(item.path, item.code)) {
      return std::unexpected(std::move(*fault));
    }
    SourceInfo source;
    source.artifact_kind = ArtifactKind::FileHistory;
    source.relative_path = relative_path(directory, evidence_root);
    return Examined(walk_diagnostic(item, evidence_root, std::move(source),
                                    "walkdir error: ", Severity::Warning));
  }

  RawEntry entry;
  entry.path = std::move(item.path);
  entry.relative_path = relative_path(entry.path, evidence_root);
  entry.id_path = relative_path_id(entry.path, evidence_root);
  // The session a snapshot belongs to is the name of its directory.
  std::optional<std::string> session = parent_name(entry.path);
  if (!session) {
    return Examined(snapshot_diagnostic(DiagnosticCode::UnreadableArtifact, Severity::Warning,
                                        "Cannot determine session ID from parent directory",
                                        entry.relative_path, std::nullopt));
  }
  entry.session_id = std::move(*session);

  // A name that is not valid UTF-8 never fits the pattern; it is still shown
  // (and kept as an id) with the bad bytes replaced, so that such files stay
  // apart instead of sharing one empty id.
  const std::string raw_name = file_name_bytes(entry.path).value_or("");
  const bool name_is_text = !utf8_error(raw_name);
  std::optional<SnapshotName> name = name_is_text ? parse_snapshot_name(raw_name) : std::nullopt;
  if (!name) {
    const std::string shown = name_is_text ? raw_name : lossy_utf8(raw_name);
    if (context.strict()) {
      return Examined(
          snapshot_diagnostic(DiagnosticCode::UnexpectedFileName, Severity::Error,
                              concat("Filename does not match '<id>@v<version>' pattern: ", shown),
                              entry.relative_path, std::nullopt));
    }
    name = SnapshotName{shown, 0};
  }
  entry.snapshot_id = std::move(name->id);
  entry.version = name->version;

  std::expected<FileDescription, DescribeError> description =
      describe_file(entry.path, context.options.include_content, context.options.max_content_size,
                    context.scope, context.monitor);
  if (!description) {
    if (auto fault = machine_fault(entry.path, description.error().code)) {
      return std::unexpected(std::move(*fault));
    }
    return Examined(
        snapshot_diagnostic(DiagnosticCode::UnreadableArtifact, Severity::Warning,
                            describe_error_text(description.error(), entry.relative_path),
                            entry.relative_path, entry.snapshot_id));
  }
  entry.description = std::move(*description);
  return Examined(std::move(entry));
}

// What a scan examines: every regular file and every walk error, in walk
// order; for the listing and the read alike.
std::vector<WalkItem> items_to_examine(const fs::path& directory, const ParseContext& context) {
  std::vector<WalkItem> items;
  for (WalkItem& item : walk_all(directory, walk_options(context))) {
    if (item.error || item.type == fs::file_type::regular) items.push_back(std::move(item));
  }
  return items;
}

std::vector<fs::path> item_paths(const std::vector<WalkItem>& items) {
  std::vector<fs::path> paths;
  paths.reserve(items.size());
  for (const WalkItem& item : items) paths.push_back(item.path);
  return paths;
}

}  // namespace

void list_file_history(const fs::path& directory, const ParseContext& context,
                       FileListing& listing) {
  listing.add_all(item_paths(items_to_examine(directory, context)));
}

Result<ReaderOutput> scan_file_history(const fs::path& directory, const ParseContext& context,
                                       const fs::path& evidence_root) {
  ReaderOutput out;
  std::vector<RawEntry> entries;

  // Describing (hashing) the snapshots is the work here, so the walk's items
  // are examined in parallel and taken back in walk order; the first fault of
  // the machine in that order ends the scan.
  std::vector<WalkItem> items = items_to_examine(directory, context);
  const std::vector<fs::path> paths = item_paths(items);
  std::optional<Error> failure;
  for_each_file<Result<Examined>>(
      paths, context,
      [&](size_t i) { return examine(std::move(items[i]), directory, context, evidence_root); },
      [&](Result<Examined> result) {
        if (!result) {
          failure = std::move(result.error());
          return false;
        }
        Examined& examined = *result;
        if (auto* diagnostic = std::get_if<Diagnostic>(&examined)) {
          out.diagnostics.push_back(std::move(*diagnostic));
        } else {
          entries.push_back(std::move(std::get<RawEntry>(examined)));
        }
        return true;
      });
  if (failure) return std::unexpected(std::move(*failure));

  // Chains are checked in (session, id) byte order so that the warnings come out
  // the same on every run.
  std::map<std::pair<std::string_view, std::string_view>, std::vector<const RawEntry*>> chains;
  for (const RawEntry& e : entries) chains[{e.session_id, e.snapshot_id}].push_back(&e);
  for (const auto& [key, chain] : chains) check_chain(chain, out.diagnostics);

  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return entries[a].relative_path < entries[b].relative_path;
  });
  out.events.reserve(entries.size());
  for (size_t i = 0; i < order.size(); ++i) {
    out.events.push_back(snapshot_event(entries[order[i]], i));
  }
  return out;
}

}  // namespace tq::claude
