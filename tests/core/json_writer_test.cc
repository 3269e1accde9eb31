// The writer against the one it replaced (kept below, a byte at a time): for random values with
// random text, every form gives the same bytes, or is refused alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>

#include "core/json.h"
#include "core/text.h"

namespace qs::json {
namespace {

struct Reference {
  bool pretty;
  bool ascii;
  std::string out;

  void unit(unsigned u) {
    static const char* hex = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(u >> shift) & 15]);
  }
  bool string(std::string_view s) {
    if (!text::is_valid_utf8(s)) return false;
    out.push_back('"');
    for (std::size_t i = 0; i < s.size();) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c >= 0x80 && ascii) {
        const std::size_t length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned code = c & (length == 2 ? 0x1F : length == 3 ? 0x0F : 0x07);
        for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (s[i + k] & 0x3F);
        if (code < 0x10000) {
          unit(code);
        } else {
          unit(0xD800 + ((code - 0x10000) >> 10));
          unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
        i += length;
        continue;
      }
      ++i;
      const char* escapes[] = {"\\\"", "\\\\", "\\b", "\\f", "\\n", "\\r", "\\t"};
      const char* plain = "\"\\\b\f\n\r\t";
      if (const char* at = std::strchr(plain, c); at && c != 0) {
        out += escapes[at - plain];
      } else if (c < 0x20) {
        unit(c);
      } else {
        out.push_back(static_cast<char>(c));
      }
    }
    out.push_back('"');
    return true;
  }
  void newline(int depth) {
    out.push_back('\n');
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
  }
  bool write(const value& v, int depth) {
    switch (v.kind()) {
      case boost::json::kind::null:
        out += "null";
        return true;
      case boost::json::kind::bool_:
        out += v.get_bool() ? "true" : "false";
        return true;
      case boost::json::kind::int64:
        out += std::to_string(v.get_int64());
        return true;
      case boost::json::kind::uint64:
        out += std::to_string(v.get_uint64());
        return true;
      case boost::json::kind::double_: {
        if (!std::isfinite(v.get_double())) return false;
        if (v.get_double() == 0) {  // the one change since: -0 is written "0", as JavaScript does
          out += '0';
          return true;
        }
        char buf[32];
        auto end = std::to_chars(buf, buf + sizeof buf, v.get_double()).ptr;
        out.append(buf, end);
        return true;
      }
      case boost::json::kind::string:
        return string(v.get_string());
      case boost::json::kind::array: {
        out.push_back('[');
        bool first = true;
        for (const auto& e : v.get_array()) {
          if (!first) out.push_back(',');
          first = false;
          if (pretty) newline(depth + 1);
          if (!write(e, depth + 1)) return false;
        }
        if (pretty && !v.get_array().empty()) newline(depth);
        out.push_back(']');
        return true;
      }
      case boost::json::kind::object: {
        std::vector<const boost::json::key_value_pair*> members;
        for (const auto& kv : v.get_object()) members.push_back(&kv);
        if (pretty) {
          std::sort(members.begin(), members.end(), [](auto* a, auto* b) {
            return std::string_view(a->key()) < std::string_view(b->key());
          });
        }
        out.push_back('{');
        bool first = true;
        for (const auto* kv : members) {
          if (!first) out.push_back(',');
          first = false;
          if (pretty) newline(depth + 1);
          if (!string(kv->key())) return false;
          out += pretty ? " : " : ":";
          if (!write(kv->value(), depth + 1)) return false;
        }
        if (pretty && !v.get_object().empty()) newline(depth);
        out.push_back('}');
        return true;
      }
    }
    return false;
  }
};

std::optional<std::string> reference(const value& v, bool pretty, bool ascii) {
  Reference r{pretty, ascii, {}};
  if (!r.write(v, 0)) return std::nullopt;
  return r.out;
}

// Text that is mostly plain, with escapes, characters of every UTF-8 length and, now and
// then, a byte that breaks the UTF-8.
std::string random_text(std::mt19937& rng, bool allow_invalid) {
  static const std::vector<std::string> pieces = {"a",
                                                  "plain words ",
                                                  "\"",
                                                  "\\",
                                                  "/",
                                                  "\n",
                                                  "\t",
                                                  std::string(1, '\0'),
                                                  "\x01",
                                                  "\x1f",
                                                  "\x7f",
                                                  "\xc3\xa9",
                                                  "\xe2\x80\x9c",
                                                  "\xef\xbf\xbf",
                                                  "\xf0\x9f\x8c\x8a",
                                                  "\xf4\x8f\xbf\xbf"};
  static const std::vector<std::string> broken = {
      "\xc3", "\xe2\x80", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xff", "\x80"};
  std::string out;
  const int n = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < n; ++i) out += pieces[rng() % pieces.size()];
  if (allow_invalid && rng() % 8 == 0)
    out.insert(rng() % (out.size() + 1), broken[rng() % broken.size()]);
  return out;
}

