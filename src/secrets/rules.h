// File: secrets/rules.h
//
// The credentials the detector knows: one rule per format that its issuer
// defines (a prefix, an alphabet, a length), and a few rules for a secret-like
// name given a high-entropy value. Each rule's pattern is written in the
// syntax that both RE2 and Hyperscan accept (no look-around, no
// back-references), so that the multi-pattern pass and the pass that locates
// the secret read the same text; its first group, when it has one, is the
// secret, otherwise the whole match is.
//
//   for (const SecretRule& r : secret_rules()) ...  // in the order of preference
//
// The table is immutable and its order is the preference between rules whose
// findings overlap: the issuer-defined formats come first, most specific
// first, then the named assignments.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tq {

enum class SecretCheck : uint8_t {
  // The pattern alone defines the secret.
  Format,
  // The value must not be a placeholder or a reference to another variable.
  NotPlaceholder,
  // The value must also look random: letters and digits, and enough entropy.
  HighEntropy,
};

struct SecretRule {
  std::string_view name;     // lower-case with hyphens; printed in findings and placeholders
  std::string_view pattern;  // RE2 and Hyperscan syntax; group 1, when present, is the secret
  SecretCheck check;
};

std::span<const SecretRule> secret_rules();

// Whether `value`, taken from after a secret-like name, is a credential rather
// than a placeholder, a variable or a word: at least 10 bytes with letters and
// digits, no dotted or upper-case variable name, and at least 3 bits of
// entropy per byte.
bool looks_random(std::string_view value);
// Whether `value` is a stand-in for a secret (`${DB_PASSWORD}`, `<password>`,
// `****`, `changeme`) rather than one.
bool is_placeholder(std::string_view value);

}  // namespace tq
