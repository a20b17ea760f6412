#include "hash/hash.h"

// The one-call SHA-256 interface keeps its state on the stack and dispatches to
// the CPU's SHA instructions like the EVP one; it is marked deprecated in
// OpenSSL 3 only in favour of EVP, so ask for the 1.1.1 API.
#define OPENSSL_API_COMPAT 10101
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tq {

namespace {

SHA256_CTX* as_ctx(unsigned char* state) { return reinterpret_cast<SHA256_CTX*>(state); }

}  // namespace

Sha256::Sha256() {
  static_assert(sizeof(SHA256_CTX) <= sizeof(state_) && alignof(SHA256_CTX) <= 8);
  SHA256_Init(as_ctx(state_));
}

Sha256 Sha256::fork() const {
  Sha256 copy;
  std::memcpy(copy.state_, state_, sizeof state_);
  return copy;
}

void Sha256::update(std::string_view bytes) {
  if (!bytes.empty()) SHA256_Update(as_ctx(state_), bytes.data(), bytes.size());
}

void Sha256::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) SHA256_Update(as_ctx(state_), bytes.data(), bytes.size());
}

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> out{};
  SHA256_Final(out.data(), as_ctx(state_));
  return out;
}

std::string Sha256::finish_hex() {
  const auto digest = finish();
  return hex_lower(digest);
}

std::string hex_lower(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

namespace {

// Each character's value as a lowercase hex digit, or -1.
constexpr std::array<int8_t, 256> kHexDigit = [] {
  std::array<int8_t, 256> digits{};
  digits.fill(-1);
  for (int c = 0; c < 10; ++c) digits['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; ++c) digits['a' + c] = static_cast<int8_t>(10 + c);
  return digits;
}();

}  // namespace

// Ids and digests pass through here by the million: one table lookup per
// character and no branch on its value.
bool unhex_lower(std::string_view text, uint8_t* out) {
  if (text.size() % 2 != 0) return false;
  int bad = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = kHexDigit[static_cast<uint8_t>(text[i])];
    const int low = kHexDigit[static_cast<uint8_t>(text[i + 1])];
    bad |= high | low;
    out[i / 2] = static_cast<uint8_t>(high * 16 + low);
  }
  return bad >= 0;
}

std::string sha256_bytes(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.finish_hex();
}

std::string base64_encode(std::string_view bytes) {
  // One byte more for the terminator EVP_EncodeBlock writes.
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  // EVP_EncodeBlock takes an int length; encode in slices that stay far below it.
  constexpr size_t kSlice = 3 * (1u << 28);
  size_t written = 0;
  for (size_t pos = 0; pos < bytes.size(); pos += kSlice) {
    const size_t len = std::min(kSlice, bytes.size() - pos);
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                  reinterpret_cast<const unsigned char*>(bytes.data() + pos),
                                  static_cast<int>(len));
    written += static_cast<size_t>(n);
  }
  out.resize(written);
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  auto value_of = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t pos = 0; pos < text.size(); pos += 4) {
    const bool last = pos + 4 == text.size();
    const size_t padding =
        last ? (text[pos + 3] == '=') + (text[pos + 2] == '=' && text[pos + 3] == '=') : 0;
    uint32_t group = 0;
    for (size_t i = 0; i < 4; ++i) {
      const int v = i >= 4 - padding ? 0 : value_of(text[pos + i]);
      if (v < 0) return std::nullopt;
      group = (group << 6) | static_cast<uint32_t>(v);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (padding < 2) out.push_back(static_cast<char>((group >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(group & 0xFF));
  }
  return out;
}

}  // namespace tq
