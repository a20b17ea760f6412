#include "codex/sessions.h"

#include <algorithm>
#include <array>
#include <set>
#include <utility>

#include "codex/facts.h"
#include "codex/record_text.h"
#include "files/paths.h"
#include "files/walk.h"
#include "jsonl/line_reader.h"
#include "model/arrays.h"
#include "model/readable.h"
#include "model/text.h"
#include "ordering/ordering.h"
#include "reading/file_jobs.h"
#include "reading/hand_off.h"
#include "reading/listing.h"

namespace tq::codex {
namespace {

constexpr std::string_view kRolloutPrefix = "rollout-";
constexpr std::string_view kRolloutSuffix = ".jsonl";
// Codex compresses a rollout in place once it is about a week old.
constexpr std::string_view kCompressedSuffix = ".zst";
constexpr std::string_view kCompressedRolloutSuffix = ".jsonl.zst";

struct TypeMapping {
  std::string_view type;
  EventType event_type;
};

// Record and payload types Codex writes, by what they mean on the timeline.
// "message" is missing on purpose: it is mapped by its role.
constexpr std::array kTypeMappings{
    TypeMapping{"error", EventType::Error},
    TypeMapping{"user_message", EventType::PromptInput},
    TypeMapping{"agent_message", EventType::AgentMessage},
    TypeMapping{"reasoning", EventType::AgentReasoning},
    TypeMapping{"agent_reasoning", EventType::AgentReasoning},
    TypeMapping{"function_call", EventType::ToolCall},
    TypeMapping{"custom_tool_call", EventType::ToolCall},
    TypeMapping{"web_search_call", EventType::ToolCall},
    TypeMapping{"tool_search_call", EventType::ToolCall},
    TypeMapping{"function_call_output", EventType::ToolResult},
    TypeMapping{"custom_tool_call_output", EventType::ToolResult},
    TypeMapping{"tool_search_output", EventType::ToolResult},
    TypeMapping{"exec_command_end", EventType::ToolResult},
    TypeMapping{"patch_apply_end", EventType::ToolResult},
    TypeMapping{"mcp_tool_call_end", EventType::ToolResult},
    TypeMapping{"web_search_end", EventType::ToolResult},
    TypeMapping{"collab_close_end", EventType::ToolResult},
    TypeMapping{"collab_waiting_end", EventType::ToolResult},
    TypeMapping{"collab_agent_spawn_end", EventType::ToolResult},
    TypeMapping{"collab_agent_interaction_end", EventType::ToolResult},
    TypeMapping{"task_started", EventType::TaskState},
    TypeMapping{"task_complete", EventType::TaskState},
    TypeMapping{"turn_aborted", EventType::TaskState},
    TypeMapping{"turn_context", EventType::TaskState},
    TypeMapping{"world_state", EventType::TaskState},
    TypeMapping{"thread_rolled_back", EventType::TaskState},
    TypeMapping{"thread_goal_updated", EventType::TaskState},
    TypeMapping{"thread_settings_applied", EventType::TaskState},
    TypeMapping{"sub_agent_activity", EventType::TaskState},
    TypeMapping{"inter_agent_communication_metadata", EventType::TaskState},
    TypeMapping{"token_count", EventType::TokenUsage},
};

// What the events of a rollout read of its records: everything below, and
// nothing else. A record is kept whole only for `raw`.
constexpr std::array kContentParts{JsonShapeMember{"text", nullptr}};
constexpr JsonShape kContentPart{kContentParts};
constexpr std::array kPayloadMembers{
    JsonShapeMember{"type", nullptr},           JsonShapeMember{"role", nullptr},
    JsonShapeMember{"message", nullptr},        JsonShapeMember{"text", nullptr},
    JsonShapeMember{"content", &kContentPart},  JsonShapeMember{"name", nullptr},
    JsonShapeMember{"call_id", nullptr},        JsonShapeMember{"id", nullptr},
    JsonShapeMember{"forked_from_id", nullptr}, JsonShapeMember{"cwd", nullptr},
};
// A tool's arguments and output are read only when content is wanted.
constexpr std::array kToolContentMembers{
    JsonShapeMember{"arguments", nullptr},
    JsonShapeMember{"input", nullptr},
    JsonShapeMember{"output", nullptr},
    JsonShapeMember{"result", nullptr},
};

constexpr std::array kPayloadMembersWithContent = joined(kPayloadMembers, kToolContentMembers);
constexpr JsonShape kPayload{kPayloadMembers};
constexpr JsonShape kPayloadWithContent{kPayloadMembersWithContent};

constexpr std::array<JsonShapeMember, 3> record_members(const JsonShape* payload) {
  return {JsonShapeMember{"timestamp", nullptr}, JsonShapeMember{"type", nullptr},
          JsonShapeMember{"payload", payload}};
}
constexpr std::array kRecordMembers = record_members(&kPayload);
constexpr std::array kRecordMembersWithContent = record_members(&kPayloadWithContent);
constexpr JsonShape kRecord{kRecordMembers};
constexpr JsonShape kRecordWithContent{kRecordMembersWithContent};
// The whole surface looks a payload's members up by more names than are worth
// listing, so it reads all of them but those that only hold bulk no reader
// looks at: a reasoning item's encrypted text, a session's instructions, a
// command's whole output (its exit code and command are what is read).
constexpr auto kBulkPayloadMembers = std::to_array<std::string_view>({
    "encrypted_content",
    "base_instructions",
    "instructions",
    "collaboration_mode",
    "aggregated_output",
    "formatted_output",
    "stdout",
    "stderr",
    "last_agent_message",
});
constexpr JsonShape kPayloadWhole{{}, kBulkPayloadMembers};
constexpr std::array kRecordMembersWhole = record_members(&kPayloadWhole);
constexpr JsonShape kRecordWhole{kRecordMembersWhole};

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

const std::string* payload_string(const JsonValue& payload, std::string_view key) {
  return payload.is_object() ? payload.find_string(key) : nullptr;
}

// The text of a message payload: its own message or text, else the text parts
// of its content.
std::optional<std::string> message_text(const JsonValue& payload, const std::string* payload_type,
                                        std::optional<EventType> event_type, bool include_content) {
  if (!payload.is_object()) return std::nullopt;
  if (const std::string* message = payload.find_string("message")) return *message;
  if (const std::string* text = payload.find_string("text")) return *text;
  if (payload_type != nullptr && *payload_type == "message") {
    const JsonValue* content = payload.find("content");
    if (content == nullptr || !content->is_array()) return std::nullopt;
    return joined_texts(content->as_array());
  }
  if (event_type == EventType::ToolCall) {
    const std::string* name_text = payload.find_string("name");
    std::string name = name_text != nullptr ? *name_text : "tool";
    if (include_content) {
      const JsonValue* arguments = payload.find("arguments");
      if (arguments == nullptr) arguments = payload.find("input");
      if (arguments != nullptr && arguments->is_string()) {
        return name + ": " + arguments->as_string();
      }
    }
    return name;
  }
  if (event_type == EventType::ToolResult && include_content) {
    const JsonValue* output = payload.find("output");
    if (output == nullptr) output = payload.find("result");
    if (output != nullptr && output->is_string()) return output->as_string();
  }
  return std::nullopt;
}

// The tool a tool call calls, named as its message names it.
Shared<std::string> tool_called(const JsonValue& payload, const ParserOptions& options) {
  if (options.transcripts) {
    if (std::optional<std::string_view> own = current_tool_name(payload)) return std::string(*own);
  }
  if (const std::string* name = payload_string(payload, "name")) return *name;
  return {};
}

// call_id decides when present, even when it isn't text; id is the fall-back.
std::optional<std::string> tool_call_id(const JsonValue& payload) {
  if (!payload.is_object()) return std::nullopt;
  if (const JsonValue* call_id = payload.find("call_id")) {
    if (call_id->is_string()) return call_id->as_string();
    return std::nullopt;
  }
  if (const std::string* id = payload.find_string("id")) return *id;
  return std::nullopt;
}

// The state a rollout's records carry from line to line.
struct SessionState {
  // Shared by the events of every line until a record changes them.
  Shared<std::string> session_id;
  Shared<std::string> working_directory;
  bool meta_seen = false;  // a session_meta record has been read
  // A forked session's rollout starts with its own session_meta naming the
  // parent in forked_from_id, then replays the parent's session_meta and
  // history: those later records must not take the fork's events over.
  bool forked = false;

