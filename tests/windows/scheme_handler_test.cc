#include "windows/scheme_handler.h"

#include <gtest/gtest.h>

#include <map>

#include "core/identity.h"
#include "support/temp_dir.h"

namespace qs::windows {
namespace {

namespace fs = std::filesystem;
using qs::testing::TempDir;
using qs::testing::write_text;
using Headers = std::vector<std::pair<std::string, std::string>>;

std::string lookUp(std::string_view extension) {
  static const std::map<std::string, std::string, std::less<>> kTypes = {
      {"html", "text/html"},
      {"css", "text/css"},
      {"js", "application/javascript"},
      {"mjs", "application/javascript"},
      {"png", "image/png"},
  };
  const auto found = kTypes.find(extension);
  return found == kTypes.end() ? std::string(kUnknownMimeType) : found->second;
}

class SchemeHandlerTest : public ::testing::Test {
 protected:
  SchemeHandlerTest() {
    write_text(web() / "index.html", "<!doctype html>");
    write_text(web() / "app.js", "export {}");
    write_text(web() / "parts" / "view.mjs", "export {}");
    write_text(web() / "style.css", "body{}");
    write_text(web() / "LICENSE", "text");
    write_text(web() / "data.xyz", "x");
    write_text(web() / "empty.png", "");
    write_text(dir / "secret.txt", "outside");
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
  const SchemeHandler::Response response = answer("quillstone://app/style.css");
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "body{}");
  EXPECT_EQ(response.headers, (Headers{
                                  {"Content-Type", "text/css; charset=utf-8"},
                                  {"Content-Length", "6"},
                                  {"Cache-Control", "no-cache"},
                                  {"Content-Security-Policy", contentSecurityPolicy()},
                                  {"Access-Control-Allow-Origin", "quillstone://app"},
                              }));
  EXPECT_EQ(answer("quillstone://app/empty.png").headers.at(1),
            (std::pair<std::string, std::string>{"Content-Length", "0"}));
}

// The home is index.html under any host, query or fragment; the type comes from the extension;
// links that stay inside are followed.
TEST_F(SchemeHandlerTest, FilesInsideTheWebFolderAreServedWithTheirType) {
  fs::create_symlink(web() / "style.css", web() / "alias.css");
  write_text(web() / "%2e%2e" / "secret.txt", "inside");  // encoded once, decoded once
  const std::string html = "text/html; charset=utf-8", js = "text/javascript; charset=utf-8",
                    other = "application/octet-stream";
  const std::vector<std::tuple<std::string_view, std::string, std::string>> cases = {
      {"quillstone://app/", "<!doctype html>", html},
      {"quillstone://app", "<!doctype html>", html},
      {"quillstone://app/index.html", "<!doctype html>", html},
      {"quillstone://other/index.html", "<!doctype html>", html},
      {"quillstone://app/index.html?x=1#top", "<!doctype html>", html},
      {"quillstone://app/?a/../../secret.txt", "<!doctype html>", html},
      {"quillstone://app#/../secret.txt", "<!doctype html>", html},
      {"quillstone://app/%69ndex.html", "<!doctype html>", html},
      {"quillstone:", "<!doctype html>", html},
      {"quillstone://app//index.html", "<!doctype html>", html},
      {identity::kHome, "<!doctype html>", html},
      {"quillstone://app/app.js", "export {}", js},
      {"quillstone://app/parts/view.mjs", "export {}", js},
      {"quillstone://app/empty.png", "", "image/png"},
      {"quillstone://app/LICENSE", "text", other},
      {"quillstone://app/data.xyz", "x", other},
      {"quillstone://app/alias.css", "body{}", "text/css; charset=utf-8"},
      {"quillstone://app/%252e%252e/secret.txt", "inside", other},
  };
  for (const auto& [uri, body, type] : cases) {
    const SchemeHandler::Response response = answer(uri);
    EXPECT_EQ(response.status, 200) << uri;
    EXPECT_EQ(response.body, body) << uri;
    EXPECT_EQ(response.headers.empty() ? "" : response.headers.front().second, type) << uri;
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
  fs::create_directory_symlink(dir.path(), web() / "up");
  for (std::string_view uri : {
           "quillstone://app/../secret.txt",
           "quillstone://app/parts/../../secret.txt",
           "quillstone://app/%2e%2e/secret.txt",
           "quillstone://app/%2E%2E/secret.txt",
           "quillstone://app/..%2fsecret.txt",
           "quillstone://app/%2e%2e%2f%2e%2e%2fsecret.txt",
           "quillstone://app/linked.txt",
           "quillstone://app/up/secret.txt",
           "quillstone://app/index.html%00.png",
           "quillstone://app/missing.js",
           "quillstone://app/parts",
           "quillstone://app/parts/",
           "quillstone://app/index.html/",
           "quillstone://app/.",
           "quillstone://app/100%",
       }) {
    const SchemeHandler::Response response = answer(uri);
    EXPECT_EQ(response.status, 404) << uri;
    EXPECT_EQ(response.headers, (Headers{{"Content-Type", "text/plain"}})) << uri;
    EXPECT_EQ(response.body, "Not found") << uri;
  }
  EXPECT_EQ(SchemeHandler(dir / "no-such-folder", lookUp).answer("quillstone://app/")->status, 404);
  const SchemeHandler handler(web(), lookUp);
  for (std::string_view uri : {"", "index.html", "/index.html", "://app/", "1x://app/"}) {
    EXPECT_FALSE(handler.answer(uri)) << uri;
  }
}

TEST(SchemeContentSecurityPolicyTest, IsTheElevenDirectivesInOrder) {
  EXPECT_EQ(contentSecurityPolicy(),
            "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
            "img-src 'self' data: blob: https:; font-src 'self' data:; "
            "media-src 'self' blob: data:; worker-src 'self' blob:; "
            "connect-src 'self' blob: data: https://api.openai.com https://api.anthropic.com "
            "https://openrouter.ai https://compute-1.quillstone.app https://quillstone.app "
            "https://db.quillstone.app https://auth.quillstone.app https://api.quillstone.app "
            "https://compute-2.quillstone.app https://compute-3.quillstone.app; "
            "object-src 'none'; frame-src 'none'; base-uri 'none'");
}

}  // namespace
}  // namespace qs::windows
