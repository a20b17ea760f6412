// File: codex/facts.h
//
// The facts of a rollout's records: who wrote each (the user, the agent, a
// spawned agent, the reviewer, the system), where a prompt came from, what a
// tool call ran and touched, what a result and a reviewer's decision say, and
// which model used how many tokens. Everything comes from the record's own
// members; a value of an unexpected kind leaves its fact out and adds a
// warning to the event. Read only on the whole surface.
//
//   RolloutFacts facts;
//   facts.read(record_type, payload, event);   // once per record, in order
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "jsonl/json_parser.h"
#include "model/json_value.h"
#include "model/model.h"

namespace tq::codex {

// What a rollout says of its session that holds for all its records: who its
// agent is, whose thread started it, and the model of the current turn.
class RolloutFacts {
 public:
  // Sets `event.facts` from the record (`payload` is its payload, an object or
  // null); `event` already carries its session, directory and time.
  void read(std::string_view record_type, const JsonValue& payload, TimelineEvent& event);

 private:
  void read_session_meta(const JsonValue& payload, EventFacts& facts);
  void read_prompt(const std::string& text, EventFacts& facts) const;

  bool meta_seen_ = false;
  Actor agent_ = Actor::Agent;  // who the session's assistant is
  std::optional<std::string> agent_id_;
  std::optional<std::string> agent_type_;
  std::optional<std::string> parent_session_;
  std::optional<std::string> model_;  // the latest turn's
  JsonParser parser_;                 // for the JSON texts inside records, reused across them
};

// The literal arguments of each `tools.exec_command({cmd, workdir})` in a
// code-mode script: a call whose cmd is not a plain string literal is skipped.
struct ScriptCommand {
  std::string cmd;
  std::optional<std::string> workdir;
};
std::vector<ScriptCommand> script_commands(std::string_view script);

// The files an apply_patch text adds, updates, deletes or moves to, in order;
// none when the text is not a patch.
std::optional<std::vector<std::string>> patch_files(std::string_view patch);

}  // namespace tq::codex
