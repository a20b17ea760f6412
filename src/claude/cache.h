// File: claude/cache.h
//
// Claude Code stores texts pasted into prompts in `paste-cache` and pasted
// images in `image-cache`, one file per item, named after the item's key (the
// file name without its last extension). Every regular file below such a
// directory becomes one `orphan_cache` event describing the file: size, SHA-256,
// media type, file times and, on request, its content. The profile-root parser
// folds the files the prompt history refers to into its attachment events.
//
//   ReaderOutput out = scan_cache_dir(root / "paste-cache", ArtifactKind::PasteCache,
//                                     context, evidence_root);
//
// Never fails: unreadable entries become warnings and are passed over, and a
// missing path is one walk warning. Events come in path order, `sequence`
// counting the events produced before; every event carries the key in
// `source.source_id`.
#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::claude {

// `path` is a cache directory or one file inside one; `kind` is PasteCache or
// ImageCache and is written into every event and diagnostic. Options read:
// follow_symlinks, include_content, max_content_size. Fails only on a fault of
// the machine (machine_fault); unreadable files are diagnostics.
[[nodiscard]] Result<ReaderOutput> scan_cache_dir(const std::filesystem::path& path,
                                                  ArtifactKind kind, const ParseContext& context,
                                                  const std::filesystem::path& evidence_root);

// Adds the files `scan_cache_dir` would read to `listing`; a fault of the
// machine is the error the scan would return.
[[nodiscard]] Status list_cache_dir(const std::filesystem::path& path, const ParseContext& context,
                                    FileListing& listing);

}  // namespace tq::claude
