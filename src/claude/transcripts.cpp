#include "claude/transcripts.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <utility>

#include "claude/facts.h"
#include "claude/record_text.h"
#include "codex/sessions.h"
#include "files/paths.h"
#include "files/walk.h"
#include "hash/hash.h"
#include "model/arrays.h"
#include "model/readable.h"
#include "model/text.h"
#include "ordering/ordering.h"
#include "output/json.h"
#include "reading/file_jobs.h"
#include "reading/json_lines.h"
#include "reading/listing.h"

namespace tq::claude {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTranscriptSuffix = ".jsonl";
constexpr std::string_view kSubagentsDirName = "subagents";

// The session a transcript belongs to when its records don't say: the UUID
// that names a session's own file, or the session directory that holds a
// newer subagent file (<session id>/subagents/agent-<id>.jsonl).
std::optional<std::string> session_from_location(const fs::path& path) {
  if (std::optional<std::string> id = codex::session_id_from_file_name(path)) return id;
  std::optional<fs::path> parent = path_parent(path);
  if (!parent || file_name_bytes(*parent) != kSubagentsDirName) return std::nullopt;
  std::optional<fs::path> session_dir = path_parent(*parent);
  if (!session_dir) return std::nullopt;
  return codex::session_id_from_file_name(*session_dir);
}

// Sets `held` to `text`, keeping the value it holds when that is the same text,
// so that the records of a file, which mostly repeat it, share one copy.
void keep_text(Shared<std::string>& held, const std::string& text) {
  if (!(held == text)) held = text;
}

const std::string* member_string(const JsonValue& value, std::string_view key) {
  return value.is_object() ? value.find_string(key) : nullptr;
}

bool member_true(const JsonValue& record, std::string_view key) {
  const JsonValue* v = record.find(key);
  return v != nullptr && v->is_bool() && v->as_bool();
}

// The text parts of a block list, one per line; a string is its own text.
std::optional<std::string> joined_text(const JsonValue& content) {
  if (content.is_string()) return content.as_string();
  if (!content.is_array()) return std::nullopt;
  return joined_texts(content.as_array());
}

// "input_tokens=12, output_tokens=3, …": the usage's counters in key order.
std::string usage_text(const JsonValue& usage) {
  std::string text;
  for (const JsonMember& m : usage.as_object()) {
    if (!m.value.is_uint()) continue;
    if (!text.empty()) text += ", ";
    text += concat(m.key, "=", m.value.as_uint());
  }
  return text;
}

// What one content block becomes.
struct BlockEvent {
  EventType type = EventType::Unknown;
  std::string block_type;
  std::optional<std::string> message;
  std::optional<std::string> source_id;  // none: the record's uuid
  Shared<std::string> tool_name;         // a tool call's, as the block names it
  Boxed<ArtifactInfo> artifact;
  std::vector<std::string> warnings;
};

// An image block carries its bytes in Base64; the event describes the decoded
// image as the cache scanners describe a file, its content only on request.
void describe_image(const JsonValue& block, const ParserOptions& options, BlockEvent& out) {
  ArtifactInfo artifact;
  const JsonValue* source = block.find("source");
  if (source != nullptr && source->is_object()) {
    if (const std::string* media_type = source->find_string("media_type")) {
      artifact.media_type = *media_type;
    }
    if (const std::string* data = source->find_string("data")) {
      if (std::optional<std::string> bytes = base64_decode(*data)) {
        artifact.size = bytes->size();
        artifact.sha256 = sha256_bytes(*bytes);
        if (options.include_content &&
            (options.max_content_size == 0 || bytes->size() <= options.max_content_size)) {
          artifact.content = *data;
          artifact.content_encoding = ContentEncoding::Base64;
        }
      } else {
        out.warnings.push_back("Image data is not valid Base64");
      }
    }
  }
  out.artifact = std::move(artifact);
}

// What the events of a transcript read of its records: everything below, and
// nothing else. A record is kept whole only for `raw`.
constexpr std::array kImageSourceMembers{JsonShapeMember{"media_type", nullptr},
                                         JsonShapeMember{"data", nullptr}};
constexpr JsonShape kImageSource{kImageSourceMembers};
constexpr std::array kBlockMembers{
    JsonShapeMember{"type", nullptr},     JsonShapeMember{"text", nullptr},
    JsonShapeMember{"thinking", nullptr}, JsonShapeMember{"name", nullptr},
    JsonShapeMember{"id", nullptr},       JsonShapeMember{"tool_use_id", nullptr},
    JsonShapeMember{"is_error", nullptr}, JsonShapeMember{"source", &kImageSource},
};
// A tool's input and result are read only when content is wanted.
constexpr std::array kToolContentMembers{JsonShapeMember{"input", nullptr},
                                         JsonShapeMember{"content", nullptr}};
constexpr std::array kBlockMembersWithContent = joined(kBlockMembers, kToolContentMembers);
constexpr JsonShape kBlock{kBlockMembers};
constexpr JsonShape kBlockWithContent{kBlockMembersWithContent};

constexpr std::array<JsonShapeMember, 3> message_members(const JsonShape* block) {
  return {JsonShapeMember{"content", block}, JsonShapeMember{"usage", nullptr},
          JsonShapeMember{"id", nullptr}};
}
constexpr std::array kMessageMembers = message_members(&kBlock);
constexpr std::array kMessageMembersWithContent = message_members(&kBlockWithContent);
constexpr JsonShape kMessage{kMessageMembers};
constexpr JsonShape kMessageWithContent{kMessageMembersWithContent};

constexpr std::array kSnapshotMembers{JsonShapeMember{"timestamp", nullptr},
                                      JsonShapeMember{"trackedFileBackups", nullptr}};
constexpr JsonShape kSnapshot{kSnapshotMembers};

constexpr std::array<JsonShapeMember, 15> record_members(const JsonShape* message) {
  return {
      JsonShapeMember{"timestamp", nullptr},
      JsonShapeMember{"snapshot", &kSnapshot},
      JsonShapeMember{"sessionId", nullptr},
      JsonShapeMember{"cwd", nullptr},
      JsonShapeMember{"uuid", nullptr},
      JsonShapeMember{"messageId", nullptr},
      JsonShapeMember{"leafUuid", nullptr},
      JsonShapeMember{"type", nullptr},
      JsonShapeMember{"subtype", nullptr},
      JsonShapeMember{"content", nullptr},
      JsonShapeMember{"summary", nullptr},
      JsonShapeMember{"operation", nullptr},
      JsonShapeMember{"isCompactSummary", nullptr},
      JsonShapeMember{"isMeta", nullptr},
      JsonShapeMember{"message", message},
  };
}
constexpr std::array kRecordMembers = joined(record_members(&kMessage), kCurrentRecordMembers);
constexpr std::array kRecordMembersWithContent =
    joined(record_members(&kMessageWithContent), kCurrentRecordMembers);
constexpr JsonShape kRecord{kRecordMembers};
constexpr JsonShape kRecordWithContent{kRecordMembersWithContent};
// Facts need a tool's input and result, the model and who wrote the record,
// whether content is wanted or not.
constexpr std::array kMessageFactsMembers =
    joined(message_members(&kBlockWithContent), std::array{JsonShapeMember{"model", nullptr}});
constexpr JsonShape kMessageFacts{kMessageFactsMembers};
constexpr std::array kRecordFactsMembers =
    joined(joined(record_members(&kMessageFacts), kCurrentRecordMembers),
           std::array{JsonShapeMember{"agentId", nullptr}, JsonShapeMember{"isSidechain", nullptr},
                      JsonShapeMember{"slug", nullptr}});
constexpr JsonShape kRecordFacts{kRecordFactsMembers};

class TranscriptReader {
 public:
  TranscriptReader(const fs::path& path, const ParserOptions& options, std::string rel)
      : options_(options),
        rel_(std::move(rel)),
        ids_(Provider::ClaudeCode, ArtifactKind::Session, rel_),
        file_session_(session_from_location(path)),
        facts_(path) {}

