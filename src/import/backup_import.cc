#include "import/backup_import.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <variant>

#include "core/clock.h"
#include "core/file_io.h"
#include "core/ids.h"
#include "core/json.h"
#include "core/text.h"
#include "library/file_coordinator.h"
#include "library/images.h"
#include "library/library.h"
#include "library/package.h"
#include "preview/preview.h"

namespace qs {

namespace {

namespace fs = std::filesystem;
using boost::system::error_code;

constexpr std::string_view kBackupFormat = "quillstone/backup";
constexpr std::string_view kProjectFormat = "quillstone/project";
constexpr std::string_view kWorkspaceFile = "workspace.json";
constexpr std::string_view kPretextFile = "pretext.json";

// The deepest nesting read anywhere in a backup, as everywhere else in the program: a document
// at depth 3 of the backup sits at depth 2 of its package's "document.json", which the library
// can then read back.
constexpr std::size_t kMaxDepth = 512;
// The longest text a capture can take in the file: every character escaped as \uXXXX.
constexpr std::size_t kLargestCaptureText = BackupImport::kLargestCapture * 6 + 2;

boost::json::parse_options parseOptions(std::size_t max_depth) {
  boost::json::parse_options options;
  options.max_depth = max_depth;
  return options;
}

// ---- recognising a backup without reading all of it ----

// Follows the parse only as far as the top-level `format` member, then stops it.
struct FormatProbe {
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  enum class Answer { kUnknown, kBackup, kNot };
  Answer answer = Answer::kUnknown;
  std::size_t depth = 0;
  std::string key;
  bool at_format = false;  // the value being read is the top-level `format`
  std::string format;

  bool stop(Answer a, error_code& ec) {
    answer = a;
    ec = boost::json::error::extra_data;  // any error ends the parse here
    return false;
  }
  bool atTopValue() const { return depth == 1 && at_format; }
  bool scalar(error_code& ec) {
    if (depth == 0 || atTopValue()) return stop(Answer::kNot, ec);
    return true;
  }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code& ec) {
    if (atTopValue()) return stop(Answer::kNot, ec);
    ++depth;
    return true;
  }
  bool on_object_end(std::size_t, error_code& ec) {
    if (--depth == 0) return stop(Answer::kNot, ec);  // no `format` in the whole object
    return true;
  }
  bool on_array_begin(error_code& ec) {
    if (depth == 0 || atTopValue()) return stop(Answer::kNot, ec);
    ++depth;
    return true;
  }
  bool on_array_end(std::size_t, error_code&) {
    --depth;
    return true;
  }
  bool on_key_part(std::string_view s, std::size_t, error_code&) {
    if (depth == 1 && key.size() < 16) key.append(s);
    return true;
  }
  bool on_key(std::string_view s, std::size_t, error_code& ec) {
    if (depth == 1) {
      on_key_part(s, 0, ec);
      at_format = key == "format";
      key.clear();
    }
    return true;
  }
  bool on_string_part(std::string_view s, std::size_t, error_code& ec) {
    if (depth == 0) return stop(Answer::kNot, ec);
    if (atTopValue()) {
      format.append(s);
      if (format.size() > kBackupFormat.size()) return stop(Answer::kNot, ec);
    }
    return true;
  }
  bool on_string(std::string_view s, std::size_t, error_code& ec) {
    if (depth == 0) return stop(Answer::kNot, ec);
    if (atTopValue()) {
      format.append(s);
      return stop(format == kBackupFormat ? Answer::kBackup : Answer::kNot, ec);
    }
    return true;
  }
  bool on_number_part(std::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t, std::string_view, error_code& ec) { return scalar(ec); }
  bool on_uint64(std::uint64_t, std::string_view, error_code& ec) { return scalar(ec); }
  bool on_double(double, std::string_view, error_code& ec) { return scalar(ec); }
  bool on_bool(bool, error_code& ec) { return scalar(ec); }
  bool on_null(error_code& ec) { return scalar(ec); }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }
};

