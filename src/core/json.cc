#include "core/json.h"

#include <algorithm>
#include <bit>
#include <boost/json/basic_parser_impl.hpp>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/file_io.h"
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
    d = exactDouble(number, d);
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

std::optional<object> readObjectFile(const std::filesystem::path& file) {
  auto text = file_io::readFile(file);
  if (!text) return std::nullopt;
  auto parsed = parse(*text);
  if (!parsed || !parsed->is_object()) return std::nullopt;
  return std::move(parsed->get_object());
}

namespace {

constexpr char kHex[] = "0123456789abcdef";

// `code` escaped at `at` as one \u unit, or past U+FFFF as a surrogate pair of two; the bytes
// written (6 or 12).
std::size_t writeUnits(char* at, unsigned code) {
  const auto unit = [](char* to, unsigned u) {
    to[0] = '\\';
    to[1] = 'u';
    to[2] = kHex[(u >> 12) & 15];
    to[3] = kHex[(u >> 8) & 15];
    to[4] = kHex[(u >> 4) & 15];
    to[5] = kHex[u & 15];
  };
  if (code < 0x10000) {
    unit(at, code);
    return 6;
  }
  unit(at, 0xD800 + ((code - 0x10000) >> 10));
  unit(at + 6, 0xDC00 + ((code - 0x10000) & 0x3FF));
  return 12;
}

// The length of the well-formed UTF-8 character at `p` (a byte past ASCII) and its code point;
// 0 when the bytes there are not one (an overlong form, a surrogate, past U+10FFFF, cut short).
std::size_t utf8Character(const unsigned char* p, const unsigned char* end, unsigned& code) {
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

// Eight bytes at a time: the lowest flagged byte of the mask is the first that isn't plain
// printable ASCII ('"', '\\', a control or a byte past ASCII). A flag above the first may be
// false (a borrow), so only the lowest is ever used.
constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;

inline std::uint64_t zeroBytes(std::uint64_t w) {
  return (w - kOnes) & ~w & kHighs;
}

inline std::uint64_t specialBytes(std::uint64_t w) {
  return ((w - kOnes * 0x20) & ~w & kHighs) | zeroBytes(w ^ (kOnes * '"')) |
         zeroBytes(w ^ (kOnes * '\\')) | (w & kHighs);
}

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

inline void store8(char* at, std::uint64_t w) {
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  std::memcpy(at, &w, 8);
}

// The `n` (under eight) bytes at `p` as the low bytes of a word, the rest zero, without reading
// outside [begin, p + n): one load when eight bytes end at p + n, else two that overlap.
inline std::uint64_t loadShort(const unsigned char* p, std::size_t n, const unsigned char* begin) {
  if (static_cast<std::size_t>(p - begin) + n >= 8) return load8(p + n - 8) >> ((8 - n) * 8);
  auto load = [](const unsigned char* at, auto word) {
    std::memcpy(&word, at, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
      if constexpr (sizeof word == 4) word = __builtin_bswap32(word);
      if constexpr (sizeof word == 2) word = __builtin_bswap16(word);
    }
    return static_cast<std::uint64_t>(word);
  };
  if (n >= 4) return load(p, std::uint32_t{}) | load(p + n - 4, std::uint32_t{}) << ((n - 4) * 8);
  if (n >= 2) return load(p, std::uint16_t{}) | load(p + n - 2, std::uint16_t{}) << ((n - 2) * 8);
  return p[0];
}

// The offset of the first byte past ASCII in [p, end), or end - p.
inline std::size_t asciiRun(const unsigned char* p, const unsigned char* end) {
  const unsigned char* at = p;
  while (end - at >= 8) {
    if (const std::uint64_t m = load8(at) & kHighs) {
      return static_cast<std::size_t>(at - p) + (static_cast<unsigned>(std::countr_zero(m)) >> 3);
    }
    at += 8;
  }
  while (at < end && *at < 0x80) ++at;
  return static_cast<std::size_t>(at - p);
}

// The buffer a thread's writers write into. Freed when its thread ends, and left empty: a text
// written later still (by a destructor that runs after) takes a new buffer rather than a freed one.
struct Scratch {
  char* data = nullptr;
  std::size_t capacity = 0;
  ~Scratch() { release(); }
  void release() {
    delete[] data;
    data = nullptr;
    capacity = 0;
  }
  // A buffer of `size` bytes that starts with the first `kept` of this one.
  void replace(std::size_t size, std::size_t kept) {
    char* bigger = new char[size];
    if (kept > 0) std::memcpy(bigger, data, kept);
    delete[] data;
    data = bigger;
    capacity = size;
  }
};
Scratch& thisThreadScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Writes into `out` through a raw cursor: room is made ahead for what a step can write at most,
// so the step itself checks nothing. `out` is grown to spare room as it goes and cut to what
// was written at the end. The form is a parameter of the type, so that the compact form's walk
// carries no test of it.
template <bool kPretty>
class Writer {
 public:
  explicit Writer(NonAscii non_ascii) : non_ascii_(non_ascii) {}

  // Writes `v` and hands its text to `take`; false, with nothing handed, when it can't be
  // written. The text is written into a buffer this thread keeps (its pages are there already
  // and nothing fills them first) and lives until `take` returns.
  template <typename Take>
  bool run(const value& v, Take take) {
    Scratch& scratch = thisThreadScratch();
    if (!scratch.data) scratch.replace(kStart, 0);
    at_ = scratch.data;
    end_ = at_ + scratch.capacity;
    const bool ok = write(v, 0);
    if (ok) take(std::string_view(scratch.data, static_cast<std::size_t>(at_ - scratch.data)));
    if (scratch.capacity > kKept) scratch.release();
    return ok;
  }

 private:
  static constexpr std::size_t kStart = 64 << 10;
  static constexpr std::size_t kKept = 8 << 20;  // a larger buffer goes once used

  // Room for `n` more bytes.
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - at_) < n) [[unlikely]]
      grow(n);
  }

  [[gnu::noinline]] void grow(std::size_t n) {
    Scratch& scratch = thisThreadScratch();
    const auto used = static_cast<std::size_t>(at_ - scratch.data);
    scratch.replace(std::max(scratch.capacity * 2, used + n), used);
    at_ = scratch.data + used;
    end_ = scratch.data + scratch.capacity;
  }

  // Copies the plain bytes from `p` on to `out` and returns where they end. Sixteen or eight
  // bytes are stored at a time before they are looked at: the room made for the rest of the
  // string covers them, and `out` moves only past the plain ones. The cursor is the caller's
  // local rather than `at_`, which a byte stored through a char pointer could alias, so that it
  // stays in a register.
  static const unsigned char* copyPlain(const unsigned char* p, const unsigned char* end,
                                        const unsigned char* begin, char*& out) {
#if defined(__SSE2__)
    // A signed comparison below 0x20 flags the controls and every byte past ASCII at once.
    const __m128i spaces = _mm_set1_epi8(0x20);
    const __m128i quotes = _mm_set1_epi8('"');
    const __m128i backslashes = _mm_set1_epi8('\\');
    while (end - p >= 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), x);
      const __m128i special =
          _mm_or_si128(_mm_cmplt_epi8(x, spaces),
                       _mm_or_si128(_mm_cmpeq_epi8(x, quotes), _mm_cmpeq_epi8(x, backslashes)));
      if (const auto m = static_cast<unsigned>(_mm_movemask_epi8(special))) {
        const auto k = static_cast<unsigned>(std::countr_zero(m));
        out += k;
        return p + k;
      }
      out += 16;
      p += 16;
    }
