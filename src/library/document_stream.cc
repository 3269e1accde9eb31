#include "library/document_stream.h"

#include <boost/json/basic_parser_impl.hpp>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "library/images.h"
#include "library/package.h"

namespace qs::library {

namespace {

using boost::json::error_code;
using boost::json::string_view;

constexpr std::size_t kMaxParseDepth = 512;  // as json::parse
// An object with more members than this inside the doc is left to the tree, rather than look
// for a key given twice in time that grows as the square of its members.
constexpr std::size_t kMaxMembers = 32;
constexpr std::size_t kBufferKept = 8 << 20;  // a larger buffer goes once used

// What a value is to the library, from where it stands.
enum class Role : unsigned char {
  kOther,
  kEnvelope,  // the text's own object
  kDoc,       // the envelope's "doc"
  kInDoc,     // anything below the doc
  kId,        // the doc's "id"
  kCreated,   // the doc's "created"
  kFormat,    // the envelope's "format"
  kRecord,    // the envelope's "record"
  kRev,       // the record's "rev"
};

struct Frame {
  bool object = false;
  bool write = false;  // its text is part of the doc's
  bool first = true;   // no member or element yet
  Role role = Role::kOther;
  std::uint32_t keys = 0;  // where its keys start in State::spans (written objects)
};

// What a thread keeps between reads: the buffers, which keep their memory.
struct State {
  std::unique_ptr<char[]> buffer;
  std::size_t capacity = 0;
  std::size_t size = 0;
  std::string parts;   // a string or key given in pieces
  std::string number;  // a number given in pieces
  std::string keys;    // the keys of the written objects open, for keys given twice
  std::vector<std::pair<std::uint32_t, std::uint32_t>> spans;  // each key's place in `keys`
  std::vector<Frame> frames;

  bool write_doc = false;
  Role next = Role::kOther;    // the role of the member value after a key
  unsigned envelope_keys = 0;  // "doc", "format" and "record" seen, as bits
  bool needs_tree = false;
  StreamedDocument* out = nullptr;

  void start(bool write, StreamedDocument& to) {
    if (capacity > kBufferKept) {  // the last text is no longer read
      buffer.reset();
      capacity = 0;
    }
    size = 0;
    parts.clear();
    number.clear();
    keys.clear();
    spans.clear();
    frames.clear();
    write_doc = write;
    next = Role::kOther;
    envelope_keys = 0;
    needs_tree = false;
    out = &to;
  }

  char* room(std::size_t n) {
    if (capacity - size < n) [[unlikely]] {
      const std::size_t bigger = std::max({capacity * 2, size + n, std::size_t{64 << 10}});
      std::unique_ptr<char[]> grown(new char[bigger]);
      if (size > 0) std::memcpy(grown.get(), buffer.get(), size);
      buffer = std::move(grown);
      capacity = bigger;
    }
    return buffer.get() + size;
  }

  void put(char c) {
    *room(1) = c;
    ++size;
  }
};

// Boost's parser calls these as it reads; each returns false to stop it (the error code then
// says nothing: State says why).
class Handler {
 public:
  static constexpr std::size_t max_object_size = boost::json::object::max_size();
  static constexpr std::size_t max_array_size = boost::json::array::max_size();
  static constexpr std::size_t max_key_size = boost::json::string::max_size();
  static constexpr std::size_t max_string_size = boost::json::string::max_size();

  explicit Handler(State& state) : s_(state) {}

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

  bool on_object_begin(error_code& ec) { return open(true, ec); }
  bool on_array_begin(error_code& ec) { return open(false, ec); }
  bool on_object_end(std::size_t, error_code&) { return close('}'); }
  bool on_array_end(std::size_t, error_code&) { return close(']'); }

