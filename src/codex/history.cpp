#include "codex/history.h"

#include <limits>

#include "files/paths.h"
#include "ordering/ordering.h"

namespace tq::codex {
namespace {

// `ts` is whole seconds since the epoch; anything else (1.0 included) is not a
// timestamp Codex writes.
std::optional<DateTime> unix_seconds(const JsonValue& ts) {
  if (ts.is_int()) return datetime_from_unix(ts.as_int());
  if (ts.is_uint() && ts.as_uint() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return datetime_from_unix(static_cast<int64_t>(ts.as_uint()));
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> string_field(const JsonValue* value, std::string_view field,
                                        std::string_view relative_path, uint64_t line_number,
                                        std::vector<Diagnostic>& diagnostics) {
  if (value == nullptr) return std::nullopt;
  if (value->is_string()) return value->as_string();
  diagnostics.push_back(Diagnostic{DiagnosticCode::InvalidFieldType, Severity::Warning,
                                   line_source(ArtifactKind::History, relative_path, line_number),
                                   "Field '" + std::string(field) + "' expected string, got " +
                                       std::string(value->type_name())});
  return std::nullopt;
}

Result<LineFileOutput> parse_history_file(const std::filesystem::path& path,
                                          const ParseContext& context,
                                          const std::filesystem::path& evidence_root) {
  const std::string rel = relative_path(path, evidence_root);
  auto fill = [&](uint64_t line, JsonValue object, TimelineEvent& event, LineFileOutput& out) {
    event.event_type = EventType::PromptInput;
    event.session_id =
        string_field(object.find("session_id"), "session_id", rel, line, out.diagnostics);
    event.message = string_field(object.find("text"), "text", rel, line, out.diagnostics);
    if (const JsonValue* ts = object.find("ts")) {
      event.timestamp = unix_seconds(*ts);
      if (!event.timestamp) {
        out.diagnostics.push_back(
            Diagnostic{DiagnosticCode::InvalidTimestamp, Severity::Warning,
                       line_source(ArtifactKind::History, rel, line),
                       "Field 'ts' is not a valid Unix timestamp in seconds."});
      }
      event.timestamp_raw = ts->clone();
    }
    event.timestamp_source = event.timestamp ? TimestampSource::Embedded : TimestampSource::None;
    event.source.record_type = "history";
    event.source.source_id = event.session_id;
    // Codex writes to its history only what the user submitted.
    if (context.options.transcripts) {
      EventFacts& facts = event.facts.held();
      facts.actor = Actor::User;
      facts.prompt.origin = PromptOrigin::Typed;
    }
    if (context.options.include_raw) event.raw = std::move(object);
  };
  return read_event_lines(path, context, evidence_root, Provider::Codex, ArtifactKind::History,
                          "codex_history", fill);
}

}  // namespace tq::codex
