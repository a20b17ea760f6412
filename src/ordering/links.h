// File: ordering/links.h
//
// The same record, prompt, tool call or result often lies on a timeline more
// than once: Codex writes each prompt to its history and twice to the rollout,
// gives a shell call two results, repeats session_meta when a session is
// resumed and replays the parent's records into a fork; Claude Code replays
// a conversation into compaction and side-question transcripts. Linking marks
// every later copy with the id of the first event holding it
// (`facts.duplicate_of`), links each call to its first result and back, and
// fills in what a call's first result lacks from its later ones, so that
// dropping the copies loses no fact.
//
// An agent also writes some facts about a subagent into a file of their own:
// Claude Code keeps a subagent's type and the description its parent gave it
// in `agent-<id>.meta.json` beside the subagent's transcript. Linking gives
// each event of that subagent (same provider, session and agent id) the type
// and description the first such file's event holds, where the event doesn't
// already say them. Nothing is guessed: an event without an agent id, or a
// subagent without such a file, is left as it is.
//
// Linking works one event at a time, so that events kept encoded need never
// be decoded for it: a LinkPlanner is given what linking reads of every event
// once, in any order, as the event is made (a few numbers, its ids, its
// message's digest, what a result says of its call), then visits them once
// each in report order, keeping the few facts one event gives another; its
// LinkPlan then gives any event, by its position, what linking gives it,
// without reading any other event.
//
//   LinkPlanner planner;
//   for (const TimelineEvent& e : events) planner.add(e);    // any order
//   for (size_t added : report_order) planner.visit(added);  // report order
//   const LinkPlan plan = std::move(planner).finish();
//   plan.apply(position, event);   // any order, each event once
//
//   link_report(report.events);    // the same for a report held in memory
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "model/model.h"

namespace tq {

namespace links {
struct PlanState;
struct PlannerState;
}  // namespace links

// What linking gives each event of one report. Immutable once made; `apply`
// may be called from any thread at once.
class LinkPlan {
 public:
  LinkPlan();
  ~LinkPlan();
  LinkPlan(LinkPlan&&) noexcept;
  LinkPlan& operator=(LinkPlan&&) noexcept;
  LinkPlan(const LinkPlan&) = delete;
  LinkPlan& operator=(const LinkPlan&) = delete;

  // Gives the event at `position` (0-based, in report order) its links and the
  // facts other events give it. `e` must be that event as the parse made it,
  // and is given them once.
  void apply(size_t position, TimelineEvent& e) const;
  // The memory the plan holds, in bytes.
  size_t bytes() const;

 private:
  friend class LinkPlanner;
  std::unique_ptr<const links::PlanState> state_;  // null only once moved from
};

// Gathers a report's LinkPlan from its events, shown once each in report order.
class LinkPlanner {
 public:
  // `events`, when known, is how many events will be visited: the planner
  // then makes room for their keys at once instead of growing into it.
  explicit LinkPlanner(size_t events = 0);
  ~LinkPlanner();
  LinkPlanner(LinkPlanner&&) noexcept;
  LinkPlanner& operator=(LinkPlanner&&) noexcept;
  LinkPlanner(const LinkPlanner&) = delete;
  LinkPlanner& operator=(const LinkPlanner&) = delete;

  // Keeps what linking reads of `e`; nothing of `e` is kept by reference.
  // Its index among the events added.
  size_t add(const TimelineEvent& e);
  // The event added as `added`, the next in report order. Each event added is
  // visited once.
  void visit(size_t added);
  // The memory the planner holds now, in bytes.
  size_t bytes() const;
  LinkPlan finish() &&;

 private:
  std::unique_ptr<links::PlannerState> state_;  // null only once moved from
};

// Links the events of an ordered report held in memory.
void link_report(EventTable& events);

// How many events are marked as copies.
size_t count_duplicates(const EventTable& events);

}  // namespace tq
