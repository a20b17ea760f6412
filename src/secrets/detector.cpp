#include "secrets/detector.h"

#include <hs/hs.h>
#include <re2/re2.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "hash/hash.h"
#include "model/text.h"
#include "secrets/rules.h"

namespace tq {
namespace {

// Hyperscan takes at most UINT_MAX bytes a call: a longer text is read in
// windows that overlap by more than any credential is long, so that none is
// cut in two unseen.
constexpr size_t kWindow = size_t{1} << 30;
constexpr size_t kOverlap = size_t{1} << 16;
// A text shorter than this is copied beside others to be read in one call.
constexpr size_t kJoinedText = size_t{1} << 16;

// RE2's automata are rebuilt whenever they outgrow their memory; the budget
// is enough for every rule on any text, and a text that exhausts it still
// finishes in linear time on the NFA.
constexpr int64_t kRe2Memory = int64_t{16} << 20;

struct DatabaseDeleter {
  void operator()(hs_database_t* db) const { hs_free_database(db); }
};
struct ScratchDeleter {
  void operator()(hs_scratch_t* s) const { hs_free_scratch(s); }
};

Error engine_error(std::string_view what, int code) {
  return Error::secrets(concat("Secret detection failed: ", what, " (Hyperscan error ", code, ")"));
}

// Marks each rule that Hyperscan reported; one report per rule is enough.
int on_match(unsigned int id, unsigned long long, unsigned long long, unsigned int, void* context) {
  (*static_cast<std::vector<uint8_t>*>(context))[id] = 1;
  return 0;
}

}  // namespace

struct SecretDetector::Compiled {
  std::unique_ptr<hs_database_t, DatabaseDeleter> database;
  std::vector<std::unique_ptr<RE2>> locators;  // one per rule, as secret_rules()
  // The fewest bytes any rule matches: most texts of a record (ids, names,
  // types) are shorter and need no pass at all.
  size_t shortest_match = 0;
};

struct SecretDetector::Scratch {
  std::unique_ptr<hs_scratch_t, ScratchDeleter> space;
  std::vector<uint8_t> hit;  // per rule: whether the first pass saw it
  std::string joined;        // the short texts of one pass, kept to be reused
};

SecretDetector::SecretDetector(std::shared_ptr<const Compiled> compiled,
                               std::unique_ptr<Scratch> scratch)
    : compiled_(std::move(compiled)), scratch_(std::move(scratch)) {}
SecretDetector::SecretDetector(SecretDetector&&) noexcept = default;
SecretDetector& SecretDetector::operator=(SecretDetector&&) noexcept = default;
SecretDetector::~SecretDetector() = default;

namespace {

Result<std::shared_ptr<const SecretDetector::Compiled>> compile_rules() {
  auto compiled = std::make_shared<SecretDetector::Compiled>();
  const std::span<const SecretRule> rules = secret_rules();
  std::vector<std::string> patterns;
  std::vector<const char*> expressions;
  std::vector<unsigned int> flags;
  std::vector<unsigned int> ids;
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kRe2Memory);
  compiled->shortest_match = SIZE_MAX;
  for (size_t i = 0; i < rules.size(); ++i) {
    auto locator = std::make_unique<RE2>(rules[i].pattern, options);
    if (!locator->ok()) {
      return std::unexpected(Error::secrets(
          concat("Secret rule ", rules[i].name, " does not compile: ", locator->error())));
    }
    compiled->locators.push_back(std::move(locator));
    patterns.emplace_back(rules[i].pattern);
    hs_expr_info_t* info = nullptr;
    hs_compile_error_t* refused = nullptr;
    if (hs_expression_info(patterns.back().c_str(), HS_FLAG_SINGLEMATCH, &info, &refused) !=
        HS_SUCCESS) {
      Error error = Error::secrets(
          concat("Secret rule ", rules[i].name, " does not compile: ", refused->message));
      hs_free_compile_error(refused);
      return std::unexpected(std::move(error));
    }
    compiled->shortest_match = std::min<size_t>(compiled->shortest_match, info->min_width);
    std::free(info);
    flags.push_back(HS_FLAG_SINGLEMATCH);
    ids.push_back(static_cast<unsigned int>(i));
  }
  for (const std::string& p : patterns) expressions.push_back(p.c_str());
  hs_database_t* database = nullptr;
  hs_compile_error_t* failure = nullptr;
  if (hs_compile_multi(expressions.data(), flags.data(), ids.data(),
                       static_cast<unsigned int>(expressions.size()), HS_MODE_BLOCK, nullptr,
                       &database, &failure) != HS_SUCCESS) {
    Error error = Error::secrets(
        concat("Secret rule ", failure->expression >= 0 ? rules[failure->expression].name : "set",
               " does not compile: ", failure->message));
    hs_free_compile_error(failure);
    return std::unexpected(std::move(error));
  }
  compiled->database.reset(database);
  return compiled;
}

}  // namespace

