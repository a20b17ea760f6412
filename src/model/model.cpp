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
constexpr auto kInputKindId = table<InputKind>(
    {"Auto", "ClaudeRoot", "History", "PasteCache", "ImageCache", "FileHistory", "ClaudeProjects",
     "ClaudeTranscript", "CodexRoot", "CodexHistory", "CodexSessions", "CodexSession", "CodexAttachments"});
constexpr auto kEventTypeText =
    table<EventType>({"prompt_input", "paste_attachment", "image_attachment", "orphan_cache",
                      "file_snapshot", "session_start", "developer_message", "agent_message",
                      "agent_reasoning", "tool_call", "tool_result", "task_state", "token_usage",
                      "context_compacted", "attachment", "error", "unknown"});
constexpr auto kTimestampSourceText =
    table<TimestampSource>({"embedded", "referenced_event", "filesystem_modified", "none"});
constexpr auto kReferenceStatusText = table<ReferenceStatus>({"resolved", "missing", "ambiguous"});
constexpr auto kContentEncodingText = table<ContentEncoding>({"utf8", "base64"});
constexpr auto kSeverityText = table<Severity>({"error", "warning", "info"});
constexpr auto kDiagnosticCodeText = table<DiagnosticCode>(
    {"invalid_json", "invalid_field_type", "invalid_timestamp", "unknown_record",
     "missing_reference", "ambiguous_reference", "unreadable_artifact", "unexpected_file_name",
     "snapshot_version_gap", "duplicate_snapshot_version", "hash_mismatch"});

// For std::optional and Boxed alike.
template <typename Optional, typename F>
JsonValue optional_value(const Optional& v, F&& convert) {
  return v ? convert(*v) : JsonValue();
}

JsonValue text(const std::optional<std::string>& s) { return s ? JsonValue(*s) : JsonValue(); }
JsonValue number(const std::optional<uint64_t>& n) { return n ? JsonValue(*n) : JsonValue(); }
JsonValue datetime(const std::optional<DateTime>& t) {
  return t ? JsonValue(format_rfc3339(*t)) : JsonValue();
}

}  // namespace

std::string_view json_text(Provider p) { return kProviderText[p]; }
std::string_view json_text(ArtifactKind k) { return kArtifactText[k]; }
std::string_view json_text(EventType t) { return kEventTypeText[t]; }
std::string_view json_text(TimestampSource s) { return kTimestampSourceText[s]; }
std::string_view json_text(ReferenceStatus s) { return kReferenceStatusText[s]; }
std::string_view json_text(ContentEncoding e) { return kContentEncodingText[e]; }
std::string_view json_text(Severity s) { return kSeverityText[s]; }
std::string_view json_text(DiagnosticCode c) { return kDiagnosticCodeText[c]; }

std::string_view identifier(Provider p) { return kProviderId[p]; }
std::string_view identifier(ArtifactKind k) { return kArtifactId[k]; }
std::string_view identifier(InputKind k) { return kInputKindId[k]; }

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

JsonValue to_json_value(const SourceInfo& s) {
  JsonObject m;
  m.reserve(5);
  m.push_back({"artifact_kind", JsonValue(json_text(s.artifact_kind))});
  m.push_back({"record_type", text(s.record_type)});
  m.push_back({"relative_path", JsonValue(s.relative_path)});
  m.push_back({"line_number", number(s.line_number)});
  m.push_back({"source_id", text(s.source_id)});
  return JsonValue(std::move(m));
}

JsonValue to_json_value(const ArtifactInfo& a) {
  JsonObject m;
  m.reserve(8);
  m.push_back({"reference_status", optional_value(a.reference_status, [](ReferenceStatus s) {
                 return JsonValue(json_text(s));
               })});
  m.push_back({"resolved_path", text(a.resolved_path)});
  m.push_back({"snapshot_version", number(a.snapshot_version)});
  m.push_back({"size", number(a.size)});
  m.push_back({"sha256", text(a.sha256)});
  m.push_back({"media_type", text(a.media_type)});
  m.push_back({"content", text(a.content)});
  m.push_back({"content_encoding", optional_value(a.content_encoding, [](ContentEncoding e) {
                 return JsonValue(json_text(e));
               })});
  return JsonValue(std::move(m));
}

JsonValue to_json_value(const FsTimes& t) {
  JsonObject m;
  m.reserve(3);
  m.push_back({"modified", datetime(t.modified)});
  m.push_back({"accessed", datetime(t.accessed)});
  m.push_back({"created", datetime(t.created)});
  return JsonValue(std::move(m));
}

JsonValue to_json_value(const TimelineEvent& e) {
  JsonArray warnings;
  warnings.reserve(e.warnings.size());
  for (const auto& w : e.warnings) warnings.emplace_back(w);
  JsonObject m;
  m.reserve(17);
  m.push_back({"schema_version", JsonValue(e.schema_version)});
  m.push_back({"event_id", JsonValue(e.event_id)});
  m.push_back({"sequence", JsonValue(e.sequence)});
  m.push_back({"provider", JsonValue(json_text(e.provider))});
  m.push_back({"source_file_sha256", text(e.source_file_sha256)});
  m.push_back({"timestamp", datetime(e.timestamp)});
  m.push_back({"timestamp_source", JsonValue(json_text(e.timestamp_source))});
  m.push_back({"timestamp_raw", e.timestamp_raw ? *e.timestamp_raw : JsonValue()});
  m.push_back({"event_type", JsonValue(json_text(e.event_type))});
  m.push_back({"session_id", text(e.session_id)});
  m.push_back({"working_directory", text(e.working_directory)});
  m.push_back({"message", text(e.message)});
  m.push_back({"source", to_json_value(e.source)});
  m.push_back({"artifact",
               optional_value(e.artifact, [](const ArtifactInfo& a) { return to_json_value(a); })});
  m.push_back(
      {"fs_times", optional_value(e.fs_times, [](const FsTimes& t) { return to_json_value(t); })});
  m.push_back({"warnings", JsonValue(std::move(warnings))});
  m.push_back({"raw", e.raw ? *e.raw : JsonValue()});
  return JsonValue(std::move(m));
}

JsonValue to_json_value(const Diagnostic& d) {
  JsonObject m;
  m.reserve(4);
  m.push_back({"code", JsonValue(json_text(d.code))});
  m.push_back({"severity", JsonValue(json_text(d.severity))});
  m.push_back(
      {"source", optional_value(d.source, [](const SourceInfo& s) { return to_json_value(s); })});
  m.push_back({"message", JsonValue(d.message)});
  return JsonValue(std::move(m));
}

}  // namespace tq