  bool on_key_part(string_view piece, std::size_t, error_code&) {
    s_.parts.append(piece.data(), piece.size());
    return true;
  }
  bool on_key(string_view last, std::size_t, error_code& ec) {
    const std::string_view key = whole(last);
    Frame& f = s_.frames.back();
    bool ok = true;
    if (f.role == Role::kEnvelope) {
      const unsigned bit = key == "doc" ? 1 : key == "format" ? 2 : key == "record" ? 4 : 0;
      if (s_.envelope_keys & bit) ok = tree(ec);
      s_.envelope_keys |= bit;
      s_.next = bit == 1   ? Role::kDoc
                : bit == 2 ? Role::kFormat
                : bit == 4 ? Role::kRecord
                           : Role::kOther;
    } else if (f.role == Role::kDoc) {
      s_.next = key == "id" ? Role::kId : key == "created" ? Role::kCreated : Role::kInDoc;
    } else if (f.role == Role::kRecord) {
      s_.next = key == "rev" ? Role::kRev : Role::kOther;
    } else {
      s_.next = f.write ? Role::kInDoc : Role::kOther;
    }
    if (ok && f.write) ok = writtenKey(f, key, ec);
    s_.parts.clear();
    return ok;
  }

  bool on_string_part(string_view piece, std::size_t, error_code&) {
    s_.parts.append(piece.data(), piece.size());
    return true;
  }
  bool on_string(string_view last, std::size_t, error_code& ec) {
    const std::string_view text = whole(last);
    const Role role = valueRole();
    bool ok = true;
    if (writes(role)) {
      if (text.starts_with(images::kReferencePrefix)) {
        ok = tree(ec);  // an image to restore
      } else {
        separate();
        char* end = json::writeString(s_.room(json::stringRoom(text.size())), text);
        if (end) {
          s_.size = static_cast<std::size_t>(end - s_.buffer.get());
        } else {
          ok = tree(ec);
        }
      }
    }
    // A member given twice counts as the last: as the tree keeps it.
    if (role == Role::kId) s_.out->id.emplace(text);
    if (role == Role::kFormat) s_.out->format = text == kFormat;
    if (role == Role::kRev) s_.out->rev.emplace(text);
    if (role == Role::kCreated) s_.out->created = 0;
    s_.parts.clear();
    return ok;
  }

  bool on_number_part(string_view piece, error_code&) {
    s_.number.append(piece.data(), piece.size());
    return true;
  }
  bool on_int64(std::int64_t i, string_view, error_code&) { return integer(i); }
  bool on_uint64(std::uint64_t u, string_view, error_code&) { return integer(u); }
  bool on_double(double d, string_view last, error_code& ec) {
    s_.number.append(last.data(), last.size());
    d = json::exactDouble(s_.number, d);
    s_.number.clear();
    // json::parse refuses the text, unless a key given twice drops the number: the tree knows.
    if (!std::isfinite(d)) return tree(ec);
    const Role role = valueRole();
    if (writes(role)) {
      separate();
      s_.size = static_cast<std::size_t>(json::writeNumber(s_.room(json::kNumberRoom), d) -
                                         s_.buffer.get());
    }
    if (role == Role::kRev) s_.out->rev.emplace(d);
    scalar(role, d);
    return true;
  }
  bool on_bool(bool b, error_code&) {
    const Role role = valueRole();
    if (writes(role)) literal(b ? "true" : "false");
    if (role == Role::kRev) s_.out->rev.emplace(b);
    scalar(role, 0);
    return true;
  }
  bool on_null(error_code&) {
    const Role role = valueRole();
    if (writes(role)) literal("null");
    if (role == Role::kRev) s_.out->rev.emplace(nullptr);
    scalar(role, 0);
    return true;
  }

 private:
  // Stops the parse: the tree decides.
  bool tree(error_code& ec) {
    s_.needs_tree = true;
    ec = boost::json::error::extra_data;
    return false;
  }

  std::string_view whole(string_view last) {
    if (s_.parts.empty()) return {last.data(), last.size()};
    s_.parts.append(last.data(), last.size());
    return s_.parts;
  }

  Role valueRole() const {
    if (s_.frames.empty()) return Role::kEnvelope;
    const Frame& f = s_.frames.back();
    if (f.object) return s_.next;
    return f.write ? Role::kInDoc : Role::kOther;
  }

  bool writes(Role role) const {
    if (role == Role::kDoc) return s_.write_doc;
    return !s_.frames.empty() && s_.frames.back().write;
  }

