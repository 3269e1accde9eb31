#include "windows/scheme_handler.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace qs::windows {
namespace {

namespace fs = std::filesystem;
using qs::testing::TempDir;
using qs::testing::writeText;
using Headers = std::vector<std::pair<std::string, std::string>>;

std::string lookUp(std::string_view extension) {
  if (extension == "html" || extension == "css") return "text/" + std::string(extension);
  return extension == "mjs" ? "application/javascript" : std::string(kUnknownMimeType);
}

class SchemeHandlerTest : public ::testing::Test {
 protected:
  SchemeHandlerTest() {
    for (const auto& [name, text] : {std::pair{"index.html", "<!doctype html>"},
                                     {"parts/view.mjs", "export {}"},
                                     {"style.css", "body{}"},
                                     {"LICENSE", "text"},
                                     {"../secret.txt", "outside"}})
      writeText(web() / name, text);
  }

  fs::path web() const { return dir / "web"; }

  SchemeHandler::Response answer(std::string_view uri) const {
    const auto response = SchemeHandler(web(), lookUp).answer(uri);
    EXPECT_TRUE(response) << uri;
    return response.value_or(SchemeHandler::Response{});
  }

  TempDir dir;
};

// The home is index.html under any host, query or fragment; the type comes from the extension;
// links that stay inside are followed. Nothing outside the web folder, no folder and no missing
// file is served. (The fuzz target's corpus tries more ways out.)
TEST_F(SchemeHandlerTest, ServesTheWebFolderAndNothingElse) {
  const auto css = answer("quillstone://app/style.css");
  EXPECT_EQ(std::tie(css.status, css.body, css.headers),
            std::tuple(200, "body{}",
                       Headers{{"Content-Type", "text/css; charset=utf-8"},
                               {"Content-Length", "6"},
                               {"Cache-Control", "no-cache"},
                               {"Content-Security-Policy", contentSecurityPolicy()},
                               {"Access-Control-Allow-Origin", "quillstone://app"}}));

  fs::create_symlink(web() / "style.css", web() / "alias.css");
  fs::create_symlink(dir / "secret.txt", web() / "linked.txt");
  writeText(web() / "%2e%2e" / "secret.txt", "inside");  // encoded once, decoded once
  const std::string html = "text/html; charset=utf-8", other = "application/octet-stream";
  const std::string home = "<!doctype html>", none = "Not found", plain = "text/plain";
  for (const auto& [uri, status, body, type] :
       std::vector<std::tuple<std::string_view, int, std::string, std::string>>{
           {"quillstone://other/index.html?x=1#top", 200, home, html},
           {"quillstone://app/?a/../../secret.txt", 200, home, html},
           {"quillstone:", 200, home, html},
           {"quillstone://app/parts/view.mjs", 200, "export {}", "text/javascript; charset=utf-8"},
           {"quillstone://app/LICENSE", 200, "text", other},
           {"quillstone://app/alias.css", 200, "body{}", "text/css; charset=utf-8"},
           {"quillstone://app/%252e%252e/secret.txt", 200, "inside", other},
           {"quillstone://app/%2E%2E/secret.txt", 404, none, plain},
           {"quillstone://app/..%2fsecret.txt", 404, none, plain},
           {"quillstone://app/linked.txt", 404, none, plain},
           {"quillstone://app/index.html%00.png", 404, none, plain},
           {"quillstone://app/parts/", 404, none, plain},
           {"quillstone://app/100%", 404, none, plain}}) {
    const auto r = answer(uri);
    EXPECT_EQ(std::tuple(r.status, r.body, r.headers.at(0).second, r.headers.size()),
              std::tuple(status, body, type, status == 200 ? 5u : 1u))
        << uri;
  }
  // The web folder itself may be a link, as an installed resource folder often is.
  fs::create_directory_symlink(web(), dir / "linked-web");
  EXPECT_EQ(SchemeHandler(dir / "linked-web/", lookUp).answer("quillstone://app/style.css")->body,
            "body{}");
  EXPECT_EQ(SchemeHandler(dir / "no-such-folder", lookUp).answer("quillstone://app/")->status, 404);
  const SchemeHandler handler(web(), lookUp);
  for (std::string_view uri : {"", "index.html", "/index.html", "1x://app/"})
    EXPECT_FALSE(handler.answer(uri)) << uri;
}

}  // namespace
}  // namespace qs::windows
