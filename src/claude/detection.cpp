#include "claude/detection.h"

#include <string>
#include <string_view>
#include <system_error>

#include "claude/cache.h"
#include "claude/file_history.h"
#include "claude/history.h"
#include "claude/root.h"
#include "claude/transcripts.h"
#include "files/paths.h"
#include "files/walk.h"
#include "jsonl/history_keys.h"
#include "model/text.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kProfileDirName = ".claude";
constexpr std::string_view kCodexDirName = ".codex";
constexpr std::string_view kHistoryName = "history.jsonl";
constexpr std::string_view kPasteCacheName = "paste-cache";
constexpr std::string_view kImageCacheName = "image-cache";
constexpr std::string_view kFileHistoryName = "file-history";
constexpr std::string_view kProjectsName = "projects";
constexpr std::string_view kTranscriptSuffix = ".jsonl";

// The last component's name when it is an ordinary name; a name that is not
// valid UTF-8 can never equal one of the fixed ASCII names, so bytes suffice.
bool has_name(const fs::path& path, std::string_view name) {
  std::optional<std::string> own = file_name_bytes(path);
  return own && *own == name;
}

bool parent_has_name(const fs::path& path, std::string_view name) {
  std::optional<fs::path> parent = path_parent(path);
  return parent && has_name(*parent, name);
}

bool grandparent_has_name(const fs::path& path, std::string_view name) {
  std::optional<fs::path> parent = path_parent(path);
  return parent && parent_has_name(*parent, name);
}

std::optional<InputKind> directory_kind_by_name(const fs::path& path) {
  if (has_name(path, kFileHistoryName)) return InputKind::FileHistory;
  if (has_name(path, kPasteCacheName)) return InputKind::PasteCache;
  if (has_name(path, kImageCacheName)) return InputKind::ImageCache;
  return std::nullopt;
}

std::optional<InputKind> file_kind_by_location(const fs::path& path) {
  if (parent_has_name(path, kFileHistoryName)) return InputKind::FileHistory;
  if (parent_has_name(path, kPasteCacheName)) return InputKind::PasteCache;
  if (parent_has_name(path, kImageCacheName)) return InputKind::ImageCache;
  // Snapshots sit one level further down, in a per-session directory.
  if (grandparent_has_name(path, kFileHistoryName)) return InputKind::FileHistory;
  return std::nullopt;
}

// A directory is a profile root as soon as it holds one of the profile's parts.
// Entries whose type can't be read are passed over; a directory that can't be
// listed is simply not a root, unless the machine itself is out of descriptors
// or memory. The listing itself never follows links (so no link is taken for a
// cycle); with follow_symlinks each entry is then typed through its link.
Result<bool> looks_like_profile_root(const fs::path& dir, bool follow_symlinks) {
  for (const WalkItem& item : walk_all(dir, {.follow_symlinks = false, .max_depth = 1})) {
    if (auto fault = machine_fault(item.path, item.code)) {
      return std::unexpected(std::move(*fault));
    }
    if (item.error || item.depth != 1) continue;
    std::optional<std::string> name = file_name_bytes(item.path);
    if (!name) continue;
    fs::file_type type = item.type;
    if (follow_symlinks) {
      std::error_code ec;
      type = fs::status(item.path, ec).type();
      if (ec) continue;
    }
    if (type == fs::file_type::directory &&
        (*name == kPasteCacheName || *name == kImageCacheName || *name == kFileHistoryName)) {
      return true;
    }
    if (type == fs::file_type::regular && *name == kHistoryName) return true;
  }
  return false;
}

bool is_directory(const fs::path& path, bool follow_symlinks) {
  std::error_code ec;
  const fs::file_status st = follow_symlinks ? fs::status(path, ec) : fs::symlink_status(path, ec);
  return !ec && fs::is_directory(st);
}

