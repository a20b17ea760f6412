#include "codex/detection.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <set>
#include <string>
#include <utility>

#include "codex/agent_files.h"
#include "codex/attachments.h"
#include "codex/history.h"
#include "codex/session_index.h"
#include "codex/sessions.h"
#include "codex/thread_db.h"
#include "files/evidence.h"
#include "files/paths.h"
#include "files/walk.h"
#include "jsonl/history_keys.h"
#include "jsonl/line_reader.h"
#include "reading/hand_off.h"

namespace tq::codex {
namespace {

namespace fs = std::filesystem;

// Sessions are nested by year, month and day; a little more leaves room for
// layouts that add a level without sniffing whole trees.
constexpr size_t kSessionSniffDepth = 5;

// Where a profile keeps rollouts, in the order they are read: live sessions,
// then the ones the user archived (a flat directory).
constexpr std::array<std::string_view, 2> kSessionDirectories = {"sessions", "archived_sessions"};

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

bool is_session_directory_name(const fs::path& path) {
  std::optional<std::string> own = name_of(path);
  return own && std::find(kSessionDirectories.begin(), kSessionDirectories.end(), *own) !=
                    kSessionDirectories.end();
}

// The path itself (when `include_self`) or its nearest ancestor that `matches`.
template <typename Predicate>
std::optional<fs::path> nearest_matching(const fs::path& path, Predicate matches,
                                         bool include_self) {
  std::optional<fs::path> current =
      include_self ? std::optional<fs::path>(path) : path_parent(path);
  while (current) {
    if (matches(*current)) return current;
    current = path_parent(*current);
  }
  return std::nullopt;
}

std::optional<fs::path> nearest_named(const fs::path& path, std::string_view name,
                                      bool include_self) {
  return nearest_matching(
      path, [name](const fs::path& p) { return has_name(p, name); }, include_self);
}

std::optional<fs::path> nearest_session_directory(const fs::path& path) {
  return nearest_matching(path, is_session_directory_name, true);
}

bool is_rollout_file_name(const fs::path& path) {
  std::optional<std::string> name = name_of(path);
  return name && codex::is_rollout_file_name(*name);
}

bool is_directory_followed(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file_followed(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A directory that isn't named like a Codex one still is a profile when one of
// its session directories holds a rollout file. Parts that can't be read are
// passed over, unless the machine itself is out of descriptors or memory.
Result<bool> holds_rollout_files(const fs::path& directory) {
  for (std::string_view name : kSessionDirectories) {
    fs::path sessions = directory / name;
    if (!is_directory_followed(sessions)) continue;
    DirectoryWalk walk(sessions,
                       WalkOptions{.follow_symlinks = false, .max_depth = kSessionSniffDepth});
    while (std::optional<WalkItem> item = walk.next()) {
      if (auto fault = machine_fault(item->path, item->code)) {
        return std::unexpected(std::move(*fault));
      }
      if (!item->error && item->type == fs::file_type::regular &&
          is_rollout_file_name(item->path)) {
        return true;
      }
    }
  }
  return false;
}

std::optional<InputKind> detect_file(const fs::path& path) {
  std::optional<fs::path> parent = path_parent(path);
  if (has_name(path, "history.jsonl") && parent && has_name(*parent, ".codex")) {
    return InputKind::CodexHistory;
  }
  if (is_rollout_file_name(path) && nearest_session_directory(path)) {
    return InputKind::CodexSession;
  }
  if (nearest_named(path, "attachments", true)) return InputKind::CodexAttachments;
  return std::nullopt;
}

Result<std::optional<InputKind>> detect_directory(const fs::path& path) {
  if (has_name(path, ".claude")) return std::nullopt;
  bool in_profile = nearest_named(path, ".codex", false).has_value();
  if (is_session_directory_name(path) && in_profile) return InputKind::CodexSessions;
  if (has_name(path, "attachments") && in_profile) return InputKind::CodexAttachments;
  if (has_name(path, ".codex")) return InputKind::CodexRoot;
  TQ_TRY(const bool holds_rollouts, holds_rollout_files(path));
  if (holds_rollouts) return InputKind::CodexRoot;
  return std::nullopt;
}

fs::path parent_or_self(const fs::path& path) { return path_parent(path).value_or(path); }

// The parent of `nearest` (a directory found from the path); the path itself
// when there is none.
fs::path parent_of_nearest(const fs::path& path, const std::optional<fs::path>& nearest) {
  if (!nearest) return path;
  return path_parent(*nearest).value_or(path);
}

// The parts of a profile a parse reads, each absent when the profile lacks it.
struct RootParts {
  std::optional<fs::path> history;
  std::vector<fs::path> session_directories;  // in the order they are read
  std::optional<fs::path> attachments;
  // The threads' names, on the whole surface only: the module functions read
  // what they always have.
  std::optional<fs::path> session_index;
  bool agent_files = false;  // the files beside the rollouts, on the whole surface only
  std::vector<fs::path> thread_databases;  // on the whole surface only
};

RootParts root_parts(const fs::path& root, const ParseContext& context) {
  RootParts parts;
  if (fs::path history = root / "history.jsonl"; is_regular_file_followed(history)) {
    parts.history = std::move(history);
  }
  for (std::string_view name : kSessionDirectories) {
    if (fs::path sessions = root / name; is_directory_followed(sessions)) {
      parts.session_directories.push_back(std::move(sessions));
    }
  }
  if (fs::path attachments = root / "attachments"; is_directory_followed(attachments)) {
    parts.attachments = std::move(attachments);
  }
  if (fs::path index = root / kSessionIndexName;
      context.options.transcripts && is_regular_file_followed(index)) {
    parts.session_index = std::move(index);
  }
  parts.agent_files = context.options.transcripts;
  if (context.options.transcripts) parts.thread_databases = thread_databases(root);
  return parts;
}

Status list_root(const fs::path& root, const ParseContext& context, FileListing& listing) {
  const RootParts parts = root_parts(root, context);
  if (parts.history) listing.add(*parts.history);
  for (const fs::path& sessions : parts.session_directories) {
    TQ_CHECK(list_sessions(sessions, context, listing));
  }
  if (parts.attachments) TQ_CHECK(list_attachments(*parts.attachments, context, listing));
  if (parts.session_index) listing.add(*parts.session_index);
  if (parts.agent_files) TQ_CHECK(list_agent_files(root, context, agent_file_rules(), listing));
  for (const fs::path& database : parts.thread_databases) list_thread_database(database, listing);
  return {};
}

// One file read whole by a line-file reader, counted done once read.
template <typename Reader>
Status read_line_file(const fs::path& path, Reader reader, const ParseContext& context,
                      const fs::path& evidence_root, ReaderOutput& out) {
  TQ_TRY(LineFileOutput parsed, reader(path, context, evidence_root));
  report_file_done(context.monitor, path);
  append_output(out, {std::move(parsed.events), std::move(parsed.diagnostics)});
  return {};
}

Result<ReaderOutput> parse_root(const fs::path& root, const fs::path& evidence_root,
                                const ParseContext& context) {
  ReaderOutput out;
  TQ_TRY(std::optional<Diagnostic> unreadable, unreadable_profile(root, evidence_root));
  if (unreadable) {
    out.diagnostics.push_back(std::move(*unreadable));
    return out;
  }
  const RootParts parts = root_parts(root, context);
  if (parts.history) {
    TQ_CHECK(read_line_file(*parts.history, &parse_history_file, context, evidence_root, out));
  }
  // Each rollout's events go to a sink as the rollout is read, after the
  // history's.
  TQ_CHECK(hand_off(context, out));
  // The thread database's rows of sessions without a rollout are events of
  // their own; the rollouts may have gone to a sink by then.
  RolloutSessions with_rollouts;
  for (const fs::path& sessions : parts.session_directories) {
    TQ_TRY(ReaderOutput parsed, scan_sessions(sessions, context, evidence_root, &with_rollouts));
    append_output(out, std::move(parsed));
  }
  if (parts.attachments) {
    TQ_TRY(ReaderOutput parsed, scan_attachments(*parts.attachments, context, evidence_root));
    append_output(out, std::move(parsed));
  }
  if (parts.session_index) {
    TQ_CHECK(read_line_file(*parts.session_index, &parse_session_index_file, context, evidence_root,
                            out));
  }
  if (parts.agent_files) {
    TQ_TRY(ReaderOutput files, scan_agent_files(root, context, evidence_root, agent_file_rules()));
    append_output(out, std::move(files));
  }
  if (!parts.thread_databases.empty()) {
    for (const fs::path& database : parts.thread_databases) {
      TQ_TRY(ReaderOutput threads,
             read_thread_database(database, context, evidence_root, with_rollouts));
      append_output(out, std::move(threads));
    }
  }
  return out;
}

}  // namespace

Result<std::optional<InputKind>> detect_input_kind(const fs::path& path, bool follow_symlinks) {
  struct stat st {};
  int rc = follow_symlinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0)
    return std::unexpected(Error::io(path, std::error_code(errno, std::system_category())));
  if (S_ISREG(st.st_mode)) return detect_file(path);
  if (S_ISDIR(st.st_mode)) return detect_directory(path);
  return std::nullopt;
}

Result<std::optional<InputKind>> detect_input_kind_with_transcripts(const fs::path& path,
                                                                    bool follow_symlinks) {
  TQ_TRY(std::optional<InputKind> kind, detect_input_kind(path, follow_symlinks));
  if (kind) return kind;
  // Copied evidence often loses the directories that would say more: a rollout
  // is known by its name wherever it lies, a prompt history by its keys.
  std::error_code ec;
  const fs::file_status status =
      follow_symlinks ? fs::status(path, ec) : fs::symlink_status(path, ec);
  if (!fs::is_regular_file(status)) return std::nullopt;
  if (is_rollout_file_name(path)) return InputKind::CodexSession;
  if (has_name(path, "history.jsonl") && history_author(path) == HistoryAuthor::Codex) {
    return InputKind::CodexHistory;
  }
  return std::nullopt;
}

bool supports_codex_input(InputKind kind) {
  // Every member is named, so a new kind can't be left out unnoticed.
  switch (kind) {
    case InputKind::CodexRoot:
    case InputKind::CodexHistory:
    case InputKind::CodexSessions:
    case InputKind::CodexSession:
    case InputKind::CodexAttachments:
      return true;
    case InputKind::Auto:
    case InputKind::ClaudeRoot:
    case InputKind::History:
    case InputKind::PasteCache:
    case InputKind::ImageCache:
    case InputKind::FileHistory:
    case InputKind::ClaudeProjects:
    case InputKind::ClaudeTranscript:
      return false;
  }
  return false;
}

uint8_t codex_detection_confidence(const fs::path& path, InputKind /*kind*/) {
  return nearest_named(path, ".codex", true) ? 100 : 80;
}

fs::path codex_evidence_root(const fs::path& path, InputKind kind) {
  switch (kind) {
    case InputKind::CodexHistory:
    case InputKind::CodexSessions:
      return parent_or_self(path);
    case InputKind::CodexSession: {
      // A rollout copied out of its profile is measured from its directory.
      std::optional<fs::path> sessions = nearest_session_directory(path);
      return sessions ? parent_of_nearest(path, sessions) : parent_or_self(path);
    }
    case InputKind::CodexAttachments:
      return parent_of_nearest(path, nearest_named(path, "attachments", true));
    default:
      return path;
  }
}

Result<ReaderOutput> parse_codex_input(const fs::path& path, InputKind kind,
                                       const fs::path& evidence_root, const ParseContext& context) {
  switch (kind) {
    case InputKind::CodexRoot:
      return parse_root(path, evidence_root, context);
    case InputKind::CodexHistory: {
      ReaderOutput out;
      TQ_CHECK(read_line_file(path, &parse_history_file, context, evidence_root, out));
      return out;
    }
    case InputKind::CodexSessions:
    case InputKind::CodexSession:
      return scan_sessions(path, context, evidence_root);
    case InputKind::CodexAttachments:
      return scan_attachments(path, context, evidence_root);
    default:
      return std::unexpected(Error::argument("Codex adapter does not support input kind " +
                                             std::string(identifier(kind)) + "."));
  }
}

Status list_codex_input(const fs::path& path, InputKind kind, const ParseContext& context,
                        FileListing& listing) {
  switch (kind) {
    case InputKind::CodexRoot:
      return list_root(path, context, listing);
    case InputKind::CodexHistory:
      listing.add(path);
      return {};
    case InputKind::CodexSessions:
    case InputKind::CodexSession:
      return list_sessions(path, context, listing);
    case InputKind::CodexAttachments:
      return list_attachments(path, context, listing);
    default:
      return {};
  }
}

}  // namespace tq::codex

namespace tq {

const ProviderAdapter& codex_adapter() {
  using namespace codex;
  static constexpr ProviderAdapter kCodexAdapter{".codex",
                                                 &detect_input_kind,
                                                 &list_codex_input,
                                                 &parse_codex_input,
                                                 &codex_evidence_root,
                                                 &supports_codex_input,
                                                 &codex_detection_confidence,
                                                 InputKind::CodexRoot,
                                                 Provider::Codex,
                                                 &detect_input_kind_with_transcripts};
  return kCodexAdapter;
}

}  // namespace tq
