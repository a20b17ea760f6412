#include "codex/detection.h"

#include <sys/stat.h>

#include <cerrno>
#include <iterator>
#include <string>
#include <utility>

#include "codex/attachments.h"
#include "codex/history.h"
#include "codex/sessions.h"
#include "files/evidence.h"
#include "files/paths.h"
#include "files/walk.h"
#include "jsonl/line_reader.h"

namespace tq::codex {
namespace {

namespace fs = std::filesystem;

// Sessions are nested by year, month and day; a little more leaves room for
// layouts that add a level without sniffing whole trees.
constexpr size_t kSessionSniffDepth = 5;

// The last component when it is an ordinary name that is valid UTF-8.
std::optional<std::string> name_of(const fs::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  if (!name || utf8_error(*name)) return std::nullopt;
  return name;
}

bool has_name(const fs::path& path, std::string_view name) {
  std::optional<std::string> own = name_of(path);
  return own && *own == name;
}

// The path itself (when `include_self`) or its nearest ancestor named `name`.
std::optional<fs::path> nearest_named(const fs::path& path, std::string_view name,
                                      bool include_self) {
  std::optional<fs::path> current =
      include_self ? std::optional<fs::path>(path) : path_parent(path);
  while (current) {
    if (has_name(*current, name)) return current;
    current = path_parent(*current);
  }
  return std::nullopt;
}

bool is_rollout_file_name(const fs::path& path) {
  std::optional<std::string> name = name_of(path);
  return name && name->size() >= 8 && name->starts_with("rollout-") && name->ends_with(".jsonl");
}

bool is_directory_followed(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file_followed(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A directory that isn't named like a Codex one still is a profile when its
// sessions directory holds a rollout file.
bool holds_rollout_files(const fs::path& directory) {
  fs::path sessions = directory / "sessions";
  if (!is_directory_followed(sessions)) return false;
  DirectoryWalk walk(sessions,
                     WalkOptions{.follow_symlinks = false, .max_depth = kSessionSniffDepth});
  while (std::optional<WalkItem> item = walk.next()) {
    if (!item->error && item->type == fs::file_type::regular && is_rollout_file_name(item->path)) {
      return true;
    }
  }
  return false;
}

std::optional<InputKind> detect_file(const fs::path& path) {
  std::optional<fs::path> parent = path_parent(path);
  if (has_name(path, "history.jsonl") && parent && has_name(*parent, ".codex")) {
    return InputKind::CodexHistory;
  }
  if (is_rollout_file_name(path) && nearest_named(path, "sessions", true)) {
    return InputKind::CodexSession;
  }
  if (nearest_named(path, "attachments", true)) return InputKind::CodexAttachments;
  return std::nullopt;
}

std::optional<InputKind> detect_directory(const fs::path& path) {
  if (has_name(path, ".claude")) return std::nullopt;
  bool in_profile = nearest_named(path, ".codex", false).has_value();
  if (has_name(path, "sessions") && in_profile) return InputKind::CodexSessions;
  if (has_name(path, "attachments") && in_profile) return InputKind::CodexAttachments;
  if (has_name(path, ".codex")) return InputKind::CodexRoot;
  if (holds_rollout_files(path)) return InputKind::CodexRoot;
  return std::nullopt;
}

fs::path parent_or_self(const fs::path& path) { return path_parent(path).value_or(path); }

// The parent of the nearest directory named `name` (the path itself included);
// the path itself when there is none.
fs::path parent_of_nearest(const fs::path& path, std::string_view name) {
  std::optional<fs::path> named = nearest_named(path, name, true);
  if (!named) return path;
  return path_parent(*named).value_or(path);
}

Result<ReaderOutput> parse_root(const fs::path& root, const fs::path& evidence_root,
                                const ParserOptions& options) {
  ReaderOutput out;
  if (std::optional<Diagnostic> unreadable = unreadable_profile(root, evidence_root)) {
    out.diagnostics.push_back(std::move(*unreadable));
    return out;
  }
  fs::path history = root / "history.jsonl";
  if (is_regular_file_followed(history)) {
    TQ_TRY(LineFileOutput parsed, parse_history_file(history, options, evidence_root));
    append_output(out, {std::move(parsed.events), std::move(parsed.diagnostics)});
  }
  fs::path sessions = root / "sessions";
  if (is_directory_followed(sessions)) {
    TQ_TRY(ReaderOutput parsed, scan_sessions(sessions, options, evidence_root));
    append_output(out, std::move(parsed));
  }
  fs::path attachments = root / "attachments";
  if (is_directory_followed(attachments)) {
    append_output(out, scan_attachments(attachments, options, evidence_root));
  }
  return out;
}

}  // namespace

Result<std::optional<InputKind>> detect_input_kind(const fs::path& path, bool follow_symlinks) {
  struct stat st {};
  int rc = follow_symlinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) return std::unexpected(Error::io(path, os_error_text(errno)));
  if (S_ISREG(st.st_mode)) return detect_file(path);
  if (S_ISDIR(st.st_mode)) return detect_directory(path);
  return std::nullopt;
}

bool supports_codex_input(InputKind kind) { return kind > InputKind::FileHistory; }

uint8_t codex_detection_confidence(const fs::path& path, InputKind /*kind*/) {
  return nearest_named(path, ".codex", true) ? 100 : 80;
}

fs::path codex_evidence_root(const fs::path& path, InputKind kind) {
  switch (kind) {
    case InputKind::CodexHistory:
    case InputKind::CodexSessions:
      return parent_or_self(path);
    case InputKind::CodexSession:
      return parent_of_nearest(path, "sessions");
    case InputKind::CodexAttachments:
      return parent_of_nearest(path, "attachments");
    default:
      return path;
  }
}

Result<ReaderOutput> parse_codex_input(const fs::path& path, InputKind kind,
                                       const fs::path& evidence_root,
                                       const ParserOptions& options) {
  switch (kind) {
    case InputKind::CodexRoot:
      return parse_root(path, evidence_root, options);
    case InputKind::CodexHistory: {
      TQ_TRY(LineFileOutput parsed, parse_history_file(path, options, evidence_root));
      return ReaderOutput{std::move(parsed.events), std::move(parsed.diagnostics)};
    }
    case InputKind::CodexSessions:
    case InputKind::CodexSession:
      return scan_sessions(path, options, evidence_root);
    case InputKind::CodexAttachments:
      return scan_attachments(path, options, evidence_root);
    default:
      return std::unexpected(Error::message("Codex adapter does not support input kind " +
                                            std::string(identifier(kind)) + "."));
  }
}

}  // namespace tq::codex

namespace tq {

const ProviderAdapter& codex_adapter() {
  using namespace codex;
  static constexpr ProviderAdapter kCodexAdapter{".codex",
                                                 &detect_input_kind,
                                                 &parse_codex_input,
                                                 &codex_evidence_root,
                                                 &supports_codex_input,
                                                 &codex_detection_confidence,
                                                 InputKind::CodexRoot,
                                                 Provider::Codex};
  return kCodexAdapter;
}

}  // namespace tq
