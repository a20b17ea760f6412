// File: hash/hash.h
//
// SHA-256 (OpenSSL libcrypto) with lowercase hexadecimal digests, and standard
// Base64 with padding for inlined file content.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace tq {

// Incremental SHA-256 on the stack: no allocation and no algorithm lookup per
// digest, which matters because every event id costs two digests.
class Sha256 {
 public:
  Sha256();
  // Moving carries the running state along; copying would fork a digest by
  // accident, so it is not offered.
  Sha256(Sha256&&) = default;
  Sha256& operator=(Sha256&&) = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // A digest of its own that has hashed what this one has so far: for many
  // texts that share a beginning, which is then hashed once.
  Sha256 fork() const;

  void update(std::string_view bytes);
  void update(std::span<const uint8_t> bytes);
  // Call once; the object is spent afterwards.
  std::array<uint8_t, 32> finish();
  std::string finish_hex();

 private:
  alignas(8) unsigned char state_[112];  // OpenSSL's SHA256_CTX
};

std::string hex_lower(std::span<const uint8_t> bytes);
// Writes the bytes lowercase hex `text` spells into `out` (room for
// text.size() / 2); false when `text` isn't lowercase hex of an even length,
// and then what `out` holds is unspecified.
bool unhex_lower(std::string_view text, uint8_t* out);
std::string sha256_bytes(std::string_view bytes);

// RFC 4648 Base64, "+" and "/" alphabet, "=" padding.
std::string base64_encode(std::string_view bytes);
// The bytes that strict Base64 text of the same alphabet stands for; none when
// the text isn't that (a length that isn't a multiple of four, a character
// outside the alphabet, padding anywhere but at the end).
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace tq
