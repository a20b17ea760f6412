// File: codex/thread_db.h
//
// Codex keeps an index of its threads in `state_<n>.sqlite` at the profile's
// top, in WAL mode: its newest writes often sit only in `-wal`, which an
// immutable open ignores and an ordinary open checkpoints into the database
// and deletes. So the database, its `-wal` and `-shm` are copied through the
// parse's scope (no access time changed where the system allows it) into a
// private directory (mode 0700, removed on every way out), and the copy is
// opened read-only: the profile is never written and the log is seen.
//
// Its rows give events only where the rollouts don't already hold them: a
// thread's title gives a `task_state` (record type kThreadTitleRecord), a
// thread with no rollout a `session_start` (record type "thread": its
// title, model, directory and git facts), a spawn edge whose child has no
// rollout a `task_state` (record type "thread_spawn_edge") in the parent's
// session. A database that is locked, damaged, encrypted or no SQLite file is
// one warning unreadable_artifact naming it; running out of descriptors or
// memory ends the parse (machine_fault).
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "context/context.h"
#include "error/error.h"
#include "model/model.h"
#include "reading/listing.h"

namespace tq::codex {

// The thread databases at the top of `root` (`state_<n>.sqlite`), in path order.
std::vector<std::filesystem::path> thread_databases(const std::filesystem::path& root);

// Adds the database and its log files to `listing`.
void list_thread_database(const std::filesystem::path& database, FileListing& listing);

// `sessions_with_rollouts`: the sessions whose events the rollouts gave.
[[nodiscard]] Result<ReaderOutput> read_thread_database(
    const std::filesystem::path& database, const ParseContext& context,
    const std::filesystem::path& evidence_root,
    const std::set<std::string, std::less<>>& sessions_with_rollouts);

}  // namespace tq::codex
