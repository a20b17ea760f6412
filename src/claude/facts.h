// File: claude/facts.h
//
// The facts of a transcript's records: who wrote each block (the user, the
// agent, a subagent, a hook, the system), where a prompt came from, what a
// tool call asked for (its command, files, URLs, queries, subagent), whether
// its result failed or was refused, and which model used how many tokens.
// Everything comes from the record's own members; a value of an unexpected
// kind leaves its fact out and adds a warning to the event.
//
//   TranscriptFacts facts(path);
//   facts.read_block(record, "assistant", block, event);
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "model/json_value.h"
#include "model/model.h"

namespace tq::claude {

class TranscriptFacts {
 public:
  // A subagent's transcript is `agent-<id>.jsonl`: its records are the subagent's.
  explicit TranscriptFacts(const std::filesystem::path& path);

  // Facts of one content block of a user or assistant record (`role`).
  void read_block(const JsonValue& record, std::string_view role, const JsonValue& block,
                  TimelineEvent& event) const;
  // Facts of a record that is not part of the conversation (hooks, queued
  // prompts, compaction).
  void read_record(const JsonValue& record, std::string_view type, TimelineEvent& event) const;
  // Facts of the token usage of an assistant message.
  void read_usage(const JsonValue& message, TimelineEvent& event) const;
  // The record key of the `ordinal`th event of `record` (a line of this file).
  std::string key(const JsonValue& record, const TimelineEvent& event,
                  std::string_view ordinal) const;

 private:
  void read_who(const JsonValue& record, EventFacts& facts, const TimelineEvent& event) const;

  std::optional<std::string> file_agent_;  // the agent id the file's name gives
  std::string file_stem_;
};

}  // namespace tq::claude
