#include "core/ids.h"

#include <cstddef>
#include <iterator>

namespace qs::ids {

namespace {
bool is_alnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
}  // namespace

bool is_document_id(std::string_view id) {
  if (id.empty() || id.size() > 128) return false;
  for (char c : id) {
    if (!is_alnum(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool is_reserved_id(std::string_view id) {
  return is_document_id(id) && id.front() == '_';
}

bool is_capture_id(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id) {
    if (!is_alnum(c) && c != '-') return false;
  }
  return true;
}

bool is_request_id(std::string_view id) {
  if (!id.starts_with("r-")) return false;
  id.remove_prefix(2);
  constexpr std::size_t kGroups[] = {8, 4, 4, 4, 12};
  for (std::size_t g = 0; g < std::size(kGroups); ++g) {
    if (g > 0) {
      if (id.empty() || id.front() != '-') return false;
      id.remove_prefix(1);
    }
    if (id.size() < kGroups[g]) return false;
    for (std::size_t i = 0; i < kGroups[g]; ++i) {
      if (!is_hex(id[i])) return false;
    }
    id.remove_prefix(kGroups[g]);
  }
  return id.empty();
}

}  // namespace qs::ids
