#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>

#include "fuzz_target.h"

#if defined(QS_FUZZ_LIBFUZZER)
extern "C" void __sanitizer_report_error_summary(const char* error_summary);
#endif

namespace qs::fuzz {

namespace fs = std::filesystem;

namespace {

std::map<std::string, Target, std::less<>>& registry() {
  static std::map<std::string, Target, std::less<>> all;
  return all;
}

// Whether the double `d` is exactly the integer `i` (signed when `negative`).
template <typename Integer>
bool doubleIs(double d, Integer i) {
  if (!std::isfinite(d) || std::trunc(d) != d) return false;
  // 2^63 and 2^64 are doubles exactly; past them no integer of the kind is equal.
  if constexpr (std::is_signed_v<Integer>) {
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return false;
    return static_cast<std::int64_t>(d) == i;
  } else {
    if (d < 0 || d >= 18446744073709551616.0) return false;
    return static_cast<std::uint64_t>(d) == i;
  }
}

bool sameNumber(const json::value& a, const json::value& b) {
  if (a.is_double() && b.is_double()) return a.get_double() == b.get_double();
  if (a.is_double())
    return b.is_int64() ? doubleIs(a.get_double(), b.get_int64())
                        : doubleIs(a.get_double(), b.get_uint64());
  if (b.is_double()) return sameNumber(b, a);
  if (a.is_int64() && b.is_int64()) return a.get_int64() == b.get_int64();
  if (a.is_uint64() && b.is_uint64()) return a.get_uint64() == b.get_uint64();
  const std::int64_t s = a.is_int64() ? a.get_int64() : b.get_int64();
  const std::uint64_t u = a.is_uint64() ? a.get_uint64() : b.get_uint64();
  return s >= 0 && static_cast<std::uint64_t>(s) == u;
}

bool isNumber(const json::value& v) {
  return v.is_int64() || v.is_uint64() || v.is_double();
}

}  // namespace

bool registerTarget(std::string_view name, Target target) {
  registry().emplace(std::string(name), target);
  return true;
}

const std::map<std::string, Target, std::less<>>& targets() {
  return registry();
}

void check(bool holds, std::string_view what) {
  if (holds) return;
  const std::string line = "fuzz check failed: " + std::string(what);
#if defined(QS_FUZZ_LIBFUZZER)
  // Where the sanitizers report: the fuzzer may have closed the target's standard error.
  __sanitizer_report_error_summary(line.c_str());
#else
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
#endif
  std::abort();
}

std::vector<std::string_view> pieces(std::string_view input, std::size_t count) {
  std::vector<std::string_view> out;
  while (out.size() + 1 < count) {
    const std::size_t at = input.find(kSeparator);
    if (at == std::string_view::npos) break;
    out.push_back(input.substr(0, at));
    input.remove_prefix(at + kSeparator.size());
  }
  out.push_back(input);
  out.resize(count);
  return out;
}

Scratch::Scratch() {
  std::string pattern = (fs::temp_directory_path() / "quillstone-fuzz-XXXXXX").string();
  check(::mkdtemp(pattern.data()) != nullptr, "a scratch folder can be made");
  path_ = pattern;
}

Scratch::~Scratch() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

const fs::path& Scratch::fresh() {
  std::error_code ec;
  std::vector<fs::path> inside;
  for (const auto& entry : fs::directory_iterator(path_, ec)) inside.push_back(entry.path());
  for (const auto& entry : inside) fs::remove_all(entry, ec);
  check(!ec, "the scratch folder can be emptied");
  return path_;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

void writeFile(const fs::path& path, std::string_view bytes) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  check(!ec && out.good(), "an input file can be written");
}

bool sameJSON(const json::value& a, const json::value& b) {
  if (isNumber(a) && isNumber(b)) return sameNumber(a, b);
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case boost::json::kind::array: {
      const auto& x = a.get_array();
      const auto& y = b.get_array();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!sameJSON(x[i], y[i])) return false;
      }
      return true;
    }
    case boost::json::kind::object: {
      const auto& x = a.get_object();
      const auto& y = b.get_object();
      if (x.size() != y.size()) return false;
      for (const auto& kv : x) {
        const json::value* other = y.if_contains(kv.key());
        if (!other || !sameJSON(kv.value(), *other)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

}  // namespace qs::fuzz
