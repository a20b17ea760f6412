#include "model/model.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tq {

namespace {

// A table of texts indexed by enumeration `E`, one entry per member in member
// order; a missing or extra entry fails to compile.
template <typename E, size_t N>
struct EnumTable {
  static_assert(N == kEnumSize<E>, "one text per member of the enumeration, in member order");
  std::array<std::string_view, N> texts;

  std::string_view operator[](E e) const {
    const auto i = static_cast<size_t>(e);
    return i < N ? texts[i] : std::string_view("unknown");
  }
};

template <typename E, size_t N>
constexpr EnumTable<E, N> table(const std::string_view (&texts)[N]) {
  return {std::to_array(texts)};
}

constexpr auto kProviderText = table<Provider>({"claude_code", "codex", "open_code", "unknown"});
constexpr auto kProviderId = table<Provider>({"ClaudeCode", "Codex", "OpenCode", "Unknown"});
constexpr auto kArtifactText = table<ArtifactKind>(
    {"history", "paste_cache", "image_cache", "file_history", "session", "attachment", "unknown"});
constexpr auto kArtifactId = table<ArtifactKind>(
    {"History", "PasteCache", "ImageCache", "FileHistory", "Session", "Attachment", "Unknown"});
constexpr auto kInputKindId =
    table<InputKind>({"Auto", "ClaudeRoot", "History", "PasteCache", "ImageCache", "FileHistory",
                      "ClaudeProjects", "ClaudeTranscript", "CodexRoot", "CodexHistory",
                      "CodexSessions", "CodexSession", "CodexAttachments"});
constexpr auto kEventTypeText = table<EventType>(
    {"prompt_input", "paste_attachment", "image_attachment", "orphan_cache", "file_snapshot",
     "session_start", "developer_message", "agent_message", "agent_reasoning", "tool_call",
     "tool_result", "task_state", "token_usage", "context_compacted", "attachment",
     "review_decision", "hook_run", "error", "unknown"});
constexpr auto kTimestampSourceText =
    table<TimestampSource>({"embedded", "referenced_event", "filesystem_modified", "none"});
constexpr auto kReferenceStatusText = table<ReferenceStatus>({"resolved", "missing", "ambiguous"});
constexpr auto kContentEncodingText = table<ContentEncoding>({"utf8", "base64"});
constexpr auto kSeverityText = table<Severity>({"error", "warning", "info"});
constexpr auto kDiagnosticCodeText = table<DiagnosticCode>(
    {"invalid_json", "invalid_field_type", "invalid_timestamp", "unknown_record",
     "missing_reference", "ambiguous_reference", "unreadable_artifact", "unexpected_file_name",
     "snapshot_version_gap", "duplicate_snapshot_version", "hash_mismatch"});
constexpr auto kActorText =
    table<Actor>({"user", "agent", "subagent", "reviewer", "hook", "system"});
constexpr auto kPromptOriginText =
    table<PromptOrigin>({"typed", "queued", "instructions", "environment", "local_command",
                         "interruption", "agent", "reviewer"});
constexpr auto kToolKindText =
    table<ToolKind>({"shell", "read", "write", "edit", "search", "web_fetch", "web_search", "mcp",
                     "subagent", "plan", "image", "other"});

}  // namespace

std::string_view json_text(Provider p) { return kProviderText[p]; }
std::string_view json_text(ArtifactKind k) { return kArtifactText[k]; }
std::string_view json_text(EventType t) { return kEventTypeText[t]; }
std::string_view json_text(TimestampSource s) { return kTimestampSourceText[s]; }
std::string_view json_text(ReferenceStatus s) { return kReferenceStatusText[s]; }
std::string_view json_text(ContentEncoding e) { return kContentEncodingText[e]; }
std::string_view json_text(Severity s) { return kSeverityText[s]; }
std::string_view json_text(DiagnosticCode c) { return kDiagnosticCodeText[c]; }
std::string_view json_text(Actor a) { return kActorText[a]; }
std::string_view json_text(PromptOrigin o) { return kPromptOriginText[o]; }
std::string_view json_text(ToolKind k) { return kToolKindText[k]; }

std::string_view identifier(Provider p) { return kProviderId[p]; }
std::string_view identifier(ArtifactKind k) { return kArtifactId[k]; }
std::string_view identifier(InputKind k) { return kInputKindId[k]; }

void append_output(ReaderOutput& into, ReaderOutput from) {
  into.events.append(std::move(from.events));
  append_diagnostics(into.diagnostics, std::move(from.diagnostics));
}

void append_diagnostics(std::vector<Diagnostic>& into, std::vector<Diagnostic> from) {
  if (into.empty()) {
    into = std::move(from);
  } else {
    std::move(from.begin(), from.end(), std::back_inserter(into));
  }
}

}  // namespace tq
