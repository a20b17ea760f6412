#include "claude/agent_files.h"

#include <map>
#include <string>

#include "files/paths.h"
#include "model/datetime.h"
#include "model/text.h"

namespace tq::claude {
namespace {

using Parts = std::span<const std::string>;

const std::string* member_text(const JsonValue& document, std::string_view key) {
  return document.is_object() ? document.find_string(key) : nullptr;
}

// The top-level keys say what a settings file configures.
AgentFileFacts settings_facts(const JsonValue& document) {
  AgentFileFacts facts;
  if (!document.is_object()) return facts;
  std::string keys;
  for (const JsonMember& member : document.as_object()) {
    if (!keys.empty()) keys += ", ";
    keys += member.key;
  }
  facts.message = "settings: " + keys;
  return facts;
}

AgentFileFacts subagent_facts(const JsonValue& document) {
  AgentFileFacts facts;
  const std::string* type = member_text(document, "agentType");
  const std::string* description = member_text(document, "description");
  if (type != nullptr || description != nullptr) {
    facts.message = concat(type != nullptr ? *type : "subagent", ": ",
                           description != nullptr ? *description : "");
  }
  if (type != nullptr) facts.agent_type = *type;
  if (description != nullptr) facts.agent_description = *description;
  return facts;
}

// "3 todos, 1 completed: <the first not completed>".
AgentFileFacts todo_facts(const JsonValue& document) {
  AgentFileFacts facts;
  if (!document.is_array()) return facts;
  uint64_t completed = 0;
  const std::string* next = nullptr;
  for (const JsonValue& todo : document.as_array()) {
    const std::string* status = member_text(todo, "status");
    if (status != nullptr && *status == "completed") {
      ++completed;
    } else if (next == nullptr) {
      next = member_text(todo, "content");
    }
  }
  facts.message = concat(document.as_array().size(), " todos, ", completed, " completed");
  if (next != nullptr) *facts.message += ": " + *next;
  return facts;
}

AgentFileFacts task_facts(const JsonValue& document) {
  AgentFileFacts facts;
  const std::string* subject = member_text(document, "subject");
  const std::string* status = member_text(document, "status");
  if (subject != nullptr) {
    facts.message = status != nullptr ? concat(*subject, " (", *status, ")") : *subject;
  }
  return facts;
}

// A running session's pid file names the session, its directory and start.
AgentFileFacts session_pid_facts(const JsonValue& document) {
  AgentFileFacts facts;
  if (!document.is_object()) return facts;
  if (const std::string* id = document.find_string("sessionId")) facts.session_id = *id;
  if (const std::string* cwd = document.find_string("cwd")) facts.working_directory = *cwd;
  const JsonValue* pid = document.find("pid");
  if (pid != nullptr && pid->is_uint()) facts.message = concat("pid ", pid->as_uint());
  const JsonValue* started = document.find("startedAt");
  if (started != nullptr && started->is_uint()) {
    facts.time = datetime_from_unix_millis(static_cast<int64_t>(started->as_uint()));
  }
  return facts;
}

constexpr AgentFileKind kSettings{"settings", &settings_facts};
constexpr AgentFileKind kPlan{"plan", nullptr};
constexpr AgentFileKind kShellSnapshot{"shell_snapshot", nullptr};
constexpr AgentFileKind kTodos{"todos", &todo_facts};
constexpr AgentFileKind kTask{"task", &task_facts};
constexpr AgentFileKind kSessionPid{"session_pid", &session_pid_facts};
constexpr AgentFileKind kMemory{"memory", nullptr};
constexpr AgentFileKind kToolOutput{"tool_output", nullptr};
constexpr AgentFileKind kSubagentMeta{"subagent_meta", &subagent_facts};

bool ends_with(const std::string& name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix);
}

std::string without(const std::string& name, std::string_view suffix) {
  return name.substr(0, name.size() - suffix.size());
}

std::optional<AgentFileMatch> match_top(Parts p) {
  if (p.size() == 1 && (p[0] == "settings.json" || p[0] == "settings.local.json")) {
    return AgentFileMatch{&kSettings, std::nullopt, std::nullopt};
  }
  if (p.size() != 2) return std::nullopt;
  if (p[0] == "plans" && ends_with(p[1], ".md")) return AgentFileMatch{&kPlan, {}, {}};
  if (p[0] == "shell-snapshots" && ends_with(p[1], ".sh")) {
    return AgentFileMatch{&kShellSnapshot, {}, {}};
  }
  if (p[0] == "sessions" && ends_with(p[1], ".json")) return AgentFileMatch{&kSessionPid, {}, {}};
  if (p[0] == "todos" && ends_with(p[1], ".json")) {
    const size_t agent = p[1].find("-agent-");
    std::optional<std::string> session;
    if (agent != std::string::npos) session = p[1].substr(0, agent);
    return AgentFileMatch{&kTodos, std::move(session), std::nullopt};
  }
  return std::nullopt;
}

std::optional<AgentFileMatch> match_project(Parts p) {
  // projects/<dir>/memory/<name>.md
  if (p.size() == 4 && p[2] == "memory" && ends_with(p[3], ".md")) {
    return AgentFileMatch{&kMemory, {}, {}};
  }
  if (p.size() != 5) return std::nullopt;
  if (p[3] == "tool-results" && ends_with(p[4], ".txt")) {
    return AgentFileMatch{&kToolOutput, p[2], without(p[4], ".txt")};
  }
  if (p[3] == "subagents" && p[4].starts_with("agent-") && ends_with(p[4], ".meta.json")) {
    std::string transcript = without(p[4], ".meta.json");
    std::string agent = transcript.substr(std::string_view("agent-").size());
    return AgentFileMatch{&kSubagentMeta, p[2], std::move(transcript), std::move(agent)};
  }
  return std::nullopt;
}

std::optional<AgentFileMatch> match(Parts p) {
  if (p.empty()) return std::nullopt;
  if (p[0] == "projects") return match_project(p);
  if (p[0] == "tasks" && p.size() == 3 && ends_with(p[2], ".json")) {
    return AgentFileMatch{&kTask, p[1], std::nullopt};
  }
  return match_top(p);
}

constexpr AgentFileRules kRules{Provider::ClaudeCode, &match};

}  // namespace

const AgentFileRules& agent_file_rules() { return kRules; }

void tie_plans(const std::vector<SessionSlug>& slugs, EventList& agent_files) {
  if (slugs.empty()) return;
  // A slug's session, or null once a second session names it too.
  std::map<std::string_view, const std::string*> session_of;
  for (const SessionSlug& s : slugs) {
    auto [at, added] = session_of.try_emplace(s.slug, &s.session_id);
    if (!added && at->second != nullptr && *at->second != s.session_id) at->second = nullptr;
  }
  constexpr std::string_view kPlanSuffix = ".md";
  for (TimelineEvent& e : agent_files) {
    if (e.source.record_type != kPlan.record_type || e.session_id) continue;
    std::optional<std::string> name =
        file_name_bytes(std::filesystem::path(e.source.relative_path));
    if (!name || !ends_with(*name, kPlanSuffix)) continue;
    auto found =
        session_of.find(std::string_view(*name).substr(0, name->size() - kPlanSuffix.size()));
    if (found != session_of.end() && found->second != nullptr) e.session_id = *found->second;
  }
}

}  // namespace tq::claude