Result<SecretDetector> SecretDetector::make() {
  // The rules never change while the process runs, and compiling them takes
  // longer than scanning a whole profile: they are compiled once, by the
  // first caller, and only read afterwards.
  static const Result<std::shared_ptr<const Compiled>> compiled = compile_rules();
  if (!compiled) return std::unexpected(compiled.error());
  hs_scratch_t* space = nullptr;
  if (const hs_error_t code = hs_alloc_scratch((*compiled)->database.get(), &space);
      code != HS_SUCCESS) {
    return std::unexpected(engine_error("no scratch space", code));
  }
  auto scratch = std::make_unique<Scratch>();
  scratch->space.reset(space);
  return SecretDetector(*compiled, std::move(scratch));
}

Result<SecretDetector> SecretDetector::fork() const {
  hs_scratch_t* space = nullptr;
  if (const hs_error_t code = hs_clone_scratch(scratch_->space.get(), &space); code != HS_SUCCESS) {
    return std::unexpected(engine_error("no scratch space", code));
  }
  auto scratch = std::make_unique<Scratch>();
  scratch->space.reset(space);
  return SecretDetector(compiled_, std::move(scratch));
}

Status SecretDetector::scan_block(std::string_view text) {
  const hs_error_t code =
      hs_scan(compiled_->database.get(), text.data(), static_cast<unsigned int>(text.size()), 0,
              scratch_->space.get(), on_match, &scratch_->hit);
  if (code != HS_SUCCESS) return std::unexpected(engine_error("scan failed", code));
  return {};
}

Status SecretDetector::candidates(std::span<const std::string_view> texts) {
  scratch_->hit.assign(secret_rules().size(), 0);
  // Short texts are read as one, copied together with a line feed between
  // two, so that each starts and ends as it would alone (no rule reads
  // across a line feed as a word); a match across two only costs the exact
  // pass. Copying them costs less than a call for each. Texts shorter than
  // any match are left out; a long text is read where it lies, in windows
  // when it is too long for one call.
  std::string& joined = scratch_->joined;
  joined.clear();
  for (std::string_view text : texts) {
    if (text.size() < compiled_->shortest_match) continue;
    if (text.size() < kJoinedText) {
      if (!joined.empty()) joined += '\n';
      joined += text;
      continue;
    }
    for (size_t at = 0;; at += kWindow - kOverlap) {
      const size_t length = std::min(text.size() - at, kWindow);
      TQ_CHECK(scan_block(text.substr(at, length)));
      if (at + length >= text.size()) break;
    }
  }
  if (!joined.empty()) TQ_CHECK(scan_block(joined));
  return {};
}

Result<bool> SecretDetector::may_match(std::span<const std::string_view> texts) {
  TQ_CHECK(candidates(texts));
  return std::find(scratch_->hit.begin(), scratch_->hit.end(), 1) != scratch_->hit.end();
}

