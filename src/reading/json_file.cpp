#include "reading/json_file.h"

#include <string>
#include <utility>

#include "jsonl/json_parser.h"
#include "model/text.h"

namespace tq {
namespace {

Diagnostic file_diagnostic(DiagnosticCode code, Severity severity, ArtifactKind artifact_kind,
                           std::string_view relative_path, std::string message) {
  SourceInfo source;
  source.artifact_kind = artifact_kind;
  source.relative_path = std::string(relative_path);
  return Diagnostic{code, severity, std::move(source), std::move(message)};
}

// Whether the parse's options keep the content of a file of `size` bytes.
bool keeps_content(const ParserOptions& options, uint64_t size) {
  return options.include_content &&
         (options.max_content_size == 0 || size <= options.max_content_size);
}

}  // namespace

Result<std::optional<JsonFile>> read_json_file(const std::filesystem::path& path,
                                               const ParseContext& context,
                                               std::string_view relative_path,
                                               ArtifactKind artifact_kind,
                                               std::vector<Diagnostic>& diagnostics) {
  // The whole text is needed to parse it, whatever the events keep of it.
  std::expected<FileDescription, DescribeError> described =
      describe_file(path, true, context.options.max_line_size, context.scope, context.monitor);
  if (!described) {
    if (auto fault = machine_fault(path, described.error().code)) {
      return std::unexpected(std::move(*fault));
    }
    diagnostics.push_back(file_diagnostic(DiagnosticCode::UnreadableArtifact, Severity::Warning,
                                          artifact_kind, relative_path,
                                          describe_error_text(described.error(), relative_path)));
    return std::optional<JsonFile>();
  }
  JsonFile file{std::move(*described), std::nullopt};
  std::optional<FileContent> content = std::move(file.description.content);
  file.description.content.reset();
  if (keeps_content(context.options, file.description.size) && content)
    file.description.content = content;

  if (!content) {
    diagnostics.push_back(file_diagnostic(
        DiagnosticCode::InvalidJson, Severity::Warning, artifact_kind, relative_path,
        concat("File size ", file.description.size, " exceeds max_line_size ",
               context.options.max_line_size, ", skipping.")));
    return std::optional<JsonFile>(std::move(file));
  }
  std::expected<JsonValue, std::string> document =
      content->encoding == ContentEncoding::Utf8
          ? JsonParser().parse(content->text)
          : std::expected<JsonValue, std::string>(std::unexpected("the file is not UTF-8 text"));
  if (!document) {
    if (context.strict())
      return std::unexpected(Error::json_parse(relative_path, 1, document.error()));
    diagnostics.push_back(file_diagnostic(DiagnosticCode::InvalidJson, Severity::Error,
                                          artifact_kind, relative_path,
                                          "Invalid JSON: " + document.error()));
    return std::optional<JsonFile>(std::move(file));
  }
  file.document = std::move(*document);
  return std::optional<JsonFile>(std::move(file));
}

}  // namespace tq
