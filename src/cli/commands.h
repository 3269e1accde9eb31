// The commands of quillstone-cli, one function each, taking the arguments after the command.
#pragma once

#include <string_view>
#include <vector>

namespace qs::cli {

inline constexpr int kOK = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

int render(const std::vector<std::string_view>& args);

}  // namespace qs::cli
