#include "windows/scheme_handler.h"

#include <algorithm>

#include "core/file_io.h"
#include "core/identity.h"

namespace qs::windows {

namespace fs = std::filesystem;

namespace {

// The origins are written into the policy as they stand: a space, a semicolon or a path in one
// would add sources or whole directives to the policy.
constexpr bool isBareHttpsOrigin(std::string_view origin) {
  constexpr std::string_view kHttps = "https://";
  if (!origin.starts_with(kHttps) || origin.size() == kHttps.size()) return false;
  return std::ranges::all_of(origin.substr(kHttps.size()), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':';
  });
}
static_assert(std::ranges::all_of(identity::kConnectOrigins, isBareHttpsOrigin),
              "each connect origin must be a bare https origin in lower case");

std::string buildContentSecurityPolicy() {
  std::string connect = "connect-src 'self' blob: data:";
  for (std::string_view origin : identity::kConnectOrigins) {
    connect += ' ';
    connect += origin;
  }
  const std::string_view directives[] = {
      "default-src 'self'",
      "script-src 'self'",
      "style-src 'self' 'unsafe-inline'",
      "img-src 'self' data: blob: https:",
      "font-src 'self' data:",
      "media-src 'self' blob: data:",
      "worker-src 'self' blob:",
      connect,
      "object-src 'none'",
      "frame-src 'none'",
      "base-uri 'none'",
  };
  std::string policy;
  for (std::string_view directive : directives) {
    if (!policy.empty()) policy += "; ";
    policy += directive;
  }
  return policy;
}

bool isAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isSchemeCharacter(char c) {
  return isAsciiLetter(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The path of `uri`, still percent-encoded, without query and fragment. None when the URI has
// no scheme.
std::optional<std::string_view> encodedPathOf(std::string_view uri) {
  const std::size_t colon = uri.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isAsciiLetter(uri[0]) ||
      !std::all_of(uri.begin(), uri.begin() + static_cast<std::ptrdiff_t>(colon),
                   isSchemeCharacter)) {
    return std::nullopt;
  }
  std::string_view rest = uri.substr(colon + 1);
  rest = rest.substr(0, rest.find_first_of("?#"));
  if (rest.starts_with("//")) {
    const std::size_t path_start = rest.find('/', 2);
    rest = path_start == std::string_view::npos ? std::string_view() : rest.substr(path_start);
  }
  return rest;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes each "%" and two hex digits once; a "%" not followed by two hex digits stays as it is,
// as web views treat it.
std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexDigit(text[i + 1]);
      const int low = hexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// Whether `path` names something strictly inside `folder`; both absolute and standardised.
bool liesInside(const fs::path& path, const fs::path& folder) {
  const fs::path relative = path.lexically_relative(folder);
  return !relative.empty() && relative != "." && *relative.begin() != "..";
}

fs::path standardisedFolder(const fs::path& folder) {
  std::error_code ec;
  fs::path absolute = fs::absolute(folder, ec);
  if (ec) absolute = folder;
  absolute = absolute.lexically_normal();
  // "/srv/web/" standardises to itself; the comparisons want "/srv/web".
  if (!absolute.has_filename() && absolute.has_relative_path()) absolute = absolute.parent_path();
  return absolute;
}

SchemeHandler::Response notFound() {
  return {404, {{"Content-Type", "text/plain"}}, "Not found"};
}

}  // namespace

const std::string& contentSecurityPolicy() {
  static const std::string policy = buildContentSecurityPolicy();
  return policy;
}

SchemeHandler::SchemeHandler(fs::path web_root, ContentTypeLookup content_types)
    : root_(standardisedFolder(web_root)), content_types_(std::move(content_types)) {}

std::optional<SchemeHandler::Response> SchemeHandler::answer(std::string_view uri) const {
  const std::optional<std::string_view> encoded_path = encodedPathOf(uri);
  if (!encoded_path) return std::nullopt;

  std::string path = percentDecoded(*encoded_path);
  // A NUL would cut the name short where the system reads it.
  if (path.find('\0') != std::string::npos) return notFound();
  if (path.empty() || path == "/") path = "/index.html";
  // Appended to the folder, never in place of it: "//etc/passwd" is a name inside the folder.
  const std::size_t name_start = path.find_first_not_of('/');
  const fs::path relative =
      name_start == std::string::npos ? fs::path() : fs::path(path.substr(name_start));

  const fs::path file = (root_ / relative).lexically_normal();
  if (!liesInside(file, root_)) return notFound();
  // The same question after following links, so a link in the folder can't lead out of it.
  std::error_code ec;
  const fs::path real_root = fs::weakly_canonical(root_, ec);
  if (ec) return notFound();
  const fs::path real_file = fs::weakly_canonical(file, ec);
  if (ec || !liesInside(real_file, real_root)) return notFound();
  if (!fs::is_regular_file(real_file, ec)) return notFound();
  std::optional<std::string> bytes = file_io::readFile(real_file);
  if (!bytes) return notFound();

  std::string extension = file.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  std::string mime = extension.empty() || !content_types_ ? "" : content_types_(extension);
  if (mime.empty()) mime = kUnknownMimeType;
  if (extension == "js" || extension == "mjs") mime = "text/javascript";
  if (mime.starts_with("text/")) mime += "; charset=utf-8";

  Response response;
  response.status = 200;
  response.headers = {
      {"Content-Type", std::move(mime)},
      {"Content-Length", std::to_string(bytes->size())},
      {"Cache-Control", "no-cache"},
      {"Content-Security-Policy", contentSecurityPolicy()},
      {"Access-Control-Allow-Origin", std::string(identity::kAppOrigin)},
  };
  response.body = std::move(*bytes);
  return response;
}

}  // namespace qs::windows