  // A record's own updates already hold for its event.
  void update(std::string_view record_type, const JsonValue& payload) {
    if (record_type == "session_meta") {
      const bool first = !meta_seen;
      meta_seen = true;
      if (first) forked = payload_string(payload, "forked_from_id") != nullptr;
      if (first || !forked) {
        if (const std::string* id = payload_string(payload, "id")) session_id = *id;
      }
    }
    if (record_type == "session_meta" || record_type == "turn_context") {
      if (const std::string* cwd = payload_string(payload, "cwd")) working_directory = *cwd;
    }
  }
};

}  // namespace

bool is_rollout_file_name(std::string_view name) {
  if (name.ends_with(kCompressedSuffix)) name.remove_suffix(kCompressedSuffix.size());
  return name.size() >= kRolloutPrefix.size() && name.starts_with(kRolloutPrefix) &&
         name.ends_with(kRolloutSuffix);
}

std::optional<std::string> session_id_from_file_name(const std::filesystem::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  if (!name) return std::nullopt;
  // Both forms of one rollout start with the same session id.
  if (name->ends_with(kCompressedRolloutSuffix)) {
    name->resize(name->size() - kCompressedSuffix.size());
  }
  std::optional<std::string> stem = file_stem_bytes(std::filesystem::path(*name));
  constexpr size_t kUuidLength = 36;
  if (!stem || stem->size() < kUuidLength || utf8_error(*stem)) return std::nullopt;
  std::string uuid = stem->substr(stem->size() - kUuidLength);
  for (size_t i = 0; i < uuid.size(); ++i) {
    bool hyphen_position = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen_position ? uuid[i] != '-' : !is_hex_digit(uuid[i])) return std::nullopt;
    if (uuid[i] >= 'A' && uuid[i] <= 'F') uuid[i] = static_cast<char>(uuid[i] - 'A' + 'a');
  }
  return uuid;
}

