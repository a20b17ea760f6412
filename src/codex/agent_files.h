// File: codex/agent_files.h
//
// The files Codex keeps beside its rollouts, read as `agent_file` events
// (reading/agent_files.h) on the whole surface: `shell_snapshots/<session
// id>.<time>.sh`, the shell's environment saved for a session (record type
// shell_snapshot), tied to the session its name gives.
#pragma once

#include "reading/agent_files.h"

namespace tq::codex {

const AgentFileRules& agent_file_rules();

}  // namespace tq::codex
