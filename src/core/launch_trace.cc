#include "core/launch_trace.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace qs::launch_trace {

namespace {

double boottimeMs() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

// When the process began, in the same clock: the kernel's start time, in ticks since boot (the
// second field, the name, may hold spaces, so the count starts after its closing parenthesis).
double processStartMs() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return boottimeMs();
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long ticks = 0;
  // After the name: state is field 3, start time field 22.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) ticks = std::strtoull(field.c_str(), nullptr, 10);
  }
  const long hz = sysconf(_SC_CLK_TCK);
  if (ticks == 0 || hz <= 0) return boottimeMs();
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(hz);
}

struct Trace {
  bool on = std::getenv("QUILLSTONE_TRACE_START") != nullptr;
  double origin = on ? processStartMs() : 0;
};

const Trace& trace() {
  static const Trace t;
  return t;
}

}  // namespace

bool enabled() {
  return trace().on;
}

void mark(std::string_view step) {
  const Trace& t = trace();
  if (!t.on) return;
  // Beside the time since the start, the time this thread has run: on a busy machine the
  // difference is the waiting.
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  const double cpu_ms =
      static_cast<double>(cpu.tv_sec) * 1000.0 + static_cast<double>(cpu.tv_nsec) / 1e6;
  std::fprintf(stderr, "quillstone launch: %8.1f ms (this thread ran %7.1f ms) %.*s\n",
               boottimeMs() - t.origin, cpu_ms, static_cast<int>(step.size()), step.data());
}

}  // namespace qs::launch_trace
