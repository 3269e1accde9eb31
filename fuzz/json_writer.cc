// The JSON writer, through its public forms: whatever the parser takes, each form writes a text
// that parses back to the same value, and writing that again gives the same text.

#include "bridge/host_messages.h"
#include "fuzz_target.h"

using namespace qs;

namespace {

using Writer = std::optional<std::string> (*)(const json::value&);

void roundTrip(const json::value& v, Writer write, std::string_view form) {
  const auto text = write(v);
  QS_FUZZ_CHECK(text, std::string(form) + ": a parsed value can be written");
  const auto back = json::parse(*text);
  QS_FUZZ_CHECK(back, std::string(form) + ": the written text parses");
  QS_FUZZ_CHECK(fuzz::sameJSON(v, *back), std::string(form) + ": it parses to the same value");
  QS_FUZZ_CHECK(write(*back) == text, std::string(form) + ": writing it again gives the same text");
}

}  // namespace

QS_FUZZ_TARGET(json_writer) {
  const auto v = json::parse(input);
  if (!v) return;
  roundTrip(*v, json::compact, "compact");
  roundTrip(*v, json::compactAscii, "compact_ascii");
  roundTrip(*v, json::pretty, "pretty");

  const auto ascii = json::compactAscii(*v);
  for (char c : *ascii) {
    QS_FUZZ_CHECK(static_cast<unsigned char>(c) < 0x80, "the ASCII form is ASCII");
  }
  QS_FUZZ_CHECK(bridge::JSONText::text(&*v) == (v->is_null() ? "null" : ascii),
                "the page's text is the ASCII form");
}
