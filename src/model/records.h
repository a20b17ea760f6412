// File: model/records.h
//
// The records of a timeline: events, where they were found, the files they are
// about, and diagnostics. Records are plain values; an event owns all of its
// texts, lists and nested records, except the immutable Shared values that the
// events of one record hold together.
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
#include <type_traits>
#include <utility>
#include <vector>

#include "model/boxed.h"
#include "model/datetime.h"
#include "model/facts.h"
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
  AgentFile,
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
  // A reviewer's or a permission rule's decision on an action the agent asked for.
  ReviewDecision,
  // A hook the agent ran around a tool call or a prompt.
  HookRun,
  // A file an agent keeps beside its sessions: settings, a plan, a memory, a
  // todo list, a task, a shell snapshot, a tool's output kept apart.
  AgentFile,
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

template <typename T>
class Shared;

// What makes a Shared<T>: whatever a T is made of, but not a Shared or nullopt,
// which the class takes itself.
template <typename U, typename T>
concept MakesShared =
    std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Shared<T>> &&
    !std::is_same_v<std::remove_cvref_t<U>, std::nullopt_t>;

// What a Shared<T> compares to as a T would, besides the kinds the class
// compares to itself.
template <typename U, typename T>
concept ComparesToShared =
    !std::is_same_v<U, Shared<T>> && !std::is_same_v<U, std::nullopt_t> &&
    !std::is_same_v<U, std::optional<T>> && requires(const T& t, const U& u) {
  t == u;
};

// An optional immutable value that copies share, with the read-only interface
// of std::optional. Each content block of a transcript record is an event that
// carries the record's session, directory, time and raw value: sharing them
// keeps a record's events the record's size once, not once per block.
//
//   Shared<std::string> cwd(std::string("/work"));
//   TimelineEvent a, b;
//   a.working_directory = cwd;  // b = a shares it too; nothing is copied
template <typename T>
class Shared {
 public:
  Shared() = default;
  Shared(std::nullopt_t) {}  // NOLINT: converts like std::optional
  // From anything a T is made of; a T given by reference is copied once here.
  template <MakesShared<T> U>
  Shared(U&& value)  // NOLINT: converts like std::optional
      : p_(std::make_shared<const T>(std::forward<U>(value))) {}
  Shared(std::optional<T> value) {  // NOLINT: converts like std::optional
    if (value) p_ = std::make_shared<const T>(std::move(*value));
  }

  bool has_value() const { return p_ != nullptr; }
  explicit operator bool() const { return has_value(); }
  const T& operator*() const { return *p_; }
  const T* operator->() const { return p_.get(); }
  template <typename U>
  T value_or(U&& fallback) const {
    return p_ ? *p_ : static_cast<T>(std::forward<U>(fallback));
  }
  void reset() { p_.reset(); }
  // Whether both hold the very same value, or both none.
  bool shares(const Shared& other) const { return p_ == other.p_; }
  // Whether another holds this very value too.
  bool shared() const { return p_ != nullptr && p_.use_count() > 1; }

  friend bool operator==(const Shared& a, const Shared& b) {
    return a.p_ == b.p_ || (a.p_ && b.p_ && *a.p_ == *b.p_);
  }
  friend bool operator==(const Shared& a, std::nullopt_t) { return !a.has_value(); }
  friend bool operator==(const Shared& a, const std::optional<T>& b) {
    return a.has_value() ? b.has_value() && *a == *b : !b.has_value();
  }
  template <ComparesToShared<T> U>
  friend bool operator==(const Shared& a, const U& b) {
    return a.has_value() && *a == b;
  }

 private:
  std::shared_ptr<const T> p_;  // null when absent
};

struct SourceInfo {
  ArtifactKind artifact_kind = ArtifactKind::Unknown;
  std::optional<std::string> record_type;
  std::string relative_path;
  std::optional<uint64_t> line_number;
  Shared<std::string> source_id;
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

inline constexpr std::string_view kSchemaVersion = "1";

// The record type of the events that name their session (a Codex thread's
// name): the summary shows the latest as the session's title.
inline constexpr std::string_view kSessionTitleRecord = "session_index";
// The record type of the events that give a session the title an agent's
// own index of its threads holds; the summary falls back on it.
inline constexpr std::string_view kThreadTitleRecord = "thread_title";

struct TimelineEvent {
  std::string schema_version{kSchemaVersion};
  std::string event_id;
  uint64_t sequence = 0;
  Provider provider = Provider::Unknown;
  // The file's digest, one value shared by all of a file's events.
  Shared<std::string> source_file_sha256;
  std::optional<DateTime> timestamp;
  TimestampSource timestamp_source = TimestampSource::None;
  Shared<JsonValue> timestamp_raw;
  EventType event_type = EventType::Unknown;
  Shared<std::string> session_id;
  Shared<std::string> working_directory;
  std::optional<std::string> message;
  SourceInfo source;
  Boxed<ArtifactInfo> artifact;
  Boxed<FsTimes> fs_times;
  std::vector<std::string> warnings;
  Shared<JsonValue> raw;
  // What the record says of who acted, with which tool, model and tokens, and
  // which record the event is; only the whole surface reads these.
  Boxed<EventFacts> facts;
  // The tool a tool_call event calls, as its record names it; none when the
  // record names none. Kept beside the message, never read back out of it; no
  // output holds it as a field of its own.
  Shared<std::string> tool_name;
};

struct Diagnostic {
  DiagnosticCode code = DiagnosticCode::InvalidJson;
  Severity severity = Severity::Error;
  std::optional<SourceInfo> source;
  std::string message;
};

}  // namespace tq
