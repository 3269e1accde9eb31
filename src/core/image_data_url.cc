#include "core/image_data_url.h"

#include "core/digest.h"

namespace qs::images {

namespace {

constexpr std::size_t kInlineLimit = 2048;

std::string_view extensionFor(std::string_view media_type) {
  if (media_type == "image/png") return "png";
  if (media_type == "image/jpeg") return "jpg";
  if (media_type == "image/gif") return "gif";
  if (media_type == "image/webp") return "webp";
  if (media_type == "image/svg+xml") return "svg";
  if (media_type == "image/heic") return "heic";
  return "bin";
}

}  // namespace

std::optional<ImageParts> imageParts(std::string_view s) {
  if (s.size() <= kInlineLimit || !s.starts_with("data:image/")) return std::nullopt;
  const std::size_t comma = s.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view header = s.substr(5, comma - 5);
  if (!header.ends_with(";base64")) return std::nullopt;
  std::string_view payload = s.substr(comma + 1);
  auto bytes = digest::base64Decode(payload);
  if (!bytes || digest::base64Encode(*bytes) != payload) return std::nullopt;
  std::string_view media_type = header.substr(0, header.size() - 7);
  auto hash = digest::sha256(*bytes);
  ImageParts parts;
  parts.file_name = digest::hex(hash.data(), 10) + "." + std::string(extensionFor(media_type));
  parts.header = std::string(header);
  parts.bytes = std::move(*bytes);
  return parts;
}

}  // namespace qs::images