// A profile whose only evidence is its transcripts; any other directory
// holding `projects` (a home's ~/projects, say) is not taken for a profile.
bool is_transcript_only_root(const fs::path& dir, bool follow_symlinks) {
  return has_name(dir, kProfileDirName) && is_directory(dir / kProjectsName, follow_symlinks);
}

// The `projects` directory a transcript lies below, nearest first.
std::optional<fs::path> projects_ancestor(const fs::path& path) {
  for (std::optional<fs::path> p = path_parent(path); p && !p->empty(); p = path_parent(*p)) {
    if (has_name(*p, kProjectsName)) return p;
    if (!file_name_bytes(*p)) break;
  }
  return std::nullopt;
}

Result<ReaderOutput> read_transcripts(const fs::path& path, const fs::path& evidence_root,
                                      const ParseContext& context) {
  TQ_TRY(TranscriptOutput transcripts, scan_transcripts(path, context, evidence_root));
  return std::move(transcripts.output);
}

Result<ReaderOutput> read_history(const fs::path& path, const fs::path& evidence_root,
                                  const ParseContext& context) {
  TQ_TRY(HistoryFileResult history, parse_history_file(path, context, evidence_root));
  report_file_done(context.monitor, path);
  return ReaderOutput{std::move(history.events), std::move(history.diagnostics)};
}

constexpr ProviderAdapter kClaudeAdapter{
    .profile_dir_name = kProfileDirName,
    .detect = &detect_input_kind,
    .list = &list_claude_input,
    .parse = &parse_claude_input,
    .evidence_root = &claude_evidence_root,
    .supports = &supports_claude_input,
    .confidence = &claude_detection_confidence,
    .root_kind = InputKind::ClaudeRoot,
    .provider = Provider::ClaudeCode,
    .detect_with_transcripts = &detect_input_kind_with_transcripts,
};

}  // namespace

Result<std::optional<InputKind>> detect_input_kind(const fs::path& path, bool follow_symlinks) {
  std::error_code ec;
  const fs::file_status status =
      follow_symlinks ? fs::status(path, ec) : fs::symlink_status(path, ec);
  if (ec) return std::unexpected(Error::io(path, ec));

  const bool is_dir = fs::is_directory(status);
  const bool is_file = fs::is_regular_file(status);
  if (is_dir && has_name(path, kCodexDirName)) return std::nullopt;
  if (is_file && has_name(path, kHistoryName) && !parent_has_name(path, kCodexDirName)) {
    return InputKind::History;
  }
  if (is_dir) {
    if (std::optional<InputKind> kind = directory_kind_by_name(path)) return kind;
    TQ_TRY(const bool is_root, looks_like_profile_root(path, follow_symlinks));
    if (is_root) return InputKind::ClaudeRoot;
    return std::nullopt;
  }
  if (is_file) return file_kind_by_location(path);
  return std::nullopt;
}

Result<std::optional<InputKind>> detect_input_kind_with_transcripts(const fs::path& path,
                                                                    bool follow_symlinks) {
  TQ_TRY(std::optional<InputKind> kind, detect_input_kind(path, follow_symlinks));
  // A history taken out of its profile is Codex's when its records say so.
  if (kind == InputKind::History && !parent_has_name(path, kProfileDirName) &&
      history_author(path) == HistoryAuthor::Codex) {
    return std::nullopt;
  }
  if (kind) return kind;
  std::error_code ec;
  const fs::file_status status =
      follow_symlinks ? fs::status(path, ec) : fs::symlink_status(path, ec);
  if (fs::is_directory(status)) {
    if (has_name(path, kProjectsName)) return InputKind::ClaudeProjects;
    if (is_transcript_only_root(path, follow_symlinks)) return InputKind::ClaudeRoot;
    return std::nullopt;
  }
  // Any JSON-lines file but Codex's history: copied evidence often loses the
  // directories that would say more.
  std::optional<std::string> name = file_name_bytes(path);
  if (fs::is_regular_file(status) && name && *name != kHistoryName &&
      name->size() > kTranscriptSuffix.size() && name->ends_with(kTranscriptSuffix)) {
    return InputKind::ClaudeTranscript;
  }
  return std::nullopt;
}

