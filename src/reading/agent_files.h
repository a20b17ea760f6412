// File: reading/agent_files.h
//
// The files an agent keeps beside its sessions (settings, plans, memories,
// todo lists, tasks, shell snapshots, tool outputs kept apart) become one
// `agent_file` event each: the file's size, digest and times, its content with
// `include_content`, and the session its path or content names. A provider
// says which of its files these are and how each kind reads
// (`AgentFileRules`); JSON kinds are read whole (reading/json_file.h) and
// give a message from their document, text kinds give their file's name.
//
//   TQ_TRY(ReaderOutput files, scan_agent_files(root, context, evidence_root,
//                                                kClaudeAgentFiles));
//
// A file that can't be read is the walk's or the description's warning; a JSON
// file that holds no JSON still gives its event beside its diagnostic; a text
// file larger than `max_content_size`, its content asked for, is a warning
// that names it. Running out of descriptors or memory ends the scan.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/json_value.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq {

// What a document tells of its file; unset members leave the event's.
struct AgentFileFacts {
  std::optional<std::string> message;
  std::optional<std::string> session_id;
  std::optional<std::string> working_directory;
  std::optional<DateTime> time;
  std::optional<std::string> agent_type;         // a subagent's, as its own file says
  std::optional<std::string> agent_description;  // likewise
};

// One kind of file: the record type its events carry, and, for a JSON kind,
// what its document says (null: a text kind).
struct AgentFileKind {
  std::string_view record_type;
  AgentFileFacts (*read_document)(const JsonValue& document);
};

// A file a provider keeps, as its path names it.
struct AgentFileMatch {
  const AgentFileKind* kind;
  std::optional<std::string> session_id;
  std::optional<std::string> source_id;                // what in a session points to the file
  std::optional<std::string> agent_id = std::nullopt;  // the subagent the file describes
};

struct AgentFileRules {
  Provider provider;
  // The file's path below the profile root, split at '/'; none: not one of
  // these files.
  std::optional<AgentFileMatch> (*match)(std::span<const std::string> components);
};

[[nodiscard]] Status list_agent_files(const std::filesystem::path& root,
                                      const ParseContext& context, const AgentFileRules& rules,
                                      FileListing& listing);

[[nodiscard]] Result<ReaderOutput> scan_agent_files(const std::filesystem::path& root,
                                                    const ParseContext& context,
                                                    const std::filesystem::path& evidence_root,
                                                    const AgentFileRules& rules);

}  // namespace tq