namespace {

bool has_digit(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The secret inside `whole` (one match of `locator` in `text`): the rule's
// group when it has one. Taking a group out runs RE2's slower automaton, so
// only on the match's own bytes, and not at all when the match has no digit
// and the rule asks for a random value, which always has one.
std::optional<std::string_view> secret_of(const RE2& locator, const SecretRule& rule,
                                          std::string_view text, std::string_view whole) {
  if (locator.NumberOfCapturingGroups() == 0) return whole;
  if (rule.check == SecretCheck::HighEntropy && !has_digit(whole)) return std::nullopt;
  re2::StringPiece match[2];
  const size_t start = static_cast<size_t>(whole.data() - text.data());
  if (!locator.Match(re2::StringPiece(text.data(), text.size()), start, start + whole.size(),
                     RE2::ANCHOR_BOTH, match, 2) ||
      match[1].empty()) {
    return whole;
  }
  return std::string_view(match[1].data(), match[1].size());
}

bool passes(const SecretRule& rule, std::string_view value) {
  switch (rule.check) {
    case SecretCheck::Format:
      return true;
    case SecretCheck::NotPlaceholder:
      return !is_placeholder(value);
    case SecretCheck::HighEntropy:
      return looks_random(value);
  }
  return false;
}

// Every occurrence of rule `index` in `text` that passes the rule's check.
void locate(const RE2& locator, uint16_t index, std::string_view text,
            std::vector<SecretFinding>& out) {
  const SecretRule& rule = secret_rules()[index];
  re2::StringPiece match;
  const re2::StringPiece whole(text.data(), text.size());
  size_t at = 0;
  while (at <= text.size() && locator.Match(whole, at, text.size(), RE2::UNANCHORED, &match, 1)) {
    const size_t end = static_cast<size_t>(match.data() - text.data()) + match.size();
    at = match.empty() ? end + 1 : end;
    const std::optional<std::string_view> value =
        secret_of(locator, rule, text, std::string_view(match.data(), match.size()));
    if (!value || value->empty() || !passes(rule, *value)) continue;
    SecretFinding f;
    f.rule = index;
    f.offset = static_cast<size_t>(value->data() - text.data());
    f.length = value->size();
    Sha256 digest;
    digest.update(*value);
    f.sha256 = digest.finish();
    out.push_back(f);
  }
}

// Keeps, of findings that overlap, the one whose rule comes first; the rest
// by offset.
std::vector<SecretFinding> without_overlaps(std::vector<SecretFinding> all) {
  std::stable_sort(all.begin(), all.end(), [](const SecretFinding& a, const SecretFinding& b) {
    return a.rule != b.rule ? a.rule < b.rule : a.offset < b.offset;
  });
  std::map<size_t, SecretFinding> kept;  // by offset
  for (const SecretFinding& f : all) {
    auto next = kept.lower_bound(f.offset);
    if (next != kept.end() && next->first < f.offset + f.length) continue;
    if (next != kept.begin()) {
      const SecretFinding& before = std::prev(next)->second;
      if (before.offset + before.length > f.offset) continue;
    }
    kept.emplace_hint(next, f.offset, f);
  }
  std::vector<SecretFinding> out;
  out.reserve(kept.size());
  for (auto& [offset, f] : kept) out.push_back(f);
  return out;
}

}  // namespace

Result<std::vector<SecretFinding>> SecretDetector::scan(std::string_view text) {
  TQ_CHECK(candidates(std::span<const std::string_view>(&text, 1)));
  std::vector<SecretFinding> found;
  for (size_t i = 0; i < scratch_->hit.size(); ++i) {
    if (scratch_->hit[i]) locate(*compiled_->locators[i], static_cast<uint16_t>(i), text, found);
  }
  if (found.size() > 1) found = without_overlaps(std::move(found));
  return found;
}

}  // namespace tq
