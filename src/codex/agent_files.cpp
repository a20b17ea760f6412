#include "codex/agent_files.h"

#include <string>

namespace tq::codex {
namespace {

constexpr AgentFileKind kShellSnapshot{"shell_snapshot", nullptr};

std::optional<AgentFileMatch> match(std::span<const std::string> p) {
  if (p.size() == 2 && p[0] == "shell_snapshots") return AgentFileMatch{&kShellSnapshot, {}, {}};
  return std::nullopt;
}

constexpr AgentFileRules kRules{Provider::Codex, &match};

}  // namespace

const AgentFileRules& agent_file_rules() { return kRules; }

}  // namespace tq::codex
