// File: hash/hash.h
//
// SHA-256 (OpenSSL libcrypto) with lowercase hexadecimal digests, and standard
// Base64 with padding for inlined file content.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

namespace tq {

// Incremental SHA-256. Move-only; `finish` may be called once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&& other) noexcept;
  Sha256& operator=(Sha256&& other) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  void update(std::span<const uint8_t> bytes);
  std::array<uint8_t, 32> finish();
  std::string finish_hex();

 private:
  void* ctx_;  // EVP_MD_CTX*, owned; null only after a move
};

std::string hex_lower(std::span<const uint8_t> bytes);
std::string sha256_bytes(std::string_view bytes);

// Digest of a file's whole content read in 64 KiB chunks; the file is opened
// without updating its access time where the system permits it.
std::expected<std::string, std::error_code> sha256_file(const std::filesystem::path& path);

// RFC 4648 Base64, "+" and "/" alphabet, "=" padding.
std::string base64_encode(std::string_view bytes);

}  // namespace tq