#endif
    while (end - p >= 8) {
      const std::uint64_t w = load8(p);
      std::memcpy(out, p, 8);
      if (const std::uint64_t m = specialBytes(w)) {
        const auto k = static_cast<unsigned>(std::countr_zero(m)) >> 3;
        out += k;
        return p + k;
      }
      out += 8;
      p += 8;
    }
    // The last few, as one word: stored whole (the room has eight to spare), kept up to the
    // first that isn't plain.
    const auto n = static_cast<std::size_t>(end - p);
    if (n == 0) return p;
    const std::uint64_t w = loadShort(p, n, begin);
    store8(out, w);
    const std::uint64_t m = specialBytes(w) & ((std::uint64_t{1} << (n * 8)) - 1);
    const std::size_t k = m ? static_cast<unsigned>(std::countr_zero(m)) >> 3 : n;
    out += k;
    return p + k;
  }

  void put(const char* s, std::size_t n) {
    std::memcpy(at_, s, n);
    at_ += n;
  }

  // `s` as a JSON string; false when it isn't valid UTF-8. Plain runs are found sixteen bytes at
  // a time and copied whole.
  bool string(std::string_view s) {
    const auto* const begin = reinterpret_cast<const unsigned char*>(s.data());
    const auto* const end = begin + s.size();
    const auto* p = begin;
    room(s.size() + 2 + 8);
    char* out = at_;
    *out++ = '"';
    while (true) {
      p = copyPlain(p, end, begin, out);
      if (p == end) break;
      // Every escape below writes at most 12 bytes for at least one read, and the rest of the
      // string, its closing quote and the eight to spare still need their room.
      at_ = out;
      room(12 + static_cast<std::size_t>(end - p) + 1 + 8);
      out = at_;
      const unsigned c = *p;
      if (c >= 0x80) {
        unsigned code = 0;
        const std::size_t length = utf8Character(p, end, code);
        if (length == 0) return false;
        if (non_ascii_ == NonAscii::kLiteral) {
          std::memcpy(out, p, length);
          out += length;
        } else {
          out += writeUnits(out, code);
        }
        p += length;
        continue;
      }
      char short_form = 0;
      switch (c) {
        case '"':
          short_form = '"';
          break;
        case '\\':
          short_form = '\\';
          break;
        case '\b':
          short_form = 'b';
          break;
        case '\f':
          short_form = 'f';
          break;
        case '\n':
          short_form = 'n';
          break;
        case '\r':
          short_form = 'r';
          break;
        case '\t':
          short_form = 't';
          break;
        default:
          break;
      }
      if (short_form != 0) {
        out[0] = '\\';
        out[1] = short_form;
        out += 2;
      } else {
        out += writeUnits(out, c);
      }
      ++p;
    }
    *out++ = '"';
    at_ = out;
    return true;
  }

 public:
  // One string or number alone at `at`, with the room stringRoom or kNumberRoom gives.
  char* stringAt(char* at, std::string_view s) {
    at_ = at;
    end_ = at + stringRoom(s.size());
    return string(s) ? at_ : nullptr;
  }
  char* numberAt(char* at, double d) {
    at_ = at;
    end_ = at + kNumberRoom;
    return number(d) ? at_ : nullptr;
  }

 private:
  template <typename Number>
  void integer(Number n) {
    room(24);
    at_ = std::to_chars(at_, end_, n).ptr;
  }

  // Shortest round-trip form (std::to_chars), as JavaScript's own would read back the same
  // double. Negative zero as "0", as the page writes it: "-0" would read back as the integer 0
  // and be written differently the second time.
  bool number(double d) {
    if (!std::isfinite(d)) return false;
    room(32);
    if (d == 0) {
      *at_++ = '0';
      return true;
    }
    auto [end, ec] = std::to_chars(at_, end_, d);
    if (ec != std::errc()) return false;
    at_ = end;
    return true;
  }

  bool write(const value& v, std::size_t depth) {
    switch (v.kind()) {
      case boost::json::kind::null:
        room(4);
        put("null", 4);
        return true;
      case boost::json::kind::bool_:
        room(5);
        if (v.get_bool()) {
          put("true", 4);
        } else {
          put("false", 5);
        }
        return true;
      case boost::json::kind::int64:
        integer(v.get_int64());
        return true;
      case boost::json::kind::uint64:
        integer(v.get_uint64());
        return true;
      case boost::json::kind::double_:
        return number(v.get_double());
      case boost::json::kind::string:
        return string(v.get_string());
      case boost::json::kind::array:
        return arrayOf(v.get_array(), depth);
      case boost::json::kind::object:
        return pretty_ ? sortedObject(v.get_object(), depth) : objectOf(v.get_object(), depth);
    }
    return false;
  }

  // A comma when not first, then (file form) a new line indented to `depth`.
  void separator(bool first, std::size_t depth) {
    if (!pretty_) {
      room(1);
      *at_ = ',';
      at_ += !first;
      return;
    }
    // The indent is stored sixteen spaces at a time, hence the room to spare.
    room(2 + depth * 2 + 16);
    if (!first) *at_++ = ',';
    {
      *at_++ = '\n';
      static constexpr char kSpaces[] = "                ";
      for (std::size_t i = 0; i < depth * 2; i += 16) std::memcpy(at_ + i, kSpaces, 16);
      at_ += depth * 2;
    }
  }

  void close(char c, bool empty, std::size_t depth) {
    if (pretty_ && !empty) {
      separator(true, depth);
    }
    room(1);
    *at_++ = c;
  }

  bool arrayOf(const array& a, std::size_t depth) {
    room(1);
    *at_++ = '[';
    bool first = true;
    for (const auto& e : a) {
      separator(first, depth + 1);
      first = false;
      if (!write(e, depth + 1)) return false;
    }
    close(']', a.empty(), depth);
    return true;
  }

  bool member(const boost::json::key_value_pair& kv, bool first, std::size_t depth) {
    // Most keys are a few plain characters: in the compact form they go out with the comma
    // before them and the colon after them in a few stores.
    if (!pretty_) {
      const std::string_view key = kv.key();
      const std::size_t n = key.size();
      if (n - 1 < 7) {
        const auto* k = reinterpret_cast<const unsigned char*>(key.data());
        const std::uint64_t w = loadShort(k, n, k);
        if (!(specialBytes(w) & ((std::uint64_t{1} << (n * 8)) - 1))) {
          room(1 + 1 + 8 + 2);
          char* out = at_;
          *out = ',';
          out += !first;
          *out++ = '"';
          store8(out, w);
          out += n;
          out[0] = '"';
          out[1] = ':';
          at_ = out + 2;
          return write(kv.value(), depth + 1);
        }
      }
    }
    separator(first, depth + 1);
    if (!string(kv.key())) return false;
    room(3);
    if (pretty_) {
      put(" : ", 3);
    } else {
      *at_++ = ':';
    }
    return write(kv.value(), depth + 1);
  }

  bool objectOf(const object& o, std::size_t depth) {
    room(1);
    *at_++ = '{';
    bool first = true;
    for (const auto& kv : o) {
      if (!member(kv, first, depth)) return false;
      first = false;
    }
    room(1);
    *at_++ = '}';
    return true;
  }

  // The file form: members sorted by the bytes of their keys. The member lists of the objects
  // being written are kept between calls, one a level, so that sorting allocates only once.
  bool sortedObject(const object& o, std::size_t depth) {
    if (members_.size() <= depth) members_.resize(depth + 1);
    auto& members = members_[depth];
    members.clear();
    for (const auto& kv : o) members.push_back(&kv);
    // Most keys differ in their first byte, which is compared here without a call.
    auto before = [](const boost::json::key_value_pair* a, const boost::json::key_value_pair* b) {
      const std::string_view x = a->key(), y = b->key();
      if (!x.empty() && !y.empty() && x[0] != y[0]) {
        return static_cast<unsigned char>(x[0]) < static_cast<unsigned char>(y[0]);
      }
      return x < y;
    };
    if (members.size() <= 16) {
      for (std::size_t i = 1; i < members.size(); ++i) {
        const auto* kv = members[i];
        std::size_t j = i;
        for (; j > 0 && before(kv, members[j - 1]); --j) members[j] = members[j - 1];
        members[j] = kv;
      }
    } else {
      std::sort(members.begin(), members.end(), before);
    }
    room(1);
    *at_++ = '{';
    // A nested object at depth + 1 reuses a different list, so this one stays intact; `members`
    // itself may move when that level's list is first made, so it is indexed anew each time.
    for (std::size_t i = 0; i < members_[depth].size(); ++i) {
      if (!member(*members_[depth][i], i == 0, depth)) return false;
    }
    close('}', o.empty(), depth);
    return true;
  }

  static constexpr bool pretty_ = kPretty;
  const NonAscii non_ascii_;
  char* at_ = nullptr;
  char* end_ = nullptr;
  std::vector<std::vector<const boost::json::key_value_pair*>> members_;
};

