// File: claude/root.h
//
// Reading a whole Claude Code profile root: the prompt history, the paste and
// image caches, the file-history snapshots and, with `transcripts` set, the
// session transcripts below `projects/`, tied together.
//
//   EventList events;
//   std::vector<Diagnostic> diagnostics;
//   TQ_CHECK(parse_claude_root(root, evidence_root, options, events, diagnostics));
//
// Every `contentHash` that a pasted-content entry of the history carries is
// looked up among the cache files by key. A file that one reference finds alone
// is folded into the referring attachment event; every file that a reference
// finds (alone or with others) stops being an event of its own. Unresolved,
// ambiguous and mismatching references are diagnostics. Snapshots take the
// project directory that the prompts record for their session when there is
// exactly one, and, where a transcript names their backup, the original path
// and the backup time.
//
// Missing parts of the root are not problems; a root that can't be listed and
// entered is one error diagnostic. The readers fail in strict mode (a history or
// transcript that can't be opened, bad lines) and on a fault of the machine
// (machine_fault); then nothing is appended and the caller discards its lists.
#pragma once

#include <filesystem>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::claude {

// Appends events in the order history, remaining paste-cache files, remaining
// image-cache files, snapshots, transcripts; diagnostics in the order history,
// reference resolution, paste cache, image cache, file history, transcripts.
[[nodiscard]] Status parse_claude_root(const std::filesystem::path& root,
                                       const std::filesystem::path& evidence_root,
                                       const ParseContext& context, EventList& events,
                                       std::vector<Diagnostic>& diagnostics);

// Adds every file `parse_claude_root` would read to `listing`.
[[nodiscard]] Status list_claude_root(const std::filesystem::path& root,
                                      const ParseContext& context, FileListing& listing);

}  // namespace tq::claude
