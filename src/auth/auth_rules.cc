#include "auth/auth_rules.h"

#include <algorithm>

#include "core/digest.h"
#include "core/text.h"

namespace qs::auth {

namespace {

bool sameLetters(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool hasControl(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// Whether a cookie's Domain attribute lets `host` receive it.
bool domainCovers(std::string_view domain, const std::string& host) {
  while (domain.starts_with('.')) domain.remove_prefix(1);
  if (domain.empty()) return true;  // an empty attribute is ignored
  const std::string d = lower(domain);
  if (host == d) return true;
  // An address in numbers has no parent domains.
  const bool numeric =
      host.starts_with('[') || host.find_first_not_of("0123456789.") == std::string::npos;
  return !numeric && host.size() > d.size() && host.ends_with(d) &&
         host[host.size() - d.size() - 1] == '.';
}

}  // namespace

std::vector<Cookie> responseCookies(const Headers& headers, const Url& base) {
  const std::string host = lower(base.host);
  std::vector<Cookie> cookies;
  for (const auto& [field, line] : headers) {
    if (!sameLetters(field, "set-cookie")) continue;
    std::string_view rest = line;
    const std::string_view pair = rest.substr(0, rest.find(';'));
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    Cookie cookie{std::string(trim(pair.substr(0, equals))),
                  std::string(trim(pair.substr(equals + 1)))};
    if (cookie.name.empty() || hasControl(cookie.name) || hasControl(cookie.value)) continue;
    bool for_base = true;
    while (rest.find(';') != std::string_view::npos) {
      rest.remove_prefix(rest.find(';') + 1);
      const std::string_view attribute = trim(rest.substr(0, rest.find(';')));
      const auto eq = attribute.find('=');
      if (eq != std::string_view::npos && sameLetters(trim(attribute.substr(0, eq)), "domain")) {
        for_base = domainCovers(trim(attribute.substr(eq + 1)), host);
      }
    }
    if (for_base) cookies.push_back(std::move(cookie));
  }
  return cookies;
}

bool isChallengeCookie(const Cookie& cookie) {
  return cookie.name.find("session_challenge") != std::string::npos ||
         cookie.name.find("session_challange") != std::string::npos;
}

bool isSessionCookie(const Cookie& cookie) {
  return cookie.name.ends_with("session_token") && !cookie.value.empty();
}

std::optional<std::string> headerValue(const Headers& headers, std::string_view name) {
  for (const auto& [field, value] : headers) {
    if (sameLetters(field, name)) return value;
  }
  return std::nullopt;
}

std::optional<json::object> bodyObject(const HttpResponse& response) {
  auto parsed = json::parse(response.body, 64);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return std::move(parsed->get_object());
}

std::optional<double> expiry(std::string_view jwt) {
  std::vector<std::string_view> pieces;
  while (!jwt.empty()) {
    const auto dot = jwt.find('.');
    if (dot != 0) pieces.push_back(jwt.substr(0, dot));
    if (dot == std::string_view::npos) break;
    jwt.remove_prefix(dot + 1);
  }
  if (pieces.size() != 3) return std::nullopt;
  std::string payload(pieces[1]);
  std::replace(payload.begin(), payload.end(), '-', '+');
  std::replace(payload.begin(), payload.end(), '_', '/');
  while (payload.size() % 4 != 0) payload.push_back('=');
  auto decoded = digest::base64Decode(payload);
  if (!decoded) return std::nullopt;
  auto claims = json::parse(*decoded, 64);
  if (!claims || !claims->is_object()) return std::nullopt;
  const json::value* exp = json::find(claims->get_object(), "exp");
  return exp ? json::asNumber(*exp) : std::nullopt;
}

json::object plain(const json::object& user) {
  auto text = [&](std::string_view key) {
    return json::value(std::string(json::findString(user, key).value_or("")));
  };
  return {{"id", text("id")}, {"name", text("name")}, {"email", text("email")}};
}

std::optional<std::string> callbackVerifier(std::string_view callback) {
  auto url = Url::parse(callback);
  if (!url || url->scheme != "quillstone" || !url->has_authority || url->host != "auth" ||
      url->port || url->path != "/callback" || !url->query) {
    return std::nullopt;
  }
  auto items = queryItems(*url->query);
  if (!items) return std::nullopt;
  // Items the service adds (a state, say) are let be; an "error" anywhere ends the sign-in.
  for (const auto& item : *items) {
    if (item.first == "error") return std::nullopt;
  }
  auto verifier = std::find_if(items->begin(), items->end(), [](const QueryItem& item) {
    return item.first == "neon_auth_session_verifier";
  });
  if (verifier == items->end()) return std::nullopt;
  auto& value = verifier->second;
  if (!value || value->empty() || value->size() > 4 * kVerifierLimit ||
      text::graphemeCount(*value) > kVerifierLimit) {
    return std::nullopt;
  }
  return std::move(*value);
}

}  // namespace qs::auth