value random_value(std::mt19937& rng, int depth, bool allow_invalid) {
  switch (rng() % (depth > 4 ? 6 : 8)) {
    case 0:
      return nullptr;
    case 1:
      return rng() % 2 == 0;
    case 2:
      return static_cast<std::int64_t>(rng()) * (rng() % 2 ? -1 : 1) * 1'000'003;
    case 3:
      return std::uint64_t{18'000'000'000'000'000'000u} + rng();
    case 4: {
      const double samples[] = {0.1, -0.0, 1e21, 1.5e-7, 1733472000123.0, 5e-324, 1.0 / 3.0};
      return samples[rng() % std::size(samples)];
    }
    case 5:
      return value(random_text(rng, allow_invalid));
    case 6: {
      array a;
      for (int i = rng() % 5; i > 0; --i) a.push_back(random_value(rng, depth + 1, allow_invalid));
      return a;
    }
    default: {
      object o;
      for (int i = rng() % 6; i > 0; --i)
        o[random_text(rng, allow_invalid)] = random_value(rng, depth + 1, allow_invalid);
      return o;
    }
  }
}

TEST(JsonWriterTest, EveryFormGivesTheBytesThePreviousWriterGave) {
  std::mt19937 rng(14);
  int refused = 0;
  for (int round = 0; round < 3000; ++round) {
    const value v = random_value(rng, 0, /*allow_invalid=*/round % 3 == 0);
    const auto literal = reference(v, false, false);
    EXPECT_EQ(compact(v), literal);
    EXPECT_EQ(compact_ascii(v), reference(v, false, true));
    EXPECT_EQ(pretty(v), reference(v, true, false));
    std::string appended = "[";
    EXPECT_EQ(append_compact(appended, v), literal.has_value());
    EXPECT_EQ(appended, literal ? "[" + *literal : "[");  // untouched when refused
    if (!literal) {
      ++refused;
      continue;
    }
    std::string ascii;
    append_ascii_form(ascii, *literal);
    EXPECT_EQ(ascii, *compact_ascii(v));

    // Read back, every form gives the same value; written and read again, that value stays
    // as it is, and so does its text (an integer-valued double reads back as an integer, hence from
    // the parse on).
    const auto file = pretty(v);
    const auto read = parse(*literal);
    ASSERT_TRUE(read) << *literal;
    for (const std::string& text : {ascii, *file}) EXPECT_EQ(parse(text), read) << text;
    for (auto write : {compact, compact_ascii, pretty}) {
      const auto written = write(*read);
      ASSERT_TRUE(written);
      EXPECT_EQ(parse(*written), read);
      EXPECT_EQ(write(*parse(*written)), written);
    }
  }
  EXPECT_GT(refused, 50);  // the invalid text was met
}

// Texts far past the writer's first buffer, one of them past what it keeps between texts, so
// that it grows in the middle of a string and of an escape; the writes after still agree.
TEST(JsonWriterTest, LongTextsGiveTheSameBytesAcrossTheBuffersGrowth) {
  std::mt19937 rng(6);
  std::string mixed;
  while (mixed.size() < 300'000) mixed += random_text(rng, false);
  array texts{value(mixed), value(std::string(9 << 20, 'q') + mixed), value(mixed + "\x01")};
  for (const value& v : {value(texts), value(object{{mixed, texts}})}) {
    EXPECT_EQ(compact(v), reference(v, false, false));
    EXPECT_EQ(compact_ascii(v), reference(v, false, true));
    EXPECT_EQ(pretty(v), reference(v, true, false));
    std::string appended = "x";
    EXPECT_TRUE(append_compact(appended, v));
    EXPECT_EQ(appended, "x" + *reference(v, false, false));
  }
  const value small = random_value(rng, 0, false);
  EXPECT_EQ(compact(small), reference(small, false, false));
}

}  // namespace
}  // namespace qs::json
