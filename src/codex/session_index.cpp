#include "codex/session_index.h"

#include <string>

#include "codex/history.h"
#include "files/paths.h"
#include "ordering/ordering.h"

namespace tq::codex {

Result<LineFileOutput> parse_session_index_file(const std::filesystem::path& path,
                                                const ParseContext& context,
                                                const std::filesystem::path& evidence_root) {
  const std::string rel = relative_path(path, evidence_root);
  auto fill = [&](uint64_t line, JsonValue object, TimelineEvent& event, LineFileOutput& out) {
    event.event_type = EventType::TaskState;
    event.session_id = string_field(object.find("id"), "id", rel, line, out.diagnostics);
    event.message =
        string_field(object.find("thread_name"), "thread_name", rel, line, out.diagnostics);
    set_embedded_time(event, object.find("updated_at"), "updated_at", ArtifactKind::Session, rel,
                      line, out.diagnostics);
    event.source.record_type = std::string(kSessionTitleRecord);
    event.source.source_id = event.session_id;
    if (context.options.include_raw) event.raw = std::move(object);
  };
  return read_event_lines(path, context, evidence_root, Provider::Codex, ArtifactKind::Session,
                          "codex_session_index", fill);
}

}  // namespace tq::codex
