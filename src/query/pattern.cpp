#include "query/pattern.h"

#include <re2/re2.h>

#include "model/text.h"

namespace tq {
namespace {

Result<std::shared_ptr<const re2::RE2>> compiled(const std::string& pattern, bool fold_case) {
  re2::RE2::Options options;
  options.set_case_sensitive(!fold_case);
  options.set_log_errors(false);
  auto re = std::make_shared<const re2::RE2>(pattern, options);
  if (!re->ok())
    return std::unexpected(Error::argument("invalid regular expression: " + re->error()));
  return re;
}

}  // namespace

Result<Pattern> Pattern::regex(std::string_view pattern) {
  TQ_TRY(auto re, compiled(std::string(pattern), true));
  return Pattern(std::move(re), pattern.empty());
}

Result<Pattern> Pattern::glob(std::string_view pattern) {
  std::string re = "(?s)";
  bool in_class = false;
  for (const char c : pattern) {
    if (in_class) {
      if (c == ']') in_class = false;
      if (c == '\\') re += '\\';
      re += c;
    } else if (c == '*') {
      re += ".*";
    } else if (c == '?') {
      re += '.';
    } else if (c == '[') {
      in_class = true;
      re += c;
    } else {
      re += re2::RE2::QuoteMeta(std::string_view(&c, 1));
    }
  }
  if (in_class) return std::unexpected(Error::argument("invalid glob: unclosed '['"));
  TQ_TRY(auto compiled_re, compiled(concat("^(?:", re, ")$"), false));
  return Pattern(std::move(compiled_re), pattern.empty());
}

bool Pattern::found_in(std::string_view text) const { return re2::RE2::PartialMatch(text, *re_); }

}  // namespace tq
