// Steps of the desktop's launch, timed for whoever tunes it: with QUILLSTONE_TRACE_START set,
// each step is written to stderr with the milliseconds since the process began and the time the
// calling thread has run, as "quillstone launch: <ms> ms (this thread ran <ms> ms) <step>".
// Without it nothing is written. Callable from any thread.
#pragma once

#include <string_view>

namespace qs::launch_trace {

bool enabled();
void mark(std::string_view step);

}  // namespace qs::launch_trace
