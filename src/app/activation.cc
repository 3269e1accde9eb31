#include "app/activation.h"

#include <charconv>
#include <limits>

namespace qs::app {

namespace {

constexpr std::size_t kLongestToken = 256;

std::uint32_t timeOf(std::string_view id) {
  constexpr std::string_view kMark = "_TIME";
  const auto at = id.rfind(kMark);
  if (at == std::string_view::npos) return 0;
  const std::string_view digits = id.substr(at + kMark.size());
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
      value > std::numeric_limits<std::uint32_t>::max()) {
    return 0;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

bool usableToken(std::string_view token) {
  if (token.empty() || token.size() > kLongestToken) return false;
  for (char c : token) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

std::optional<Activation> activationFrom(std::optional<std::string_view> activation_token,
                                         std::optional<std::string_view> startup_id) {
  for (const auto& candidate : {activation_token, startup_id}) {
    if (candidate && usableToken(*candidate)) {
      return Activation{std::string(*candidate), timeOf(*candidate),
                        candidate->starts_with("_TIME")};
    }
  }
  return std::nullopt;
}

}  // namespace qs::app