// Checks that a text is JSON without building anything.
struct Validator {
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }
  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t, error_code&) { return true; }
  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t, error_code&) { return true; }
  bool on_key_part(std::string_view, std::size_t, error_code&) { return true; }
  bool on_key(std::string_view, std::size_t, error_code&) { return true; }
  bool on_string_part(std::string_view, std::size_t, error_code&) { return true; }
  bool on_string(std::string_view, std::size_t, error_code&) { return true; }
  bool on_number_part(std::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t, std::string_view, error_code&) { return true; }
  bool on_uint64(std::uint64_t, std::string_view, error_code&) { return true; }
  bool on_double(double, std::string_view, error_code&) { return true; }
  bool on_bool(bool, error_code&) { return true; }
  bool on_null(error_code&) { return true; }
  bool on_comment_part(std::string_view, error_code&) { return true; }
  bool on_comment(std::string_view, error_code&) { return true; }
};

bool isValidJSON(std::string_view text, std::size_t max_depth) {
  boost::json::basic_parser<Validator> parser(parseOptions(max_depth));
  error_code ec;
  const std::size_t used = parser.write_some(false, text.data(), text.size(), ec);
  return !ec && used == text.size();
}

enum class ParseError { kNone, kTooDeep, kInvalid };

// One JSON text parsed into a value. Unlike json::parse this keeps numbers too large for a
// double (as infinity): the library's write then refuses that document alone.
std::optional<json::value> parseValue(std::string_view text, std::size_t max_depth,
                                      ParseError* error = nullptr) {
  boost::json::stream_parser parser({}, parseOptions(max_depth));
  error_code ec;
  parser.write(text.data(), text.size(), ec);
  if (!ec) parser.finish(ec);
  if (ec) {
    if (error)
      *error = ec == boost::json::error::too_deep ? ParseError::kTooDeep : ParseError::kInvalid;
    return std::nullopt;
  }
  if (error) *error = ParseError::kNone;
  return parser.release();
}

// ---- the outline of a backup's text ----

// A piece of the text: [begin, end).
struct Span {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// Finds the members of objects and the elements of arrays in a text, without building values:
// only strings and brackets are followed. Every piece it hands out is checked as JSON by the
// caller, so a text it misreads is refused, never taken.
class Outline {
 public:
  explicit Outline(std::string_view text) : text_(text) {}

  std::string_view text(Span s) const { return text_.substr(s.begin, s.end - s.begin); }
  char first(Span s) const { return s.end > s.begin ? text_[s.begin] : '\0'; }

  // The single value making up the whole text, with white space around it.
  std::optional<Span> whole() const {
    const std::size_t begin = skipSpace(0);
    const std::size_t end = valueEnd(begin);
    if (end == kNone || skipSpace(end) != text_.size()) return std::nullopt;
    return Span{begin, end};
  }

  struct Member {
    std::string key;
    Span value;
  };
  // The members of the object at `s`, in text order; none when it isn't a well-formed object.
  std::optional<std::vector<Member>> members(Span s) const {
    std::vector<Member> out;
    bool ok = eachItem(s, '{', '}', [&](std::size_t at) -> std::size_t {
      if (at >= s.end || text_[at] != '"') return kNone;
      const std::size_t key_end = stringEnd(at);
      if (key_end == kNone) return kNone;
      auto key = parseValue(text_.substr(at, key_end - at), 1);
      if (!key || !key->is_string()) return kNone;
      std::size_t colon = skipSpace(key_end);
      if (colon >= s.end || text_[colon] != ':') return kNone;
      const std::size_t value = skipSpace(colon + 1);
      const std::size_t value_stop = valueEnd(value);
      if (value_stop == kNone || value_stop > s.end) return kNone;
      out.push_back({std::string(key->get_string()), Span{value, value_stop}});
      return value_stop;
    });
    if (!ok) return std::nullopt;
    return out;
  }
  // The elements of the array at `s`; none when it isn't a well-formed array.
  std::optional<std::vector<Span>> elements(Span s) const {
    std::vector<Span> out;
    bool ok = eachItem(s, '[', ']', [&](std::size_t at) -> std::size_t {
      const std::size_t stop = valueEnd(at);
      if (stop == kNone || stop > s.end) return kNone;
      out.push_back(Span{at, stop});
      return stop;
    });
    if (!ok) return std::nullopt;
    return out;
  }

