// File: secrets/detector.h
//
// Finds credentials in text with the rules of secrets/rules.h, in time linear
// in the text and memory bounded by the rules, whatever the text holds.
//
//   Result<SecretDetector> detector = SecretDetector::make();
//   Result<std::vector<SecretFinding>> found = detector->scan(text);
//   for (const SecretFinding& f : *found) secret_rules()[f.rule].name ...
//
// Two passes, both automata without backtracking: Hyperscan reads the text
// once for all rules and tells which of them occur (most texts have none, and
// then that one pass is all); RE2 then locates each occurrence of those rules
// and takes the secret out of its context (the value after `password=`, the
// password of a database URL), which Hyperscan can't.
//
// A finding holds where the secret is and its SHA-256, never its text, so that
// nothing made from findings can print a secret. Findings of one text never
// overlap: where two rules match the same bytes, the rule earlier in the table
// is kept.
//
// A detector owns its scratch space: it is used by one thread at a time;
// `fork` gives another thread its own, sharing the compiled rules.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.h"

namespace tq {

struct SecretFinding {
  uint16_t rule = 0;                 // index into secret_rules()
  size_t offset = 0;                 // of the secret in the scanned text, in bytes
  size_t length = 0;                 // of the secret, in bytes; never 0
  std::array<uint8_t, 32> sha256{};  // of the secret's bytes
};

class SecretDetector {
 public:
  // Compiles the rules; an Error only when an engine refuses them or memory
  // runs out.
  [[nodiscard]] static Result<SecretDetector> make();
  // Another detector over the same compiled rules with scratch space of its own.
  [[nodiscard]] Result<SecretDetector> fork() const;

  // The findings in `text`, by offset. An Error only when an engine fails
  // (running out of memory); bad bytes are just bytes.
  [[nodiscard]] Result<std::vector<SecretFinding>> scan(std::string_view text);
  // Whether any rule may match in any of `texts`: the first pass alone, one
  // call for them all. Never false where `scan` finds something in one of
  // them; may be true where it finds nothing.
  [[nodiscard]] Result<bool> may_match(std::span<const std::string_view> texts);

  SecretDetector(SecretDetector&&) noexcept;
  SecretDetector& operator=(SecretDetector&&) noexcept;
  ~SecretDetector();

  struct Compiled;
  struct Scratch;

 private:
  SecretDetector(std::shared_ptr<const Compiled> compiled, std::unique_ptr<Scratch> scratch);
  // Marks in scratch_->hit the rules that may occur in `texts`.
  Status candidates(std::span<const std::string_view> texts);
  // Adds to scratch_->hit the rules that may occur in `text`, at most
  // kWindow bytes.
  Status scan_block(std::string_view text);

  std::shared_ptr<const Compiled> compiled_;  // never null
  std::unique_ptr<Scratch> scratch_;          // never null
};

}  // namespace tq
