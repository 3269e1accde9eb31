// What the library's tests share: a Trash that keeps what it is given in a folder of the test,
// packages written as another program would, and a wall clock the test moves.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
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

// A Trash that moves things into a folder of the test, remembering where each came from.
class FolderTrash final : public Trash {
 public:
  explicit FolderTrash(fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
  }
  bool moveToTrash(const fs::path& path, std::string* error) override {
    if (fail) {
      if (error) *error = "no Trash on this file system";
      return false;
    }
    const fs::path to = folder_ / (std::to_string(count_++) + "-" + path.filename().string());
    std::error_code ec;
    fs::rename(path, to, ec);
    if (!ec) from_.emplace_back(path, to);
    return !ec;
  }
  std::vector<fs::path> trashedFrom(const fs::path& folder) override {
    std::vector<fs::path> out;
    const std::string below = folder.string() + "/";
    for (auto it = from_.rbegin(); it != from_.rend(); ++it) {
      if (it->first.string().starts_with(below)) out.push_back(it->second);
    }
    return out;
  }
  bool fail = false;
  std::vector<std::string> names() const { return names_in(folder_); }

 private:
  fs::path folder_;
  int count_ = 0;
  std::vector<std::pair<fs::path, fs::path>> from_;
};

// Writes a package directly, as another copy of the app or a sync tool would.
inline void put_package(const fs::path& package, std::string_view id,
                        std::string_view title = "T") {
  ASSERT_TRUE(library::writePackage(package, json::object{}, doc(id, title)));
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
  std::unique_ptr<library::Library> open() {
    return std::make_unique<library::Library>(root(), support(), services());
  }
  fs::path root() const { return dir_ / "Writing"; }
  fs::path support() const { return dir_ / "Support"; }
  std::vector<std::string> packages_in(const fs::path& folder) const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
      if (e.path().extension() == ".quillstone") out.push_back(e.path().stem());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  static std::vector<std::string> problem_names(const library::Library& lib) {
    std::vector<std::string> out;
    for (const auto& p : lib.problems()) out.push_back(p.name);
    return out;
  }

  TempDir dir_;
  FolderTrash trash_;
  Prefs prefs_;
  std::chrono::system_clock::time_point now_ =
      std::chrono::system_clock::from_time_t(1'780'000'000);
};

}  // namespace qs::testing
