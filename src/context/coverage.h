// File: context/coverage.h
//
// What a parse tells a caller who asks (ParseContext::accounts) of every file
// under the profile roots it read: whether a reader took it, and if not, why.
// The readers' own diagnostics and the events then say what became of the
// files they took (query/coverage.h).
#pragma once

#include <cstdint>
#include <string>

namespace tq {

struct FileAccount {
  std::string relative_path;  // measured as the events' source paths are
  uint64_t size = 0;          // as listed; 0 for what is no regular file
  bool taken = false;         // a reader read it
  std::string reason;         // why it was not read; empty when taken
};

}  // namespace tq
