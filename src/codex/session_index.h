// File: codex/session_index.h
//
// Codex names its threads in session_index.jsonl, one JSON object per line:
// {"id": "<session uuid>", "thread_name": "...", "updated_at": "<RFC 3339>"}.
// Each object line becomes one task_state event of that session whose message
// is the name, record type kSessionTitleRecord; the summary shows a session's
// latest name as its title. Read on the whole surface only (Timeline and the
// command); line rules as for every JSON-lines file (reading/json_lines.h).
#pragma once

#include <filesystem>
#include <string_view>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/json_lines.h"

namespace tq::codex {

inline constexpr std::string_view kSessionIndexName = "session_index.jsonl";

[[nodiscard]] Result<LineFileOutput> parse_session_index_file(
    const std::filesystem::path& path, const ParseContext& context,
    const std::filesystem::path& evidence_root);

}  // namespace tq::codex
