#include "auth/url.h"

#include <cctype>

#include "core/text.h"

namespace qs::auth {

namespace {

bool allowedInURL(unsigned char c) {
  if (c <= 0x20 || c >= 0x7f) return false;
  switch (c) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
      return false;
    default:
      return true;
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const int high = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  if (!text::isValidUTF8(out)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  for (unsigned char c : text) {
    if (!allowedInURL(c)) return std::nullopt;
  }
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  Url url;
  for (std::size_t i = 0; i < colon; ++i) {
    const unsigned char c = text[i];
    const bool ok =
        std::isalpha(c) || (i > 0 && (std::isdigit(c) || c == '+' || c == '-' || c == '.'));
    if (!ok) return std::nullopt;
    url.scheme.push_back(static_cast<char>(std::tolower(c)));
  }
  std::string_view rest = text.substr(colon + 1);
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    url.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (auto question = rest.find('?'); question != std::string_view::npos) {
    url.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    url.has_authority = true;
    std::string_view authority = rest.substr(0, rest.find('/'));
    rest.remove_prefix(authority.size());
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      authority.remove_prefix(at + 1);
    }
    std::string_view port;
    if (authority.starts_with('[')) {
      const auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      url.host = std::string(authority.substr(0, close + 1));
      std::string_view after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after.front() != ':') return std::nullopt;
        port = after.substr(1);
      }
    } else {
      const auto port_colon = authority.find(':');
      url.host = std::string(authority.substr(0, port_colon));
      if (port_colon != std::string_view::npos) port = authority.substr(port_colon + 1);
    }
    if (!port.empty()) {
      if (port.size() > 5) return std::nullopt;
      unsigned number = 0;
      for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        number = number * 10 + static_cast<unsigned>(c - '0');
      }
      if (number > 65535) return std::nullopt;
      url.port = number;
    }
  }
  url.path = std::string(rest);
  return url;
}

// Written piece by piece: GCC 12's -O3 warns wrongly about `"…" + std::string`.
std::string Url::origin() const {
  std::string out = scheme;
  out += "://";
  out += host;
  if (port) {
    out += ':';
    out += std::to_string(*port);
  }
  return out;
}

std::string Url::text() const {
  std::string out = has_authority ? origin() : scheme + ":";
  out += path;
  if (query) {
    out += '?';
    out += *query;
  }
  if (fragment) {
    out += '#';
    out += *fragment;
  }
  return out;
}

std::optional<std::vector<QueryItem>> queryItems(std::string_view query) {
  std::vector<QueryItem> items;
  while (true) {
    const auto amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    const auto equals = piece.find('=');
    auto name = percentDecode(piece.substr(0, equals));
    if (!name) return std::nullopt;
    std::optional<std::string> value;
    if (equals != std::string_view::npos) {
      value = percentDecode(piece.substr(equals + 1));
      if (!value) return std::nullopt;
    }
    items.emplace_back(std::move(*name), std::move(value));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return items;
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

std::optional<std::string> appendingPath(const Url& base, std::string_view component) {
  if (base.query || base.fragment) return std::nullopt;
  Url joined = base;
  while (joined.path.ends_with('/')) joined.path.pop_back();
  joined.path += "/";
  joined.path += component;
  return joined.text();
}

}  // namespace qs::auth
