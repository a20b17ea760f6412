#include "parser/registry.h"

#include <array>

#include "claude/detection.h"
#include "codex/detection.h"

namespace tq {

std::span<const ProviderAdapter> provider_registry() {
  // Built on first use, after the adapters' own entries exist; constant after.
  static const std::array<ProviderAdapter, 2> registry = {codex_adapter(), claude_adapter()};
  return registry;
}

}  // namespace tq
