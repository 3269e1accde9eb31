#include "core/ids.h"

namespace qs::ids {

namespace {
bool is_alnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
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

}  // namespace qs::ids
