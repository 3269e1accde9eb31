#include "core/json.h"

#include <algorithm>
#include <array>
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

// Bytes a string may hold as they are: printable ASCII other than '"' and '\\'. Everything
// else is escaped, or (past ASCII) checked as UTF-8 first.
constexpr std::array<bool, 256> kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

constexpr char kHex[] = "0123456789abcdef";

void append_unit(std::string& out, unsigned unit) {
  const char escape[6] = {
      '\\',           'u', kHex[(unit >> 12) & 15], kHex[(unit >> 8) & 15], kHex[(unit >> 4) & 15],
      kHex[unit & 15]};
  out.append(escape, sizeof escape);
}

// The length of the well-formed UTF-8 character at `p` (a byte past ASCII) and its code point;
// 0 when the bytes there are not one (an overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t utf8_character(const unsigned char* p, const unsigned char* end, unsigned& code) {
  const unsigned lead = p[0];
  const auto left = static_cast<std::size_t>(end - p);
  auto continuation = [&](std::size_t k) { return (p[k] & 0xC0) == 0x80; };
  if (lead >= 0xC2 && lead <= 0xDF) {
    if (left < 2 || !continuation(1)) return 0;
    code = ((lead & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (left < 3 || !continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && p[1] < 0xA0) return 0;
    if (lead == 0xED && p[1] > 0x9F) return 0;
    code = ((lead & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (left < 4 || !continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && p[1] < 0x90) return 0;
    if (lead == 0xF4 && p[1] > 0x8F) return 0;
    code = ((lead & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

void append_escaped_code(std::string& out, unsigned code) {
  if (code < 0x10000) {
    append_unit(out, code);
  } else {
    code -= 0x10000;
    append_unit(out, 0xD800 + (code >> 10));
    append_unit(out, 0xDC00 + (code & 0x3FF));
  }
}

// Appends `s` as a JSON string. Runs of bytes that need nothing are copied whole; false (with
// `out` partly written) when `s` isn't valid UTF-8.
bool append_string(std::string& out, std::string_view s, NonAscii non_ascii) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* const end = p + s.size();
  out.push_back('"');
  const unsigned char* run = p;
  auto flush = [&] {
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
  };
  while (p < end) {
    if (kPlain[*p]) {
      ++p;
      continue;
    }
    const unsigned c = *p;
    if (c >= 0x80) {
      unsigned code = 0;
      const std::size_t length = utf8_character(p, end, code);
      if (length == 0) return false;
      if (non_ascii == NonAscii::kLiteral) {
        p += length;  // part of the run
        continue;
      }
      flush();
      append_escaped_code(out, code);
      p += length;
      run = p;
      continue;
    }
    flush();
    switch (c) {
      case '"':
        out.append("\\\"", 2);
        break;
      case '\\':
        out.append("\\\\", 2);
        break;
      case '\b':
        out.append("\\b", 2);
        break;
      case '\f':
        out.append("\\f", 2);
        break;
      case '\n':
        out.append("\\n", 2);
        break;
      case '\r':
        out.append("\\r", 2);
        break;
      case '\t':
        out.append("\\t", 2);
        break;
      default:
        append_unit(out, c);
    }
    ++p;
    run = p;
  }
  flush();
  out.push_back('"');
  return true;
}

template <typename Number>
void append_number(std::string& out, Number n) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
  out.append(buf, static_cast<std::size_t>(end - buf));
}

// Shortest round-trip form (std::to_chars), as JavaScript's own would read back the same double.
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

class Writer {
 public:
  Writer(std::string& out, bool pretty, NonAscii non_ascii)
      : out_(out), pretty_(pretty), non_ascii_(non_ascii) {}

  bool write(const value& v, std::size_t depth) {
    switch (v.kind()) {
      case boost::json::kind::null:
        out_.append("null", 4);
        return true;
      case boost::json::kind::bool_:
        if (v.get_bool()) {
          out_.append("true", 4);
        } else {
          out_.append("false", 5);
        }
        return true;
      case boost::json::kind::int64:
        append_number(out_, v.get_int64());
        return true;
      case boost::json::kind::uint64:
        append_number(out_, v.get_uint64());
        return true;
      case boost::json::kind::double_:
        return append_double(out_, v.get_double());
      case boost::json::kind::string:
        return append_string(out_, v.get_string(), non_ascii_);
      case boost::json::kind::array:
        return write_array(v.get_array(), depth);
      case boost::json::kind::object:
        return pretty_ ? write_sorted_object(v.get_object(), depth)
                       : write_object(v.get_object(), depth);
    }
    return false;
  }

 private:
  void newline(std::size_t depth) {
    out_.push_back('\n');
    out_.append(depth * 2, ' ');
  }

  bool write_array(const array& a, std::size_t depth) {
    out_.push_back('[');
    bool first = true;
    for (const auto& e : a) {
      if (!first) out_.push_back(',');
      first = false;
      if (pretty_) newline(depth + 1);
      if (!write(e, depth + 1)) return false;
    }
    if (pretty_ && !a.empty()) newline(depth);
    out_.push_back(']');
    return true;
  }

  bool write_member(const boost::json::key_value_pair& kv, std::size_t depth) {
    if (pretty_) newline(depth + 1);
    if (!append_string(out_, kv.key(), non_ascii_)) return false;
    if (pretty_) {
      out_.append(" : ", 3);
    } else {
      out_.push_back(':');
    }
    return write(kv.value(), depth + 1);
  }

  bool write_object(const object& o, std::size_t depth) {
    out_.push_back('{');
    bool first = true;
    for (const auto& kv : o) {
      if (!first) out_.push_back(',');
      first = false;
      if (!write_member(kv, depth)) return false;
    }
    out_.push_back('}');
    return true;
  }

  // The file form: members sorted by the bytes of their keys. The member lists of the objects
  // being written are kept between calls, one a level, so that sorting allocates only once.
  bool write_sorted_object(const object& o, std::size_t depth) {
    if (members_.size() <= depth) members_.resize(depth + 1);
    auto& members = members_[depth];
    members.clear();
    for (const auto& kv : o) members.push_back(&kv);
    std::sort(members.begin(), members.end(), [](auto* a, auto* b) {
      return std::string_view(a->key()) < std::string_view(b->key());
    });
    out_.push_back('{');
    // A nested object at depth + 1 reuses a different list, so this one stays intact.
    for (std::size_t i = 0; i < members_[depth].size(); ++i) {
      if (i > 0) out_.push_back(',');
      if (!write_member(*members_[depth][i], depth)) return false;
    }
    if (!o.empty()) newline(depth);
    out_.push_back('}');
    return true;
  }

  std::string& out_;
  const bool pretty_;
  const NonAscii non_ascii_;
  std::vector<std::vector<const boost::json::key_value_pair*>> members_;
};

std::optional<std::string> written(const value& v, bool pretty, NonAscii non_ascii) {
  std::string out;
  if (!Writer(out, pretty, non_ascii).write(v, 0)) return std::nullopt;
  return out;
}

}  // namespace

bool append_compact(std::string& out, const value& v, NonAscii non_ascii) {
  const std::size_t size = out.size();
  if (Writer(out, false, non_ascii).write(v, 0)) return true;
  out.resize(size);
  return false;
}

std::optional<std::string> compact(const value& v) {
  return written(v, false, NonAscii::kLiteral);
}

std::optional<std::string> compact_ascii(const value& v) {
  return written(v, false, NonAscii::kEscaped);
}

std::optional<std::string> pretty(const value& v) {
  return written(v, true, NonAscii::kLiteral);
}

void append_ascii_form(std::string& out, std::string_view compact_text) {
  const auto* p = reinterpret_cast<const unsigned char*>(compact_text.data());
  const auto* const end = p + compact_text.size();
  const unsigned char* run = p;
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    unsigned code = 0;
    std::size_t length = utf8_character(p, end, code);
    if (length == 0) {  // not from this writer; kept as it is rather than lost
      out.push_back(static_cast<char>(*p));
      length = 1;
    } else {
      append_escaped_code(out, code);
    }
    p += length;
    run = p;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
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