std::optional<EventType> classify_session_record(std::string_view record_type,
                                                 const JsonValue& payload) {
  if (record_type == "compacted") return EventType::ContextCompacted;
  if (record_type == "session_meta") return EventType::SessionStart;
  const std::string* payload_type = payload_string(payload, "type");
  if (payload_type != nullptr && *payload_type == "context_compacted") {
    return EventType::ContextCompacted;
  }
  std::string_view type = payload_type != nullptr ? std::string_view(*payload_type) : record_type;
  if (type == "message") {
    const std::string* role = payload_string(payload, "role");
    if (role == nullptr) return std::nullopt;
    if (*role == "user") return EventType::PromptInput;
    if (*role == "assistant") return EventType::AgentMessage;
    if (*role == "developer") return EventType::DeveloperMessage;
    return std::nullopt;
  }
  for (const TypeMapping& mapping : kTypeMappings) {
    if (mapping.type == type) return mapping.event_type;
  }
  return std::nullopt;
}

namespace {

Result<LineFileOutput> read_session_file(BoundedLineReader lines, const std::filesystem::path& path,
                                         const ParseContext& context,
                                         const std::filesystem::path& evidence_root) {
  LineFileOutput out;
  const std::string rel = relative_path(path, evidence_root);
  const EventIds ids(Provider::Codex, ArtifactKind::Session, relative_path_id(path, evidence_root));
  SessionState state;
  state.session_id = session_id_from_file_name(path);
  RolloutFacts facts;
  std::set<std::string, std::less<>> unmapped;  // record kinds warned about in this file

  auto on_object = [&](uint64_t line, JsonValue object) {
    const std::string* type_text = object.find_string("type");
    const std::string_view record_type =
        type_text != nullptr ? std::string_view(*type_text) : "unknown";
    const JsonValue* payload_member = object.find("payload");
    static const JsonValue kNoPayload;
    const JsonValue& payload =
        payload_member != nullptr && payload_member->is_object() ? *payload_member : kNoPayload;
    const std::string* payload_type = payload_string(payload, "type");

    state.update(record_type, payload);

    TimelineEvent event;
    event.provider = Provider::Codex;
    event.event_id = ids.id(concat("codex_session:", line));
    event.sequence = out.events.size();
    // The record is kept whole only for `raw`; else its time can be moved out.
    if (context.options.include_raw) {
      set_embedded_time(event, std::as_const(object).find("timestamp"), "timestamp",
                        ArtifactKind::Session, rel, line, out.diagnostics);
    } else {
      take_embedded_time(event, object.find("timestamp"), "timestamp", ArtifactKind::Session, rel,
                         line, out.diagnostics);
    }

    std::optional<EventType> event_type = classify_session_record(record_type, payload);
    if (!event_type && context.options.transcripts) {
      event_type = classify_current_record(record_type, payload);
    }
    event.event_type = event_type.value_or(EventType::Unknown);
    if (!event_type) {
      std::string shape =
          concat(record_type, "/", payload_type != nullptr ? *payload_type : "none");
      // On the whole surface a record nobody has mapped is news: one warning
      // per kind and file says where it first appears.
      if (context.options.transcripts && unmapped.insert(shape).second) {
        out.diagnostics.push_back(Diagnostic{
            DiagnosticCode::UnknownRecord, Severity::Warning,
            line_source(ArtifactKind::Session, rel, line),
            "Unknown Codex record type '" + shape + "': its events are of type unknown"});
      }
      event.warnings.push_back("Unmapped Codex record type: " + shape);
    }
    event.session_id = state.session_id;
    event.working_directory = state.working_directory;
    if (context.options.transcripts) {
      event.message = current_record_text(record_type, payload, context.options.include_content);
    }
    if (!event.message) {
      event.message =
          message_text(payload, payload_type, event_type, context.options.include_content);
    }
    if (event_type == EventType::ToolCall) event.tool_name = tool_called(payload, context.options);
    event.source.artifact_kind = ArtifactKind::Session;
    event.source.record_type = payload_type != nullptr ? concat(record_type, "/", *payload_type)
                                                       : std::string(record_type);
    event.source.relative_path = rel;
    event.source.line_number = line;
    event.source.source_id = tool_call_id(payload);
    if (context.options.transcripts) facts.read(record_type, payload, event);
    if (context.options.include_raw) event.raw = std::move(object);
    out.events.push_back(std::move(event));
  };

  TQ_TRY(out.sha256,
         read_object_lines(std::move(lines), path, context, rel, ArtifactKind::Session,
                           out.diagnostics, on_object,
                           context.options.transcripts && !context.options.include_raw
                               ? &kRecordWhole
                               : record_shape(context.options, kRecord, kRecordWithContent)));
  const Shared<std::string> digest(out.sha256);
  for (TimelineEvent& event : out.events) event.source_file_sha256 = digest;
  return out;
}

}  // namespace

