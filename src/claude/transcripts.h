// File: claude/transcripts.h
//
// Claude Code writes the conversation of every session to
// `projects/<encoded working directory>/<session id>.jsonl`, one JSON record per
// line, and each subagent's conversation to `projects/<dir>/agent-<id>.jsonl`
// (older) or `projects/<dir>/<session id>/subagents/agent-<id>.jsonl` (newer),
// in the same shape. A user or assistant record holds a list of content blocks
// (a string content is one text block); each block becomes one event, and the
// events of a record share its session, directory, time and raw value, so that
// a record costs its size once whatever its number of blocks. Claude
// writes one record per block of a response, all carrying the response's
// usage, so each distinct `message.id` gives one token_usage event.
//
//   TQ_TRY(TranscriptOutput t, scan_transcripts(root / "projects", options, evidence_root));
//   apply_snapshot_origins(t.snapshot_origins, snapshot_events);
//
// | record                    | events                                              |
// | user                      | text: prompt_input (isMeta: developer_message,      |
// |                           | isCompactSummary: context_compacted); tool_result:  |
// |                           | tool_result; image: image_attachment                |
// | assistant                 | text: agent_message; thinking: agent_reasoning;     |
// |                           | tool_use: tool_call; + token_usage per message.id   |
// | system                    | task_state (compact_boundary: context_compacted)    |
// | summary, queue-operation, | task_state                                          |
// | file-history-snapshot     |                                                     |
// | anything else             | unknown, with "Unmapped Claude transcript record    |
// |                           | type: {type}" (and /{block} for a block) on the event|
//
// Tool names are always in the message; tool inputs and results only with
// include_content. `source.source_id` is the tool-use id of tool events, the
// message id of token_usage events and the record's uuid otherwise. A
// subagent's events keep the parent's session id; the subagent is the file,
// `agent-<agentId>.jsonl`, named in `source.relative_path`.
//
// Lines are read as every JSON-lines file is (reading/json_lines.h): unreadable
// lines and invalid JSON are error diagnostics, and end the parse in strict
// mode. Problems inside a record are warnings. A transcript that can't be
// opened is an error diagnostic "Cannot open file: …" in best-effort mode and the
// Io error in strict mode; the other transcripts are read all the same. Every
// transcript is opened and walked through the parse's scope (files/evidence.h).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/datetime.h"
#include "model/json_value.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::claude {

// Where a file-history backup came from, as a file-history-snapshot record
// tells it: `trackedFileBackups` maps the edited file's path to its backup.
struct SnapshotOrigin {
  Shared<std::string> session_id;  // never absent
  std::string backup_file_name;    // "<id>@v<version>", the file's name in file-history/<session>/
  std::string original_path;
  std::optional<DateTime> backup_time;
  Shared<JsonValue> backup_time_raw;
};

// A session's slug, the short name Claude Code gives it (`"slug"` on its
// records) and names its plan after (`plans/<slug>.md`).
struct SessionSlug {
  std::string slug;
  std::string session_id;
  friend auto operator<=>(const SessionSlug&, const SessionSlug&) = default;
};

struct TranscriptOutput {
  ReaderOutput output;
  // In file order, then line order; the first origin of a backup wins.
  std::vector<SnapshotOrigin> snapshot_origins;
  // Each pair the records of a transcript name, once per file; read only for
  // the whole surface.
  std::vector<SessionSlug> slugs;
};

// One transcript file. Options read: max_line_size, mode, include_raw,
// include_content, max_content_size, scope. Error: in strict mode a file that
// can't be opened and bad lines; in any mode a fault of the machine.
[[nodiscard]] Result<TranscriptOutput> parse_transcript_file(
    const std::filesystem::path& path, const ParseContext& context,
    const std::filesystem::path& evidence_root);

// A transcript file directly, or every `*.jsonl` below a `projects` directory,
// in path order. Options read: follow_symlinks and those of
// parse_transcript_file. Error: as parse_transcript_file.
[[nodiscard]] Result<TranscriptOutput> scan_transcripts(const std::filesystem::path& path,
                                                        const ParseContext& context,
                                                        const std::filesystem::path& evidence_root);

// Gives each file_snapshot event whose session and file name an origin names
// the original path as its message and the backup time as its timestamp
// (`referenced_event`); the file's own times stay in `fs_times`.
// Adds the transcripts `scan_transcripts` would read to `listing`; a fault of
// the machine is the error the scan would return.
[[nodiscard]] Status list_transcripts(const std::filesystem::path& path,
                                      const ParseContext& context, FileListing& listing);

void apply_snapshot_origins(const std::vector<SnapshotOrigin>& origins, EventList& snapshots);

}  // namespace tq::claude
