// File: codex/record_text.h
//
// What a person reads in a list for the records Codex writes today: the
// command a reviewer judged and the verdict, a command's exit code, the paths
// a patch changed, the query and pages of a web search, the model and
// directory of a turn. These event types and messages belong to the whole
// surface (`ParserOptions::transcripts`); the module functions keep the
// classification and messages of codex/sessions.h, whose output is fixed.
//
//   std::optional<EventType> type = classify_current_record("event_msg", payload);
//   std::optional<std::string> text = current_record_text("event_msg", payload, false);
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/json_value.h"
#include "model/model.h"

namespace tq::codex {

// The event type of a record the module functions leave unmapped (a reviewer's
// assessment, a completed item, an image viewed, a thread renamed, a ghost
// commit); none for any other record.
std::optional<EventType> classify_current_record(std::string_view record_type,
                                                 const JsonValue& payload);

// The message of a record whose text the module functions leave out or don't
// know; none where the record holds nothing to say beyond its type, or where
// the module functions' message stands. `include_content` adds a tool's
// output, as it does there.
std::optional<std::string> current_record_text(std::string_view record_type,
                                               const JsonValue& payload, bool include_content);

// The tool a current tool call calls when the record's kind is the tool (a web
// search, an image viewed), as its message names it; none for any other
// payload, whose own `name` says which tool it calls.
std::optional<std::string_view> current_tool_name(const JsonValue& payload);

// A command as recorded: its text, or its argv. The script of a shell started
// as `sh -c SCRIPT` or `sh -lc SCRIPT` is what was asked for; any other argv is
// shown word by word.
std::optional<std::string> command_text(const JsonValue* command);

}  // namespace tq::codex
