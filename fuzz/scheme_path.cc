// The path of a request to the app's scheme, as the page (or anything it loads) can ask for it:
// only files inside the web folder are ever served.

#include <filesystem>
#include <set>

#include "fuzz_target.h"
#include "windows/scheme_handler.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOutside = "OUTSIDE THE WEB FOLDER";

// A web folder with links in it, beside files that must never be served: one above it, one in a
// sibling folder whose name starts like it, and one that a link leads to.
struct Site {
  fuzz::Scratch scratch;
  fs::path web = scratch.path() / "web";
  std::set<std::string> served;
  windows::SchemeHandler handler{web, [](std::string_view extension) {
                                   return extension == "html" ? std::string("text/html")
                                                              : std::string(kUnknownMimeType);
                                 }};

  Site() {
    for (const char* name : {"index.html", "app.js", "parts/view.mjs", "a b/%41.css", "..x"}) {
      const std::string body = std::string("served: ") + name;
      fuzz::writeFile(web / name, body);
      served.insert(body);
    }
    fuzz::writeFile(scratch.path() / "secret.txt", kOutside);
    fuzz::writeFile(scratch.path() / "web-other" / "index.html", kOutside);
    fuzz::writeFile(scratch.path() / "elsewhere" / "page.html", kOutside);
    std::error_code ec;
    fs::create_symlink("../secret.txt", web / "secret", ec);
    fs::create_symlink("../elsewhere", web / "away", ec);
    fs::create_symlink("index.html", web / "home.html", ec);
    fuzz::check(!ec, "the site's links can be made");
  }

  void ask(std::string_view uri) const {
    const auto response = handler.answer(uri);
    if (!response || response->status != 200) return;
    QS_FUZZ_CHECK(response->body.find(kOutside) == std::string::npos,
                  "nothing outside the web folder is served");
    QS_FUZZ_CHECK(served.contains(response->body), "only the web folder's files are served");
  }
};

}  // namespace

QS_FUZZ_TARGET(scheme_path) {
  static const Site site;
  site.ask(input);
  site.ask("quillstone://app/" + std::string(input));
}
