// File: reading/facts.h
//
// What the readers of both agents share when they read facts off a record:
// the key that names a record wherever it is stored, the paths a tool call
// names, and MCP tool names. A value that is not what the agents write (a
// path that is neither absolute nor relative to a known absolute directory)
// is left out and noted in the event's warnings.
//
//   facts.record_key = record_key(Provider::Codex, session, "line:12");
//   add_path(tool.files_read, "src/a.c", cwd, event.warnings);
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"

namespace tq {

// 32 lowercase hex digits, from the provider, the session and the record's
// place in the session (a line number, a record uuid): never from the path, so
// that a rollout compressed, archived or copied elsewhere keeps its keys.
std::string record_key(Provider provider, std::string_view session, std::string_view place);

// Whether `path` is absolute as the agents write paths, on POSIX or Windows.
bool is_absolute_path(std::string_view path);

// Adds `path` to `paths` (once): as given when absolute, else joined to the
// absolute directory `cwd` the record ran in; otherwise adds a warning.
void add_path(std::vector<std::string>& paths, std::string_view path,
              const Shared<std::string>& cwd, std::vector<std::string>& warnings);

// An agent's own tool, by what it does.
struct ToolKindByName {
  std::string_view name;
  ToolKind kind;
};

// Sets the tool's name and kind: from `kinds`, else from an MCP name
// ("mcp__server__tool", as both agents name an MCP server's tool, which also
// gives the server and tool), else other.
void name_tool(std::span<const ToolKindByName> kinds, const std::string* name, ToolFacts& tool);

// Text an agent writes into the conversation as if the user had, known by
// how it starts.
struct InjectedPrompt {
  std::string_view prefix;
  PromptOrigin origin;
  Actor actor;
};

// The entry of `injected` that `text` starts with, if any.
const InjectedPrompt* injected_prompt(std::span<const InjectedPrompt> injected,
                                      std::string_view text);

// A copy of a text member that may be missing.
std::optional<std::string> copy_of(const std::string* text);

// A token count: a member that is an unsigned integer.
std::optional<uint64_t> count_at(const JsonValue* usage, std::string_view key);

// The exit code of a record, when it is an integer; anything else is a warning.
std::optional<int64_t> exit_code_of(const JsonValue* value, std::vector<std::string>& warnings);

}  // namespace tq
