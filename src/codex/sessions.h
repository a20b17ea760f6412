// File: codex/sessions.h
//
// Codex records each session in a rollout file, sessions/YYYY/MM/DD/
// rollout-<time>-<uuid>.jsonl, one JSON record per line:
// {"timestamp": "...", "type": "...", "payload": {...}}. After about a week it
// compresses the file in place to rollout-….jsonl.zst (zstd), and archiving a
// session moves its rollout to archived_sessions/; both forms are read alike,
// the compressed one by streaming decompression. Every object line becomes
// exactly one event, classified by its record and payload types; a type with no
// mapping still becomes an event, of type unknown, with a warning on the event
// itself (not a diagnostic). The session id starts from the UUID at the end of
// the file name and the working directory from nothing; session_meta and
// turn_context records update them for their own event and the lines after,
// except that in a forked session's rollout (its first session_meta names
// forked_from_id) the replayed session_meta records keep the fork's id.
//
// Errors: in strict mode a line that can't be read or isn't JSON, and anywhere
// a fault of the machine (machine_fault); the first error ends the whole scan.
// A directory entry or a rollout that can't be opened (given directly or found
// by the walk) is an error diagnostic "Cannot read session artifact: …" and the
// scan goes on, as is damaged compressed data, after the lines decoded before
// it; a link or pseudo file the parse's scope refuses is a warning.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/json_lines.h"
#include "reading/listing.h"

namespace tq::codex {

// The sessions that have a rollout, by id.
using RolloutSessions = std::set<std::string, std::less<>>;

// A rollout file directly (whatever its name), or every rollout file below a
// directory, in path order. Options read: follow_symlinks and those of
// parse_session_file. When `sessions` is given, the id of every session a
// rollout's events name is added to it, before they go to a sink.
[[nodiscard]] Result<ReaderOutput> scan_sessions(const std::filesystem::path& path,
                                                 const ParseContext& context,
                                                 const std::filesystem::path& evidence_root,
                                                 RolloutSessions* sessions = nullptr);

// One rollout file. Options read: max_line_size, mode, include_raw, include_content.
// Adds the rollouts `scan_sessions` would read to `listing`; a fault of the
// machine is the error the scan would return.
[[nodiscard]] Status list_sessions(const std::filesystem::path& path, const ParseContext& context,
                                   FileListing& listing);

[[nodiscard]] Result<LineFileOutput> parse_session_file(const std::filesystem::path& path,
                                                        const ParseContext& context,
                                                        const std::filesystem::path& evidence_root);

// "rollout-….jsonl" or "rollout-….jsonl.zst".
bool is_rollout_file_name(std::string_view name);

// The lower-case UUID that ends a rollout file's stem
// ("rollout-2025-01-02T10-00-00-0194A1B2-…-0C1D2E3F4A5B.jsonl"), if any;
// ".jsonl.zst" counts as one extension.
std::optional<std::string> session_id_from_file_name(const std::filesystem::path& path);

// The event type of a record with type `record_type` and payload `payload`
// (null when the record has no payload object); none when the types are unmapped.
std::optional<EventType> classify_session_record(std::string_view record_type,
                                                 const JsonValue& payload);

}  // namespace tq::codex
