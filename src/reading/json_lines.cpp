#include "reading/json_lines.h"

#include <optional>

#include "files/paths.h"
#include "jsonl/json_parser.h"
#include "model/text.h"
#include "ordering/ordering.h"

namespace tq {
namespace {

// Length of the UTF-8 white-space character (Unicode White_Space) starting at
// `pos`, or 0. The text is valid UTF-8 here.
size_t white_space_at(std::string_view s, size_t pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(pos);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && pos + 1 < s.size() && (byte(pos + 1) == 0x85 || byte(pos + 1) == 0xA0)) {
    return 2;
  }
  if (pos + 2 >= s.size()) return 0;
  unsigned char c1 = byte(pos + 1);
  unsigned char c2 = byte(pos + 2);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;  // U+1680
  if (c == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) {
    return 3;  // U+2000..200A, U+2028, U+2029, U+202F (c2 is a continuation byte)
  }
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  return 0;
}

// The start of the UTF-8 character that ends just before `end`.
size_t previous_char_start(std::string_view s, size_t end) {
  size_t pos = end - 1;
  while (pos > 0 && (static_cast<unsigned char>(s[pos]) & 0xC0) == 0x80) --pos;
  return pos;
}

std::string_view trim_line(std::string_view line) {
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  size_t begin = 0;
  while (begin < line.size()) {
    size_t n = white_space_at(line, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = line.size();
  while (end > begin) {
    size_t start = previous_char_start(line, end);
    if (white_space_at(line, start) != end - start) break;
    end = start;
  }
  return line.substr(begin, end - begin);
}

Diagnostic line_diagnostic(DiagnosticCode code, Severity severity, ArtifactKind kind,
                           std::string_view relative_path, uint64_t line, std::string message) {
  return Diagnostic{code, severity, line_source(kind, relative_path, line), std::move(message)};
}

}  // namespace

SourceInfo line_source(ArtifactKind artifact_kind, std::string_view relative_path,
                       uint64_t line_number) {
  SourceInfo source;
  source.artifact_kind = artifact_kind;
  source.relative_path = std::string(relative_path);
  source.line_number = line_number;
  return source;
}

Compression line_file_compression(const std::filesystem::path& path) {
  std::optional<std::string> name = file_name_bytes(path);
  return name && name->ends_with(".zst") ? Compression::Zstd : Compression::None;
}

const ObjectLineRules kObjectLineRules{
    .too_long =
        [](uint64_t length, uint64_t max_line_size) {
          return concat("Line size ", length, " exceeds max_line_size ", max_line_size,
                        ", skipping.");
        },
    .too_long_in_strict_mode = {},
    .not_object = "Top-level JSON value is not an object.",
};

Result<std::string> read_object_lines(const std::filesystem::path& path,
                                      const ParseContext& context, std::string_view relative_path,
                                      ArtifactKind artifact_kind,
                                      std::vector<Diagnostic>& diagnostics,
                                      const ObjectLineHandler& on_object, const JsonShape* shape) {
  SourceInfo file_source;
  file_source.artifact_kind = artifact_kind;
  file_source.relative_path = std::string(relative_path);
  TQ_TRY(OpenedLineFile opened,
         open_line_file(path, line_file_compression(path), context, std::move(file_source)));
  if (!opened.lines) {
    diagnostics.push_back(std::move(*opened.problem));
    return std::string();
  }
  return read_object_lines(std::move(*opened.lines), path, context, relative_path, artifact_kind,
                           diagnostics, on_object, shape);
}

const JsonShape* record_shape(const ParserOptions& options, const JsonShape& plain,
                              const JsonShape& with_content) {
  if (options.include_raw) return nullptr;
  return options.include_content ? &with_content : &plain;
}

Result<std::string> read_object_lines(BoundedLineReader lines, const std::filesystem::path& path,
                                      const ParseContext& context, std::string_view relative_path,
                                      ArtifactKind artifact_kind,
                                      std::vector<Diagnostic>& diagnostics,
                                      const ObjectLineHandler& on_object, const JsonShape* shape,
                                      const ObjectLineRules& rules) {
  JsonParser parser;
  while (LineItem* item = lines.next()) {
    uint64_t line = item->index + 1;
    if (const std::optional<LineFailure>& failure = item->failure) {
      if (failure->kind == LineFailure::Kind::Decompression) {
        // Not a line problem but the end of what the file can tell; strict mode
        // fails on it as on any error diagnostic.
        diagnostics.push_back(line_diagnostic(DiagnosticCode::UnreadableArtifact, Severity::Error,
                                              artifact_kind, relative_path, line,
                                              "Cannot decompress rollout: " + failure->text));
        continue;
      }
      if (context.strict()) return std::unexpected(Error::io(path, failure->text, failure->code));
      diagnostics.push_back(line_diagnostic(DiagnosticCode::UnreadableArtifact, Severity::Error,
                                            artifact_kind, relative_path, line,
                                            "Failed to read line: " + failure->text));
      continue;
    }
    std::string_view text = trim_line(item->text);
    if (text.empty()) continue;
    if (item->too_long) {
      if (context.strict() && !rules.too_long_in_strict_mode.empty()) {
        return std::unexpected(Error::strict(std::string(rules.too_long_in_strict_mode)));
      }
      diagnostics.push_back(line_diagnostic(
          DiagnosticCode::InvalidJson, Severity::Warning, artifact_kind, relative_path, line,
          rules.too_long(item->length, context.options.max_line_size)));
      continue;
    }
    std::expected<JsonValue, std::string> value = parser.parse_line(text, item->text, shape);
    if (!value) {
      if (context.strict()) {
        return std::unexpected(Error::json_parse(relative_path, line, value.error()));
      }
      diagnostics.push_back(line_diagnostic(DiagnosticCode::InvalidJson, Severity::Error,
                                            artifact_kind, relative_path, line,
                                            "Invalid JSON: " + value.error()));
      continue;
    }
    if (!value->is_object()) {
      diagnostics.push_back(line_diagnostic(DiagnosticCode::UnknownRecord, Severity::Warning,
                                            artifact_kind, relative_path, line,
                                            std::string(rules.not_object)));
      continue;
    }
    on_object(line, std::move(*value));
  }
  return std::move(lines).finalize();
}

namespace {

// Everything of an embedded time but keeping its value.
void read_embedded_time(TimelineEvent& event, const JsonValue* value, std::string_view field,
                        ArtifactKind artifact_kind, std::string_view relative_path,
                        uint64_t line_number, std::vector<Diagnostic>& diagnostics) {
  if (value != nullptr) {
    if (value->is_string()) event.timestamp = parse_rfc3339_strict(value->as_string());
    if (!event.timestamp) {
      diagnostics.push_back(Diagnostic{DiagnosticCode::InvalidTimestamp, Severity::Warning,
                                       line_source(artifact_kind, relative_path, line_number),
                                       concat("Field '", field, "' is not valid RFC 3339.")});
    }
  }
  event.timestamp_source = event.timestamp ? TimestampSource::Embedded : TimestampSource::None;
}

}  // namespace

void set_embedded_time(TimelineEvent& event, const JsonValue* value, std::string_view field,
                       ArtifactKind artifact_kind, std::string_view relative_path,
                       uint64_t line_number, std::vector<Diagnostic>& diagnostics) {
  read_embedded_time(event, value, field, artifact_kind, relative_path, line_number, diagnostics);
  if (value != nullptr) event.timestamp_raw = value->clone();
}

void take_embedded_time(TimelineEvent& event, JsonValue* value, std::string_view field,
                        ArtifactKind artifact_kind, std::string_view relative_path,
                        uint64_t line_number, std::vector<Diagnostic>& diagnostics) {
  read_embedded_time(event, value, field, artifact_kind, relative_path, line_number, diagnostics);
  if (value != nullptr) event.timestamp_raw = std::move(*value);
}

Result<LineFileOutput> read_event_lines(const std::filesystem::path& path,
                                        const ParseContext& context,
                                        const std::filesystem::path& evidence_root,
                                        Provider provider, ArtifactKind artifact_kind,
                                        std::string_view key_prefix, const EventLineFiller& fill) {
  LineFileOutput out;
  const std::string rel = relative_path(path, evidence_root);
  const EventIds ids(provider, artifact_kind, relative_path_id(path, evidence_root));
  auto on_object = [&](uint64_t line, JsonValue object) {
    TimelineEvent event;
    event.provider = provider;
    event.event_id = ids.id(concat(key_prefix, ":", line));
    event.sequence = out.events.size();
    event.source.artifact_kind = artifact_kind;
    event.source.relative_path = rel;
    event.source.line_number = line;
    fill(line, std::move(object), event, out);
    out.events.push_back(std::move(event));
  };
  TQ_TRY(out.sha256,
         read_object_lines(path, context, rel, artifact_kind, out.diagnostics, on_object));
  const Shared<std::string> digest(out.sha256);
  for (TimelineEvent& event : out.events) event.source_file_sha256 = digest;
  return out;
}

}  // namespace tq
