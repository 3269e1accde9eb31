// Documents and records as the page sends them, for the library's tests.
#pragma once

#include <string>
#include <string_view>

#include "core/digest.h"
#include "core/json.h"

namespace qs::testing {

// A document with one paragraph of `text`, and the members of `extra`.
inline json::object doc(std::string_view id, std::string_view title, json::object extra = {},
                        std::string_view text = "words") {
  json::object d{{"id", id},
                 {"title", title},
                 {"nodes", json::array{json::object{{"id", "n1"}, {"text", text}}}}};
  for (const auto& kv : extra) d[kv.key()] = kv.value();
  return d;
}

inline json::object record(const json::object& d, std::int64_t rev = 1) {
  return json::object{
      {"id", d.at("id")}, {"rev", rev}, {"updated", 1700000000000}, {"deleted", false}, {"doc", d}};
}

// An image large enough to be kept as a file of its package (canonical base64, not a real PNG).
inline std::string imageURL() {
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  return "data:image/png;base64," + digest::base64Encode(bytes);
}

}  // namespace qs::testing
