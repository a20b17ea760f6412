#include "parser/registry.h"

#include <array>

namespace tq {

namespace {

// Placeholder entries until the adapters are registered: they recognise nothing.
Result<std::optional<InputKind>> detect_nothing(const std::filesystem::path&, bool) {
  return std::optional<InputKind>();
}
Result<ReaderOutput> parse_nothing(const std::filesystem::path&, InputKind,
                                   const std::filesystem::path&, const ParserOptions&) {
  return ReaderOutput{};
}
std::filesystem::path same_root(const std::filesystem::path& path, InputKind) { return path; }
bool supports_nothing(InputKind) { return false; }
uint8_t no_confidence(const std::filesystem::path&, InputKind) { return 0; }

constexpr std::array<ProviderAdapter, 2> kRegistry = {{
    {".codex", detect_nothing, parse_nothing, same_root, supports_nothing, no_confidence,
     InputKind::CodexRoot, Provider::Codex},
    {".claude", detect_nothing, parse_nothing, same_root, supports_nothing, no_confidence,
     InputKind::ClaudeRoot, Provider::ClaudeCode},
}};

}  // namespace

std::span<const ProviderAdapter> provider_registry() { return kRegistry; }

}  // namespace tq
