// File: model/readable.h
//
// Pieces of the messages a person reads in a list of events, shared by the
// readers that describe records in words.
//
//   join_present({"model gpt-5", "", "in /repo"}, ", ")  // "model gpt-5, in /repo"
//   integer_text(record.find("exitCode"))                // "0", or none for "0" as text
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/json_value.h"

namespace tq {

// The pieces joined by `separator`, the empty ones left out.
std::string join_present(const std::vector<std::string>& pieces, std::string_view separator);

// The `text` members of the parts (content blocks, message parts) that have
// one, one per line; "" when none has.
std::string joined_texts(const JsonArray& parts);

// A whole number as decimal text; none for anything else (a count recorded as
// text is not trusted as one).
std::optional<std::string> integer_text(const JsonValue* value);

}  // namespace tq
