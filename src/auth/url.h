// Absolute URLs as the sign-in needs them: split into their parts, query items read and written
// with strict percent-encoding. Pure; callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qs::auth {

struct Url {
  std::string scheme;  // lower-cased
  bool has_authority = false;
  std::string host;                     // as written; brackets kept around an IPv6 address
  std::optional<unsigned> port;         // when written
  std::string path;                     // as written, still percent-encoded
  std::optional<std::string> query;     // after "?", still percent-encoded
  std::optional<std::string> fragment;  // after "#"

  // None unless `text` is an absolute URL: a scheme, then only printable ASCII without spaces,
  // quotes or angle brackets, and a valid port when one is written.
  static std::optional<Url> parse(std::string_view text);

  // scheme "://" host, and ":" port when one is written.
  std::string origin() const;
  // The URL written back out.
  std::string text() const;
};

using QueryItem = std::pair<std::string, std::optional<std::string>>;  // value none: no "="

// The items of a query, names and values percent-decoded ("+" stays "+"), in order. None when a
// "%" isn't followed by two hexadecimal digits or a decoded text isn't valid UTF-8.
std::optional<std::vector<QueryItem>> queryItems(std::string_view query);

// Every byte but letters, digits and "-", "_", ".", "~" written as "%XX".
std::string percentEncode(std::string_view text);

// `base` with `component` added as a path component ("a/b" adds two). None when `base` has a
// query or fragment, which a base address never has.
std::optional<std::string> appendingPath(const Url& base, std::string_view component);

}  // namespace qs::auth
