// File: ordering/ties.h
//
// An agent writes some facts about a subagent into a file of their own, not
// into the subagent's records: Claude Code keeps a subagent's type and the
// description its parent gave it in `agent-<id>.meta.json` beside the
// subagent's transcript. This pass gives each event of that subagent (same
// provider, session and agent id) the type and description such a file's
// event holds, where the event doesn't already say them. Nothing is guessed:
// an event without an agent id, or a subagent without such a file, is left
// as it is.
//
//   tie_agent_files(report.events);   // once, after every file is read
#pragma once

#include "model/model.h"

namespace tq {

void tie_agent_files(EventTable& events);

}  // namespace tq
