// File: codex/attachments.h
//
// Files attached to Codex sessions live below the profile's attachments
// directory, usually attachments/<directory>/<file>. Every regular file there,
// whatever its name or depth, becomes one attachment event that describes the
// file: size, SHA-256, media type, file-system times and, with include_content,
// its content. The name of the file's parent directory is kept as the source id.
//
// Never fails: an entry the walk can't read, metadata that can't be read and a
// file that can't be hashed are warnings (the file is then skipped).
#pragma once

#include <filesystem>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::codex {

// A single file, or every regular file below a directory, in path order.
// Options read: include_content, max_content_size, follow_symlinks. Fails only
// on a fault of the machine (machine_fault); unreadable files are diagnostics.
[[nodiscard]] Result<ReaderOutput> scan_attachments(const std::filesystem::path& path,
                                                    const ParseContext& context,
                                                    const std::filesystem::path& evidence_root);

// Adds the files `scan_attachments` would read to `listing`; a fault of the
// machine is the error the scan would return.
[[nodiscard]] Status list_attachments(const std::filesystem::path& path,
                                      const ParseContext& context, FileListing& listing);

}  // namespace tq::codex
