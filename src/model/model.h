// File: model/model.h
//
// The records of a timeline: events, where they were found, the files they are
// about, diagnostics, and the report that owns them. Records are plain values;
// an event owns all of its texts, lists and nested records.
//
// Every enumeration has a member order (used by the event ordering), a JSON text
// (`json_text`, used in every output) and an identifier (`identifier`, used
// inside event ids and messages).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/datetime.h"
#include "model/json_value.h"

namespace tq {

enum class Provider : uint8_t { ClaudeCode, Codex, OpenCode, Unknown, Last = Unknown };

enum class ArtifactKind : uint8_t {
  History,
  PasteCache,
  ImageCache,
  FileHistory,
  Session,
  Attachment,
  Unknown,
  Last = Unknown
};

// What a path given to the driver was recognised as. Which adapter reads which
// kind is the adapters' own `supports`, never the order of the members.
enum class InputKind : uint8_t {
  Auto,
  ClaudeRoot,
  History,
  PasteCache,
  ImageCache,
  FileHistory,
  ClaudeProjects,
  ClaudeTranscript,
  CodexRoot,
  CodexHistory,
  CodexSessions,
  CodexSession,
  CodexAttachments,
  Last = CodexAttachments
};

enum class EventType : uint8_t {
  PromptInput,
  PasteAttachment,
  ImageAttachment,
  OrphanCache,
  FileSnapshot,
  SessionStart,
  DeveloperMessage,
  AgentMessage,
  AgentReasoning,
  ToolCall,
  ToolResult,
  TaskState,
  TokenUsage,
  ContextCompacted,
  Attachment,
  Error,
  Unknown,
  Last = Unknown
};

enum class TimestampSource : uint8_t {
  Embedded,
  ReferencedEvent,
  FilesystemModified,
  None,
  Last = None
};

enum class ReferenceStatus : uint8_t { Resolved, Missing, Ambiguous, Last = Ambiguous };

enum class ContentEncoding : uint8_t { Utf8, Base64, Last = Base64 };

enum class Severity : uint8_t { Error, Warning, Info, Last = Info };

enum class DiagnosticCode : uint8_t {
  InvalidJson,
  InvalidFieldType,
  InvalidTimestamp,
  UnknownRecord,
  MissingReference,
  AmbiguousReference,
  UnreadableArtifact,
  UnexpectedFileName,
  SnapshotVersionGap,
  DuplicateSnapshotVersion,
  HashMismatch,
  Last = HashMismatch
};

enum class ParseMode : uint8_t { BestEffort, Strict };

// The number of members of an enumeration above. Each of them ends with `Last`,
// an alias of its final member that a new member must take over; every table
// of texts indexed by an enumeration is checked against this at compile time.
template <typename E>
inline constexpr std::size_t kEnumSize = static_cast<std::size_t>(E::Last) + 1;

std::string_view json_text(Provider p);
std::string_view json_text(ArtifactKind k);
std::string_view json_text(EventType t);
std::string_view json_text(TimestampSource s);
std::string_view json_text(ReferenceStatus s);
std::string_view json_text(ContentEncoding e);
std::string_view json_text(Severity s);
std::string_view json_text(DiagnosticCode c);

std::string_view identifier(Provider p);
std::string_view identifier(ArtifactKind k);
std::string_view identifier(InputKind k);

struct SourceInfo {
  ArtifactKind artifact_kind = ArtifactKind::Unknown;
  std::optional<std::string> record_type;
  std::string relative_path;
  std::optional<uint64_t> line_number;
  std::optional<std::string> source_id;
};

struct ArtifactInfo {
  std::optional<ReferenceStatus> reference_status;
  std::optional<std::string> resolved_path;
  std::optional<uint64_t> snapshot_version;
  std::optional<uint64_t> size;
  std::optional<std::string> sha256;
  std::optional<std::string> media_type;
  std::optional<std::string> content;
  std::optional<ContentEncoding> content_encoding;
};

struct FsTimes {
  std::optional<DateTime> modified;
  std::optional<DateTime> accessed;
  std::optional<DateTime> created;
};

// An optional record kept on the heap, with the interface of std::optional.
// Events are moved many times on their way into a report; most have no artifact
// or file times, and boxing those records keeps every event small to move.
template <typename T>
class Boxed {
 public:
  Boxed() = default;
  Boxed(std::nullopt_t) {}  // NOLINT: converts like std::optional
  Boxed(T value) : p_(std::make_unique<T>(std::move(value))) {}  // NOLINT
  Boxed(const Boxed& other) : p_(other.p_ ? std::make_unique<T>(*other.p_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    if (this != &other) p_ = other.p_ ? std::make_unique<T>(*other.p_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  Boxed& operator=(std::nullopt_t) {
    p_.reset();
    return *this;
  }
  Boxed& operator=(T value) {
    if (p_) {
      *p_ = std::move(value);
    } else {
      p_ = std::make_unique<T>(std::move(value));
    }
    return *this;
  }

  bool has_value() const { return p_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  T& operator*() { return *p_; }
  const T& operator*() const { return *p_; }
  T* operator->() { return p_.get(); }
  const T* operator->() const { return p_.get(); }
  T& emplace() {
    p_ = std::make_unique<T>();
    return *p_;
  }
  void reset() { p_.reset(); }

  friend bool operator==(const Boxed& a, std::nullopt_t) { return !a.has_value(); }

 private:
  std::unique_ptr<T> p_;  // null when absent
};

inline constexpr std::string_view kSchemaVersion = "1";

struct TimelineEvent {
  std::string schema_version{kSchemaVersion};
  std::string event_id;
  uint64_t sequence = 0;
  Provider provider = Provider::Unknown;
  std::optional<std::string> source_file_sha256;
  std::optional<DateTime> timestamp;
  TimestampSource timestamp_source = TimestampSource::None;
  std::optional<JsonValue> timestamp_raw;
  EventType event_type = EventType::Unknown;
  std::optional<std::string> session_id;
  std::optional<std::string> working_directory;
  std::optional<std::string> message;
  SourceInfo source;
  Boxed<ArtifactInfo> artifact;
  Boxed<FsTimes> fs_times;
  std::vector<std::string> warnings;
  std::optional<JsonValue> raw;
};

struct Diagnostic {
  DiagnosticCode code = DiagnosticCode::InvalidJson;
  Severity severity = Severity::Error;
  std::optional<SourceInfo> source;
  std::string message;
};

struct ParseReport {
  std::vector<TimelineEvent> events;
  std::vector<Diagnostic> diagnostics;
};

// What every reader hands up: its events and diagnostics, in the order produced.
struct ReaderOutput {
  std::vector<TimelineEvent> events;
  std::vector<Diagnostic> diagnostics;
};

// Moves `from`'s events and diagnostics to the end of `into`'s. Events are large
// records: an empty list takes the other whole.
void append_output(ReaderOutput& into, ReaderOutput from);

// The one description of each record's fields: their names, in output order,
// with their values. The JSON writers and the Python conversion both walk it,
// so a field is named in one place. `v.field(name, value)` is called once per
// field, where value is one of: std::string_view (always present text),
// const std::optional<std::string>&, std::optional<std::string_view> (an
// optional enumeration's JSON text), uint64_t, const std::optional<uint64_t>&,
// const std::optional<DateTime>&, const std::optional<JsonValue>&, a nested
// record (const SourceInfo&, or const ArtifactInfo* / const FsTimes* /
// const SourceInfo* that are null when absent) or std::span<const std::string>.
template <typename E>
std::optional<std::string_view> optional_json_text(const std::optional<E>& e) {
  return e ? std::optional<std::string_view>(json_text(*e)) : std::nullopt;
}

template <typename Visitor>
void visit_fields(const SourceInfo& s, Visitor& v) {
  v.field("artifact_kind", json_text(s.artifact_kind));
  v.field("record_type", s.record_type);
  v.field("relative_path", std::string_view(s.relative_path));
  v.field("line_number", s.line_number);
  v.field("source_id", s.source_id);
}

template <typename Visitor>
void visit_fields(const ArtifactInfo& a, Visitor& v) {
  v.field("reference_status", optional_json_text(a.reference_status));
  v.field("resolved_path", a.resolved_path);
  v.field("snapshot_version", a.snapshot_version);
  v.field("size", a.size);
  v.field("sha256", a.sha256);
  v.field("media_type", a.media_type);
  v.field("content", a.content);
  v.field("content_encoding", optional_json_text(a.content_encoding));
}

template <typename Visitor>
void visit_fields(const FsTimes& t, Visitor& v) {
  v.field("modified", t.modified);
  v.field("accessed", t.accessed);
  v.field("created", t.created);
}

template <typename Visitor>
void visit_fields(const TimelineEvent& e, Visitor& v) {
  v.field("schema_version", std::string_view(e.schema_version));
  v.field("event_id", std::string_view(e.event_id));
  v.field("sequence", e.sequence);
  v.field("provider", json_text(e.provider));
  v.field("source_file_sha256", e.source_file_sha256);
  v.field("timestamp", e.timestamp);
  v.field("timestamp_source", json_text(e.timestamp_source));
  v.field("timestamp_raw", e.timestamp_raw);
  v.field("event_type", json_text(e.event_type));
  v.field("session_id", e.session_id);
  v.field("working_directory", e.working_directory);
  v.field("message", e.message);
  v.field("source", e.source);
  v.field("artifact", e.artifact ? &*e.artifact : static_cast<const ArtifactInfo*>(nullptr));
  v.field("fs_times", e.fs_times ? &*e.fs_times : static_cast<const FsTimes*>(nullptr));
  v.field("warnings", std::span<const std::string>(e.warnings));
  v.field("raw", e.raw);
}

template <typename Visitor>
void visit_fields(const Diagnostic& d, Visitor& v) {
  v.field("code", json_text(d.code));
  v.field("severity", json_text(d.severity));
  v.field("source", d.source ? &*d.source : static_cast<const SourceInfo*>(nullptr));
  v.field("message", std::string_view(d.message));
}

}  // namespace tq
