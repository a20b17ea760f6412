// File: model/facts.h
//
// What a record says about who acted, what a tool did, which model answered
// and at what cost, and which record an event is: the facts an investigator
// filters on, read from the records and never guessed. An event holds them
// through one pointer, allocated only when the record says something; every
// member is absent when its record doesn't say it.
//
// Names follow the Elastic Common Schema and the OpenTelemetry generative-AI
// conventions where those have one (tool.call_id is gen_ai.tool.call.id,
// tool.command_line is process.command_line, usage.model is
// gen_ai.request.model); the README maps each.
//
//   EventFacts& facts = event.facts.held();
//   facts.actor = Actor::Agent;
//   facts.tool.held().name = "Bash";
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/boxed.h"

namespace tq {

// Who wrote a record: the person, the agent, an agent it started, the agent
// that reviews its actions, a hook, or the system (injected instructions,
// environment context, compaction summaries).
enum class Actor : uint8_t { User, Agent, Subagent, Reviewer, Hook, System, Last = System };

// Where a prompt came from.
enum class PromptOrigin : uint8_t {
  Typed,         // typed by the user
  Queued,        // typed while the agent worked, and queued
  Instructions,  // injected instructions (AGENTS.md, CLAUDE.md, skills)
  Environment,   // environment context the agent adds
  LocalCommand,  // the output of a local command the user ran
  Interruption,  // the note that the user interrupted the agent
  Agent,         // written by an agent for another
  Reviewer,      // written by the reviewer
  Last = Reviewer
};

enum class ToolKind : uint8_t {
  Shell,
  Read,
  Write,
  Edit,
  Search,
  WebFetch,
  WebSearch,
  Mcp,
  Subagent,
  Plan,
  Image,
  Other,
  Last = Other
};

std::string_view json_text(Actor a);
std::string_view json_text(PromptOrigin o);
std::string_view json_text(ToolKind k);

struct ToolFacts {
  std::optional<std::string> name;     // gen_ai.tool.name
  std::optional<std::string> call_id;  // gen_ai.tool.call.id
  std::optional<ToolKind> kind;
  std::optional<std::string> command_line;       // process.command_line
  std::optional<std::string> working_directory;  // process.working_directory
  std::optional<int64_t> exit_code;              // process.exit_code
  std::optional<bool> error;                     // event.outcome failure
  std::optional<uint64_t> duration_ns;           // event.duration
  std::vector<std::string> files_read;           // file.path
  std::vector<std::string> files_changed;        // file.path
  std::optional<std::string> patch;              // the apply_patch text
  std::vector<std::string> urls;                 // url.full
  std::vector<std::string> queries;
  std::optional<std::string> mcp_server;
  std::optional<std::string> mcp_tool;
  // A decision's outcome (approved, denied, aborted…), as the record says it.
  std::optional<std::string> outcome;
  // A call's first result, or a result's call: the other event's id.
  std::optional<std::string> call_event_id;
  std::optional<std::string> result_event_id;
};

struct UsageFacts {
  std::optional<std::string> model;                 // gen_ai.request.model
  std::optional<uint64_t> input_tokens;             // gen_ai.usage.input_tokens
  std::optional<uint64_t> output_tokens;            // gen_ai.usage.output_tokens
  std::optional<uint64_t> cache_read_input_tokens;  // gen_ai.usage.cache_read.input_tokens
  std::optional<uint64_t> reasoning_output_tokens;  // reasoning, part of output_tokens
};

struct EventFacts {
  std::optional<Actor> actor;
  std::optional<std::string> agent_id;           // gen_ai.agent.id
  std::optional<std::string> agent_type;         // a subagent's type or role
  std::optional<std::string> agent_description;  // gen_ai.agent.description
  std::optional<std::string> parent_session_id;
  std::optional<PromptOrigin> prompt_origin;
  Boxed<ToolFacts> tool;
  Boxed<UsageFacts> usage;
  // The same for the same record wherever its file lies and however it is
  // stored: from the provider, the session and the record's place in it.
  std::optional<std::string> record_key;
  // The event id of the first event holding the same record, prompt, call or
  // result; absent on that first event.
  std::optional<std::string> duplicate_of;
};

}  // namespace tq