 private:
  static constexpr std::size_t kNone = std::string_view::npos;

  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  std::size_t skipSpace(std::size_t i) const {
    while (i < text_.size() && isSpace(text_[i])) ++i;
    return i;
  }
  // Just past the closing quote of the string opening at `i`.
  std::size_t stringEnd(std::size_t i) const {
    for (std::size_t j = i + 1; j < text_.size(); ++j) {
      if (text_[j] == '\\') {
        ++j;
      } else if (text_[j] == '"') {
        return j + 1;
      }
    }
    return kNone;
  }
  // Just past the value beginning at `i`: a string, a container (brackets counted, strings
  // skipped) or a scalar.
  std::size_t valueEnd(std::size_t i) const {
    if (i >= text_.size()) return kNone;
    const char c = text_[i];
    if (c == '"') return stringEnd(i);
    if (c == '{' || c == '[') {
      std::size_t depth = 0;
      for (std::size_t j = i; j < text_.size(); ++j) {
        const char d = text_[j];
        if (d == '"') {
          j = stringEnd(j);
          if (j == kNone) return kNone;
          --j;
        } else if (d == '{' || d == '[') {
          ++depth;
        } else if (d == '}' || d == ']') {
          if (--depth == 0) return j + 1;
        }
      }
      return kNone;
    }
    std::size_t j = i;
    while (j < text_.size() && !isSpace(text_[j]) && text_[j] != ',' && text_[j] != '}' &&
           text_[j] != ']') {
      ++j;
    }
    return j == i ? kNone : j;
  }
  // Walks "open item , item , … close" over `s`; `item` reads one item starting at an offset
  // and gives the offset just past it, or kNone.
  template <typename Item>
  bool eachItem(Span s, char open, char close, Item item) const {
    if (first(s) != open || s.end - s.begin < 2 || text_[s.end - 1] != close) return false;
    std::size_t at = skipSpace(s.begin + 1);
    if (at == s.end - 1) return true;
    for (;;) {
      const std::size_t stop = item(at);
      if (stop == kNone) return false;
      at = skipSpace(stop);
      if (at == s.end - 1) return true;
      if (at >= s.end || text_[at] != ',') return false;
      at = skipSpace(at + 1);
    }
  }

