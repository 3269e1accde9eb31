// The answer to the page's "open": every document as read, in the workspace's order, with the
// workspace's own files and the notices of what couldn't be used or was brought in. The first
// answer may be written ahead on the start's thread, and serves while nothing has changed.
#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "library/library.h"
#include "library/paths.h"

namespace qs::library {

// Taken under the queue.
struct OpenParts {
  struct Entry {
    std::size_t rank;
    double created;
    std::string id;
    std::shared_ptr<const DocumentText> text;
  };
  std::vector<Entry> sorted;
  std::vector<Problem> files;     // what couldn't be used
  std::vector<Problem> versions;  // what was brought in since the last "open"
  bool has_ordinary = false;      // a document that isn't one the app keeps for itself
};

namespace {

using Entry = OpenParts::Entry;

std::optional<FileStamp> stampOfFile(const fs::path& file) {
  return fileStamp(AT_FDCWD, file.c_str());
}

// An integer in the page's sense: an integer number, or a double without a fraction.
std::optional<std::int64_t> wholeNumber(const json::value* v) {
  if (v && v->is_double() && std::trunc(v->get_double()) != v->get_double()) return std::nullopt;
  return integerOf(v);
}

// The documents in the workspace's order (an id's first place in it counts), the rest after
// them, each group by creation.
void sortByWorkspace(std::vector<Entry>& sorted, const std::optional<json::object>& meta) {
  std::map<std::string, std::size_t, std::less<>> rank;
  if (meta) {
    if (const json::array* order = json::findArray(*meta, "order")) {
      const bool all_strings =
          std::all_of(order->begin(), order->end(), [](const auto& v) { return v.is_string(); });
      if (all_strings) {
        for (std::size_t i = 0; i < order->size(); ++i) {
          rank.emplace(std::string((*order)[i].get_string()), i);
        }
      }
    }
  }
  for (auto& e : sorted) {
    auto r = rank.find(e.id);
    e.rank = r == rank.end() ? std::numeric_limits<std::size_t>::max() : r->second;
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Entry& a, const Entry& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.created < b.created;
  });
}

json::object notice(std::string_view kind, const std::vector<Problem>& problems) {
  json::array list;
  for (const auto& p : problems) list.push_back(p.toJSON());
  return json::object{{"kind", kind},
                      {"count", static_cast<std::int64_t>(problems.size())},
                      {"files", std::move(list)}};
}

// What follows the documents in the answer, from the "]" that ends them: the members in the order
// openWorkspace() gives them.
std::string answerTail(const OpenParts& parts, const std::optional<json::object>& meta,
                       const std::optional<json::object>& pretext, json::NonAscii form) {
  std::string tail = "]";
  auto value = [&](const json::value& v) {
    if (!json::appendCompact(tail, v, form)) tail.append("null");
  };
  auto member = [&](std::string_view key, const json::value& v) {
    tail.append(",\"").append(key).append("\":");
    value(v);
  };
  if (meta) {
    for (const char* key : {"workspace", "groups", "ui"}) {
      if (const json::value* v = meta->if_contains(key)) member(key, *v);
    }
  }
  if (pretext) {
    if (const json::value* p = pretext->if_contains("pretext")) member("pretext", *p);
  }
  tail.append(R"(},"revs":{)");
  for (std::size_t i = 0; i < parts.sorted.size(); ++i) {
    if (i > 0) tail.push_back(',');
    // Ids are letters, digits, "_" and "-": nothing to escape.
    tail.append("\"").append(parts.sorted[i].id).append("\":");
    if (form == json::NonAscii::kEscaped) {
      value(parts.sorted[i].text->rev_value);
    } else {
      tail.append(parts.sorted[i].text->rev);
    }
  }
  tail.append(R"(},"meta":)");
  if (meta) {
    value(*meta);
  } else {
    tail.append("null");
  }
  tail.append(R"(,"notices":)");
  json::array notices;
  if (!parts.files.empty()) notices.push_back(notice("quarantined", parts.files));
  // A kind of notice added on purpose: the versions this computer brought in since the last
  // "open", which the page shows as it shows the files it couldn't use.
  if (!parts.versions.empty()) notices.push_back(notice("versions", parts.versions));
  value(notices);
  tail.push_back('}');
  return tail;
}

// The whole answer. The tail is written first, so that the buffer is taken once, at its final
// size.
void appendAnswer(std::string& out, const OpenParts& parts, const std::optional<json::object>& meta,
                  const std::optional<json::object>& pretext, json::NonAscii form) {
  const std::string tail = answerTail(parts, meta, pretext, form);
  constexpr std::string_view head = R"({"kind":"ready","state":{"docs":[)";
  const bool escaped = form == json::NonAscii::kEscaped;
  std::size_t size = head.size() + parts.sorted.size() + tail.size();
  for (const auto& e : parts.sorted) size += escaped ? e.text->ascii_size : e.text->doc.size();
  out.reserve(out.size() + size);
  out.append(head);
  for (std::size_t i = 0; i < parts.sorted.size(); ++i) {
    if (i > 0) out.push_back(',');
    const DocumentText& text = *parts.sorted[i].text;
    if (escaped && !text.ascii) {
      json::appendAsciiForm(out, text.doc);
    } else {
      out.append(text.doc);
    }
  }
  out.append(tail);
}

}  // namespace