bool supports_claude_input(InputKind kind) {
  // Every member is named, so a new kind can't be left out unnoticed.
  switch (kind) {
    case InputKind::ClaudeRoot:
    case InputKind::History:
    case InputKind::PasteCache:
    case InputKind::ImageCache:
    case InputKind::FileHistory:
    case InputKind::ClaudeProjects:
    case InputKind::ClaudeTranscript:
      return true;
    case InputKind::Auto:
    case InputKind::CodexRoot:
    case InputKind::CodexHistory:
    case InputKind::CodexSessions:
    case InputKind::CodexSession:
    case InputKind::CodexAttachments:
      return false;
  }
  return false;
}

uint8_t claude_detection_confidence(const fs::path& path, InputKind kind) {
  // Every ordinary component is the name of the path or of one of its ancestors.
  std::string_view rest = path.native();
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    if (rest.substr(0, slash) == kProfileDirName) return 100;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  switch (kind) {
    case InputKind::PasteCache:
    case InputKind::ImageCache:
    case InputKind::FileHistory:
      return 80;
    default:
      return 10;
  }
}

fs::path claude_evidence_root(const fs::path& path, InputKind kind) {
  switch (kind) {
    case InputKind::PasteCache:
    case InputKind::ImageCache:
    case InputKind::FileHistory: {
      std::error_code ec;
      fs::path dir = fs::is_directory(path, ec) ? path : path_parent(path).value_or(path);
      if (directory_kind_by_name(dir)) return path_parent(dir).value_or(dir);
      return dir;
    }
    case InputKind::History:
      return path_parent(path).value_or(path);
    case InputKind::ClaudeProjects:
      return path_parent(path).value_or(path);
    case InputKind::ClaudeTranscript: {
      // Measured from the profile, as when the whole profile is read.
      std::optional<fs::path> projects = projects_ancestor(path);
      if (projects) return path_parent(*projects).value_or(*projects);
      return path_parent(path).value_or(path);
    }
    default:
      return path;
  }
}

Status list_claude_input(const fs::path& path, InputKind kind, const ParseContext& context,
                         FileListing& listing) {
  switch (kind) {
    case InputKind::ClaudeRoot:
      return list_claude_root(path, context, listing);
    case InputKind::History:
      listing.add(path);
      return {};
    case InputKind::PasteCache:
    case InputKind::ImageCache:
      return list_cache_dir(path, context, listing);
    case InputKind::FileHistory:
      list_file_history(path, context, listing);
      return {};
    case InputKind::ClaudeProjects:
    case InputKind::ClaudeTranscript:
      return list_transcripts(path, context, listing);
    default:
      return {};
  }
}

Result<ReaderOutput> parse_claude_input(const fs::path& path, InputKind kind,
                                        const fs::path& evidence_root,
                                        const ParseContext& context) {
  switch (kind) {
    case InputKind::ClaudeRoot: {
      ReaderOutput out;
      TQ_CHECK(parse_claude_root(path, evidence_root, context, out.events, out.diagnostics));
      return out;
    }
    case InputKind::History:
      return read_history(path, evidence_root, context);
    case InputKind::PasteCache:
      return scan_cache_dir(path, ArtifactKind::PasteCache, context, evidence_root);
    case InputKind::ImageCache:
      return scan_cache_dir(path, ArtifactKind::ImageCache, context, evidence_root);
    case InputKind::FileHistory:
      return scan_file_history(path, context, evidence_root);
    case InputKind::ClaudeProjects:
    case InputKind::ClaudeTranscript:
      return read_transcripts(path, evidence_root, context);
    default:
      return std::unexpected(Error::argument(
          concat("Claude Code adapter does not support input kind ", identifier(kind), ".")));
  }
}

}  // namespace tq::claude

namespace tq {

const ProviderAdapter& claude_adapter() { return claude::kClaudeAdapter; }

}  // namespace tq
