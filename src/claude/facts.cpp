#include "claude/facts.h"

#include <array>
#include <utility>

#include "files/paths.h"
#include "model/text.h"
#include "reading/facts.h"

namespace tq::claude {
namespace {

// Claude Code's own tools, by what they do.
constexpr std::array kToolKinds{
    ToolKindByName{"Bash", ToolKind::Shell},
    ToolKindByName{"BashOutput", ToolKind::Shell},
    ToolKindByName{"KillShell", ToolKind::Shell},
    ToolKindByName{"Read", ToolKind::Read},
    ToolKindByName{"NotebookRead", ToolKind::Read},
    ToolKindByName{"Write", ToolKind::Write},
    ToolKindByName{"Edit", ToolKind::Edit},
    ToolKindByName{"MultiEdit", ToolKind::Edit},
    ToolKindByName{"NotebookEdit", ToolKind::Edit},
    ToolKindByName{"Glob", ToolKind::Search},
    ToolKindByName{"Grep", ToolKind::Search},
    ToolKindByName{"LS", ToolKind::Search},
    ToolKindByName{"WebFetch", ToolKind::WebFetch},
    ToolKindByName{"WebSearch", ToolKind::WebSearch},
    ToolKindByName{"Task", ToolKind::Subagent},
    ToolKindByName{"Agent", ToolKind::Subagent},
    ToolKindByName{"TodoWrite", ToolKind::Plan},
    ToolKindByName{"ExitPlanMode", ToolKind::Plan},
    ToolKindByName{"EnterPlanMode", ToolKind::Plan},
};

// Text Claude Code writes into a user record on the user's behalf, by how it starts.
constexpr std::array kInjectedPrompts{
    InjectedPrompt{"<local-command-stdout>", PromptOrigin::LocalCommand, Actor::System},
    InjectedPrompt{"<local-command-stderr>", PromptOrigin::LocalCommand, Actor::System},
    InjectedPrompt{"<bash-stdout>", PromptOrigin::LocalCommand, Actor::System},
    InjectedPrompt{"[Request interrupted by user", PromptOrigin::Interruption, Actor::User},
};

// The first words of the result Claude Code writes when the user refuses a
// tool call it asked permission for.
constexpr std::string_view kRefused = "The user doesn't want to proceed with this tool use.";

bool member_true(const JsonValue& value, std::string_view key) {
  const JsonValue* v = value.find(key);
  return v != nullptr && v->is_bool() && v->as_bool();
}

void read_tool_input(const JsonValue& input, TimelineEvent& event, EventFacts& facts,
                     ToolFacts& tool) {
  std::vector<std::string>& warnings = event.warnings;
  const Shared<std::string>& cwd = event.working_directory;
  auto path = [&](std::string_view key, std::vector<std::string>& into) {
    if (const std::string* p = input.find_string(key)) add_path(into, *p, cwd, warnings);
  };
  switch (tool.kind.value_or(ToolKind::Other)) {
    case ToolKind::Shell:
      tool.command_line = copy_of(input.find_string("command"));
      if (tool.command_line && cwd) tool.working_directory = *cwd;
      break;
    case ToolKind::Read:
      path("file_path", tool.files_read);
      path("notebook_path", tool.files_read);
      break;
    case ToolKind::Write:
    case ToolKind::Edit:
      path("file_path", tool.files_changed);
      path("notebook_path", tool.files_changed);
      break;
    case ToolKind::Search:
      if (const std::string* pattern = input.find_string("pattern")) {
        tool.queries.push_back(*pattern);
      }
      break;
    case ToolKind::WebFetch:
      if (const std::string* url = input.find_string("url")) tool.urls.push_back(*url);
      break;
    case ToolKind::WebSearch:
      if (const std::string* query = input.find_string("query")) tool.queries.push_back(*query);
      break;
    case ToolKind::Subagent:
      facts.agent_type = copy_of(input.find_string("subagent_type"));
      facts.agent_description = copy_of(input.find_string("description"));
      break;
    default:
      break;
  }
}

// Whether a tool result's content says the user refused the call.
bool refused(const JsonValue* content) {
  if (content == nullptr) return false;
  if (content->is_string()) return content->as_string().starts_with(kRefused);
  if (!content->is_array() || content->as_array().empty()) return false;
  const std::string* text = content->as_array().front().find_string("text");
  return text != nullptr && text->starts_with(kRefused);
}

}  // namespace

TranscriptFacts::TranscriptFacts(const std::filesystem::path& path) {
  std::optional<std::string> stem = file_stem_bytes(path);
  file_stem_ = stem.value_or("");
  constexpr std::string_view kAgentPrefix = "agent-";
  if (file_stem_.starts_with(kAgentPrefix) && file_stem_.size() > kAgentPrefix.size()) {
    file_agent_ = file_stem_.substr(kAgentPrefix.size());
  }
}

std::string TranscriptFacts::key(const JsonValue& record, const TimelineEvent& event,
                                 std::string_view ordinal) const {
  // A record's uuid names it in every copy of its file; a record without one
  // is named by its line within its file, whose name is the session's or the
  // subagent's.
  const std::string* uuid = record.find_string("uuid");
  const std::string place =
      uuid != nullptr
          ? concat("uuid:", *uuid, ":", ordinal)
          : concat(file_stem_, ":line:", event.source.line_number.value_or(0), ":", ordinal);
  return record_key(Provider::ClaudeCode, event.session_id.value_or(""), place);
}

void TranscriptFacts::read_who(const JsonValue& record, EventFacts& facts,
                               const TimelineEvent& event) const {
  const std::string* agent = record.find_string("agentId");
  if (agent == nullptr && file_agent_) agent = &*file_agent_;
  if (agent == nullptr && !member_true(record, "isSidechain")) return;
  facts.agent_id = copy_of(agent);
  // A subagent's records carry the session of the agent that started it.
  facts.parent_session_id = event.session_id ? std::optional(*event.session_id) : std::nullopt;
}

void TranscriptFacts::read_block(const JsonValue& record, std::string_view role,
                                 const JsonValue& block, TimelineEvent& event) const {
  EventFacts& facts = event.facts.held();
  read_who(record, facts, event);
  const bool subagent = facts.parent_session_id.has_value();
  const Actor agent = subagent ? Actor::Subagent : Actor::Agent;
  const std::string* type = block.find_string("type");
  const std::string_view kind = type != nullptr ? std::string_view(*type) : "";
  if (role == "assistant") {
    facts.actor = agent;
  } else if (kind == "text" && event.event_type == EventType::PromptInput && event.message) {
    facts.prompt_origin = subagent ? PromptOrigin::Agent : PromptOrigin::Typed;
    facts.actor = subagent ? Actor::Agent : Actor::User;
    if (const InjectedPrompt* injected = injected_prompt(kInjectedPrompts, *event.message)) {
      facts.prompt_origin = injected->origin;
      facts.actor = injected->actor;
    }
  } else if (event.event_type == EventType::DeveloperMessage) {
    facts.actor = Actor::System;
    facts.prompt_origin = PromptOrigin::Instructions;
  } else if (event.event_type == EventType::ContextCompacted) {
    facts.actor = Actor::System;
  } else if (event.event_type == EventType::ImageAttachment) {
    facts.actor = subagent ? Actor::Agent : Actor::User;
  } else {
    facts.actor = agent;
  }
  if (kind == "tool_use" && role == "assistant") {
    ToolFacts& tool = facts.tool.held();
    name_tool(kToolKinds, block.find_string("name"), tool);
    tool.call_id = copy_of(block.find_string("id"));
    const JsonValue* input = block.find("input");
    if (input != nullptr && input->is_object()) read_tool_input(*input, event, facts, tool);
  } else if (kind == "tool_result" && role == "user") {
    ToolFacts& tool = facts.tool.held();
    tool.call_id = copy_of(block.find_string("tool_use_id"));
    if (const JsonValue* is_error = block.find("is_error"); is_error && is_error->is_bool()) {
      tool.error = is_error->as_bool();
    }
    if (refused(block.find("content"))) {
      tool.outcome = "denied";
      tool.error = true;
    }
  }
}

void TranscriptFacts::read_record(const JsonValue& record, std::string_view type,
                                  TimelineEvent& event) const {
  EventFacts& facts = event.facts.held();
  read_who(record, facts, event);
  if (event.event_type == EventType::ContextCompacted) facts.actor = Actor::System;
  if (event.event_type == EventType::HookRun) {
    facts.actor = Actor::Hook;
    const JsonValue* hook = type == "attachment" ? record.find("attachment") : record.find("data");
    if (hook == nullptr || !hook->is_object()) return;
    ToolFacts& tool = facts.tool.held();
    tool.kind = ToolKind::Shell;
    tool.name = copy_of(hook->find_string("hookName"));
    tool.command_line = copy_of(hook->find_string("command"));
    tool.call_id = copy_of(hook->find_string("toolUseID"));
    tool.exit_code = exit_code_of(hook->find("exitCode"), event.warnings);
    if (tool.exit_code) tool.error = *tool.exit_code != 0;
    if (const JsonValue* ms = hook->find("durationMs"); ms != nullptr && ms->is_uint()) {
      tool.duration_ns = ms->as_uint() * 1'000'000;
    }
    return;
  }
  if (event.event_type == EventType::PromptInput) {
    facts.actor = Actor::User;
    facts.prompt_origin = PromptOrigin::Queued;
  }
}

void TranscriptFacts::read_usage(const JsonValue& message, TimelineEvent& event) const {
  const JsonValue* usage = message.find("usage");
  if (usage == nullptr || !usage->is_object()) return;
  UsageFacts& facts = event.facts.held().usage.held();
  facts.model = copy_of(message.find_string("model"));
  facts.input_tokens = count_at(usage, "input_tokens");
  facts.output_tokens = count_at(usage, "output_tokens");
  facts.cache_read_input_tokens = count_at(usage, "cache_read_input_tokens");
}

}  // namespace tq::claude
