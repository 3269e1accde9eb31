// A fuzz target is one function of an input's bytes that must not crash, hang or break the
// properties it checks, whatever the bytes. Each is built two ways:
//  - with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer, one program per
//    target (scripts/fuzz TARGET SECONDS);
//  - with the ordinary compiler into one replay program that runs every file of a target's seed
//    corpus (fuzz/TARGET/) through it; the tests do this in every build.
//
//   QS_FUZZ_TARGET(css_color) {
//     auto c = windows::color(input);
//     QS_FUZZ_CHECK(!c || c->alpha >= 0, "a colour has no negative alpha");
//   }
//
// A target runs on the main thread of its program and may keep state between inputs only where
// a crash it causes would also come from the one input alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace qs::fuzz {

using Target = void (*)(std::string_view input);

// The replay program's targets by name.
bool registerTarget(std::string_view name, Target target);
const std::map<std::string, Target, std::less<>>& targets();

// Ends the program with `what` on standard error when `holds` is false: a property every input
// must keep. To the fuzzer that is a crash like any other.
void check(bool holds, std::string_view what);

// The input cut at each "\n--\n" into at most `count` pieces (the last takes the rest), for
// targets that take more than one text. Missing pieces are empty.
inline constexpr std::string_view kSeparator = "\n--\n";
std::vector<std::string_view> pieces(std::string_view input, std::size_t count);

// A folder of the program's own in the temporary folder, removed when the program ends.
// fresh() empties it for the next input and gives its path.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::filesystem::path& fresh();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes a file for an input; a failure ends the program (the fuzzer can't go on without it).
void writeFile(const std::filesystem::path& path, std::string_view bytes);

// The names of the entries of a folder (none when it can't be listed).
std::vector<std::string> namesIn(const std::filesystem::path& folder);

// Whether two values are the same JSON value: numbers equal as numbers (the integer 5 and the
// double 5.0 are one), members compared whatever their order.
bool sameJSON(const json::value& a, const json::value& b);

}  // namespace qs::fuzz

#define QS_FUZZ_CHECK(condition, what) ::qs::fuzz::check(static_cast<bool>(condition), what)

#if defined(QS_FUZZ_LIBFUZZER)
#define QS_FUZZ_TARGET(name)                                                          \
  static void qs_fuzz_target(std::string_view input);                                 \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    qs_fuzz_target(std::string_view(reinterpret_cast<const char*>(data), size));      \
    return 0;                                                                         \
  }                                                                                   \
  static void qs_fuzz_target(std::string_view input)
#else
#define QS_FUZZ_TARGET(name)                              \
  static void qs_fuzz_target(std::string_view input);     \
  [[maybe_unused]] static const bool qs_fuzz_registered = \
      ::qs::fuzz::registerTarget(#name, qs_fuzz_target);  \
  static void qs_fuzz_target(std::string_view input)
#endif
