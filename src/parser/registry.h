// File: parser/registry.h
//
// The constant registry of provider adapters, asked in order: Codex first, then
// Claude Code. The order decides which adapter is asked first, the order of
// candidates and the order of providers in the ambiguity message.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "error/error.h"
#include "model/model.h"
#include "parser/options.h"

namespace tq {

struct ProviderAdapter {
  std::string_view profile_dir_name;
  // none = not recognised.
  Result<std::optional<InputKind>> (*detect)(const std::filesystem::path& path,
                                             bool follow_symlinks);
  Result<ReaderOutput> (*parse)(const std::filesystem::path& path, InputKind kind,
                                const std::filesystem::path& evidence_root,
                                const ParserOptions& options);
  std::filesystem::path (*evidence_root)(const std::filesystem::path& path, InputKind kind);
  bool (*supports)(InputKind kind);
  uint8_t (*confidence)(const std::filesystem::path& path, InputKind kind);
  InputKind root_kind;
  Provider provider;
  // As `detect`, for a parse that reads session transcripts too: it may also
  // recognise what only transcripts make evidence. Null when `detect` serves.
  Result<std::optional<InputKind>> (*detect_with_transcripts)(const std::filesystem::path& path,
                                                              bool follow_symlinks);
};

// Codex entry, then Claude Code entry.
std::span<const ProviderAdapter> provider_registry();

}  // namespace tq