  std::string_view text_;
};

// ---- reading the file ----

// The whole file through one descriptor: a file deleted while it is read is still read whole,
// and one that shrinks or grows meanwhile is refused. Only regular files.
std::optional<std::string> readBackup(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> out;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    for (;;) {
      char* at = got < text.size() ? text.data() + got : nullptr;
      char probe;
      const ssize_t n = at ? ::read(fd, at, text.size() - got) : ::read(fd, &probe, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (n > 0 && !at)) break;  // an error, or the file grew
      if (n == 0) {
        if (got == text.size()) out = std::move(text);
        break;  // shrank if short
      }
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  return out;
}

void writeJSON(const fs::path& file, const json::object& o) {
  // Failures to write the workspace and the pretext are passed over, as the page's own are.
  if (auto text = json::pretty(o)) (void)file_io::writeAtomically(file, *text);
}

// An integer in the page's sense: an integer number, or a double without a fraction.
std::optional<std::int64_t> wholeNumber(const json::value& v) {
  if (v.is_int64()) return v.get_int64();
  if (v.is_uint64()) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(v.get_uint64(), std::numeric_limits<std::int64_t>::max()));
  }
  if (v.is_double()) {
    const double d = v.get_double();
    if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9e18) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

// `updated` of a doc: a number, else 0.
double updatedOf(const json::object& doc) {
  const json::value* v = doc.if_contains("updated");
  return v ? json::asNumber(*v).value_or(0) : 0;
}

// A document entry of the backup that counts, as first read.
struct Entry {
  Span text;
  std::string id;
  double updated = 0;
  bool too_deep = false;  // a valid id and nodes, but nested deeper than anything reads back
};

// Reads one entry of `docs`: none when it doesn't count (passed over silently), or when it is
// not JSON at all (`invalid` set: then the file isn't a backup).
std::optional<Entry> readEntry(const Outline& outline, Span s, bool& invalid) {
  ParseError error;
  auto value = parseValue(outline.text(s), kMaxDepth - 2, &error);
  if (error == ParseError::kInvalid) {
    invalid = true;
    return std::nullopt;
  }
  if (value) {
    if (!value->is_object()) return std::nullopt;
    const json::object& doc = value->get_object();
    auto id = json::findString(doc, "id");
    if (!id || !ids::isDocumentID(*id) || !json::findArray(doc, "nodes")) return std::nullopt;
    return Entry{s, std::string(*id), updatedOf(doc), false};
  }
  // Nested too deep to read back: known by its outline alone, so it can be named.
  if (outline.first(s) != '{') return std::nullopt;
  auto members = outline.members(s);
  if (!members) {
    invalid = true;
    return std::nullopt;
  }
  std::optional<std::string> id;
  bool nodes = false;
  for (const auto& m : *members) {  // the last of a repeated key counts, as the page reads it
    if (m.key == "id") {
      auto v = parseValue(outline.text(m.value), 1);
      id = v && v->is_string() ? std::optional<std::string>(v->get_string()) : std::nullopt;
    } else if (m.key == "nodes") {
      nodes = outline.first(m.value) == '[';
    }
  }
  if (!id || !ids::isDocumentID(*id) || !nodes) return std::nullopt;
  return Entry{s, *id, 0, true};
}

// The record of the library's copy of a document, when it has one; `unreadable` when it has a
// package for the id that can't be read.
std::optional<json::object> libraryRecord(library::Library& lib, const std::string& id,
                                          bool& unreadable) {
  unreadable = false;
  auto package = lib.url(id);
  if (!package) return std::nullopt;
  std::optional<json::object> record;
  {
    auto access = library::FileCoordinator::shared().read(*package);
    record = library::readRecord(*package);
  }
  if (!record) unreadable = true;
  return record;
}

// Whether a value holds a number too large for a double, which no file can hold.
bool hasInfinity(const json::value& v) {
  std::vector<const json::value*> pending{&v};
  while (!pending.empty()) {
    const json::value* at = pending.back();
    pending.pop_back();
    if (at->is_double() && !std::isfinite(at->get_double())) return true;
    if (at->is_array()) {
      for (const auto& e : at->get_array()) pending.push_back(&e);
    } else if (at->is_object()) {
      for (const auto& kv : at->get_object()) pending.push_back(&kv.value());
    }
  }
  return false;
}

enum class Decision { kImport, kSkip };

Decision compare(const json::object& existing, double b) {
  const json::object* doc = json::findObject(existing, "doc");
  const json::value* e = doc ? doc->if_contains("updated") : nullptr;
  if (e && json::asNumber(*e)) return *json::asNumber(*e) < b ? Decision::kImport : Decision::kSkip;
  return b > 0 ? Decision::kImport : Decision::kSkip;
}

std::string newUUID() {
  g_autofree gchar* uuid = g_uuid_string_random();
  std::string out(uuid);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return out;
}

std::string idOrEmpty(const json::value& v) {
  if (!v.is_object()) return "";
  return std::string(json::findString(v.get_object(), "id").value_or(""));
}

// Appends to `list` the entries of `from` whose id is not among the ids `list` had before.
void mergeByID(json::array& list, const json::array& from) {
  std::set<std::string> have;
  for (const auto& e : list) have.insert(idOrEmpty(e));
  for (const auto& e : from) {
    if (!have.contains(idOrEmpty(e))) list.push_back(e);
  }
}

std::string nameForMessage(const json::object& doc) {
  std::string title = text::trimWhitespaceAndNewlines(json::findString(doc, "title").value_or(""));
  if (title.empty()) title = Preview::firstWords(doc).value_or("Untitled");
  return title;
}

// A member of the backup's top level, parsed; none when absent.
struct TopLevel {
  std::map<std::string, Span> members;  // the last of a repeated key counts
  std::optional<json::value> value(const Outline& outline, std::string_view key) const {
    auto it = members.find(std::string(key));
    if (it == members.end()) return std::nullopt;
    return parseValue(outline.text(it->second), kMaxDepth - 1);
  }
};

void mergeWorkspace(const fs::path& support, const Outline& outline, const TopLevel& top,
                    const std::vector<std::string>& order_ids) {
  const fs::path file = support / kWorkspaceFile;
  std::optional<json::object> workspace = json::readObjectFile(file);
  if (!workspace) {
    auto from_backup = top.value(outline, "workspace");
    json::value inner;
    if (from_backup && from_backup->is_object()) {
      inner = std::move(*from_backup);
    } else {
      inner = json::object{{"id", newUUID()},
                           {"owner", json::object{{"id", "local"}, {"name", "You"}}},
                           {"created", clock::nowMs()}};
    }
    auto ui = top.value(outline, "ui");
    workspace = json::object{{"key", "workspace"},
                             {"schema", library::kWorkspaceSchema},
                             {"workspace", std::move(inner)},
                             {"groups", json::array()},
                             {"ui", ui && ui->is_object() ? std::move(*ui) : json::object()},
                             {"order", json::array()},
                             {"migratedFrom", nullptr}};
  }
  json::object& w = *workspace;

  json::value* groups = w.if_contains("groups");
  if (!groups || !groups->is_array()) groups = &(w["groups"] = json::array());
  if (auto from = top.value(outline, "groups"); from && from->is_array()) {
    json::array objects;
    for (auto& g : from->get_array()) {
      if (g.is_object()) objects.push_back(std::move(g));
    }
    mergeByID(groups->get_array(), objects);
  }

  json::value* order = w.if_contains("order");
  if (!order || !order->is_array()) order = &(w["order"] = json::array());
  std::set<std::string> listed;
  for (const auto& id : order->get_array()) {
    if (id.is_string()) listed.insert(std::string(id.get_string()));
  }
  for (const auto& id : order_ids) {
    if (listed.insert(id).second) order->get_array().push_back(json::value(id));
  }
  writeJSON(file, w);
}

void mergePretext(const fs::path& support, const Outline& outline, const TopLevel& top) {
  auto from = top.value(outline, "pretext");
  if (!from || !from->is_object()) return;
  const fs::path file = support / kPretextFile;
  auto stored = json::readObjectFile(file);
  json::value* pretext = stored ? stored->if_contains("pretext") : nullptr;
  if (!pretext || !pretext->is_object()) {
    writeJSON(file, json::object{{"key", "pretext"}, {"pretext", std::move(*from)}});
    return;
  }
  for (const char* list : {"sections", "items"}) {
    const json::array* incoming = json::findArray(from->get_object(), list);
    if (!incoming) continue;
    json::value& have = pretext->get_object()[list];
    if (!have.is_array()) have = json::array();
    mergeByID(have.get_array(), *incoming);
  }
  writeJSON(file, *stored);
}

// Each capture is parsed and written on its own, so a backup of large images never holds
// them all at once.
void writeCaptures(const fs::path& support, const Outline& outline, const TopLevel& top) {
  auto it = top.members.find("images");
  if (it == top.members.end()) return;
  auto entries = outline.members(it->second);
  if (!entries) return;
  std::map<std::string, Span> last;  // the last of a repeated name counts
  for (auto& e : *entries) last[e.key] = e.value;
  for (const auto& [name, span] : last) {
    if (!ids::isCaptureID(name) || outline.first(span) != '"') continue;
    if (span.end - span.begin > kLargestCaptureText) continue;
    auto value = parseValue(outline.text(span), 1);
    if (!value || !value->is_string()) continue;
    const std::string_view src = value->get_string();
    if (!src.starts_with("data:image/") || src.size() > BackupImport::kLargestCapture) continue;
    images::putCapture(support, name, src);
  }
}

// 1 to 3. The file must be one JSON object of the backup's format, version and schema; its
// members are gathered into `top`. Its members are checked as JSON one by one, the documents
// each on their own (later), so that nothing larger than one of them is ever built.
std::optional<BackupImport::Failure> readTopLevel(const Outline& outline, TopLevel& top) {
  const BackupImport::Failure not_backup{std::string(BackupImport::kNotBackup)};
  auto whole = outline.whole();
  if (!whole) return not_backup;
  auto members = outline.members(*whole);
  if (!members) return not_backup;
  for (const auto& m : *members) top.members[m.key] = m.value;
  for (const auto& m : *members) {
    if (m.key == "docs" && m.value.begin == top.members["docs"].begin) continue;  // read below
    if (!isValidJSON(outline.text(m.value), kMaxDepth - 1)) return not_backup;
  }

  auto format = top.value(outline, "format");
  if (!format || !format->is_string()) return not_backup;
  if (format->get_string() != kBackupFormat) {
    return BackupImport::Failure{std::string(format->get_string() == kProjectFormat
                                                 ? BackupImport::kProjectExport
                                                 : BackupImport::kNotBackup)};
  }

  auto version = top.value(outline, "version");
  auto schema = top.value(outline, "schema");
  const auto version_number = version ? wholeNumber(*version) : std::nullopt;
  const auto schema_number = schema ? wholeNumber(*schema) : std::nullopt;
  if (version_number != 1 || !schema_number || *schema_number > library::kWorkspaceSchema) {
    return BackupImport::Failure{std::string(BackupImport::kNewerVersion)};
  }
  return std::nullopt;
}

// 4. The documents that count. Entries of any other kind are passed over, as are all but the
// newest of several with one id (the first of equals), so each id is written once.
std::variant<std::vector<Entry>, BackupImport::Failure> countedEntries(const Outline& outline,
                                                                       const TopLevel& top) {
  const BackupImport::Failure not_backup{std::string(BackupImport::kNotBackup)};
  std::vector<Entry> entries;
  if (auto docs = top.members.find("docs"); docs != top.members.end()) {
    const Span span = docs->second;
    if (outline.first(span) == '[') {
      auto elements = outline.elements(span);
      if (!elements) return not_backup;
      std::map<std::string, std::size_t> newest;  // id → position in entries
      for (const Span& element : *elements) {
        bool invalid = false;
        auto entry = readEntry(outline, element, invalid);
        if (invalid) return not_backup;
        if (!entry) continue;
        auto [it, fresh] = newest.emplace(entry->id, entries.size());
        if (fresh) {
          entries.push_back(std::move(*entry));
        } else if (entry->updated > entries[it->second].updated) {
          entries[it->second] = std::move(*entry);
        }
      }
    } else if (!isValidJSON(outline.text(span), kMaxDepth - 1)) {
      return not_backup;
    }
  }
  if (entries.empty()) return BackupImport::Failure{std::string(BackupImport::kNoDocuments)};
  return entries;
}

// 5 and 6 for one document: compared with the library's copy, then written, skipped or named
// as failed in `result`.
void importEntry(library::Library& lib, const Outline& outline, const Entry& entry,
                 BackupImport::Result& result) {
  std::optional<json::value> parsed;
  // A document nested too deep, or with a number no file can hold, would leave a package
  // the library can't read back, or half a package: it is named instead.
  if (!entry.too_deep) parsed = parseValue(outline.text(entry.text), kMaxDepth - 2);
  if (parsed && hasInfinity(*parsed)) parsed.reset();
  bool unreadable = false;
  auto existing = parsed ? libraryRecord(lib, entry.id, unreadable) : std::nullopt;
  if (!parsed || unreadable) {
    // A package the library has but can't read (half synced, damaged) is not replaced.
    result.failed.push_back(entry.id);
    result.failed_names.push_back(
        parsed && parsed->is_object() ? nameForMessage(parsed->get_object()) : entry.id);
    return;
  }
  if (existing && compare(*existing, entry.updated) == Decision::kSkip) {
    ++result.skipped;
    return;
  }
  json::value rev = 1;
  if (existing) {
    const json::value* r = existing->if_contains("rev");
    if (auto n = r ? wholeNumber(*r) : std::nullopt) {
      rev = *n < std::numeric_limits<std::int64_t>::max() ? *n + 1 : *n;
    }
  }
  json::object& doc = parsed->get_object();
  std::string name = nameForMessage(doc);
  const json::value* updated = doc.if_contains("updated");
  json::object record{{"id", entry.id},
                      {"rev", rev},
                      {"updated", updated ? *updated : json::value(0)},
                      {"deleted", false},
                      {"deletedAt", nullptr}};
  record["doc"] = std::move(*parsed);
  if (lib.write(record)) {
    ++result.count;
  } else {
    result.failed.push_back(entry.id);
    result.failed_names.push_back(std::move(name));
  }
}

}  // namespace

