// SHA-256 (OpenSSL), a fast content stamp and standard base64. Pure; callable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qs::digest {

std::array<std::uint8_t, 32> sha256(std::string_view bytes);

// A 128-bit hash of `bytes` (XXH3) in hexadecimal: cheap enough for every file a scan reads,
// and tells a file that was only touched from one whose bytes changed. Kept in memory only: it
// is no defence against bytes made to collide, so it is never a file's lasting identity.
std::string contentStamp(std::string_view bytes);

// Lowercase hexadecimal of the first `count` bytes of `bytes`.
std::string hex(const std::uint8_t* bytes, std::size_t count);

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(std::string_view bytes);

// Strict decoding: the standard alphabet, length a multiple of four, padding only at the end.
// No white space or line breaks are accepted.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace qs::digest