void Library::prepareOpenLocked(Guard& guard) {
  if (!fresh_) return;
  const auto& ahead = services_.open_ahead;
  if (!ahead) {
    for (const auto& [id, package] : index_) {
      auto it = reads_.find(package.string());
      if (it != reads_.end() && it->second.text) {
        rememberReadLocked(guard, id, package, *it->second.text);
      }
    }
    return;
  }
  Prepared prepared{ahead->prefix, index_, problems_, {}, {}, {}};
  prepared.workspace = stampOfFile(support_ / kWorkspaceFile);
  prepared.pretext = stampOfFile(support_ / kPretextFile);
  answerOpen(prepared.text, ahead->form, guard, &prepared.unreadable);
  prepared_ = std::move(prepared);
}

void Library::openWorkspaceText(std::string& out, json::NonAscii form) {
  Guard guard(mutex_);
  if (prepared_) {
    Prepared prepared = std::move(*prepared_);
    prepared_.reset();
    // Whatever changed the library since (a write, a trash, an outside change the watch found,
    // a scan) changed one of these.
    const auto& ahead = services_.open_ahead;
    if (fresh_ && ahead && ahead->form == form && out == ahead->prefix &&
        prepared.index == index_ && prepared.problems == problems_ &&
        prepared.workspace == stampOfFile(support_ / kWorkspaceFile) &&
        prepared.pretext == stampOfFile(support_ / kPretextFile)) {
      fresh_ = false;
      problems_.insert(problems_.end(), prepared.unreadable.begin(), prepared.unreadable.end());
      untold_.clear();  // the answer written ahead told them
      out = std::move(prepared.text);
      return;
    }
  }
  answerOpen(out, form, guard);
}

std::vector<fs::path> Library::readPartsLocked(const Guard& guard, OpenParts& parts,
                                               std::vector<Problem>& unreadable) {
  parts.sorted.clear();
  parts.has_ordinary = false;
  unreadable.clear();
  std::vector<fs::path> lacking;
  parts.sorted.reserve(index_.size());
  for (const auto& [id, package] : index_) {
    auto it = reads_.find(package.string());
    if (it == reads_.end() || !it->second.text) {
      unreadable.push_back({package.stem().string(), std::string(kReasonUnreadable)});
      continue;
    }
    if (!it->second.text->missing_images.empty() && !id.starts_with("_")) {
      lacking.push_back(package);
    }
    rememberReadLocked(guard, id, package, *it->second.text);
    parts.sorted.push_back({0, it->second.text->created, id, it->second.text});
    if (!id.starts_with("_")) parts.has_ordinary = true;
  }
  return lacking;
}

