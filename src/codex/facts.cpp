#include "codex/facts.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "codex/record_text.h"
#include "jsonl/json_parser.h"
#include "model/text.h"
#include "reading/facts.h"

namespace tq::codex {
namespace {

// The tools Codex offers its model, by what they do. write_stdin feeds a
// running command and runs none, so it is "other".
constexpr std::array kToolKinds{
    ToolKindByName{"shell", ToolKind::Shell},
    ToolKindByName{"shell_command", ToolKind::Shell},
    ToolKindByName{"local_shell", ToolKind::Shell},
    ToolKindByName{"container.exec", ToolKind::Shell},
    ToolKindByName{"exec_command", ToolKind::Shell},
    ToolKindByName{"apply_patch", ToolKind::Edit},
    ToolKindByName{"update_plan", ToolKind::Plan},
    ToolKindByName{"view_image", ToolKind::Image},
    ToolKindByName{"web_search", ToolKind::WebSearch},
    ToolKindByName{"spawn_agent", ToolKind::Subagent},
    ToolKindByName{"send_input", ToolKind::Subagent},
    ToolKindByName{"wait_agent", ToolKind::Subagent},
    ToolKindByName{"close_agent", ToolKind::Subagent},
    ToolKindByName{"resume_agent", ToolKind::Subagent},
    ToolKindByName{"list_mcp_resources", ToolKind::Mcp},
    ToolKindByName{"list_mcp_resource_templates", ToolKind::Mcp},
    ToolKindByName{"read_mcp_resource", ToolKind::Mcp},
};

// Text Codex puts into the conversation as if the user had written it, by the
// tag it starts with.
constexpr std::array kInjectedPrompts{
    InjectedPrompt{"<environment_context>", PromptOrigin::Environment, Actor::System},
    InjectedPrompt{"<user_instructions>", PromptOrigin::Instructions, Actor::System},
    InjectedPrompt{"# AGENTS.md instructions", PromptOrigin::Instructions, Actor::System},
    InjectedPrompt{"<user_shell_command>", PromptOrigin::LocalCommand, Actor::System},
    InjectedPrompt{"<turn_aborted>", PromptOrigin::Interruption, Actor::User},
};

const std::string* string_at(const JsonValue* value, std::string_view key) {
  return value != nullptr ? value->find_string(key) : nullptr;
}

// {"secs": 1, "nanos": 5} as nanoseconds.
std::optional<uint64_t> duration_ns(const JsonValue* duration, std::vector<std::string>& warnings) {
  if (duration == nullptr) return std::nullopt;
  const JsonValue* secs = duration->find("secs");
  const JsonValue* nanos = duration->find("nanos");
  if (secs != nullptr && secs->is_uint() && nanos != nullptr && nanos->is_uint() &&
      secs->as_uint() < uint64_t{1} << 32) {
    return secs->as_uint() * 1'000'000'000 + nanos->as_uint();
  }
  warnings.push_back("Duration is not {secs, nanos}");
  return std::nullopt;
}

void read_shell_arguments(const JsonValue& arguments, ToolFacts& tool) {
  const JsonValue* command = arguments.find("cmd");
  if (command == nullptr) command = arguments.find("command");
  tool.command_line = command_text(command);
  tool.working_directory = copy_of(arguments.find_string("workdir"));
}

void read_patch(std::string_view patch, const Shared<std::string>& cwd, ToolFacts& tool,
                std::vector<std::string>& warnings) {
  tool.patch = std::string(patch);
  std::optional<std::vector<std::string>> files = patch_files(patch);
  if (!files) {
    warnings.push_back("Patch does not parse");
    return;
  }
  for (const std::string& file : *files) add_path(tool.files_changed, file, cwd, warnings);
}

// A function's arguments are a JSON text, a custom tool's input is free text.
void read_call(const JsonValue& payload, JsonParser& parser, TimelineEvent& event,
               ToolFacts& tool) {
  name_tool(kToolKinds, payload.find_string("name"), tool);
  const std::string name = tool.name.value_or("");
  if (const std::string* input = payload.find_string("input")) {
    if (name == "apply_patch") read_patch(*input, event.working_directory, tool, event.warnings);
    if (name == "exec") {
      std::vector<ScriptCommand> commands = script_commands(*input);
      if (commands.empty()) return;
      tool.kind = ToolKind::Shell;
      std::string lines;
      for (const ScriptCommand& c : commands) lines += (lines.empty() ? "" : "\n") + c.cmd;
      tool.command_line = std::move(lines);
      if (commands.size() == 1) tool.working_directory = commands.front().workdir;
    }
    return;
  }
  const std::string* text = payload.find_string("arguments");
  if (text == nullptr) return;
  auto arguments = parser.parse(*text);
  if (!arguments || !arguments->is_object()) {
    event.warnings.push_back("Tool arguments are not a JSON object");
    return;
  }
  if (tool.kind == ToolKind::Shell) read_shell_arguments(*arguments, tool);
  if (tool.kind == ToolKind::Edit) {
    if (const std::string* patch = arguments->find_string("input")) {
      read_patch(*patch, event.working_directory, tool, event.warnings);
    }
  }
  if (tool.kind == ToolKind::Image) {
    if (const std::string* path = arguments->find_string("path")) {
      add_path(tool.files_read, *path, event.working_directory, event.warnings);
    }
  }
  if (tool.kind == ToolKind::Mcp && !tool.mcp_server) {
    tool.mcp_server = copy_of(arguments->find_string("server"));
  }
}

void read_parsed_command(const JsonValue* parsed, const Shared<std::string>& cwd, ToolFacts& tool,
                         std::vector<std::string>& warnings) {
  if (parsed == nullptr || !parsed->is_array()) return;
  for (const JsonValue& step : parsed->as_array()) {
    const std::string* type = step.find_string("type");
    if (type == nullptr) continue;
    if (*type == "read") {
      const std::string* path = step.find_string("path");
      if (path == nullptr) path = step.find_string("name");
      if (path != nullptr) add_path(tool.files_read, *path, cwd, warnings);
    } else if (*type == "search") {
      if (const std::string* query = step.find_string("query")) tool.queries.push_back(*query);
    }
  }
}

void read_exec_end(const JsonValue& payload, TimelineEvent& event, ToolFacts& tool) {
  tool.kind = ToolKind::Shell;
  tool.command_line = command_text(payload.find("command"));
  tool.working_directory = copy_of(payload.find_string("cwd"));
  tool.exit_code = exit_code_of(payload.find("exit_code"), event.warnings);
  if (tool.exit_code) tool.error = *tool.exit_code != 0;
  tool.duration_ns = duration_ns(payload.find("duration"), event.warnings);
  const Shared<std::string> cwd = tool.working_directory
                                      ? Shared<std::string>(*tool.working_directory)
                                      : event.working_directory;
  read_parsed_command(payload.find("parsed_cmd"), cwd, tool, event.warnings);
}

void read_patch_end(const JsonValue& payload, TimelineEvent& event, ToolFacts& tool) {
  tool.kind = ToolKind::Edit;
  if (const JsonValue* success = payload.find("success"); success && success->is_bool()) {
    tool.error = !success->as_bool();
  }
  const JsonValue* changes = payload.find("changes");
  if (changes == nullptr || !changes->is_object()) return;
  for (const JsonMember& change : changes->as_object()) {
    add_path(tool.files_changed, change.key, event.working_directory, event.warnings);
    if (const std::string* moved = change.value.find_string("move_path")) {
      add_path(tool.files_changed, *moved, event.working_directory, event.warnings);
    }
  }
}

void read_web_search(const JsonValue& payload, ToolFacts& tool) {
  tool.kind = ToolKind::WebSearch;
  tool.name = "web_search";
  const JsonValue* action = payload.find("action");
  if (const std::string* query = payload.find_string("query")) tool.queries.push_back(*query);
  if (const std::string* query = string_at(action, "query")) tool.queries.push_back(*query);
  if (const JsonValue* list = action != nullptr ? action->find("queries") : nullptr;
      list != nullptr && list->is_array()) {
    for (const JsonValue& query : list->as_array()) {
      if (query.is_string()) tool.queries.push_back(query.as_string());
    }
  }
  std::sort(tool.queries.begin(), tool.queries.end());
  tool.queries.erase(std::unique(tool.queries.begin(), tool.queries.end()), tool.queries.end());
  if (const std::string* url = string_at(action, "url")) {
    tool.urls.push_back(*url);
    tool.kind = ToolKind::WebFetch;
  }
}

void read_mcp_end(const JsonValue& payload, TimelineEvent& event, ToolFacts& tool) {
  tool.kind = ToolKind::Mcp;
  const JsonValue* invocation = payload.find("invocation");
  tool.mcp_server = copy_of(string_at(invocation, "server"));
  tool.mcp_tool = copy_of(string_at(invocation, "tool"));
  tool.duration_ns = duration_ns(payload.find("duration"), event.warnings);
  const JsonValue* result = payload.find("result");
  if (result != nullptr && result->is_object()) {
    if (result->find("Err") != nullptr) tool.error = true;
    if (const JsonValue* ok = result->find("Ok"); ok != nullptr && ok->is_object()) {
      const JsonValue* is_error = ok->find("isError");
      tool.error = is_error != nullptr && is_error->is_bool() && is_error->as_bool();
    }
  }
}

// Older shells answer with a JSON text holding the output and its metadata.
void read_output(const JsonValue& payload, JsonParser& parser, TimelineEvent& event,
                 ToolFacts& tool) {
  const std::string* output = payload.find_string("output");
  if (output == nullptr || !output->starts_with('{')) return;
  auto parsed = parser.parse(*output);
  const JsonValue* metadata = parsed && parsed->is_object() ? parsed->find("metadata") : nullptr;
  if (metadata == nullptr || !metadata->is_object()) return;
  tool.exit_code = exit_code_of(metadata->find("exit_code"), event.warnings);
  if (tool.exit_code) tool.error = *tool.exit_code != 0;
  if (const JsonValue* seconds = metadata->find("duration_seconds");
      seconds != nullptr && seconds->is_number() && seconds->number_as_double() >= 0) {
    tool.duration_ns = static_cast<uint64_t>(seconds->number_as_double() * 1e9);
  }
}

void read_guardian(const JsonValue& payload, TimelineEvent& event, ToolFacts& tool) {
  const JsonValue* action = payload.find("action");
  tool.call_id = copy_of(payload.find_string("target_item_id"));
  tool.outcome = copy_of(payload.find_string("status"));
  tool.name = copy_of(string_at(action, "type"));
  tool.command_line = command_text(action != nullptr ? action->find("command") : nullptr);
  tool.working_directory = copy_of(string_at(action, "cwd"));
  if (tool.command_line) tool.kind = ToolKind::Shell;
  if (!tool.outcome) event.warnings.push_back("Review decision has no status");
}

}  // namespace

void RolloutFacts::read_session_meta(const JsonValue& payload, EventFacts& facts) {
  const bool first = !meta_seen_;
  meta_seen_ = true;
  const JsonValue* source = payload.find("source");
  const JsonValue* subagent = source != nullptr ? source->find("subagent") : nullptr;
  const JsonValue* spawn = subagent != nullptr ? subagent->find("thread_spawn") : nullptr;
  if (first) {
    parent_session_ = copy_of(payload.find_string("forked_from_id"));
    if (spawn != nullptr) {
      agent_ = Actor::Subagent;
      parent_session_ = copy_of(spawn->find_string("parent_thread_id"));
      agent_id_ = copy_of(spawn->find_string("agent_nickname"));
      agent_type_ = copy_of(spawn->find_string("agent_role"));
    } else if (subagent != nullptr && subagent->is_string()) {
      // A review runs in a session of its own; other helpers are subagents.
      agent_ = subagent->as_string() == "review" ? Actor::Reviewer : Actor::Subagent;
      agent_type_ = subagent->as_string();
    }
  }
  facts.parent_session_id = parent_session_;
}

void RolloutFacts::read_prompt(const std::string& text, EventFacts& facts) const {
  if (const InjectedPrompt* injected = injected_prompt(kInjectedPrompts, text)) {
    facts.prompt.origin = injected->origin;
    facts.actor = injected->actor;
    return;
  }
  // The first prompts of a spawned agent or a review come from the agent
  // that started it, not from a person.
  if (agent_ == Actor::Agent) {
    facts.prompt.origin = PromptOrigin::Typed;
    facts.actor = Actor::User;
  } else {
    facts.prompt.origin = agent_ == Actor::Reviewer ? PromptOrigin::Reviewer : PromptOrigin::Agent;
    facts.actor = Actor::Agent;
  }
}

void RolloutFacts::read(std::string_view record_type, const JsonValue& payload,
                        TimelineEvent& event) {
  EventFacts& facts = event.facts.held();
  const std::string_view session = event.session_id ? std::string_view(*event.session_id) : "";
  facts.record_key =
      record_key(Provider::Codex, session, concat("line:", event.source.line_number.value_or(0)));
  if (record_type == "session_meta") return read_session_meta(payload, facts);
  if (record_type == "turn_context") {
    if (const std::string* model = payload.find_string("model")) {
      model_ = *model;
      facts.usage.held().model = model_;
    }
    return;
  }
  if (record_type == "compacted") {
    facts.actor = Actor::System;
    return;
  }
  const std::string* type_text = payload.find_string("type");
  const std::string_view type = type_text != nullptr ? std::string_view(*type_text) : "";
  const EventType event_type = event.event_type;
  if (event_type == EventType::PromptInput && event.message) {
    read_prompt(*event.message, facts);
    return;
  }
  if (event_type == EventType::DeveloperMessage) {
    facts.actor = Actor::System;
    facts.prompt.origin = PromptOrigin::Instructions;
    return;
  }
  if (event_type == EventType::AgentMessage || event_type == EventType::AgentReasoning) {
    facts.actor = agent_;
  }
  if (agent_id_ && (facts.actor == Actor::Subagent || event_type == EventType::ToolCall)) {
    facts.agent_id = agent_id_;
    facts.agent_type = agent_type_;
  }
  if (type == "token_count") {
    const JsonValue* info = payload.find("info");
    const JsonValue* last = info != nullptr ? info->find("last_token_usage") : nullptr;
    if (last == nullptr || !last->is_object()) return;
    UsageFacts& usage = facts.usage.held();
    usage.model = model_;
    usage.input_tokens = count_at(last, "input_tokens");
    usage.cache_read_input_tokens = count_at(last, "cached_input_tokens");
    usage.output_tokens = count_at(last, "output_tokens");
    usage.reasoning_output_tokens = count_at(last, "reasoning_output_tokens");
    return;
  }
  if (event_type != EventType::ToolCall && event_type != EventType::ToolResult &&
      event_type != EventType::ReviewDecision) {
    return;
  }
  facts.actor = event_type == EventType::ReviewDecision ? Actor::Reviewer : agent_;
  ToolFacts& tool = facts.tool.held();
  tool.call_id = copy_of(payload.find_string("call_id"));
  if (type == "function_call" || type == "custom_tool_call") {
    return read_call(payload, parser_, event, tool);
  }
  if (type == "exec_command_end") return read_exec_end(payload, event, tool);
  if (type == "patch_apply_end") return read_patch_end(payload, event, tool);
  if (type == "mcp_tool_call_end") return read_mcp_end(payload, event, tool);
  if (type == "web_search_call" || type == "web_search_end") return read_web_search(payload, tool);
  if (type == "guardian_assessment") return read_guardian(payload, event, tool);
  if (type == "function_call_output" || type == "custom_tool_call_output") {
    return read_output(payload, parser_, event, tool);
  }
  if (type == "view_image_tool_call") {
    tool.kind = ToolKind::Image;
    tool.name = "view_image";
    if (const std::string* path = payload.find_string("path")) {
      add_path(tool.files_read, *path, event.working_directory, event.warnings);
    }
    return;
  }
  if (type == "collab_agent_spawn_end") {
    tool.kind = ToolKind::Subagent;
    facts.agent_id = copy_of(payload.find_string("new_thread_id"));
    facts.agent_type = copy_of(payload.find_string("new_agent_role"));
  }
}

namespace {

// A JavaScript string literal at `at` (its opening quote), unescaped; none
// for a template with substitutions or an escape this reader doesn't know.
std::optional<std::string> string_literal(std::string_view script, size_t& at) {
  const char quote = script[at];
  if (quote != '"' && quote != '\'' && quote != '`') return std::nullopt;
  std::string out;
  for (size_t i = at + 1; i < script.size(); ++i) {
    const char c = script[i];
    if (c == quote) {
      at = i + 1;
      return out;
    }
    if (quote == '`' && c == '$' && i + 1 < script.size() && script[i + 1] == '{') {
      return std::nullopt;
    }
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i >= script.size()) return std::nullopt;
    switch (script[i]) {
      case 'n':
        out.push_back('\n');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case '\\':
      case '"':
      case '\'':
      case '`':
      case '$':
        out.push_back(script[i]);
        break;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

void skip_space(std::string_view script, size_t& at) {
  while (at < script.size() &&
         (script[at] == ' ' || script[at] == '\n' || script[at] == '\t' || script[at] == '\r')) {
    ++at;
  }
}

// The key of an object member: a name, or a string literal.
std::optional<std::string> member_key(std::string_view script, size_t& at) {
  if (at < script.size() && (script[at] == '"' || script[at] == '\'')) {
    return string_literal(script, at);
  }
  const size_t start = at;
  while (at < script.size() && (std::isalnum(static_cast<unsigned char>(script[at])) != 0 ||
                                script[at] == '_' || script[at] == '$')) {
    ++at;
  }
  if (at == start) return std::nullopt;
  return std::string(script.substr(start, at - start));
}

// `{cmd: "…", workdir: "…"}` at `at`, when every member is a literal.
std::optional<ScriptCommand> call_arguments(std::string_view script, size_t at) {
  skip_space(script, at);
  if (at >= script.size() || script[at] != '{') return std::nullopt;
  ++at;
  ScriptCommand command;
  bool has_cmd = false;
  for (;;) {
    skip_space(script, at);
    if (at < script.size() && script[at] == '}') break;
    std::optional<std::string> key = member_key(script, at);
    skip_space(script, at);
    if (!key || at >= script.size() || script[at] != ':') return std::nullopt;
    ++at;
    skip_space(script, at);
    if (at >= script.size()) return std::nullopt;
    std::optional<std::string> value = string_literal(script, at);
    if (*key == "cmd") {
      if (!value) return std::nullopt;
      command.cmd = std::move(*value);
      has_cmd = true;
    } else if (*key == "workdir") {
      if (!value) return std::nullopt;
      command.workdir = std::move(value);
    } else if (!value) {
      // Another member whose value is not a string: numbers and booleans are
      // skipped up to the next separator.
      while (at < script.size() && script[at] != ',' && script[at] != '}') {
        if (script[at] == '{' || script[at] == '[' || script[at] == '(') return std::nullopt;
        ++at;
      }
    }
    skip_space(script, at);
    if (at < script.size() && script[at] == ',') {
      ++at;
      continue;
    }
    if (at < script.size() && script[at] == '}') break;
    return std::nullopt;
  }
  if (!has_cmd) return std::nullopt;
  return command;
}

}  // namespace

std::vector<ScriptCommand> script_commands(std::string_view script) {
  constexpr std::string_view kCall = "tools.exec_command(";
  std::vector<ScriptCommand> out;
  for (size_t at = script.find(kCall); at != std::string_view::npos;
       at = script.find(kCall, at + 1)) {
    if (std::optional<ScriptCommand> command = call_arguments(script, at + kCall.size())) {
      out.push_back(std::move(*command));
    }
  }
  return out;
}

std::optional<std::vector<std::string>> patch_files(std::string_view patch) {
  constexpr std::string_view kBegin = "*** Begin Patch";
  constexpr std::array<std::string_view, 4> kFileLines{
      "*** Add File: ", "*** Update File: ", "*** Delete File: ", "*** Move to: "};
  size_t start = patch.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos || !patch.substr(start).starts_with(kBegin)) {
    return std::nullopt;
  }
  std::vector<std::string> files;
  while (start < patch.size()) {
    size_t end = patch.find('\n', start);
    if (end == std::string_view::npos) end = patch.size();
    std::string_view line = patch.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    for (std::string_view prefix : kFileLines) {
      if (line.starts_with(prefix) && line.size() > prefix.size()) {
        files.emplace_back(line.substr(prefix.size()));
      }
    }
    start = end + 1;
  }
  return files;
}

}  // namespace tq::codex
