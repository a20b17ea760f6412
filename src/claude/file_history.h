// File: claude/file_history.h
//
// Claude Code keeps a copy of every file it edits below the profile's
// `file-history` directory: one subdirectory per session holding one file per
// snapshot, named `<id>@v<version>`. Each snapshot file becomes one
// `file_snapshot` event describing it (size, SHA-256, media type, file times and,
// on request, its content); each (session, id) chain is checked for repeated
// and missing versions.
//
//   ReaderOutput out = scan_file_history(root / "file-history", options, evidence_root);
//
// Never fails: unreadable entries, misnamed files and broken chains are
// diagnostics. A misnamed file is kept with its whole name as id and version 0
// in best-effort mode, and is an error diagnostic (and skipped) in strict mode.
// Events come in relative-path order with `sequence` 0, 1, 2, ...; diagnostics
// list walk and per-file problems in the order met, then the chain warnings.
#pragma once

#include <filesystem>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::claude {

// Options read: mode, follow_symlinks, include_content, max_content_size. Fails
// only on a fault of the machine (machine_fault); unreadable files are
// diagnostics.
[[nodiscard]] Result<ReaderOutput> scan_file_history(const std::filesystem::path& directory,
                                                     const ParseContext& context,
                                                     const std::filesystem::path& evidence_root);

// Adds what `scan_file_history` would examine to `listing`.
void list_file_history(const std::filesystem::path& directory, const ParseContext& context,
                       FileListing& listing);

}  // namespace tq::claude
