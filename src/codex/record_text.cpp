#include "codex/record_text.h"

#include <array>
#include <utility>
#include <vector>

#include "model/readable.h"
#include "model/text.h"

namespace tq::codex {

std::optional<std::string> command_text(const JsonValue* command) {
  if (command == nullptr) return std::nullopt;
  if (command->is_string()) return command->as_string();
  if (!command->is_array()) return std::nullopt;
  const JsonArray& argv = command->as_array();
  std::vector<std::string> words;
  for (const JsonValue& word : argv) {
    if (!word.is_string()) return std::nullopt;
    words.push_back(word.as_string());
  }
  if (words.size() == 3 && (words[1] == "-c" || words[1] == "-lc")) return words[2];
  return join_present(words, " ");
}

namespace {

const std::string* string_at(const JsonValue* value, std::string_view key) {
  return value != nullptr ? value->find_string(key) : nullptr;
}

// The `text` members of an array of parts (content, summary), one per line.
std::optional<std::string> parts_text(const JsonValue* parts) {
  if (parts == nullptr || !parts->is_array()) return std::nullopt;
  std::vector<std::string> texts;
  for (const JsonValue& part : parts->as_array()) {
    if (const std::string* text = part.find_string("text")) texts.push_back(*text);
  }
  if (texts.empty()) return std::nullopt;
  return join_present(texts, "\n");
}

// A policy that is text, or an object named by its one key or its `type`
// ({"granular": {...}}, {"type": "workspace-write", ...}).
std::optional<std::string> policy_text(const JsonValue* policy) {
  if (policy == nullptr) return std::nullopt;
  if (policy->is_string()) return policy->as_string();
  if (!policy->is_object()) return std::nullopt;
  if (const std::string* type = policy->find_string("type")) return *type;
  if (policy->as_object().size() == 1) return policy->as_object().front().key;
  return std::nullopt;
}

std::optional<std::string> guardian_text(const JsonValue& payload) {
  const JsonValue* action = payload.find("action");
  std::optional<std::string> target =
      command_text(action != nullptr ? action->find("command") : nullptr);
  if (!target) {
    const std::string* type = string_at(action, "type");
    if (type != nullptr) target = *type;
  }
  const std::string* status = payload.find_string("status");
  const std::string* risk = payload.find_string("risk_level");
  if (status == nullptr && !target) return std::nullopt;
  std::string text = status != nullptr ? *status : "assessed";
  if (risk != nullptr) text += concat(" (", *risk, " risk)");
  if (target) text += ": " + *target;
  if (const std::string* cwd = string_at(action, "cwd")) text += " in " + *cwd;
  if (const std::string* rationale = payload.find_string("rationale")) text += " — " + *rationale;
  return text;
}

std::optional<std::string> exec_end_text(const JsonValue& payload) {
  std::optional<std::string> command = command_text(payload.find("command"));
  std::optional<std::string> exit_code = integer_text(payload.find("exit_code"));
  if (!command && !exit_code) return std::nullopt;
  std::string text = exit_code ? "exit " + *exit_code : std::string("exit code unknown");
  if (command) text += ": " + *command;
  return text;
}

std::optional<std::string> patch_end_text(const JsonValue& payload) {
  const JsonValue* success = payload.find("success");
  std::string text = success != nullptr && success->is_bool()
                         ? (success->as_bool() ? "patch applied" : "patch failed")
                         : "patch";
  const JsonValue* changes = payload.find("changes");
  if (changes == nullptr || !changes->is_object()) return text;
  std::vector<std::string> paths;
  for (const JsonMember& change : changes->as_object()) {
    const std::string* type = change.value.find_string("type");
    std::string line = type != nullptr ? concat(*type, " ", change.key) : change.key;
    if (const std::string* moved = change.value.find_string("move_path")) line += " → " + *moved;
    paths.push_back(std::move(line));
  }
  return text + ": " + join_present(paths, ", ");
}

std::optional<std::string> web_search_text(const JsonValue& payload) {
  const JsonValue* action = payload.find("action");
  std::vector<std::string> queries;
  if (const std::string* query = payload.find_string("query")) queries.push_back(*query);
  if (queries.empty()) {
    if (const std::string* query = string_at(action, "query")) queries.push_back(*query);
  }
  if (queries.empty() && action != nullptr) {
    if (const JsonValue* list = action->find("queries"); list != nullptr && list->is_array()) {
      for (const JsonValue& query : list->as_array()) {
        if (query.is_string()) queries.push_back(query.as_string());
      }
    }
  }
  if (queries.empty()) {
    if (const std::string* url = string_at(action, "url")) queries.push_back(*url);
  }
  std::string text = join_present(queries, "; ");
  const JsonValue* results = payload.find("results");
  if (results != nullptr && results->is_array()) {
    std::vector<std::string> urls;
    for (const JsonValue& result : results->as_array()) {
      if (const std::string* url = result.find_string("url")) urls.push_back(*url);
    }
    text += concat(text.empty() ? "" : " → ", results->as_array().size(),
                   results->as_array().size() == 1 ? " result" : " results");
    if (!urls.empty()) text += ": " + join_present(urls, ", ");
  }
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> mcp_end_text(const JsonValue& payload) {
  const JsonValue* invocation = payload.find("invocation");
  const std::string* server = string_at(invocation, "server");
  const std::string* tool = string_at(invocation, "tool");
  if (server == nullptr && tool == nullptr) return std::nullopt;
  std::string text =
      join_present({server != nullptr ? *server : "", tool != nullptr ? *tool : ""}, ".");
  if (const JsonValue* result = payload.find("result"); result != nullptr && result->is_object()) {
    if (result->find("Ok") != nullptr) text += ": ok";
    if (result->find("Err") != nullptr) text += ": error";
  }
  return text;
}

std::optional<std::string> spawn_end_text(const JsonValue& payload) {
  const std::string* thread = payload.find_string("new_thread_id");
  const std::string* nickname = payload.find_string("new_agent_nickname");
  if (thread == nullptr && nickname == nullptr) return std::nullopt;
  std::vector<std::string> about;
  for (std::string_view key : {"new_agent_role", "model", "status"}) {
    if (const std::string* value = payload.find_string(key)) about.push_back(*value);
  }
  std::string text = "spawned " + (nickname != nullptr ? *nickname : std::string("agent"));
  if (!about.empty()) text += " (" + join_present(about, ", ") + ")";
  if (thread != nullptr) text += " as thread " + *thread;
  if (const std::string* prompt = payload.find_string("prompt")) text += ": " + *prompt;
  return text;
}

std::optional<std::string> waiting_end_text(const JsonValue& payload) {
  const JsonValue* statuses = payload.find("agent_statuses");
  if (statuses == nullptr || !statuses->is_array()) return std::nullopt;
  std::vector<std::string> agents;
  for (const JsonValue& agent : statuses->as_array()) {
    const std::string* name = agent.find_string("agent_nickname");
    if (name == nullptr) name = agent.find_string("thread_id");
    if (name == nullptr) continue;
    const std::optional<std::string> status = policy_text(agent.find("status"));
    agents.push_back(status ? concat(*name, " ", *status) : *name);
  }
  if (agents.empty()) return std::nullopt;
  return "waited for " + join_present(agents, ", ");
}

// The settings a turn runs under: model, reasoning effort, approval and
// sandbox policies, directory.
std::optional<std::string> settings_text(const JsonValue& settings) {
  std::vector<std::string> parts;
  if (const std::string* model = settings.find_string("model")) parts.push_back("model " + *model);
  const std::string* effort = settings.find_string("effort");
  if (effort == nullptr) effort = settings.find_string("reasoning_effort");
  if (effort != nullptr) parts.push_back("effort " + *effort);
  if (auto approval = policy_text(settings.find("approval_policy"))) {
    parts.push_back("approval " + *approval);
  }
  if (auto sandbox = policy_text(settings.find("sandbox_policy"))) {
    parts.push_back("sandbox " + *sandbox);
  }
  if (const std::string* cwd = settings.find_string("cwd")) parts.push_back("in " + *cwd);
  if (parts.empty()) return std::nullopt;
  return join_present(parts, ", ");
}

std::optional<std::string> token_count_text(const JsonValue& payload) {
  const JsonValue* info = payload.find("info");
  if (info == nullptr || !info->is_object()) return std::nullopt;
  const JsonValue* last = info->find("last_token_usage");
  const JsonValue* total = info->find("total_token_usage");
  std::vector<std::string> parts;
  constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kCounts{{
      {"input_tokens", "in"},
      {"cached_input_tokens", "cached"},
      {"output_tokens", "out"},
      {"reasoning_output_tokens", "reasoning"},
  }};
  if (last != nullptr) {
    for (const auto& [key, label] : kCounts) {
      if (auto count = integer_text(last->find(key))) parts.push_back(concat(label, " ", *count));
    }
  }
  if (total != nullptr) {
    if (auto count = integer_text(total->find("total_tokens"))) {
      parts.push_back(concat("session total ", *count));
    }
  }
  if (parts.empty()) return std::nullopt;
  return "tokens: " + join_present(parts, ", ");
}

std::optional<std::string> session_meta_text(const JsonValue& payload) {
  std::vector<std::string> parts;
  std::vector<std::string> agent;
  if (const std::string* version = payload.find_string("cli_version")) {
    agent.push_back("Codex " + *version);
  }
  for (std::string_view key : {"originator", "source"}) {
    if (const std::string* value = payload.find_string(key)) agent.push_back(*value);
  }
  parts.push_back(join_present(agent, ", "));
  if (const std::string* cwd = payload.find_string("cwd")) parts.push_back("in " + *cwd);
  if (const JsonValue* git = payload.find("git"); git != nullptr && git->is_object()) {
    std::vector<std::string> facts;
    for (std::string_view key : {"repository_url", "branch", "commit_hash"}) {
      if (const std::string* value = git->find_string(key)) facts.push_back(*value);
    }
    if (!facts.empty()) parts.push_back("git " + join_present(facts, " "));
  }
  if (const std::string* parent = payload.find_string("forked_from_id")) {
    parts.push_back("forked from " + *parent);
  }
  std::string text = join_present(parts, "; ");
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> item_text(const JsonValue& payload) {
  const JsonValue* item = payload.find("item");
  if (item == nullptr) return std::nullopt;
  if (const std::string* text = item->find_string("text")) return *text;
  return parts_text(item->find("content"));
}

// A tool's output is content: without it, the message names the call it
// answers. With it, a list of parts is shown as the module functions show one
// text.
std::optional<std::string> tool_output_text(const JsonValue& payload, bool include_content) {
  if (include_content) return parts_text(payload.find("output"));
  if (const std::string* call = payload.find_string("call_id")) return "output of " + *call;
  return std::nullopt;
}

}  // namespace

std::optional<EventType> classify_current_record(std::string_view record_type,
                                                 const JsonValue& payload) {
  const std::string* payload_type = payload.find_string("type");
  std::string_view type = payload_type != nullptr ? std::string_view(*payload_type) : record_type;
  if (type == "guardian_assessment") return EventType::ReviewDecision;
  if (type == "view_image_tool_call") return EventType::ToolCall;
  if (type == "thread_name_updated" || type == "ghost_snapshot") return EventType::TaskState;
  if (type == "item_completed") {
    const std::string* item = string_at(payload.find("item"), "type");
    if (item == nullptr) return std::nullopt;
    if (*item == "AgentMessage") return EventType::AgentMessage;
    if (*item == "UserMessage") return EventType::PromptInput;
    if (*item == "Plan") return EventType::TaskState;
  }
  return std::nullopt;
}

std::optional<std::string_view> current_tool_name(const JsonValue& payload) {
  const std::string* type = payload.find_string("type");
  if (type == nullptr) return std::nullopt;
  if (*type == "web_search_call") return "web_search";
  if (*type == "view_image_tool_call") return "view_image";
  return std::nullopt;
}

std::optional<std::string> current_record_text(std::string_view record_type,
                                               const JsonValue& payload, bool include_content) {
  if (record_type == "session_meta") return session_meta_text(payload);
  if (record_type == "turn_context") return settings_text(payload);
  const std::string* payload_type = payload.find_string("type");
  if (payload_type == nullptr) return std::nullopt;
  const std::string_view type = *payload_type;
  if (type == "guardian_assessment") return guardian_text(payload);
  if (type == "exec_command_end") return exec_end_text(payload);
  if (type == "patch_apply_end") return patch_end_text(payload);
  if (type == "web_search_end") return web_search_text(payload);
  if (type == "web_search_call") {
    const std::string name(*current_tool_name(payload));
    std::optional<std::string> search = web_search_text(payload);
    return search ? name + ": " + *search : name;
  }
  if (type == "mcp_tool_call_end") return mcp_end_text(payload);
  if (type == "collab_agent_spawn_end") return spawn_end_text(payload);
  if (type == "collab_waiting_end") return waiting_end_text(payload);
  if (type == "token_count") return token_count_text(payload);
  if (type == "item_completed") return item_text(payload);
  if (type == "reasoning") return parts_text(payload.find("summary"));
  if (type == "task_started") return std::string("turn started");
  if (type == "task_complete") return std::string("turn complete");
  if (type == "turn_aborted") {
    const std::string* reason = payload.find_string("reason");
    return reason != nullptr ? "turn aborted: " + *reason : std::string("turn aborted");
  }
  if (type == "view_image_tool_call") {
    const std::string name(*current_tool_name(payload));
    const std::string* path = payload.find_string("path");
    return path != nullptr ? name + ": " + *path : name;
  }
  if (type == "thread_name_updated") {
    const std::string* name = payload.find_string("thread_name");
    if (name != nullptr) return "thread named: " + *name;
    return std::nullopt;
  }
  if (type == "thread_settings_applied") {
    const JsonValue* settings = payload.find("thread_settings");
    return settings != nullptr ? settings_text(*settings) : std::nullopt;
  }
  if (type == "ghost_snapshot") {
    const std::string* commit = string_at(payload.find("ghost_commit"), "id");
    if (commit != nullptr) return "ghost commit " + *commit;
    return std::nullopt;
  }
  if (type == "function_call_output" || type == "custom_tool_call_output") {
    return tool_output_text(payload, include_content);
  }
  return std::nullopt;
}

}  // namespace tq::codex
