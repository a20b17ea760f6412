// File: codex/history.h
//
// Codex keeps every prompt the user typed in history.jsonl, one JSON object per
// line: {"session_id": "...", "ts": <seconds>, "text": "..."}. Each object line
// becomes one prompt_input event; every key is optional, and a key of the wrong
// type costs a warning, never the event. Line-level problems follow the shared
// Codex line rules (reading/json_lines.h).
//
// Errors, in strict mode only: the file can't be opened or a line can't be read
// (Io), or a line isn't JSON (JsonParse). Everything else is a diagnostic.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/json_lines.h"

namespace tq::codex {

// Events (source_file_sha256 set on all), diagnostics and the file's digest.
// Options read: max_line_size, mode, include_raw.
[[nodiscard]] Result<LineFileOutput> parse_history_file(const std::filesystem::path& path,
                                                        const ParseContext& context,
                                                        const std::filesystem::path& evidence_root);

// A string member of a history line: none when `value` is null (the key is
// missing); the text for a JSON string; none for any other JSON value, after
// appending the warning "Field '{field}' expected string, got {type}".
std::optional<std::string> string_field(const JsonValue* value, std::string_view field,
                                        std::string_view relative_path, uint64_t line_number,
                                        std::vector<Diagnostic>& diagnostics);

}  // namespace tq::codex