  // The comma before an element of a written array (an object's comes before its key).
  void separate() {
    if (s_.frames.empty()) return;
    Frame& f = s_.frames.back();
    if (f.object || !f.write) return;
    if (!f.first) s_.put(',');
    f.first = false;
  }

  void literal(std::string_view word) {
    separate();
    std::memcpy(s_.room(word.size()), word.data(), word.size());
    s_.size += word.size();
  }

  template <typename Integer>
  bool integer(Integer n) {
    s_.number.clear();
    const Role role = valueRole();
    if (writes(role)) {
      separate();
      char* at = s_.room(24);
      s_.size = static_cast<std::size_t>(std::to_chars(at, at + 24, n).ptr - s_.buffer.get());
    }
    if (role == Role::kRev) s_.out->rev.emplace(n);
    scalar(role, static_cast<double>(n));
    return true;
  }

  // What a value that is no string makes of the id, `created` and format it may be.
  void scalar(Role role, double number) {
    if (role == Role::kCreated) s_.out->created = number;
    if (role == Role::kId) s_.out->id.reset();
    if (role == Role::kFormat) s_.out->format = false;
  }

  bool open(bool object, error_code& ec) {
    const Role role = valueRole();
    if (role == Role::kRev) return tree(ec);  // a rev that is no single value
    scalar(role, 0);
    const bool write = writes(role);
    if (write) {
      separate();
      s_.put(object ? '{' : '[');
    }
    const Role own = role == Role::kEnvelope && !object ? Role::kOther : role;
    s_.frames.push_back(
        Frame{object, write, true, own, static_cast<std::uint32_t>(s_.spans.size())});
    return true;
  }

  bool close(char bracket) {
    const Frame f = s_.frames.back();
    s_.frames.pop_back();
    if (!f.write) return true;
    s_.put(bracket);
    if (f.object) {
      if (f.keys < s_.spans.size()) {
        s_.keys.resize(s_.spans[f.keys].first);
        s_.spans.resize(f.keys);
      }
      if (f.role == Role::kDoc) s_.out->doc_written = true;
    }
    return true;
  }

  // The key of a written object: false (the tree decides) when the object has it already.
  bool writtenKey(Frame& f, std::string_view key, error_code& ec) {
    if (s_.spans.size() - f.keys >= kMaxMembers) return tree(ec);
    for (std::size_t i = f.keys; i < s_.spans.size(); ++i) {
      const auto [at, length] = s_.spans[i];
      if (length == key.size() && std::memcmp(s_.keys.data() + at, key.data(), length) == 0) {
        return tree(ec);
      }
    }
    s_.spans.emplace_back(static_cast<std::uint32_t>(s_.keys.size()),
                          static_cast<std::uint32_t>(key.size()));
    s_.keys.append(key);
    if (!f.first) s_.put(',');
    f.first = false;
    char* end = json::writeString(s_.room(json::stringRoom(key.size()) + 1), key);
    if (!end) return tree(ec);
    *end++ = ':';
    s_.size = static_cast<std::size_t>(end - s_.buffer.get());
    return true;
  }

  State& s_;
};

}  // namespace

StreamOutcome streamDocument(std::string_view bytes, bool write_doc, StreamedDocument& out) {
  thread_local State state;
  out = StreamedDocument{};
  state.start(write_doc, out);
  boost::json::parse_options options;
  options.max_depth = kMaxParseDepth;
  boost::json::basic_parser<Handler> parser(options, state);
  error_code ec;
  const std::size_t read = parser.write_some(false, bytes.data(), bytes.size(), ec);
  StreamOutcome outcome = StreamOutcome::kRead;
  if (state.needs_tree) {
    outcome = StreamOutcome::kNeedsTree;
  } else if (ec || read != bytes.size() || !parser.done()) {
    outcome = StreamOutcome::kNotJSON;
  }
  if (outcome != StreamOutcome::kRead) out = StreamedDocument{};
  if (out.doc_written) out.doc = std::string_view(state.buffer.get(), state.size);
  return outcome;
}

}  // namespace qs::library
