// What the library's tests share: documents and records as the page sends them, a Trash that keeps
// what it is given in a folder of the test, packages written as another program would, a wall clock
// the test moves, and the parts of an answer to "open" the tests look at.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/digest.h"
#include "core/json.h"
#include "library/library.h"
#include "platform/prefs.h"
#include "platform/trash.h"
#include "support/temp_dir.h"

namespace qs::testing {

namespace fs = std::filesystem;

// A Trash that moves things into a folder of the test, remembering where each came from. Any
// thread may use it.
class FolderTrash final : public Trash {
 public:
  explicit FolderTrash(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
  }
  bool moveToTrash(const fs::path& path, std::string* error) override {
    const std::lock_guard lock(mutex_);
    std::error_code ec = std::make_error_code(std::errc::operation_not_supported);
    const fs::path to = folder_ / (std::to_string(from_.size()) + "-" + path.filename().string());
    if (!fail) fs::rename(path, to, ec);
    if (ec && error) *error = ec.message();
    return !ec && (from_.emplace_back(path, to), true);
  }
  std::vector<fs::path> trashedFrom(const fs::path& folder) override {
    const std::lock_guard lock(mutex_);
    std::vector<fs::path> out;
    for (auto it = from_.rbegin(); it != from_.rend(); ++it) {
      if (it->first.string().starts_with(folder.string() + "/")) out.push_back(it->second);
    }
    return out;
  }
  std::atomic<bool> fail{false};
  std::vector<std::string> names() const { return namesIn(folder_); }

 private:
  std::mutex mutex_;
  fs::path folder_;
  std::vector<std::pair<fs::path, fs::path>> from_;
};

// A document with one paragraph of `text`, and the members of `extra`.
inline json::object doc(std::string_view id, std::string_view title, json::object extra = {},
                        std::string_view text = "words") {
  json::object d{{"id", id},
                 {"title", title},
                 {"nodes", json::array{json::object{{"id", "n1"}, {"text", text}}}}};
  for (const auto& kv : extra) d[kv.key()] = kv.value();
  return d;
}

inline json::object record(const json::object& d, std::int64_t rev = 1) {
  return json::object{
      {"id", d.at("id")}, {"rev", rev}, {"updated", 1700000000000}, {"deleted", false}, {"doc", d}};
}

// An image large enough to be kept as a file of its package (canonical base64, not a real PNG).
inline std::string imageURL() {
  std::string bytes(3000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  return "data:image/png;base64," + digest::base64Encode(bytes);
}

// Writes a package directly, as another copy of the app or a sync tool would.
inline void putPackage(const fs::path& package, std::string_view id, std::string_view title = "T") {
  ASSERT_TRUE(library::writePackage(package, json::object{}, doc(id, title)));
}

// A writing folder, its support folder, a Trash and settings in a temporary folder, and a
// wall clock that moves only when the test says.
class LibraryFixture : public ::testing::Test {
 protected:
  library::Library::Services services(HostLog* log = nullptr) {
    library::Library::Services s{&trash_, nullptr, &prefs_, log, {}, {}};
    s.wall_clock = [this] { return now_; };
    return s;
  }
  std::unique_ptr<library::Library> open(HostLog* log = nullptr) {
    return std::make_unique<library::Library>(root(), support(), services(log));
  }
  fs::path root() const { return dir_ / "Writing"; }
  fs::path support() const { return dir_ / "Support"; }
  std::vector<std::string> packagesIn(const fs::path& folder) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
      if (e.path().extension() == ".quillstone") out.push_back(e.path().stem());
    std::ranges::sort(out);
    return out;
  }
  // Another program's copy of a package, written elsewhere and moved in whole.
  void bringIn(const fs::path& package, const json::object& d, std::int64_t rev = 1) {
    const fs::path staged = dir_ / "elsewhere" / package.filename();
    fs::remove_all(staged);
    ASSERT_TRUE(library::writePackage(staged, json::object{{"rev", rev}}, d));
    fs::remove_all(package);
    fs::rename(staged, package);
  }
  // The documents of an answer to "open", and the one with `id` among them.
  static const json::array& docs(const json::object& answer) {
    return answer.at("state").at("docs").as_array();
  }
  static const json::value* find(const json::array& docs, std::string_view id) {
    const auto it =
        std::ranges::find_if(docs, [&](auto& d) { return d.at("id").as_string() == id; });
    return it == docs.end() ? nullptr : &*it;
  }

  TempDir dir_;
  FolderTrash trash_{dir_ / "trash-can"};
  Prefs prefs_{dir_ / "config/settings.json"};
  std::chrono::system_clock::time_point now_ =
      std::chrono::system_clock::from_time_t(1'780'000'000);
};

}  // namespace qs::testing
