// Which files beside the transcripts Claude Code's rules take, and the session
// and source their paths name.
#include "claude/agent_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tq::claude {
namespace {

std::vector<std::string> split(std::string_view path) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    parts.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

TEST(ClaudeAgentFilesTest, PathsNameTheirKindSessionAndSource) {
  struct Case {
    const char* path;
    const char* record_type;  // nullptr: not one of these files
    const char* session;
    const char* source;
  };
  const Case cases[] = {
      {"settings.json", "settings", nullptr, nullptr},
      {"settings.local.json", "settings", nullptr, nullptr},
      {"plans/quiet-plan.md", "plan", nullptr, nullptr},
      {"shell-snapshots/snapshot-bash-1-x.sh", "shell_snapshot", nullptr, nullptr},
      {"todos/s1-agent-a2.json", "todos", "s1", nullptr},
      {"tasks/s1/49.json", "task", "s1", nullptr},
      {"sessions/12.json", "session_pid", nullptr, nullptr},
      {"projects/-p/memory/notes.md", "memory", nullptr, nullptr},
      {"projects/-p/s1/tool-results/toolu_01.txt", "tool_output", "s1", "toolu_01"},
      {"projects/-p/s1/subagents/agent-a1.meta.json", "subagent_meta", "s1", "agent-a1"},
      {"history.jsonl", nullptr, nullptr, nullptr},
      {"projects/-p/s1.jsonl", nullptr, nullptr, nullptr},
      {"projects/-p/s1/subagents/agent-a1.jsonl", nullptr, nullptr, nullptr},
      {"plans/deep/x.md", nullptr, nullptr, nullptr},
      {"settings.json.bak", nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::vector<std::string> parts = split(c.path);
    const std::optional<AgentFileMatch> found = agent_file_rules().match(parts);
    ASSERT_EQ(found.has_value(), c.record_type != nullptr);
    if (!found) continue;
    EXPECT_EQ(found->kind->record_type, c.record_type);
    EXPECT_EQ(found->session_id,
              c.session != nullptr ? std::optional<std::string>(c.session) : std::nullopt);
    EXPECT_EQ(found->source_id,
              c.source != nullptr ? std::optional<std::string>(c.source) : std::nullopt);
  }
}

}  // namespace
}  // namespace tq::claude
