// File: ordering/duplicates.h
//
// The same record, prompt, tool call or result often lies on a timeline more
// than once: Codex writes each prompt to its history and twice to the rollout,
// gives a shell call two results, repeats session_meta when a session is
// resumed and replays the parent's records into a fork; Claude Code replays
// a conversation into compaction and side-question transcripts. This pass
// marks every later copy with the id of the first event holding it
// (`facts.duplicate_of`), links each call to its first result and back, and
// fills in what a call's first result lacks from its later ones, so that
// dropping the copies loses no fact.
//
//   link_events(report.events);   // once, on the ordered report
#pragma once

#include "model/model.h"

namespace tq {

// Marks copies and links calls and results among `events`, taken in their order.
void link_events(EventTable& events);

// How many events are marked as copies.
size_t count_duplicates(const EventTable& events);

}  // namespace tq
