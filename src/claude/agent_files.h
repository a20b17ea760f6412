// File: claude/agent_files.h
//
// The files Claude Code keeps beside its transcripts, read as `agent_file`
// events (reading/agent_files.h) on the whole surface:
//
// | path below the profile                                   | record type    | session from    |
// | settings.json, settings.local.json                       | settings       | —               |
// | plans/<slug>.md                                          | plan           | the slug's      |
// | shell-snapshots/*.sh                                     | shell_snapshot | —               |
// | todos/<session>-agent-<agent>.json                       | todos          | its name        |
// | tasks/<session>/<n>.json                                 | task           | its directory   |
// | sessions/<pid>.json                                      | session_pid    | its content     |
// | projects/<dir>/memory/*.md                               | memory         | —               |
// | projects/<dir>/<session>/tool-results/<tool use>.txt     | tool_output    | its directory   |
// | projects/<dir>/<session>/subagents/agent-<id>.meta.json  | subagent_meta  | its directory   |
//
// A tool output's source id is the tool use whose result points to it; a
// subagent's meta file's is "agent-<id>", the name of the subagent's
// transcript; its event names the subagent, its type and description in
// `facts`, which ordering/links.h gives the subagent's own events.
#pragma once

#include <vector>

#include "claude/transcripts.h"
#include "reading/agent_files.h"

namespace tq::claude {

const AgentFileRules& agent_file_rules();

// Gives each plan event without a session the one session whose records name
// the plan's slug; a slug that several sessions carry ties its plan to none.
void tie_plans(const std::vector<SessionSlug>& slugs, EventList& agent_files);

}  // namespace tq::claude