  std::vector<Diagnostic>& diagnostics() { return out_.output.diagnostics; }
  TranscriptOutput take(const std::string& sha256) && {
    const Shared<std::string> digest(sha256);
    for (TimelineEvent& e : out_.output.events) e.source_file_sha256 = digest;
    out_.slugs.assign(std::make_move_iterator(slugs_.begin()),
                      std::make_move_iterator(slugs_.end()));
    return std::move(out_);
  }

  void read_record(uint64_t line, JsonValue record);

 private:
  void read_record_events(uint64_t line, const JsonValue& record);
  TimelineEvent base_event(uint64_t line, const JsonValue& record);
  TimelineEvent& emit(const TimelineEvent& base, std::string_view type, uint64_t ordinal,
                      BlockEvent block);
  void read_blocks(const TimelineEvent& base, const JsonValue& record, std::string_view type);
  BlockEvent read_block(uint64_t line, const JsonValue& block, const JsonValue& record,
                        std::string_view type);
  void read_usage(const TimelineEvent& base, const JsonValue& record, const JsonValue& message);
  BlockEvent read_snapshot(const TimelineEvent& base, const JsonValue& record);
  void read_block_facts(const JsonValue& record, std::string_view type, const JsonValue& block,
                        uint64_t ordinal, TimelineEvent& event) const {
    if (!options_.transcripts) return;
    facts_.read_block(record, type, block, event);
    event.facts->record_key = facts_.key(record, event, concat(ordinal));
  }
  void read_record_facts(const JsonValue& record, std::string_view type,
                         TimelineEvent& event) const {
    if (!options_.transcripts) return;
    facts_.read_record(record, type, event);
    event.facts->record_key = facts_.key(record, event, "0");
  }
  // A record of a kind nobody has mapped: an unknown event that says so, and
  // one warning per kind and file where it first appears.
  void note_unmapped(uint64_t line, const std::string& kind, BlockEvent& event) {
    event.type = EventType::Unknown;
    event.warnings.push_back("Unmapped Claude transcript record type: " + kind);
    if (unmapped_.insert(kind).second) {
      warn(line, DiagnosticCode::UnknownRecord,
           "Unknown Claude Code record type '" + kind + "': its events are of type unknown");
    }
  }