OpenParts Library::openPartsLocked(Guard& guard, std::vector<Problem>* ahead) {
  // The start's scan serves when every package it found was read whole and is still there.
  bool use_start = fresh_;
  for (const auto& [id, package] : index_) {
    if (!use_start) break;
    auto it = reads_.find(package.string());
    use_start = it != reads_.end() && it->second.depth == ReadDepth::kDocument;
  }
  if (!use_start) rescanLocked(guard, ReadDepth::kDocument);
  std::vector<Problem> version_problems;
  if (bringInVersionsLocked(guard, version_problems)) rescanLocked(guard, ReadDepth::kDocument);
  problems_.insert(problems_.end(), version_problems.begin(), version_problems.end());
  if (!ahead) fresh_ = false;
  OpenParts parts;
  std::vector<Problem> unreadable;
  // Each document as read; pictures a document lacks are looked for once, and the documents
  // that got some back are read again.
  for (bool looked = false;; looked = true) {
    const auto lacking = readPartsLocked(guard, parts, unreadable);
    bool healed = false;
    for (const auto& package : looked ? std::vector<fs::path>{} : lacking) {
      healed |= healImagesLocked(guard, package);
    }
    if (!healed) break;
    rescanLocked(guard, ReadDepth::kDocument);
  }
  folders_.save();
  std::vector<Problem>& told = ahead ? *ahead : problems_;
  told.insert(told.end(), unreadable.begin(), unreadable.end());
  parts.files = problems_;
  if (ahead) parts.files.insert(parts.files.end(), ahead->begin(), ahead->end());
  parts.versions = untold_;
  if (!ahead) untold_.clear();  // told now
  return parts;
}

void Library::answerOpen(std::string& out, json::NonAscii form, Guard& guard,
                         std::vector<Problem>* ahead) {
  OpenParts parts = openPartsLocked(guard, ahead);
  if (!ahead) guard.unlock();

  std::optional<json::object> meta = json::readObjectFile(support_ / kWorkspaceFile);
  if (meta) {
    if (auto schema = wholeNumber(meta->if_contains("schema"));
        schema && *schema > kWorkspaceSchema) {
      json::appendCompact(out, json::object{{"kind", "newer"}, {"schema", *schema}}, form);
      return;
    }
  }
  sortByWorkspace(parts.sorted, meta);
  if (parts.files.empty() && !parts.has_ordinary) {
    if (!guard.owns_lock()) guard.lock();
    parts.files = vanishedLocked(guard);
    if (!ahead) guard.unlock();
  }
  appendAnswer(out, parts, meta, json::readObjectFile(support_ / kPretextFile), form);
}

json::object Library::openWorkspace() {
  std::string text;
  openWorkspaceText(text);
  // The answer nests each document three levels deeper than its file.
  auto parsed = json::parse(text, 4096);
  if (!parsed || !parsed->is_object()) return {};
  return std::move(parsed->get_object());
}

std::vector<Problem> Library::vanishedLocked(const Guard& guard) {
  const fs::path root = normalPath(root_), archive = normalPath(root_ / kArchiveFolder);
  std::vector<std::pair<std::string, std::string>> gone;  // (path, id)
  for (const auto& [id, path] : ledger_) {
    if (id.starts_with("_")) continue;
    const fs::path folder = normalPath(fs::path(path).parent_path());
    if (folder != root && folder != archive) continue;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec))) continue;
    gone.emplace_back(path, id);
  }
  if (gone.empty()) return {};
  for (const auto& [path, id] : gone) ledger_.erase(id);
  saveLedgerLocked(guard);
  std::sort(gone.begin(), gone.end());
  std::vector<Problem> out;
  for (const auto& [path, id] : gone) {
    out.push_back({fs::path(path).stem().string(), std::string(kReasonVanished)});
  }
  return out;
}

}  // namespace qs::library
