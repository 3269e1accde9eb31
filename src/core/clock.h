// Wall-clock time in the forms the files use. Callable from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qs::clock {

// Milliseconds since 1970, whole.
std::int64_t nowMs();

// ISO 8601 in UTC with milliseconds, for example 2026-12-06T08:15:02.123Z.
std::string iso8601UTC(std::chrono::system_clock::time_point t);
std::string iso8601UTCNow();

}  // namespace qs::clock