  void warn(uint64_t line, DiagnosticCode code, std::string message) {
    out_.output.diagnostics.push_back(Diagnostic{code, Severity::Warning,
                                                 line_source(ArtifactKind::Session, rel_, line),
                                                 std::move(message)});
  }

  const ParserOptions& options_;
  const std::string rel_;
  const EventIds ids_;
  // The session and directory texts are shared by every event that carries
  // them: the blocks of a record, and the records that repeat them.
  const Shared<std::string> file_session_;
  Shared<std::string> last_session_;                         // the latest record's sessionId
  Shared<std::string> cwd_;                                  // the latest record's cwd
  std::map<std::string, size_t, std::less<>> usage_events_;  // message.id -> its event
  std::set<std::string, std::less<>> unmapped_;              // record kinds warned about
  std::set<SessionSlug> slugs_;                              // every pair the records name
  const TranscriptFacts facts_;
  TranscriptOutput out_;
};

TimelineEvent TranscriptReader::base_event(uint64_t line, const JsonValue& record) {
  TimelineEvent event;
  event.provider = Provider::ClaudeCode;
  // Snapshot records keep their time inside the snapshot.
  const JsonValue* timestamp = record.find("timestamp");
  if (timestamp == nullptr) {
    if (const JsonValue* snapshot = record.find("snapshot"); snapshot && snapshot->is_object()) {
      timestamp = snapshot->find("timestamp");
    }
  }
  set_embedded_time(event, timestamp, "timestamp", ArtifactKind::Session, rel_, line,
                    out_.output.diagnostics);

  const std::string* session = record.find_string("sessionId");
  if (session != nullptr) keep_text(last_session_, *session);
  if (const std::string* cwd = record.find_string("cwd")) keep_text(cwd_, *cwd);
  event.session_id = session != nullptr || !file_session_ ? last_session_ : file_session_;
  const std::string* slug = options_.transcripts ? record.find_string("slug") : nullptr;
  if (slug != nullptr && event.session_id) slugs_.insert({*slug, *event.session_id});
  event.working_directory = cwd_;
  event.source.artifact_kind = ArtifactKind::Session;
  event.source.relative_path = rel_;
  event.source.line_number = line;
  if (const std::string* uuid = record.find_string("uuid")) {
    event.source.source_id = *uuid;
  } else if (const std::string* id = record.find_string("messageId")) {
    event.source.source_id = *id;
  } else if (const std::string* leaf = record.find_string("leafUuid")) {
    event.source.source_id = *leaf;
  }
  return event;
}

TimelineEvent& TranscriptReader::emit(const TimelineEvent& base, std::string_view type,
                                      uint64_t ordinal, BlockEvent block) {
  TimelineEvent event = base;
  event.event_id = ids_.id(concat("transcript:", *base.source.line_number), ordinal);
  event.sequence = out_.output.events.size();
  event.event_type = block.type;
  event.message = std::move(block.message);
  event.source.record_type =
      block.block_type.empty() ? std::string(type) : concat(type, "/", block.block_type);
  if (block.source_id) event.source.source_id = std::move(block.source_id);
  event.tool_name = std::move(block.tool_name);
  event.artifact = std::move(block.artifact);
  event.warnings = std::move(block.warnings);
  out_.output.events.push_back(std::move(event));
  return out_.output.events.back();
}

void TranscriptReader::read_record(uint64_t line, JsonValue record) {
  const size_t first = out_.output.events.size();
  read_record_events(line, record);
  if (!options_.include_raw) return;
  // Every event of the record carries it whole, the one parsed value shared.
  const Shared<JsonValue> raw(std::move(record));
  EventList& events = out_.output.events;
  for (size_t i = first; i < events.size(); ++i) events[i].raw = raw;
}

void TranscriptReader::read_record_events(uint64_t line, const JsonValue& record) {
  const std::string* type_text = record.find_string("type");
  const std::string type = type_text != nullptr ? *type_text : "unknown";
  const TimelineEvent base = base_event(line, record);

  if (type == "user" || type == "assistant") {
    read_blocks(base, record, type);
    return;
  }
  if (std::optional<RecordEvent> known = current_record_event(type, record)) {
    BlockEvent event;
    event.type = known->type;
    event.message = std::move(known->message);
    if (known->unmapped_kind) note_unmapped(line, *known->unmapped_kind, event);
    read_record_facts(record, type, emit(base, type, 0, std::move(event)));
    return;
  }
  BlockEvent event;
  event.type = EventType::TaskState;
  if (type == "system") {
    const std::string* subtype = record.find_string("subtype");
    if (subtype != nullptr && *subtype == "compact_boundary") {
      event.type = EventType::ContextCompacted;
    }
    const std::string* content = record.find_string("content");
    if (subtype != nullptr && content != nullptr) {
      event.message = concat(*subtype, ": ", *content);
    } else if (subtype != nullptr || content != nullptr) {
      event.message = subtype != nullptr ? *subtype : *content;
    }
  } else if (type == "summary") {
    if (const std::string* summary = record.find_string("summary")) event.message = *summary;
  } else if (type == "queue-operation") {
    // A queued record holds what the user typed while the agent was busy.
    const std::string* operation = record.find_string("operation");
    const std::string* content = record.find_string("content");
    if (operation != nullptr) {
      event.message = content != nullptr ? concat(*operation, ": ", *content) : *operation;
    }
  } else if (type == "file-history-snapshot") {
    event = read_snapshot(base, record);
  } else {
    note_unmapped(line, type, event);
  }
  read_record_facts(record, type, emit(base, type, 0, std::move(event)));
}

void TranscriptReader::read_blocks(const TimelineEvent& base, const JsonValue& record,
                                   std::string_view type) {
  const uint64_t line = *base.source.line_number;
  const JsonValue* message = record.find("message");
  const JsonValue* content = nullptr;
  if (message != nullptr && !message->is_object()) {
    warn(line, DiagnosticCode::InvalidFieldType,
         concat("Field 'message' expected object, got ", message->type_name()));
  } else if (message != nullptr) {
    content = message->find("content");
  }
  if (content != nullptr && !content->is_string() && !content->is_array()) {
    warn(line, DiagnosticCode::InvalidFieldType,
         concat("Field 'message.content' expected string or array, got ", content->type_name()));
    content = nullptr;
  }

  uint64_t ordinal = 0;
  if (content != nullptr && content->is_string()) {
    JsonObject text_block;
    text_block.push_back({"text", content->clone()});
    text_block.push_back({"type", JsonValue("text")});
    const JsonValue block(std::move(text_block));
    read_block_facts(record, type, block, ordinal,
                     emit(base, type, ordinal, read_block(line, block, record, type)));
    ++ordinal;
  } else if (content != nullptr) {
    for (const JsonValue& block : content->as_array()) {
      read_block_facts(record, type, block, ordinal,
                       emit(base, type, ordinal, read_block(line, block, record, type)));
      ++ordinal;
    }
  }
  // A record without blocks is still on the timeline, as what its role says.
  if (ordinal == 0) {
    BlockEvent empty;
    empty.type = type == "user" ? EventType::PromptInput : EventType::AgentMessage;
    read_record_facts(record, type, emit(base, type, 0, std::move(empty)));
  }
  if (type == "assistant" && message != nullptr && message->is_object()) {
    read_usage(base, record, *message);
  }
}

BlockEvent TranscriptReader::read_block(uint64_t line, const JsonValue& block,
                                        const JsonValue& record, std::string_view type) {
  BlockEvent out;
  const std::string* block_type = member_string(block, "type");
  out.block_type = block_type != nullptr ? *block_type : "unknown";
  const std::string_view kind = out.block_type;
  const bool user = type == "user";

  if (kind == "text") {
    if (const std::string* text = block.find_string("text")) out.message = *text;
    if (!user) {
      out.type = EventType::AgentMessage;
    } else if (member_true(record, "isCompactSummary")) {
      out.type = EventType::ContextCompacted;
    } else if (member_true(record, "isMeta")) {
      out.type = EventType::DeveloperMessage;
    } else {
      out.type = EventType::PromptInput;
    }
  } else if (kind == "thinking" && !user) {
    out.type = EventType::AgentReasoning;
    if (const std::string* thinking = block.find_string("thinking")) out.message = *thinking;
  } else if (kind == "redacted_thinking" && !user) {
    // Its text is encrypted; the event says that reasoning happened.
    out.type = EventType::AgentReasoning;
  } else if (kind == "tool_use" && !user) {
    out.type = EventType::ToolCall;
    const std::string* name = block.find_string("name");
    if (name != nullptr) out.tool_name = *name;
    std::string message = name != nullptr ? *name : "tool";
    const JsonValue* input = block.find("input");
    if (options_.include_content && input != nullptr) {
      message += ": " + (input->is_string() ? input->as_string() : compact_json(*input));
    }
    out.message = std::move(message);
    if (const std::string* id = block.find_string("id")) out.source_id = *id;
  } else if (kind == "tool_result" && user) {
    out.type = EventType::ToolResult;
    const JsonValue* content = block.find("content");
    const std::string* id = block.find_string("tool_use_id");
    if (options_.include_content && content != nullptr) {
      out.message = joined_text(*content);
    } else if (id != nullptr) {
      // The output is content; without it the message names the call it answers.
      const JsonValue* is_error = block.find("is_error");
      const bool failed = is_error != nullptr && is_error->is_bool() && is_error->as_bool();
      out.message = concat(failed ? "error from " : "result of ", *id);
    }
    if (id != nullptr) out.source_id = *id;
  } else if (kind == "image" && user) {
    out.type = EventType::ImageAttachment;
    describe_image(block, options_, out);
  } else {
    note_unmapped(line, concat(type, "/", kind), out);
  }
  return out;
}

// Claude writes one record per block of a response, each with the response's
// usage so far; the event comes at the first and shows the last.
void TranscriptReader::read_usage(const TimelineEvent& base, const JsonValue& record,
                                  const JsonValue& message) {
  const JsonValue* usage = message.find("usage");
  if (usage == nullptr || !usage->is_object()) return;
  const std::string* id = message.find_string("id");
  if (id != nullptr) {
    if (auto seen = usage_events_.find(*id); seen != usage_events_.end()) {
      TimelineEvent& first = out_.output.events[seen->second];
      first.message = usage_text(*usage);
      if (options_.transcripts) facts_.read_usage(message, first);
      return;
    }
    usage_events_.emplace(*id, out_.output.events.size());
  }
  TimelineEvent event = base;
  event.event_id = ids_.id(concat("transcript:", *base.source.line_number, ":usage"));
  event.sequence = out_.output.events.size();
  event.event_type = EventType::TokenUsage;
  event.message = usage_text(*usage);
  event.source.record_type = "assistant/usage";
  if (id != nullptr) event.source.source_id = *id;
  if (options_.transcripts) {
    facts_.read_usage(message, event);
    event.facts.held().record_key = facts_.key(record, event, "usage");
  }
  out_.output.events.push_back(std::move(event));
}

// The snapshot names every file tracked so far and its backup; the backups
// themselves lie in file-history/<session>/.
BlockEvent TranscriptReader::read_snapshot(const TimelineEvent& base, const JsonValue& record) {
  BlockEvent out;
  out.type = EventType::TaskState;
  const JsonValue* snapshot = record.find("snapshot");
  const JsonValue* tracked = snapshot != nullptr ? snapshot->find("trackedFileBackups") : nullptr;
  if (tracked == nullptr || !tracked->is_object()) return out;
  std::string paths;
  for (const JsonMember& file : tracked->as_object()) {
    if (!paths.empty()) paths.push_back('\n');
    paths += file.key;
    const std::string* backup = member_string(file.value, "backupFileName");
    if (backup == nullptr || !base.session_id) continue;  // a file deleted since has none
    SnapshotOrigin origin{base.session_id, *backup, file.key, std::nullopt, std::nullopt};
    if (const JsonValue* time = file.value.find("backupTime")) {
      if (time->is_string()) origin.backup_time = parse_rfc3339_strict(time->as_string());
      origin.backup_time_raw = time->clone();
    }
    out_.snapshot_origins.push_back(std::move(origin));
  }
  out.message = std::move(paths);
  return out;
}

bool is_transcript_name(const fs::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  return name && name->size() > kTranscriptSuffix.size() && name->ends_with(kTranscriptSuffix);
}

}  // namespace

