// Small lookups over reader output for the Claude Code tests; trees are built
// with TempTree.
#pragma once

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "model/model.h"
#include "support/temp_tree.h"

namespace tq::testing {

inline std::vector<std::string> messages_of(const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string> out;
  for (const Diagnostic& d : diagnostics) out.push_back(d.message);
  return out;
}

template <typename Events>
std::vector<std::string> paths_of(const Events& events) {
  std::vector<std::string> out;
  for (const TimelineEvent& e : events) out.push_back(e.source.relative_path);
  return out;
}

template <typename Events>
const TimelineEvent* find_event(const Events& events, std::string_view relative_path) {
  auto it = std::find_if(events.begin(), events.end(), [&](const TimelineEvent& e) {
    return e.source.relative_path == relative_path;
  });
  return it == events.end() ? nullptr : &*it;
}

}  // namespace tq::testing
