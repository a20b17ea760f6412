#include "claude/record_text.h"

#include <utility>
#include <vector>

#include "model/readable.h"
#include "model/text.h"

namespace tq::claude {
namespace {

RecordEvent mapped(EventType type, std::optional<std::string> message) {
  RecordEvent event;
  event.type = type;
  event.message = std::move(message);
  return event;
}

RecordEvent unmapped(std::string kind) {
  RecordEvent event;
  event.unmapped_kind = std::move(kind);
  return event;
}

// `label: text`, or none without the text.
std::optional<std::string> labelled(std::string_view label, const std::string* text) {
  if (text == nullptr) return std::nullopt;
  return concat(label, ": ", *text);
}

// The strings of an array member.
std::vector<std::string> strings(const JsonValue* array) {
  std::vector<std::string> out;
  if (array == nullptr || !array->is_array()) return out;
  for (const JsonValue& item : array->as_array()) {
    if (item.is_string()) out.push_back(item.as_string());
  }
  return out;
}

// A hook's name, exit code and command: "PreToolUse:Bash exit 0: ./check.sh".
std::string hook_text(const JsonValue& hook) {
  const std::string* name = hook.find_string("hookName");
  if (name == nullptr) name = hook.find_string("hookEvent");
  std::string text = name != nullptr ? *name : std::string("hook");
  if (auto code = integer_text(hook.find("exitCode"))) text += " exit " + *code;
  if (const std::string* command = hook.find_string("command")) text += ": " + *command;
  return text;
}

// "+Monitor, +Read, −Click": what a delta of tools or instructions changed.
std::string delta_text(std::string_view what, const JsonValue& attachment) {
  std::vector<std::string> changes;
  for (const std::string& name : strings(attachment.find("addedNames")))
    changes.push_back("+" + name);
  for (const std::string& name : strings(attachment.find("removedNames"))) {
    changes.push_back("-" + name);
  }
  return concat(what, ": ", join_present(changes, ", "));
}

RecordEvent attachment_event(const JsonValue& attachment) {
  const std::string* kind_text = attachment.find_string("type");
  const std::string kind = kind_text != nullptr ? *kind_text : "";
  if (kind == "queued_command") {
    // What the user typed while the agent was busy.
    return mapped(EventType::PromptInput, attachment.find_string("prompt") != nullptr
                                              ? std::optional(*attachment.find_string("prompt"))
                                              : std::nullopt);
  }
  if (kind == "hook_success" || kind == "hook_error" || kind == "hook_blocking_error") {
    return mapped(EventType::HookRun, hook_text(attachment));
  }
  if (kind == "hook_additional_context") {
    std::string text = hook_text(attachment) + " added context";
    std::vector<std::string> context = strings(attachment.find("content"));
    if (!context.empty()) text += ": " + join_present(context, "\n");
    return mapped(EventType::HookRun, text);
  }
  if (kind == "file" || kind == "compact_file_reference") {
    return mapped(EventType::Attachment, labelled("file", attachment.find_string("filename")));
  }
  if (kind == "nested_memory") {
    return mapped(EventType::Attachment, labelled("memory", attachment.find_string("path")));
  }
  if (kind == "plan_file_reference") {
    return mapped(EventType::Attachment, labelled("plan", attachment.find_string("planFilePath")));
  }
  if (kind == "todo_reminder") {
    std::vector<std::string> items;
    if (const JsonValue* todos = attachment.find("content");
        todos != nullptr && todos->is_array()) {
      for (const JsonValue& todo : todos->as_array()) {
        const std::string* content = todo.find_string("content");
        if (content == nullptr) continue;
        const std::string* status = todo.find_string("status");
        items.push_back(status != nullptr ? concat(*content, " (", *status, ")") : *content);
      }
    }
    return mapped(EventType::TaskState, "todos: " + join_present(items, "; "));
  }
  if (kind == "skill_listing") {
    auto count = integer_text(attachment.find("skillCount"));
    return mapped(EventType::DeveloperMessage, concat("skills listed: ", count.value_or("?")));
  }
  if (kind == "mcp_instructions_delta") {
    return mapped(EventType::DeveloperMessage, delta_text("MCP instructions", attachment));
  }
  if (kind == "deferred_tools_delta") {
    return mapped(EventType::DeveloperMessage, delta_text("tools", attachment));
  }
  if (kind == "companion_intro") {
    const std::string* name = attachment.find_string("name");
    const std::string* species = attachment.find_string("species");
    return mapped(EventType::TaskState,
                  concat("companion ", name != nullptr ? *name : "", species != nullptr ? " (" : "",
                         species != nullptr ? *species : "", species != nullptr ? ")" : ""));
  }
  return unmapped("attachment/" + (kind.empty() ? "none" : kind));
}

// A subagent's progress repeats its own transcript's record inside `data`:
// the message says what it did.
std::optional<std::string> agent_progress_text(const JsonValue& data) {
  const JsonValue* outer = data.find("message");
  const JsonValue* message = outer != nullptr ? outer->find("message") : nullptr;
  const JsonValue* content = message != nullptr ? message->find("content") : nullptr;
  if (content == nullptr || !content->is_array()) return std::string("subagent progress");
  std::vector<std::string> steps;
  for (const JsonValue& block : content->as_array()) {
    const std::string* type = block.find_string("type");
    if (type == nullptr) continue;
    if (*type == "tool_use") {
      if (const std::string* name = block.find_string("name")) steps.push_back("called " + *name);
    } else if (*type == "text") {
      if (const std::string* text = block.find_string("text")) steps.push_back(*text);
    }
  }
  if (steps.empty()) return std::string("subagent progress");
  return "subagent: " + join_present(steps, "; ");
}

std::optional<RecordEvent> progress_event(const JsonValue& record) {
  const JsonValue* data = record.find("data");
  const std::string* kind = data != nullptr ? data->find_string("type") : nullptr;
  if (kind != nullptr && *kind == "hook_progress") {
    return mapped(EventType::HookRun, hook_text(*data) + " (running)");
  }
  if (kind != nullptr && *kind == "agent_progress") {
    return mapped(EventType::TaskState, agent_progress_text(*data));
  }
  return unmapped("progress/" + (kind != nullptr ? *kind : std::string("none")));
}

std::optional<RecordEvent> system_event(const JsonValue& record) {
  const std::string* subtype = record.find_string("subtype");
  if (subtype == nullptr) return std::nullopt;
  if (*subtype == "stop_hook_summary") {
    std::vector<std::string> commands;
    if (const JsonValue* hooks = record.find("hookInfos"); hooks != nullptr && hooks->is_array()) {
      for (const JsonValue& hook : hooks->as_array()) {
        if (const std::string* command = hook.find_string("command")) commands.push_back(*command);
      }
    }
    std::string text =
        concat("stop hooks", commands.empty() ? "" : ": ", join_present(commands, ", "));
    const JsonValue* hook_errors = record.find("hookErrors");
    const size_t errors =
        hook_errors != nullptr && hook_errors->is_array() ? hook_errors->as_array().size() : 0;
    if (errors > 0) text += concat(" (", errors, errors == 1 ? " error)" : " errors)");
    return mapped(EventType::HookRun, text);
  }
  if (*subtype == "turn_duration") {
    std::vector<std::string> parts;
    if (auto ms = integer_text(record.find("durationMs"))) parts.push_back("took " + *ms + " ms");
    if (auto count = integer_text(record.find("messageCount"))) {
      parts.push_back(*count + " messages");
    }
    return mapped(EventType::TaskState, "turn " + join_present(parts, ", "));
  }
  return std::nullopt;
}

}  // namespace

std::optional<RecordEvent> current_record_event(std::string_view type, const JsonValue& record) {
  if (type == "attachment") {
    const JsonValue* attachment = record.find("attachment");
    static const JsonValue kNone = JsonValue::object();
    return attachment_event(attachment != nullptr && attachment->is_object() ? *attachment : kNone);
  }
  if (type == "progress") return progress_event(record);
  if (type == "system") return system_event(record);
  if (type == "ai-title") {
    return mapped(EventType::TaskState, labelled("title", record.find_string("aiTitle")));
  }
  if (type == "custom-title") {
    return mapped(EventType::TaskState,
                  labelled("title set by the user", record.find_string("customTitle")));
  }
  if (type == "last-prompt") {
    return mapped(EventType::TaskState, labelled("last prompt", record.find_string("lastPrompt")));
  }
  if (type == "permission-mode") {
    return mapped(EventType::TaskState,
                  labelled("permission mode", record.find_string("permissionMode")));
  }
  if (type == "pr-link") {
    std::vector<std::string> parts;
    if (auto number = integer_text(record.find("prNumber"))) parts.push_back("#" + *number);
    if (const std::string* repository = record.find_string("prRepository")) {
      parts.push_back(*repository);
    }
    if (const std::string* url = record.find_string("prUrl")) parts.push_back(*url);
    return mapped(EventType::TaskState, "pull request " + join_present(parts, " "));
  }
  if (type == "teleported-from") {
    std::string text = "teleported from";
    if (const std::string* remote = record.find_string("remoteSessionId")) text += " " + *remote;
    if (const std::string* branch = record.find_string("branch")) text += " on " + *branch;
    return mapped(EventType::SessionStart, text);
  }
  return std::nullopt;
}

}  // namespace tq::claude
