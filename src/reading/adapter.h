// File: reading/adapter.h
//
// What a provider gives the parse driver: how it recognises its inputs, where
// their relative paths are measured from, and how they are read. Each provider
// folder defines one `ProviderAdapter`; parser/registry.h lists them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq {

struct ProviderAdapter {
  std::string_view profile_dir_name;
  // none = not recognised.
  Result<std::optional<InputKind>> (*detect)(const std::filesystem::path& path,
                                             bool follow_symlinks);
  // Adds every file `parse` would read to the listing, before any is read.
  Status (*list)(const std::filesystem::path& path, InputKind kind, const ParseContext& context,
                 FileListing& listing);
  Result<ReaderOutput> (*parse)(const std::filesystem::path& path, InputKind kind,
                                const std::filesystem::path& evidence_root,
                                const ParseContext& context);
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

}  // namespace tq
