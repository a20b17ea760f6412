// File: codex/detection.h
//
// The Codex adapter as the parse driver sees it: recognising a path as one of
// the Codex input kinds, scoring how sure that is, choosing the directory that
// relative paths are measured from, and dispatching to the readers.
//
// A Codex profile looks like
//   .codex/history.jsonl              prompt history       (codex/history.h)
//   .codex/sessions/…/rollout-….jsonl session rollouts     (codex/sessions.h)
//   .codex/archived_sessions/rollout-….jsonl   archived ones, read after them
//   (either may be compressed: rollout-….jsonl.zst)
//   .codex/attachments/<dir>/<file>   attached files       (codex/attachments.h)
//
// The operations live in tq::codex, beside the Claude Code adapter's
// namesakes in tq::claude; `codex_adapter()` is the entry the registry lists.
//
// Detection fails only when the path's own metadata can't be read (Io); a path
// it doesn't recognise is an empty result. Parsing fails with the readers'
// errors, or for a kind this adapter doesn't read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/adapter.h"

namespace tq::codex {

[[nodiscard]] Result<std::optional<InputKind>> detect_input_kind(const std::filesystem::path& path,
                                                                 bool follow_symlinks);

// As detect_input_kind, for the whole surface (a parse that reads transcripts
// too): also a rollout outside `sessions/` by its name, and a `history.jsonl`
// outside `.codex` whose records are Codex's.
[[nodiscard]] Result<std::optional<InputKind>> detect_input_kind_with_transcripts(
    const std::filesystem::path& path, bool follow_symlinks);

// True for CodexRoot, CodexHistory, CodexSessions, CodexSession, CodexAttachments.
bool supports_codex_input(InputKind kind);

// 100 when the path or one of its ancestors is named ".codex", else 80.
uint8_t codex_detection_confidence(const std::filesystem::path& path, InputKind kind);

// The directory every relative path of the parse is measured from: the .codex
// directory (or what stands in its place) for a path inside a profile.
std::filesystem::path codex_evidence_root(const std::filesystem::path& path, InputKind kind);

// Adds every file `parse_codex_input` would read to `listing`.
[[nodiscard]] Status list_codex_input(const std::filesystem::path& path, InputKind kind,
                                      const ParseContext& context, FileListing& listing);
[[nodiscard]] Result<ReaderOutput> parse_codex_input(const std::filesystem::path& path,
                                                     InputKind kind,
                                                     const std::filesystem::path& evidence_root,
                                                     const ParseContext& context);

}  // namespace tq::codex

namespace tq {

// The registry entry of the Codex adapter.
const ProviderAdapter& codex_adapter();

}  // namespace tq
