#include "core/digest.h"

#include <openssl/evp.h>

#include <cstring>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace qs::digest {

std::array<std::uint8_t, 32> sha256(std::string_view bytes) {
  std::array<std::uint8_t, 32> out{};
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_sha256(), nullptr);
  return out;
}

std::string contentStamp(std::string_view bytes) {
  const XXH128_hash_t h = XXH3_128bits(bytes.data(), bytes.size());
  std::array<std::uint8_t, 16> out{};
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<std::uint8_t>(h.high64 >> (56 - 8 * i));
    out[8 + i] = static_cast<std::uint8_t>(h.low64 >> (56 - 8 * i));
  }
  return hex(out.data(), out.size());
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
}  // namespace

std::string base64Encode(std::string_view bytes) {
  // Twelve bits at a time: each three bytes are two lookups of two characters.
  static const auto pairs = [] {
    std::array<std::array<char, 2>, 4096> table{};
    for (unsigned n = 0; n < 4096; ++n) table[n] = {kAlphabet[n >> 6], kAlphabet[n & 63]};
    return table;
  }();
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  char* at = out.data();
  std::size_t i = 0;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  for (; i + 3 <= bytes.size(); i += 3, at += 4) {
    const unsigned n = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
    std::memcpy(at, pairs[n >> 12].data(), 2);
    std::memcpy(at + 2, pairs[n & 0xFFF].data(), 2);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    const unsigned n = (b[i] << 16) | (rest == 2 ? b[i + 1] << 8 : 0);
    at[0] = kAlphabet[(n >> 18) & 63];
    at[1] = kAlphabet[(n >> 12) & 63];
    if (rest == 2) at[2] = kAlphabet[(n >> 6) & 63];
  }
  return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      v[k] = valueOf(c);
      if (v[k] < 0) return std::nullopt;
    }
    unsigned n = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                 (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out.push_back(static_cast<char>((n >> 16) & 0xff));
    if (padding < 2) out.push_back(static_cast<char>((n >> 8) & 0xff));
    if (padding < 1) out.push_back(static_cast<char>(n & 0xff));
  }
  return out;
}

}  // namespace qs::digest
