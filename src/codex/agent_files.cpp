#include "codex/agent_files.h"

#include <string>
#include <utility>

namespace tq::codex {
namespace {

constexpr AgentFileKind kShellSnapshot{"shell_snapshot", nullptr};

// Codex names a snapshot "<session id>.<unix time in ns>.sh".
constexpr size_t kSessionIdLength = 36;

std::optional<AgentFileMatch> match(std::span<const std::string> p) {
  if (p.size() != 2 || p[0] != "shell_snapshots") return std::nullopt;
  std::optional<std::string> session;
  if (p[1].size() > kSessionIdLength && p[1][kSessionIdLength] == '.') {
    session = p[1].substr(0, kSessionIdLength);
  }
  return AgentFileMatch{&kShellSnapshot, std::move(session), std::nullopt};
}

constexpr AgentFileRules kRules{Provider::Codex, &match};

}  // namespace

const AgentFileRules& agent_file_rules() { return kRules; }

}  // namespace tq::codex
