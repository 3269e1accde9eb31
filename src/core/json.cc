#include "core/json.h"

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <charconv>
#include <cmath>
#include <vector>

#include "core/text.h"

namespace qs::json {

namespace {

using boost::json::error_code;
using boost::json::string_view;

// Boost.JSON's own values, except that a number with a fraction or an exponent is read from
// its text exactly (Boost's fast reading is off by a unit in the last place for some long
// numbers, so a number written and read again could come back different).
struct ExactNumbers {
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  boost::json::value_stack st;
  std::string number;

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t n, error_code&) { return st.push_object(n), true; }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t n, error_code&) { return st.push_array(n), true; }
  bool on_key_part(string_view s, std::size_t, error_code&) { return st.push_chars(s), true; }
  bool on_key(string_view s, std::size_t, error_code&) { return st.push_key(s), true; }
  bool on_string_part(string_view s, std::size_t, error_code&) { return st.push_chars(s), true; }
  bool on_string(string_view s, std::size_t, error_code&) { return st.push_string(s), true; }
  bool on_number_part(string_view s, error_code&) { return number.append(s), true; }
  bool on_int64(std::int64_t i, string_view, error_code&) {
    number.clear();
    return st.push_int64(i), true;
  }
  bool on_uint64(std::uint64_t u, string_view, error_code&) {
    number.clear();
    return st.push_uint64(u), true;
  }
  bool on_double(double d, string_view s, error_code&) {
    number.append(s);
    double exact = 0;
    const char* end = number.data() + number.size();
    // Too large or too small for a double: Boost's reading (infinity or zero) stands.
    const auto [at, error] = std::from_chars(number.data(), end, exact);
    if (error == std::errc() && at == end) d = exact;
    number.clear();
    return st.push_double(d), true;
  }
  bool on_bool(bool b, error_code&) { return st.push_bool(b), true; }
  bool on_null(error_code&) { return st.push_null(), true; }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }
};

}  // namespace

std::optional<value> parse(std::string_view text, std::size_t max_depth) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  error_code ec;
  boost::json::basic_parser<ExactNumbers> parser(options);
  parser.handler().st.reset();
  const std::size_t read = parser.write_some(false, text.data(), text.size(), ec);
  if (ec || read != text.size() || !parser.done()) return std::nullopt;
  value v = parser.handler().st.release();
  // A number too large for a double reads as infinity, which no writer can give back: such a
  // text is refused here rather than spoiling every reply it would become part of.
  std::vector<const value*> pending{&v};
  while (!pending.empty()) {
    const value* at = pending.back();
    pending.pop_back();
    if (at->is_double()) {
      if (!std::isfinite(at->get_double())) return std::nullopt;
    } else if (at->is_array()) {
      for (const auto& e : at->get_array()) pending.push_back(&e);
    } else if (at->is_object()) {
      for (const auto& kv : at->get_object()) pending.push_back(&kv.value());
    }
  }
  return v;
}

namespace {

enum class NonAscii { kLiteral, kEscaped };

void append_unit(std::string& out, unsigned unit) {
  static const char* hex = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out.push_back(hex[(unit >> shift) & 15]);
}

// Appends the character whose UTF-8 form starts at s[i] as \u escapes and returns the length of
// that form. `s` has been checked to be valid UTF-8.
std::size_t append_escaped_character(std::string& out, std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned lead = byte(0);
  std::size_t length;
  unsigned code;
  if (lead < 0xE0) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead < 0xF0) {
    length = 3;
    code = lead & 0x0F;
  } else {
    length = 4;
    code = lead & 0x07;
  }
  for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (byte(k) & 0x3F);
  if (code < 0x10000) {
    append_unit(out, code);
  } else {
    code -= 0x10000;
    append_unit(out, 0xD800 + (code >> 10));
    append_unit(out, 0xDC00 + (code & 0x3FF));
  }
  return length;
}

bool append_string(std::string& out, std::string_view s, NonAscii non_ascii) {
  if (!text::is_valid_utf8(s)) return false;
  out.push_back('"');
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80 && non_ascii == NonAscii::kEscaped) {
      i += append_escaped_character(out, s, i);
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          append_unit(out, c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return true;
}

bool append_double(std::string& out, double d) {
  if (!std::isfinite(d)) return false;
  // Negative zero as "0", as the page writes it: "-0" would read back as the integer 0 and be
  // written differently the second time.
  if (d == 0) {
    out.push_back('0');
    return true;
  }
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
  if (ec != std::errc()) return false;
  out.append(buf, static_cast<std::size_t>(end - buf));
  return true;
}

struct Writer {
  bool pretty;
  NonAscii non_ascii;
  std::string out;

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
      case boost::json::kind::double_:
        return append_double(out, v.get_double());
      case boost::json::kind::string:
        return append_string(out, v.get_string(), non_ascii);
      case boost::json::kind::array: {
        const auto& a = v.get_array();
        out.push_back('[');
        bool first = true;
        for (const auto& e : a) {
          if (!first) out.push_back(',');
          first = false;
          if (pretty) newline(depth + 1);
          if (!write(e, depth + 1)) return false;
        }
        if (pretty && !a.empty()) newline(depth);
        out.push_back(']');
        return true;
      }
      case boost::json::kind::object: {
        const auto& o = v.get_object();
        std::vector<const boost::json::key_value_pair*> members;
        members.reserve(o.size());
        for (const auto& kv : o) members.push_back(&kv);
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
          if (!append_string(out, kv->key(), non_ascii)) return false;
          out += pretty ? " : " : ":";
          if (!write(kv->value(), depth + 1)) return false;
        }
        if (pretty && !o.empty()) newline(depth);
        out.push_back('}');
        return true;
      }
    }
    return false;
  }
};

}  // namespace

std::optional<std::string> compact(const value& v) {
  Writer w{false, NonAscii::kLiteral, {}};
  if (!w.write(v, 0)) return std::nullopt;
  return std::move(w.out);
}

std::optional<std::string> compact_ascii(const value& v) {
  Writer w{false, NonAscii::kEscaped, {}};
  if (!w.write(v, 0)) return std::nullopt;
  return std::move(w.out);
}

std::optional<std::string> pretty(const value& v) {
  Writer w{true, NonAscii::kLiteral, {}};
  if (!w.write(v, 0)) return std::nullopt;
  return std::move(w.out);
}

const value* find(const object& o, std::string_view key) {
  return o.if_contains(key);
}

const object* find_object(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  return v ? v->if_object() : nullptr;
}

const array* find_array(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  return v ? v->if_array() : nullptr;
}

std::optional<std::string_view> find_string(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string_view(v->get_string());
}

std::optional<double> as_number(const value& v) {
  switch (v.kind()) {
    case boost::json::kind::int64:
      return static_cast<double>(v.get_int64());
    case boost::json::kind::uint64:
      return static_cast<double>(v.get_uint64());
    case boost::json::kind::double_:
      return v.get_double();
    default:
      return std::nullopt;
  }
}

bool is_true_flag(const value* v) {
  if (!v) return false;
  if (v->is_bool()) return v->get_bool();
  if (auto n = as_number(*v)) return *n != 0;
  return false;
}

}  // namespace qs::json