BackupImport::Alert BackupImport::reportAlert(const Result& result,
                                              std::string_view spoken_folder) {
  Alert alert;
  alert.message =
      std::to_string(result.count) + " document" + (result.count == 1 ? "" : "s") + " brought in";
  alert.informative = "They're in " + std::string(spoken_folder);
  if (result.skipped == 0) {
    alert.informative += ".";
  } else {
    alert.informative +=
        ". " + std::to_string(result.skipped) + " already here and newer were left as they are.";
  }
  if (!result.failed_names.empty()) {
    std::string names;
    for (const auto& n : result.failed_names) {
      names += (names.empty() ? "\u201c" : "\u201d, \u201c") + n;
    }
    alert.informative += " Couldn't write " + names + "\u201d.";
  }
  return alert;
}

BackupImport::Alert BackupImport::offerAlert(bool first_run, std::string_view spoken_folder) {
  return Alert{first_run ? "Bring your writing to this computer" : "Import a backup",
               "In Quillstone on the web, open Settings \u2192 Your data \u2192 Download a "
               "backup. Then choose that file here.\n\nEach document becomes a file in " +
                   std::string(spoken_folder) + ". Nothing in the browser is changed."};
}

bool BackupImport::is(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::uintmax_t>(st.st_size) >= kLargestBackup) {
    ::close(fd);
    return false;
  }
  boost::json::basic_parser<FormatProbe> parser(parseOptions(kMaxDepth));
  std::vector<char> buffer(64 * 1024);
  error_code ec;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    parser.write_some(n > 0, buffer.data(), static_cast<std::size_t>(n), ec);
    if (ec || n == 0) break;
  }
  ::close(fd);
  return parser.handler().answer == FormatProbe::Answer::kBackup;
}

