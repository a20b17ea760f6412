// File: reading/json_lines.h
//
// The line-level rules the agents' JSON-lines files share (Codex's history,
// session index and rollouts, Claude Code's history and transcripts): each line
// is read through the bounded, hashing line reader and must hold one JSON
// object. Lines that don't are reported here, the same way for every file, and
// only object lines reach the caller. A kind of file words two of the problems
// its own way (`ObjectLineRules`).
//
//   std::vector<Diagnostic> diagnostics;
//   Result<std::string> digest = read_object_lines(path, context, rel, ArtifactKind::History,
//       diagnostics, [&](uint64_t line, JsonValue object) { ...build one event... });
//
// | line problem   | diagnostic                                          | strict mode      |
// | can't be read  | error unreadable_artifact "Failed to read line: …"  | Io error         |
// | blank          | none; the line still counts                         |                  |
// | too long       | warning invalid_json (the rules' text)              | as the rules say |
// | not JSON       | error invalid_json "Invalid JSON: …"                | JsonParse error  |
// | not an object  | warning unknown_record (the rules' text)            | still a warning  |
// | damaged zstd   | error unreadable_artifact "Cannot decompress rollout: …" | still a diagnostic
// |
//
// Damaged compressed data ends the file: the lines decoded before it stand, and
// the diagnostic carries the number of the line it cut short. A file that can't
// be opened is an error diagnostic, and in strict mode the Io error
// (jsonl/line_reader.h, `open_line_file`). On success the result is the file's
// SHA-256 (of the bytes as stored) from the same single pass.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "jsonl/json_parser.h"
#include "jsonl/line_reader.h"
#include "model/model.h"

namespace tq {

// Called once per object line with its 1-based line number and the parsed
// object; it may append diagnostics of its own.
using ObjectLineHandler = std::function<void(uint64_t line_number, JsonValue object)>;

// What a kind of JSON-lines file says of its own line problems.
struct ObjectLineRules {
  // The warning for a line longer than max_line_size.
  std::string (*too_long)(uint64_t length, uint64_t max_line_size);
  // Strict mode's error for such a line; empty: a warning in strict mode too.
  std::string_view too_long_in_strict_mode;
  // The warning for a line whose JSON is no object.
  std::string_view not_object;
};
// The rules of every file but Claude Code's history, whose words are older.
extern const ObjectLineRules kObjectLineRules;

[[nodiscard]] Result<std::string> read_object_lines(
    const std::filesystem::path& path, const ParseContext& context, std::string_view relative_path,
    ArtifactKind artifact_kind, std::vector<Diagnostic>& diagnostics,
    const ObjectLineHandler& on_object, const JsonShape* shape = nullptr);
// The same over a file the caller has opened; `path` names it in errors. With a
// `shape`, each object holds only what the shape names (jsonl/json_parser.h).
[[nodiscard]] Result<std::string> read_object_lines(
    BoundedLineReader lines, const std::filesystem::path& path, const ParseContext& context,
    std::string_view relative_path, ArtifactKind artifact_kind,
    std::vector<Diagnostic>& diagnostics, const ObjectLineHandler& on_object,
    const JsonShape* shape = nullptr, const ObjectLineRules& rules = kObjectLineRules);

// What a reader reads of each record under `options`: all of it for `raw`,
// else its `plain` shape, or `with_content` when content is wanted.
const JsonShape* record_shape(const ParserOptions& options, const JsonShape& plain,
                              const JsonShape& with_content);

// How a line file is read: decompressed when its name ends in ".zst", as Codex
// names the rollouts it compresses.
Compression line_file_compression(const std::filesystem::path& path);

// The source every line-level diagnostic of a Codex line file carries.
SourceInfo line_source(ArtifactKind artifact_kind, std::string_view relative_path,
                       uint64_t line_number);

// What a Codex line file reader hands up: its events and diagnostics, and the
// file's SHA-256 as lowercase hex.
struct LineFileOutput {
  EventList events;
  std::vector<Diagnostic> diagnostics;
  std::string sha256;
};

// Sets the event's time from `value` (none: it has no time), which the agents
// write as RFC 3339 text, keeping the value as found; any other value leaves
// the event without a time and adds the warning invalid_timestamp "Field
// '{field}' is not valid RFC 3339." at the line.
void set_embedded_time(TimelineEvent& event, const JsonValue* value, std::string_view field,
                       ArtifactKind artifact_kind, std::string_view relative_path,
                       uint64_t line_number, std::vector<Diagnostic>& diagnostics);
// The same for a record that is not kept whole: the value is moved into the
// event instead of copied.
void take_embedded_time(TimelineEvent& event, JsonValue* value, std::string_view field,
                        ArtifactKind artifact_kind, std::string_view relative_path,
                        uint64_t line_number, std::vector<Diagnostic>& diagnostics);

// A file that gives one event per object line: `fill` sets what the line says
// (type, message, session, time, raw, …) and may add diagnostics; the rest is
// set here, once for every such file: provider, the id from `key_prefix` and
// the line number, the sequence, the source location and the file's digest.
using EventLineFiller = std::function<void(uint64_t line_number, JsonValue object,
                                           TimelineEvent& event, LineFileOutput& out)>;
[[nodiscard]] Result<LineFileOutput> read_event_lines(const std::filesystem::path& path,
                                                      const ParseContext& context,
                                                      const std::filesystem::path& evidence_root,
                                                      Provider provider, ArtifactKind artifact_kind,
                                                      std::string_view key_prefix,
                                                      const EventLineFiller& fill);

}  // namespace tq
