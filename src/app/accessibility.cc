#include "app/accessibility.h"

namespace qs::app {

std::string withoutMnemonic(std::string_view label) {
  std::string out;
  out.reserve(label.size());
  for (std::size_t i = 0; i < label.size(); ++i) {
    if (label[i] == '_' && i + 1 < label.size()) ++i;  // the mark goes, what it marks stays
    out += label[i];
  }
  return out;
}

std::string alertName(std::string_view title, std::string_view message) {
  return std::string(title.empty() ? message : title);
}

}  // namespace qs::app
