// File: claude/detection.h
//
// The Claude Code adapter's face towards the parse driver: recognising a path as
// one of the Claude Code input kinds, scoring how sure that is, naming the
// directory that relative paths are measured from, and parsing the path with
// the matching reader.
//
//   TQ_TRY(std::optional<InputKind> kind, claude::detect_input_kind(path, follow_symlinks));
//   if (kind) {
//     TQ_TRY(ReaderOutput out, parse_claude_input(path, *kind,
//                                                 claude_evidence_root(path, *kind), options));
//   }
//
// A Claude Code profile (`.claude`) holds `history.jsonl`, `paste-cache/`,
// `image-cache/` and `file-history/<session>/<id>@v<version>`. Names are tested
// lexically on the path as given, byte for byte. Only unreadable metadata of the
// path itself is an error of detection; everything else met while looking makes
// the path "not recognised". All functions are thread-safe and keep no state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/adapter.h"

namespace tq::claude {

// One of ClaudeRoot, History, PasteCache, ImageCache, FileHistory, or none.
// Error: "I/O error at {path}: {error}" when the path's metadata can't be read
// (links at the path followed only with `follow_symlinks`).
[[nodiscard]] Result<std::optional<InputKind>> detect_input_kind(const std::filesystem::path& path,
                                                                 bool follow_symlinks);

// For a parse that reads session transcripts too: what detect_input_kind
// recognises, and besides a `projects` directory (ClaudeProjects), a `.claude`
// directory holding only `projects` (ClaudeRoot) and any other `*.jsonl` file
// but a history (ClaudeTranscript).
[[nodiscard]] Result<std::optional<InputKind>> detect_input_kind_with_transcripts(
    const std::filesystem::path& path, bool follow_symlinks);

// True for the seven Claude Code kinds.
bool supports_claude_input(InputKind kind);

// 100 when the path or one of its ancestors is named ".claude"; otherwise 80 for
// the cache and file-history kinds and 10 for the rest.
uint8_t claude_detection_confidence(const std::filesystem::path& path, InputKind kind);

// The directory relative paths are formed against: a profile root for a file
// directly in a cache or `file-history` directory, the session directory for a
// snapshot inside one, the parent of a history file or `projects` directory, the
// profile holding a transcript's `projects` directory (else its parent), the
// path itself otherwise.
std::filesystem::path claude_evidence_root(const std::filesystem::path& path, InputKind kind);

// Runs the reader for `kind` and returns its events and diagnostics unchanged.
// Options pass through to the readers. Error: a reader's error, or
// "Claude Code adapter does not support input kind {kind}." for a non-Claude kind.
// Adds every file `parse_claude_input` would read to `listing`.
[[nodiscard]] Status list_claude_input(const std::filesystem::path& path, InputKind kind,
                                       const ParseContext& context, FileListing& listing);
[[nodiscard]] Result<ReaderOutput> parse_claude_input(const std::filesystem::path& path,
                                                      InputKind kind,
                                                      const std::filesystem::path& evidence_root,
                                                      const ParseContext& context);

}  // namespace tq::claude

namespace tq {

// The Claude Code entry of the provider registry.
const ProviderAdapter& claude_adapter();

}  // namespace tq
