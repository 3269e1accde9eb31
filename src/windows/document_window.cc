#include "windows/document_window.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/digest.h"

namespace qs::windows {

std::optional<Rgba> color(std::string_view css) {
  std::string text(css);
  for (std::string_view drop : {"rgba(", "rgb(", ")"}) {
    for (auto at = text.find(drop); at != std::string::npos; at = text.find(drop)) {
      text.erase(at, drop.size());
    }
  }
  std::vector<double> numbers;
  std::string piece;
  auto take = [&] {
    if (piece.empty()) return;
    char* end = nullptr;
    const double value = std::strtod(piece.c_str(), &end);
    if (end && *end == '\0') numbers.push_back(value);
    piece.clear();
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '/') {
      take();
    } else {
      piece.push_back(c);
    }
  }
  take();
  if (numbers.size() < 3) return std::nullopt;
  // As CSS does, a part out of range is clamped to it; "nan" and "1e999" are no colour.
  const auto part = [](double value) { return std::clamp(value, 0.0, 1.0); };
  for (double n : numbers) {
    if (!std::isfinite(n)) return std::nullopt;
  }
  return Rgba{part(numbers[0] / 255), part(numbers[1] / 255), part(numbers[2] / 255),
              numbers.size() > 3 ? part(numbers[3]) : 1.0};
}

std::string windowTitle(std::string_view title) {
  return title.empty() ? "Quillstone" : std::string(title);
}

std::string schemeOf(std::string_view uri) {
  const auto colon = uri.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(uri[i]);
    const bool ok =
        std::isalpha(c) || (i > 0 && (std::isdigit(c) || c == '+' || c == '-' || c == '.'));
    if (!ok) return {};
    scheme.push_back(static_cast<char>(std::tolower(c)));
  }
  return scheme;
}

Navigation decideNavigation(const NavigationRequest& r) {
  if (r.wants_download) return Navigation::kDownload;
  if (r.uri.empty()) return Navigation::kCancel;
  const std::string scheme = schemeOf(r.uri);
  if (scheme == "quillstone" || scheme == "blob" || scheme == "data" || scheme == "about") {
    return Navigation::kAllow;
  }
  if (r.has_target_frame && r.targets_subframe) return Navigation::kCancel;
  if (!r.is_link_activation && !r.has_target_frame) return Navigation::kAllow;
  return Navigation::kOpenOutside;
}

bool targetsSubframe(std::string_view target_name, bool link_or_form, bool user_gesture) {
  if (!target_name.empty()) {
    std::string name(target_name);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name != "_self" && name != "_top" && name != "_parent") return true;
  }
  return !link_or_form && !user_gesture;
}

OutsideAction outsideAction(std::string_view uri) {
  const std::string scheme = schemeOf(uri);
  if (scheme == "http" || scheme == "https" || scheme == "mailto") {
    return OutsideAction::kOpenInDefaultApp;
  }
  if (scheme == "file") return OutsideAction::kShowInFileViewer;
  return OutsideAction::kIgnore;
}

bool newWindowGoesOutside(std::string_view uri) {
  return schemeOf(uri) != "quillstone";
}

std::optional<std::string> savedFileBytes(std::string_view data_url) {
  const auto comma = data_url.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return digest::base64Decode(data_url.substr(comma + 1));
}

void CloseGate::request(bool page_loaded, const std::function<void(std::function<void()>)>& settle,
                        std::function<void()> close) {
  if (settling_) return;
  settling_ = true;
  if (!page_loaded) {
    settling_ = false;
    close();
    return;
  }
  settle([this, close = std::move(close)] {
    settling_ = false;
    close();
  });
}

std::optional<MoveStart> moveFrom(const std::optional<PagePress>& press, unsigned held) {
  if (!press || press->button < 1 || press->button > 5) return std::nullopt;
  if (!(held & (1u << (press->button - 1)))) return std::nullopt;
  return MoveStart{press->button, press->x, press->y, press->time};
}

std::optional<Size> parseFrame(std::string_view text) {
  double x, y, w, h;
  std::string copy(text);
  char end;
  if (std::sscanf(copy.c_str(), " {{%lf ,%lf }, {%lf ,%lf }}%c", &x, &y, &w, &h, &end) != 4) {
    return std::nullopt;
  }
  if (!(w >= 1 && h >= 1 && w < 100000 && h < 100000)) return std::nullopt;
  return Size{static_cast<int>(w), static_cast<int>(h)};
}

std::string frameText(Size size) {
  return "{{0, 0}, {" + std::to_string(size.width) + ", " + std::to_string(size.height) + "}}";
}

}  // namespace qs::windows