BackupImport::Outcome BackupImport::run(const fs::path& file, library::Library& lib,
                                        const Progress& progress) {
  const std::optional<std::string> text = readBackup(file);
  if (!text) return Failure{std::string(kNotBackup)};
  const Outline outline(*text);
  TopLevel top;
  if (auto failure = readTopLevel(outline, top)) return *failure;
  auto counted = countedEntries(outline, top);
  if (auto* failure = std::get_if<Failure>(&counted)) return *failure;
  const std::vector<Entry>& entries = std::get<std::vector<Entry>>(counted);

  // 5 and 6. Each document against the library's copy as it is now, then written or skipped.
  Result result;
  (void)lib.rescan();
  const std::size_t total = entries.size();
  if (progress) progress(0, total);
  std::vector<std::string> order_ids;
  std::optional<library::Library::Batch> batch(std::in_place, lib);
  for (std::size_t i = 0; i < total; ++i) {
    order_ids.push_back(entries[i].id);
    importEntry(lib, outline, entries[i], result);
    if (progress && !progress(i + 1, total)) break;
  }

  batch.reset();

  // 7 to 12. The support folder's files; failures there are passed over.
  mergeWorkspace(lib.support(), outline, top, order_ids);
  mergePretext(lib.support(), outline, top);
  writeCaptures(lib.support(), outline, top);
  return result;
}

}  // namespace qs
