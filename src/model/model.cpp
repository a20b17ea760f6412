#include "model/model.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace tq {

namespace {

template <typename E, size_t N>
std::string_view lookup(const std::array<std::string_view, N>& table, E e) {
  const auto i = static_cast<size_t>(e);
  return i < N ? table[i] : std::string_view("unknown");
}

constexpr std::array<std::string_view, 4> kProviderText = {"claude_code", "codex", "open_code",
                                                           "unknown"};
constexpr std::array<std::string_view, 4> kProviderId = {"ClaudeCode", "Codex", "OpenCode",
                                                         "Unknown"};
constexpr std::array<std::string_view, 7> kArtifactText = {
    "history", "paste_cache", "image_cache", "file_history", "session", "attachment", "unknown"};
constexpr std::array<std::string_view, 7> kArtifactId = {
    "History", "PasteCache", "ImageCache", "FileHistory", "Session", "Attachment", "Unknown"};
constexpr std::array<std::string_view, 11> kInputKindId = {
    "Auto",      "ClaudeRoot",   "History",       "PasteCache",   "ImageCache",      "FileHistory",
    "CodexRoot", "CodexHistory", "CodexSessions", "CodexSession", "CodexAttachments"};
constexpr std::array<std::string_view, 17> kEventTypeText = {
    "prompt_input",    "paste_attachment",  "image_attachment",  "orphan_cache",
    "file_snapshot",   "session_start",     "developer_message", "agent_message",
    "agent_reasoning", "tool_call",         "tool_result",       "task_state",
    "token_usage",     "context_compacted", "attachment",        "error",
    "unknown"};
constexpr std::array<std::string_view, 4> kTimestampSourceText = {"embedded", "referenced_event",
                                                                  "filesystem_modified", "none"};
constexpr std::array<std::string_view, 3> kReferenceStatusText = {"resolved", "missing",
                                                                  "ambiguous"};
constexpr std::array<std::string_view, 2> kContentEncodingText = {"utf8", "base64"};
constexpr std::array<std::string_view, 3> kSeverityText = {"error", "warning", "info"};
constexpr std::array<std::string_view, 11> kDiagnosticCodeText = {
    "invalid_json",         "invalid_field_type",
    "invalid_timestamp",    "unknown_record",
    "missing_reference",    "ambiguous_reference",
    "unreadable_artifact",  "unexpected_file_name",
    "snapshot_version_gap", "duplicate_snapshot_version",
    "hash_mismatch"};

}  // namespace

std::string_view json_text(Provider p) { return lookup(kProviderText, p); }
std::string_view json_text(ArtifactKind k) { return lookup(kArtifactText, k); }
std::string_view json_text(EventType t) { return lookup(kEventTypeText, t); }
std::string_view json_text(TimestampSource s) { return lookup(kTimestampSourceText, s); }
std::string_view json_text(ReferenceStatus s) { return lookup(kReferenceStatusText, s); }
std::string_view json_text(ContentEncoding e) { return lookup(kContentEncodingText, e); }
std::string_view json_text(Severity s) { return lookup(kSeverityText, s); }
std::string_view json_text(DiagnosticCode c) { return lookup(kDiagnosticCodeText, c); }

std::string_view identifier(Provider p) { return lookup(kProviderId, p); }
std::string_view identifier(ArtifactKind k) { return lookup(kArtifactId, k); }
std::string_view identifier(InputKind k) { return lookup(kInputKindId, k); }

void append_output(ReaderOutput& into, ReaderOutput from) {
  if (into.events.empty()) {
    into.events = std::move(from.events);
  } else {
    // Growth stays geometric: reserving the exact sum on every call would move
    // the whole list again for each file appended.
    const size_t needed = into.events.size() + from.events.size();
    if (needed > into.events.capacity()) {
      into.events.reserve(std::max(needed, 2 * into.events.capacity()));
    }
    std::move(from.events.begin(), from.events.end(), std::back_inserter(into.events));
  }
  if (into.diagnostics.empty()) {
    into.diagnostics = std::move(from.diagnostics);
  } else {
    std::move(from.diagnostics.begin(), from.diagnostics.end(),
              std::back_inserter(into.diagnostics));
  }
}

}  // namespace tq