Result<TranscriptOutput> parse_transcript_file(const fs::path& path, const ParseContext& context,
                                               const fs::path& evidence_root) {
  std::string rel = relative_path(path, evidence_root);
  TranscriptReader reader(path, context.options, rel);
  TQ_TRY(std::string sha256,
         read_object_lines(
             path, context, rel, ArtifactKind::Session, reader.diagnostics(),
             [&](uint64_t line, JsonValue record) { reader.read_record(line, std::move(record)); },
             context.options.transcripts && !context.options.include_raw
                 ? &kRecordFacts
                 : record_shape(context.options, kRecord, kRecordWithContent)));
  return std::move(reader).take(sha256);
}

Status list_transcripts(const fs::path& path, const ParseContext& context, FileListing& listing) {
  return list_reader_files(path, context, is_transcript_name, listing);
}

Result<TranscriptOutput> scan_transcripts(const fs::path& path, const ParseContext& context,
                                          const fs::path& evidence_root) {
  TranscriptOutput out;
  TQ_TRY(const std::vector<fs::path> files,
         reader_files(path, context, is_transcript_name,
                      WalkReport{ArtifactKind::Session, "walkdir error: ", Severity::Warning,
                                 evidence_root, out.output.diagnostics}));

  // Transcripts are the largest part of a Claude Code profile: they are read
  // on the workers and counted in the progress like every other file, and
  // merged in path order; the first failing file in that order ends the scan.
  std::optional<Error> failure;
  for_each_file<Result<TranscriptOutput>>(
      files, context,
      [&](size_t i) { return parse_transcript_file(files[i], context, evidence_root); },
      [&](Result<TranscriptOutput> parsed) {
        if (!parsed) {
          failure = std::move(parsed.error());
          return false;
        }
        append_output(out.output, std::move(parsed->output));
        std::move(parsed->snapshot_origins.begin(), parsed->snapshot_origins.end(),
                  std::back_inserter(out.snapshot_origins));
        std::move(parsed->slugs.begin(), parsed->slugs.end(), std::back_inserter(out.slugs));
        return true;
      });
  if (failure) return std::unexpected(std::move(*failure));
  return out;
}

void apply_snapshot_origins(const std::vector<SnapshotOrigin>& origins, EventList& snapshots) {
  if (origins.empty()) return;
  std::map<std::pair<std::string_view, std::string_view>, const SnapshotOrigin*> by_backup;
  for (const SnapshotOrigin& o : origins) {
    by_backup.try_emplace({*o.session_id, o.backup_file_name}, &o);
  }
  for (TimelineEvent& e : snapshots) {
    if (e.event_type != EventType::FileSnapshot || !e.session_id) continue;
    std::optional<std::string> name = file_name_bytes(fs::path(e.source.relative_path));
    if (!name) continue;
    auto found = by_backup.find({*e.session_id, *name});
    if (found == by_backup.end()) continue;
    const SnapshotOrigin& origin = *found->second;
    e.message = origin.original_path;
    if (origin.backup_time) {
      e.timestamp = origin.backup_time;
      e.timestamp_source = TimestampSource::ReferencedEvent;
      e.timestamp_raw = origin.backup_time_raw;
    }
  }
}

}  // namespace tq::claude
