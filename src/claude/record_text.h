// File: claude/record_text.h
//
// The records Claude Code 2.x writes into a session transcript besides the
// conversation itself: hooks it ran (`attachment` hook_success, `progress`
// hook_progress, `system` stop_hook_summary), prompts the user queued while
// the agent worked (`attachment` queued_command), files, memories and plans it
// attached, titles, the permission mode, a pull request it opened, a session
// teleported from elsewhere. Each gets an event type and a message a person
// can read in a list.
//
//   if (std::optional<RecordEvent> known = current_record_event(type, record)) ...
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "jsonl/json_parser.h"
#include "model/json_value.h"
#include "model/model.h"

namespace tq::claude {

struct RecordEvent {
  EventType type = EventType::Unknown;
  std::optional<std::string> message;
  // For an `attachment` of a kind nobody has mapped: its kind, for the
  // reader's warning.
  std::optional<std::string> unmapped_kind;
};

// The record members `current_record_event` reads, for the transcript
// reader's shape; every other member of these records is left unread.
inline constexpr std::array kCurrentRecordMembers{
    JsonShapeMember{"aiTitle", nullptr},      JsonShapeMember{"customTitle", nullptr},
    JsonShapeMember{"lastPrompt", nullptr},   JsonShapeMember{"permissionMode", nullptr},
    JsonShapeMember{"prNumber", nullptr},     JsonShapeMember{"prUrl", nullptr},
    JsonShapeMember{"prRepository", nullptr}, JsonShapeMember{"remoteSessionId", nullptr},
    JsonShapeMember{"branch", nullptr},       JsonShapeMember{"attachment", nullptr},
    JsonShapeMember{"data", nullptr},         JsonShapeMember{"hookCount", nullptr},
    JsonShapeMember{"hookInfos", nullptr},    JsonShapeMember{"hookErrors", nullptr},
    JsonShapeMember{"durationMs", nullptr},   JsonShapeMember{"messageCount", nullptr},
};

// The event of a record of type `type` (and, for `system`, its subtype) that
// is not part of the conversation; none for the types the transcript reader
// maps itself (user, assistant, summary, queue-operation, file snapshots,
// other system records).
std::optional<RecordEvent> current_record_event(std::string_view type, const JsonValue& record);

}  // namespace tq::claude
