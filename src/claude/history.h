// File: claude/history.h
//
// Claude Code appends one JSON object per submitted prompt to `history.jsonl`.
// Each record becomes one `prompt_input` event, plus one `paste_attachment` or
// `image_attachment` event per entry of its `pastedContents` object.
//
//   TQ_TRY(HistoryFileResult h, parse_history_file(path, options, evidence_root));
//
// Problems inside a record are warnings (diagnostics, or the prompt event's own
// `warnings` for timestamp remarks) and never stop the file. Unreadable lines,
// over-long lines and invalid JSON are diagnostics in best-effort mode and end
// the file with an Error in strict mode, as does a file that can't be opened
// (an error diagnostic in best-effort mode). The file is read once: the lines and its SHA-256
// come from the same pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "ordering/ordering.h"

namespace tq::claude {

struct HistoryFileResult {
  std::vector<TimelineEvent> events;
  std::vector<Diagnostic> diagnostics;
  std::string sha256;  // of every byte of the file, lower-case hex
};

// Options read: max_line_size, mode, include_raw. Every event carries the file's
// digest in `source_file_sha256`; when the file fails nothing of it is returned.
[[nodiscard]] Result<HistoryFileResult> parse_history_file(
    const std::filesystem::path& path, const ParseContext& context,
    const std::filesystem::path& evidence_root);

// The events of a history, handed over a few hundred at a time as the file
// is read; they lack the file's digest, which is known only at its end.
using HistoryEventsTaker = std::function<Status(std::vector<TimelineEvent>&& events)>;
// Reads the history as parse_history_file does, but gives its events to
// `take` as they are made, in order and without `source_file_sha256` (the
// result's `sha256`), so the file's events are never all held at once; the
// result holds no events. An error from `take` ends the file and is returned.
[[nodiscard]] Result<HistoryFileResult> read_history_file(
    const std::filesystem::path& path, const ParseContext& context,
    const std::filesystem::path& evidence_root, const HistoryEventsTaker& take);
// How many events read_history_file makes before it hands them over.
inline constexpr size_t kEventsPerHandOver = 256;

// One parsed line. `display_path` is the file's relative path, `ids` its
// events' ids (made from the path as relative_path_id gives it), `line` its
// 1-based line number. Never fails.
ReaderOutput parse_history_record(JsonValue record, std::string_view display_path,
                                  const EventIds& ids, uint64_t line, bool include_raw);

// The keys of `object` in the order pasted contents are processed: by numeric
// value when every key is a signed 64-bit decimal integer (equal values keep
// their byte order), otherwise by byte order. So 2 comes before 10, and the keys
// a, 10, 2 are ordered 10, 2, a.
std::vector<std::string> sorted_map_keys(const JsonObject& object);

}  // namespace tq::claude
