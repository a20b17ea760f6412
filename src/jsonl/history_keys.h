// File: jsonl/history_keys.h
//
// Both agents name their prompt history `history.jsonl`. Inside a profile the
// directory says whose it is; a copy taken out of its profile is told apart by
// its first records' keys: Codex writes {"session_id", "ts", "text"}, Claude
// Code {"display", "timestamp", …}.
//
//   if (history_author(path) == HistoryAuthor::Codex) ...read it as Codex's...
#pragma once

#include <cstdint>
#include <filesystem>

namespace tq {

enum class HistoryAuthor : uint8_t { Unknown, ClaudeCode, Codex };

// Reads at most the first 64 KiB of the file, opened as evidence is opened,
// and decides by the first object line that carries either agent's keys.
// Unknown when none does within that, or the file can't be read (its reader
// then reports why).
HistoryAuthor history_author(const std::filesystem::path& path);

}  // namespace tq
