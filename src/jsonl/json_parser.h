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
#include <span>
#include <string>
#include <string_view>

#include "model/json_value.h"

namespace tq {

inline constexpr size_t kMaxJsonDepth = 128;

struct JsonShape;

struct JsonShapeMember {
  std::string_view key;
  const JsonShape* shape;  // what is read of the member's value; null: all of it
};

// What a reader reads of a value: the members of an object it looks at, each
// with what it reads of that member's value. An array's elements take the
// shape of the array; any other value is taken whole. Members not named are
// left out of the parsed value, so that text no one reads (a command's whole
// output, an encrypted reasoning blob) is never copied. Parsing to a shape
// checks the whole text as parsing it all does, with the same outcome.
//
// A value whose members its reader looks up by many names, some of them not
// known in advance, is read the other way round: every member whole except the
// `left_out` ones, which hold only bulk that no reader looks at.
struct JsonShape {
  std::span<const JsonShapeMember> members;
  std::span<const std::string_view> left_out{};  // when not empty, `members` is not looked at
};

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
  // over (the line, the parser's strings, the value). With a `shape`, the
  // value holds only what it names (see JsonShape).
  [[nodiscard]] std::expected<JsonValue, std::string> parse_line(std::string_view text,
                                                                 std::string& line,
                                                                 const JsonShape* shape = nullptr);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Convenience for one-off texts.
[[nodiscard]] std::expected<JsonValue, std::string> parse_json(std::string_view text);

}  // namespace tq
