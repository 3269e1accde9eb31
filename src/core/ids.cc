#include "core/ids.h"

#include <cstddef>
#include <iterator>

namespace qs::ids {

namespace {
bool isAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}
}  // namespace

bool isDocumentID(std::string_view id) {
  if (id.empty() || id.size() > 128) return false;
  for (char c : id) {
    if (!isAlnum(c) && c != '_' && c != '-') return false;
  }
  return true;
}

bool isReservedID(std::string_view id) {
  return isDocumentID(id) && id.front() == '_';
}

bool isCaptureID(std::string_view id) {
  if (id.empty()) return false;
  for (char c : id) {
    if (!isAlnum(c) && c != '-') return false;
  }
  return true;
}

bool isRequestID(std::string_view id) {
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
      if (!isHex(id[i])) return false;
    }
    id.remove_prefix(kGroups[g]);
  }
  return id.empty();
}

}  // namespace qs::ids
