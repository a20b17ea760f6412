#include "hash/hash.h"

#include <openssl/evp.h>

#include <algorithm>
#include <new>
#include <vector>

#include "hash/evidence_file.h"

namespace tq {

namespace {

EVP_MD_CTX* new_context() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) throw std::bad_alloc();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  return ctx;
}

EVP_MD_CTX* as_ctx(void* p) { return static_cast<EVP_MD_CTX*>(p); }

}  // namespace

Sha256::Sha256() : ctx_(new_context()) {}

Sha256::~Sha256() {
  if (ctx_ != nullptr) EVP_MD_CTX_free(as_ctx(ctx_));
}

Sha256::Sha256(Sha256&& other) noexcept : ctx_(other.ctx_) { other.ctx_ = nullptr; }

Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    if (ctx_ != nullptr) EVP_MD_CTX_free(as_ctx(ctx_));
    ctx_ = other.ctx_;
    other.ctx_ = nullptr;
  }
  return *this;
}

void Sha256::update(std::string_view bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(as_ctx(ctx_), bytes.data(), bytes.size());
}

void Sha256::update(std::span<const uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(as_ctx(ctx_), bytes.data(), bytes.size());
}

std::array<uint8_t, 32> Sha256::finish() {
  std::array<uint8_t, 32> out{};
  unsigned int len = 0;
  EVP_DigestFinal_ex(as_ctx(ctx_), out.data(), &len);
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

std::string sha256_bytes(std::string_view bytes) {
  Sha256 sha;
  sha.update(bytes);
  return sha.finish_hex();
}

std::expected<std::string, std::error_code> sha256_file(const std::filesystem::path& path) {
  auto file = EvidenceFile::open(path);
  if (!file) return std::unexpected(file.error());
  Sha256 sha;
  std::vector<char> buffer(65536);
  for (;;) {
    auto n = file->read(buffer.data(), buffer.size());
    if (!n) return std::unexpected(n.error());
    if (*n == 0) break;
    sha.update(std::string_view(buffer.data(), *n));
  }
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

}  // namespace tq
