// File: reading/json_file.h
//
// Agent files that are one JSON document (settings, a subagent's meta file, a
// todo list, a session's pid file) are read whole: opened as every evidence
// file is, through the parse's scope, hashed in the same single pass that
// reads them, and bounded by the size a JSON-lines reader allows one line.
//
//   std::vector<Diagnostic> diagnostics;
//   TQ_TRY(std::optional<JsonFile> file,
//          read_json_file(path, context, rel, ArtifactKind::Session, diagnostics));
//   if (file && file->document) ...read its members...; file->description.artifact() ...
//
// | problem             | diagnostic                                             | strict mode    |
// | can't be read       | warning unreadable_artifact (describe_error_text)      | still a warning|
// | larger than bound   | warning invalid_json "File size … exceeds max_line_size …, skipping." | |
// | not JSON, not UTF-8 | error invalid_json "Invalid JSON: …"                   | JsonParse error|
//
// A file that can't be read gives none; one that is read but holds no JSON
// document still gives its description (size, digest, times), so nothing but
// the document is lost. Running out of descriptors or memory is the Io error
// (machine_fault). The description holds the content only as `include_content`
// and `max_content_size` allow.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "files/describe.h"
#include "model/json_value.h"
#include "model/model.h"

namespace tq {

struct JsonFile {
  FileDescription description;
  std::optional<JsonValue> document;  // none: a diagnostic says why
};

[[nodiscard]] Result<std::optional<JsonFile>> read_json_file(const std::filesystem::path& path,
                                                             const ParseContext& context,
                                                             std::string_view relative_path,
                                                             ArtifactKind artifact_kind,
                                                             std::vector<Diagnostic>& diagnostics);

}  // namespace tq
