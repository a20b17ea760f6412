#include "claude/history.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>

#include "files/paths.h"
#include "hash/hash.h"
#include "jsonl/line_reader.h"
#include "model/datetime.h"
#include "model/text.h"
#include "ordering/ordering.h"
#include "reading/hand_off.h"
#include "reading/json_lines.h"

namespace tq::claude {
namespace {

// Prompts dated outside this window are kept but flagged: Claude Code writes
// milliseconds, so a value in seconds (or microseconds) lands far outside it.
constexpr int64_t kReasonableMillisLow = 946684800000;    // 2000-01-01T00:00:00Z
constexpr int64_t kReasonableMillisHigh = 4102444800000;  // 2100-01-01T00:00:00Z

constexpr std::string_view kNotObject = "Top-level value is not a JSON object, skipping";

// How the history words its line problems, and strict mode failing on a line
// too long to read, where the other files only warn.
const ObjectLineRules kHistoryLines{
    .too_long =
        [](uint64_t length, uint64_t max_line_size) {
          return concat("Line exceeds max_line_size (", length, " > ", max_line_size,
                        "), skipping");
        },
    .too_long_in_strict_mode = "Line exceeds max_line_size",
    .not_object = kNotObject,
};

std::optional<int64_t> parse_signed_decimal(std::string_view key) {
  std::string_view digits = key;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars takes a minus sign but not a plus sign.
  std::string_view text = key.front() == '+' ? digits : key;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Truncates toward zero and saturates to the signed 64-bit range; NaN gives 0.
int64_t saturating_millis(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  if (x <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(std::trunc(x));
}

SourceInfo history_source(std::string_view display_path, uint64_t line,
                          std::optional<std::string> source_id = std::nullopt) {
  SourceInfo s;
  s.artifact_kind = ArtifactKind::History;
  s.relative_path = std::string(display_path);
  s.line_number = line;
  s.source_id = std::move(source_id);
  return s;
}

Diagnostic history_diagnostic(DiagnosticCode code, Severity severity, std::string message,
                              std::string_view display_path, uint64_t line,
                              std::optional<std::string> source_id = std::nullopt) {
  return Diagnostic{code, severity, history_source(display_path, line, std::move(source_id)),
                    std::move(message)};
}

struct PromptTimestamp {
  std::optional<DateTime> value;
  TimestampSource source = TimestampSource::None;
  std::optional<JsonValue> raw;
};

PromptTimestamp read_timestamp(const JsonValue* field, std::string_view path, uint64_t line,
                               std::vector<std::string>& warnings) {
  PromptTimestamp ts;
  if (field == nullptr) return ts;
  ts.raw = field->clone();
  if (field->is_number()) {
    ts.source = TimestampSource::Embedded;
    const double x = field->number_as_double();
    if (x - std::floor(x) != 0) {
      warnings.push_back(concat("Timestamp has fractional milliseconds at ", path, " line ", line,
                                ", rounding down"));
    }
    const int64_t ms = saturating_millis(x);
    if (ms < kReasonableMillisLow || ms > kReasonableMillisHigh) {
      warnings.push_back(concat("Timestamp ", ms, " ms is outside reasonable range (2000-2100) at ",
                                path, " line ", line));
    }
    ts.value = datetime_from_unix_millis(ms);
    if (!ts.value) {
      warnings.push_back(concat("Timestamp ", ms, " ms could not be converted to DateTime at ",
                                path, " line ", line));
    }
  } else if (field->is_string()) {
    warnings.push_back(concat("Timestamp is a string (not numeric ms) at ", path, " line ", line));
    ts.value = parse_rfc3339_lenient(field->as_string());
    if (ts.value) ts.source = TimestampSource::Embedded;
  } else {
    warnings.push_back(concat("Timestamp is not a number or string at ", path, " line ", line));
  }
  return ts;
}

// A present field of the wrong type; absent fields are not reported.
void expect_string(const JsonValue& record, std::string_view key, std::optional<std::string>& out,
                   std::vector<Diagnostic>& diagnostics, std::string_view path, uint64_t line) {
  const JsonValue* v = record.find(key);
  if (v == nullptr) return;
  if (v->is_string()) {
    out = v->as_string();
    return;
  }
  diagnostics.push_back(history_diagnostic(
      DiagnosticCode::InvalidFieldType, Severity::Warning,
      concat("Field '", key, "' expected string, got ", v->type_name()), path, line));
}

// What every attachment of a record takes over from its prompt.
struct PromptContext {
  Shared<std::string> session_id;
  Shared<std::string> working_directory;
  std::optional<DateTime> timestamp;
};

void append_pasted_contents(const JsonValue& pasted, const PromptContext& prompt,
                            std::string_view path, const EventIds& ids, uint64_t line,
                            ReaderOutput& out) {
  const std::vector<std::string> keys = sorted_map_keys(pasted.as_object());
  for (size_t position = 0; position < keys.size(); ++position) {
    const std::string& key = keys[position];
    const JsonValue& entry = *pasted.find(key);
    auto entry_warning = [&](std::string message) {
      out.diagnostics.push_back(history_diagnostic(DiagnosticCode::InvalidFieldType,
                                                   Severity::Warning, std::move(message), path,
                                                   line, key));
    };
    if (!entry.is_object()) {
      entry_warning(concat("pastedContents[", key, "] is not an object, skipping"));
      continue;
    }

    std::string entry_type = "text";
    if (const JsonValue* t = entry.find("type")) {
      if (t->is_string()) {
        entry_type = t->as_string();
      } else {
        entry_warning(
            concat("pastedContents[", key, "].type expected string, got ", t->type_name()));
      }
    }
    std::optional<std::string> content;
    if (const JsonValue* c = entry.find("content")) {
      if (c->is_string()) {
        content = c->as_string();
      } else {
        entry_warning(
            concat("pastedContents[", key, "].content expected string, got ", c->type_name()));
      }
    }
    std::optional<std::string> reference;
    if (const JsonValue* h = entry.find("contentHash")) {
      if (h->is_string()) {
        reference = h->as_string();
      } else {
        entry_warning(
            concat("pastedContents[", key, "].contentHash expected string, got ", h->type_name()));
      }
    }

    TimelineEvent e;
    e.provider = Provider::ClaudeCode;
    e.event_type =
        entry_type.starts_with("image") ? EventType::ImageAttachment : EventType::PasteAttachment;
    e.session_id = prompt.session_id;
    e.working_directory = prompt.working_directory;
    e.timestamp = prompt.timestamp;
    e.timestamp_source =
        prompt.timestamp ? TimestampSource::ReferencedEvent : TimestampSource::None;
    e.source = history_source(path, line, reference);
    e.source.record_type = "pasted_content";

    ArtifactInfo a;
    a.media_type = entry_type;
    if (content) {
      a.size = content->size();
      a.sha256 = sha256_bytes(*content);
      a.content_encoding = ContentEncoding::Utf8;
      a.content = std::move(content);
    }
    if (reference) {
      a.reference_status = ReferenceStatus::Missing;
    } else if (a.content) {
      a.reference_status = ReferenceStatus::Resolved;
    }
    e.artifact = std::move(a);
    e.event_id = ids.id(concat("history:", line, ":paste:", key), position);
    out.events.push_back(std::move(e));
  }
}

}  // namespace

std::vector<std::string> sorted_map_keys(const JsonObject& object) {
  std::vector<std::string> keys;
  keys.reserve(object.size());
  for (const JsonMember& m : object) keys.push_back(m.key);
  // Byte order is the fallback and the tie-break among equal numbers.
  std::sort(keys.begin(), keys.end());

  std::vector<std::pair<int64_t, size_t>> numeric;
  numeric.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    std::optional<int64_t> n = parse_signed_decimal(keys[i]);
    if (!n) return keys;
    numeric.emplace_back(*n, i);
  }
  std::stable_sort(numeric.begin(), numeric.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> ordered;
  ordered.reserve(keys.size());
  for (const auto& [value, index] : numeric) ordered.push_back(std::move(keys[index]));
  return ordered;
}

ReaderOutput parse_history_record(JsonValue record, std::string_view display_path,
                                  const EventIds& ids, uint64_t line, bool include_raw) {
  ReaderOutput out;
  if (!record.is_object()) {
    out.diagnostics.push_back(history_diagnostic(DiagnosticCode::UnknownRecord, Severity::Warning,
                                                 std::string(kNotObject), display_path, line));
    return out;
  }

  TimelineEvent prompt;
  prompt.provider = Provider::ClaudeCode;
  prompt.event_type = EventType::PromptInput;

  if (const JsonValue* display = record.find("display")) {
    if (display->is_string()) {
      prompt.message = display->as_string();
    } else {
      out.diagnostics.push_back(
          history_diagnostic(DiagnosticCode::InvalidFieldType, Severity::Warning,
                             concat("Field 'display' expected string, got ", display->type_name()),
                             display_path, line));
    }
  }
  if (!prompt.message) {
    if (const std::string* m = record.find_string("message")) {
      prompt.message = *m;
    } else if (const std::string* q = record.find_string("query")) {
      prompt.message = *q;
    }
  }
  std::optional<std::string> session_id;
  std::optional<std::string> working_directory;
  expect_string(record, "sessionId", session_id, out.diagnostics, display_path, line);
  expect_string(record, "project", working_directory, out.diagnostics, display_path, line);
  prompt.session_id = std::move(session_id);
  prompt.working_directory = std::move(working_directory);

  PromptTimestamp ts =
      read_timestamp(record.find("timestamp"), display_path, line, prompt.warnings);
  prompt.timestamp = ts.value;
  prompt.timestamp_source = ts.source;
  prompt.timestamp_raw = std::move(ts.raw);

  prompt.source = history_source(display_path, line);
  prompt.source.record_type = "history";
  prompt.event_id = ids.id(concat("history:", line));
  const PromptContext context{prompt.session_id, prompt.working_directory, prompt.timestamp};
  out.events.push_back(std::move(prompt));

  const JsonValue* pasted = record.find("pastedContents");
  if (pasted != nullptr && !pasted->is_object()) {
    out.diagnostics.push_back(history_diagnostic(
        DiagnosticCode::InvalidFieldType, Severity::Warning,
        concat("Field 'pastedContents' expected object, got ", pasted->type_name()), display_path,
        line));
  } else if (pasted != nullptr) {
    append_pasted_contents(*pasted, context, display_path, ids, line, out);
  }
  // Nothing reads the record after this: the prompt takes it whole, which for
  // a huge line saves a copy of every byte.
  if (include_raw) out.events.front().raw = std::move(record);
  return out;
}

Result<HistoryFileResult> read_history_file(const std::filesystem::path& path,
                                            const ParseContext& context,
                                            const std::filesystem::path& evidence_root,
                                            const HistoryEventsTaker& take) {
  const std::string display = relative_path(path, evidence_root);
  const EventIds ids(Provider::ClaudeCode, ArtifactKind::History,
                     relative_path_id(path, evidence_root));
  HistoryFileResult result;
  SourceInfo file_source;
  file_source.artifact_kind = ArtifactKind::History;
  file_source.relative_path = display;
  // Claude Code never compresses its history, whatever the file is named.
  TQ_TRY(OpenedLineFile opened,
         open_line_file(path, Compression::None, context, std::move(file_source)));
  if (!opened.lines) {
    result.diagnostics.push_back(std::move(*opened.problem));
    return result;
  }
  std::vector<TimelineEvent> made;
  std::optional<Error> refused;  // by `take`, which ends the file
  auto hand_over = [&] {
    if (made.empty() || refused) return;
    if (Status taken = take(std::move(made)); !taken) refused = std::move(taken.error());
    made.clear();
  };
  auto on_object = [&](uint64_t line, JsonValue object) {
    if (refused) return;
    ReaderOutput record =
        parse_history_record(std::move(object), display, ids, line, context.options.include_raw);
    std::move(record.events.begin(), record.events.end(), std::back_inserter(made));
    std::move(record.diagnostics.begin(), record.diagnostics.end(),
              std::back_inserter(result.diagnostics));
    if (made.size() >= kEventsPerHandOver) hand_over();
  };
  TQ_TRY(result.sha256,
         read_object_lines(std::move(*opened.lines), path, context, display, ArtifactKind::History,
                           result.diagnostics, on_object, nullptr, kHistoryLines));
  hand_over();
  if (refused) return std::unexpected(std::move(*refused));
  return result;
}

Result<HistoryFileResult> parse_history_file(const std::filesystem::path& path,
                                             const ParseContext& context,
                                             const std::filesystem::path& evidence_root) {
  UnstampedEvents events(context);
  TQ_TRY(HistoryFileResult result,
         read_history_file(path, context, evidence_root, [&](std::vector<TimelineEvent>&& made) {
           return events.take(std::move(made));
         }));
  TQ_CHECK(events.stamp(result.sha256));
  result.events = events.take_kept();
  return result;
}

}  // namespace tq::claude
