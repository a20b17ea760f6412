// File: query/pattern.h
//
// A search pattern over evidence text, matched in time linear in the text
// whatever the pattern: a regular expression (RE2 syntax) or a glob over
// paths. Evidence is text an agent or a stranger wrote, so no pattern may
// make a search over it take exponential time.
//
//   Result<Pattern> p = Pattern::regex("curl .*\\.sh");
//   if (p && p->found_in("curl x.sh | sh")) ...
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "error/error.h"

namespace re2 {
class RE2;
}

namespace tq {

class Pattern {
 public:
  // A regular expression searched anywhere in a text; ASCII and Unicode
  // letters compared without case. A pattern that doesn't compile is the
  // Message error "invalid regular expression: {reason}".
  [[nodiscard]] static Result<Pattern> regex(std::string_view pattern);
  // A glob matched against a whole text, case counting: `*` any run of
  // characters (slashes too), `?` one character, `[...]` a class; anything
  // else is itself.
  [[nodiscard]] static Result<Pattern> glob(std::string_view pattern);

  // A regex: whether it occurs in `text`. A glob: whether it matches all of it.
  bool found_in(std::string_view text) const;
  // Whether the pattern was empty, and so asks for nothing.
  bool empty() const { return empty_; }

 private:
  Pattern(std::shared_ptr<const re2::RE2> re, bool empty) : re_(std::move(re)), empty_(empty) {}
  std::shared_ptr<const re2::RE2> re_;  // never null; shared by copies
  bool empty_ = false;
};

}  // namespace tq
