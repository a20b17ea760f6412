// File: query/coverage.h
//
// What became of every file a parse was given and every kind of record it
// met, from the parse's file accounts (context/coverage.h), its events and its
// diagnostics:
//
//   {"files": [{"events": 12, "path": "projects/-p/s.jsonl", "reason": null,
//               "size": 4096}, ...],              // in path order
//    "not_read": 1,                               // files no reader read
//    "records": [{"count": 3, "event_type": "hook_run", "provider": "claude_code",
//                 "record_type": "system"}, ...],  // by provider, record, type
//    "unknown": 0}                                // events of no known shape
//
// A file a reader took that gave no event and an unreadable_artifact
// diagnostic counts as not read, with that diagnostic's message as its reason;
// `events` is null for a file not read.
#pragma once

#include <span>

#include "context/coverage.h"
#include "model/json_value.h"
#include "model/model.h"
#include "output/selection.h"

namespace tq {

JsonValue coverage_report(std::span<const FileAccount> accounts, EventSelection events,
                          std::span<const Diagnostic> diagnostics);

}  // namespace tq
