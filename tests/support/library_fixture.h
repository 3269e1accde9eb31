// What the library's tests share: a Trash that keeps what it is given in a folder of the test,
// packages written as another program would, a wall clock the test moves, and the parts of an
// answer to "open" the tests look at.
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

#include "library/library.h"
#include "platform/prefs.h"
#include "platform/trash.h"
#include "support/documents.h"
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
    if (fail) {
      if (error) *error = "no Trash on this file system";
      return false;
    }
    const fs::path to = folder_ / (std::to_string(count_++) + "-" + path.filename().string());
    std::error_code ec;
    fs::rename(path, to, ec);
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
  int count_ = 0;
  std::vector<std::pair<fs::path, fs::path>> from_;
};

// Writes a package directly, as another copy of the app or a sync tool would.
inline void putPackage(const fs::path& package, std::string_view id, std::string_view title = "T") {
  ASSERT_TRUE(library::writePackage(package, json::object{}, doc(id, title)));
}

// Only "document.json", as another program edits it in place or a sync tool brings it first.
inline void putDocument(const fs::path& package, std::string_view id, std::string_view title) {
  writeText(
      package / "document.json",
      *json::compact(json::object{{"format", "quillstone/document"}, {"doc", doc(id, title)}}));
}

// The ids of records, in order.
inline std::vector<std::string> idsOf(const json::array& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.emplace_back(r.at("id").as_string());
  return out;
}

// A writing folder, its support folder, a Trash and settings in a temporary folder, and a
// wall clock that moves only when the test says.
class LibraryFixture : public ::testing::Test {
 protected:
  LibraryFixture() : trash_(dir_ / "trash-can"), prefs_(dir_ / "config/settings.json") {}

  library::Library::Services services(SearchIndex* index = nullptr, HostLog* log = nullptr) {
    library::Library::Services s{&trash_, index, &prefs_, log, {}, {}};
    s.wall_clock = [this] { return now_; };
    return s;
  }
  std::unique_ptr<library::Library> open(SearchIndex* index = nullptr, HostLog* log = nullptr) {
    return std::make_unique<library::Library>(root(), support(), services(index, log));
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
  static std::vector<std::string> problemNames(const library::Library& lib) {
    std::vector<std::string> out;
    for (const auto& p : lib.problems()) out.push_back(p.name);
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
  FolderTrash trash_;
  Prefs prefs_;
  std::chrono::system_clock::time_point now_ =
      std::chrono::system_clock::from_time_t(1'780'000'000);
};

}  // namespace qs::testing
