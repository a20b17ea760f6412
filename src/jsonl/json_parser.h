// File: jsonl/json_parser.h
//
// Parses one JSON text (a line of a JSON-lines file, a whole small file) into a
// generic JsonValue with simdjson. One JsonParser is reused for all lines of a
// file so that its buffers are allocated once.
//
// Object members come out ordered by key with the last of repeated keys kept;
// integers beyond 64 bits become the nearest double; nesting deeper than
// kMaxJsonDepth is rejected so nothing downstream can exhaust the stack.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "model/json_value.h"

namespace tq {

inline constexpr size_t kMaxJsonDepth = 128;

class JsonParser {
 public:
  JsonParser();
  ~JsonParser();
  JsonParser(const JsonParser&) = delete;
  JsonParser& operator=(const JsonParser&) = delete;

  // The value, or the parser's description of what is wrong (used in
  // "Invalid JSON: {error}" diagnostics). Running out of memory is not a fault
  // of the text: it throws std::bad_alloc, as any other allocation does.
  [[nodiscard]] std::expected<JsonValue, std::string> parse(std::string_view text);
  // The same for `text`, a part of `line` (a LineItem's text): it is parsed
  // where it lies when `line` has kLinePadding bytes to spare past its end, and
  // a huge line is emptied once parsed, so that it is never held three times
  // over (the line, the parser's strings, the value).
  [[nodiscard]] std::expected<JsonValue, std::string> parse_line(std::string_view text,
                                                                 std::string& line);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Convenience for one-off texts.
[[nodiscard]] std::expected<JsonValue, std::string> parse_json(std::string_view text);

}  // namespace tq
