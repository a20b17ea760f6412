// File: support/codex_fixtures.h
//
// Helpers for the file-utility and Codex tests: readable diagnostics and event
// lookups. Trees are built with TempTree.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.h"
#include "support/temp_tree.h"

namespace tq::testing {

// The data of a diagnostic in one line, for readable failures:
// "warning invalid_json line 3: Line size …".
inline std::string describe(const Diagnostic& d) {
  std::string text = std::string(json_text(d.severity)) + " " + std::string(json_text(d.code));
  if (d.source && d.source->line_number) text += " line " + std::to_string(*d.source->line_number);
  return text + ": " + d.message;
}

inline std::vector<std::string> describe_all(const std::vector<Diagnostic>& diagnostics) {
  std::vector<std::string> out;
  for (const Diagnostic& d : diagnostics) out.push_back(describe(d));
  return out;
}

}  // namespace tq::testing
