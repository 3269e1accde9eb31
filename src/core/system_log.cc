#include "core/system_log.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace qs {

void systemLog(const char* format, ...) {
  std::string line = "Quillstone: ";
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (length > 0) {
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(length) + 1);
    std::vsnprintf(line.data() + start, static_cast<std::size_t>(length) + 1, format, again);
    line.resize(start + static_cast<std::size_t>(length));
  }
  va_end(again);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace qs