Result<LineFileOutput> parse_session_file(const std::filesystem::path& path,
                                          const ParseContext& context,
                                          const std::filesystem::path& evidence_root) {
  auto lines = BoundedLineReader::open(
      path, line_file_compression(path), context.options.max_line_size,
      context.options.max_decompression_ratio, context.scope, context.monitor);
  if (!lines) {
    // One rollout that can't be opened (its permissions, or removed since the
    // listing) costs only its own events.
    LineFileOutput out;
    SourceInfo source;
    source.artifact_kind = ArtifactKind::Session;
    source.relative_path = relative_path(path, evidence_root);
    TQ_TRY(Diagnostic problem, unopenable_file_diagnostic(path, lines.error(), std::move(source),
                                                          "Cannot read session artifact: "));
    out.diagnostics.push_back(std::move(problem));
    return out;
  }
  return read_session_file(std::move(*lines), path, context, evidence_root);
}

namespace {

bool is_rollout(const std::filesystem::path& file) {
  std::optional<std::string> name = file_name_bytes(file);
  return name && is_rollout_file_name(lossy_utf8(*name));
}

}  // namespace

Status list_sessions(const std::filesystem::path& path, const ParseContext& context,
                     FileListing& listing) {
  return list_reader_files(path, context, is_rollout, listing);
}

Result<ReaderOutput> scan_sessions(const std::filesystem::path& path, const ParseContext& context,
                                   const std::filesystem::path& evidence_root,
                                   RolloutSessions* sessions) {
  ReaderOutput out;
  TQ_TRY(const std::vector<std::filesystem::path> files,
         reader_files(path, context, is_rollout,
                      WalkReport{ArtifactKind::Session, "Cannot traverse session artifact: ",
                                 Severity::Error, evidence_root, out.diagnostics}));
  // A rollout given as the input itself that can't be opened ends the call, as
  // any given path does; one met in a walk costs only its own events.
  // It is then read from the open that told.
  std::optional<BoundedLineReader> given;
  if (files.size() == 1 && files.front() == path) {
    auto lines = BoundedLineReader::open(
        path, line_file_compression(path), context.options.max_line_size,
        context.options.max_decompression_ratio, context.scope, context.monitor);
    if (!lines) return std::unexpected(Error::io(path, lines.error()));
    given.emplace(std::move(*lines));
  }
  // Each rollout stands alone, so files are read in parallel and merged in
  // path order; the first failing file in that order ends the scan.
  std::optional<Error> failure;
  for_each_file<Result<LineFileOutput>>(
      files, context,
      [&](size_t i) {
        if (given) return read_session_file(std::move(*given), files[i], context, evidence_root);
        return parse_session_file(files[i], context, evidence_root);
      },
      [&](Result<LineFileOutput> parsed) {
        if (!parsed) {
          failure = std::move(parsed.error());
          return false;
        }
        ReaderOutput file{std::move(parsed->events), std::move(parsed->diagnostics)};
        if (sessions != nullptr) {
          // A file's events mostly share one session: it is looked up once
          // per run of them, and copied only when new.
          const std::string* last = nullptr;
          for (const TimelineEvent& e : file.events) {
            if (e.source.artifact_kind != ArtifactKind::Session || !e.session_id) continue;
            if (last != nullptr && *last == *e.session_id) continue;
            last = &*e.session_id;
            sessions->insert(*last);
          }
        }
        if (Status handed = hand_off(context, file); !handed) {
          failure = std::move(handed.error());
          return false;
        }
        append_output(out, std::move(file));
        return true;
      });
  if (failure) return std::unexpected(std::move(*failure));
  return out;
}

}  // namespace tq::codex
