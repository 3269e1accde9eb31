#include "windows/scheme_handler.h"

#include <gtest/gtest.h>

#include "core/identity.h"
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
    const SchemeHandler handler(web(), lookUp);
    std::optional<SchemeHandler::Response> response = handler.answer(uri);
    EXPECT_TRUE(response) << uri;
    return response.value_or(SchemeHandler::Response{});
  }

  TempDir dir;
};

TEST_F(SchemeHandlerTest, ServesAFileWithExactlyTheFiveHeaders) {
  const auto response = answer("quillstone://app/style.css");
  EXPECT_EQ(std::tie(response.status, response.body, response.headers),
            std::tuple(200, "body{}",
                       Headers{{"Content-Type", "text/css; charset=utf-8"},
                               {"Content-Length", "6"},
                               {"Cache-Control", "no-cache"},
                               {"Content-Security-Policy", contentSecurityPolicy()},
                               {"Access-Control-Allow-Origin", "quillstone://app"}}));
}

// The home is index.html under any host, query or fragment; the type comes from the extension;
// links that stay inside are followed. (The fuzz target's corpus tries the ways out.)
TEST_F(SchemeHandlerTest, FilesInsideTheWebFolderAreServedWithTheirType) {
  fs::create_symlink(web() / "style.css", web() / "alias.css");
  writeText(web() / "%2e%2e" / "secret.txt", "inside");  // encoded once, decoded once
  const std::string html = "text/html; charset=utf-8", other = "application/octet-stream";
  for (const auto& [uri, body, type] :
       std::vector<std::tuple<std::string_view, std::string, std::string>>{
           {"quillstone://other/index.html?x=1#top", "<!doctype html>", html},
           {"quillstone://app/?a/../../secret.txt", "<!doctype html>", html},
           {"quillstone:", "<!doctype html>", html},
           {identity::kHome, "<!doctype html>", html},
           {"quillstone://app/parts/view.mjs", "export {}", "text/javascript; charset=utf-8"},
           {"quillstone://app/LICENSE", "text", other},
           {"quillstone://app/alias.css", "body{}", "text/css; charset=utf-8"},
           {"quillstone://app/%252e%252e/secret.txt", "inside", other}}) {
    const auto r = answer(uri);
    EXPECT_EQ(std::tie(r.status, r.body, r.headers.at(0).second), std::tuple(200, body, type))
        << uri;
  }
  // The web folder itself may be a link, as an installed resource folder often is.
  fs::create_directory_symlink(web(), dir / "linked-web");
  EXPECT_EQ(SchemeHandler(dir / "linked-web/", lookUp).answer("quillstone://app/style.css")->body,
            "body{}");
}

// Nothing outside the web folder, no folder and no missing file is served; a URI without a
// scheme is a bad URL.
TEST_F(SchemeHandlerTest, EverythingElseIsNotFoundOrABadUrl) {
  fs::create_symlink(dir / "secret.txt", web() / "linked.txt");
  for (std::string_view uri :
       {"quillstone://app/%2E%2E/secret.txt", "quillstone://app/..%2fsecret.txt",
        "quillstone://app/linked.txt", "quillstone://app/index.html%00.png",
        "quillstone://app/parts/", "quillstone://app/100%"}) {
    const auto r = answer(uri);
    EXPECT_EQ(std::tie(r.status, r.headers, r.body),
              std::tuple(404, Headers{{"Content-Type", "text/plain"}}, "Not found"))
        << uri;
  }
  EXPECT_EQ(SchemeHandler(dir / "no-such-folder", lookUp).answer("quillstone://app/")->status, 404);
  const SchemeHandler handler(web(), lookUp);
  for (std::string_view uri : {"", "index.html", "/index.html", "1x://app/"}) {
    EXPECT_FALSE(handler.answer(uri)) << uri;
  }
}

}  // namespace
}  // namespace qs::windows