std::optional<std::string> written(const value& v, bool pretty, NonAscii non_ascii) {
  std::optional<std::string> out;
  const auto take = [&](std::string_view text) { out.emplace(text); };
  if (pretty) {
    Writer<true>(non_ascii).run(v, take);
  } else {
    Writer<false>(non_ascii).run(v, take);
  }
  return out;
}

}  // namespace

bool appendCompact(std::string& out, const value& v, NonAscii non_ascii) {
  return Writer<false>(non_ascii).run(v, [&](std::string_view text) { out.append(text); });
}

std::optional<std::string> compact(const value& v) {
  return written(v, false, NonAscii::kLiteral);
}

std::optional<std::string> compactAscii(const value& v) {
  return written(v, false, NonAscii::kEscaped);
}

std::optional<std::string> pretty(const value& v) {
  return written(v, true, NonAscii::kLiteral);
}

void appendAsciiForm(std::string& out, std::string_view compact_text) {
  const auto* p = reinterpret_cast<const unsigned char*>(compact_text.data());
  const auto* const end = p + compact_text.size();
  while (p < end) {
    const std::size_t n = asciiRun(p, end);
    out.append(reinterpret_cast<const char*>(p), n);
    p += n;
    if (p == end) break;
    unsigned code = 0;
    const std::size_t length = utf8Character(p, end, code);
    if (length == 0) {  // not from this writer; kept as it is rather than lost
      out.push_back(static_cast<char>(*p));
      ++p;
      continue;
    }
    char units[12];
    out.append(units, writeUnits(units, code));
    p += length;
  }
}

const value* find(const object& o, std::string_view key) {
  return o.if_contains(key);
}

const object* findObject(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  return v ? v->if_object() : nullptr;
}

const array* findArray(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  return v ? v->if_array() : nullptr;
}

std::optional<std::string_view> findString(const object& o, std::string_view key) {
  const value* v = o.if_contains(key);
  if (!v || !v->is_string()) return std::nullopt;
  return std::string_view(v->get_string());
}

std::optional<double> asNumber(const value& v) {
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

bool isTrueFlag(const value* v) {
  if (!v) return false;
  if (v->is_bool()) return v->get_bool();
  if (auto n = asNumber(*v)) return *n != 0;
  return false;
}

char* writeString(char* at, std::string_view s) {
  return Writer<false>(NonAscii::kLiteral).stringAt(at, s);
}

char* writeNumber(char* at, double d) {
  return Writer<false>(NonAscii::kLiteral).numberAt(at, d);
}

double exactDouble(std::string_view text, double boost_value) {
  double exact = 0;
  const char* end = text.data() + text.size();
  // Too large or too small for a double: Boost's reading (infinity or zero) stands.
  const auto [at, error] = std::from_chars(text.data(), end, exact);
  return error == std::errc() && at == end ? exact : boost_value;
}

}  // namespace qs::json
