// The answer to "open" is written from each document's text as read, and kept for the next
// "open". It must stay byte for byte the answer the library gave when it built the whole
// workspace as a value and wrote that out: the digests below are of the answers that build gave
// for this workspace (c1c7ba7), from `quillstone-cli open` and as the page decodes its reply.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "cli/cli_runner.h"
#include "core/digest.h"
#include "core/json.h"
#include "library/library.h"
#include "support/temp_dir.h"

namespace qs::library {
namespace {

using qs::testing::runCLI;
using qs::testing::TempDir;
using qs::testing::writeText;

// Taken from the answers before open read each document once, with one change made since on
// purpose: a negative zero is written "0", as JavaScript writes it ("-0" read back as the integer
// 0 and was written differently the second time). The workspace holds no second package of a
// document and no package still arriving, which "open" now settles or holds back: these are the
// digests the build before that change (4cbabf8) gives for it.
constexpr std::string_view kOpenDigest =
    "554e8186ba102138c39b79b11d9ecc87481d366c3756514c132b5875783c0925";
constexpr std::string_view kPageDigest =
    "409b2596ac2f738ada6bf7628bb5337fbf6cb76a4657411f23e55e787944138b";

std::string sha256(std::string_view bytes) {
  auto d = digest::sha256(bytes);
  return digest::hex(d.data(), d.size());
}

std::string envelope(std::string_view doc, std::string_view rest = R"("record":{"rev":3})") {
  return R"({"app":"elsewhere","format":"quillstone/document","schema":3,"version":1,"doc":)" +
         std::string(doc) + (rest.empty() ? "" : ",") + std::string(rest) + "}";
}

// Words, marks, bullets and numbers in the shapes documents have, from a fixed seed.
std::string generatedDoc(std::mt19937& rng, int i) {
  static const char* words[] = {"harbour", "light",     "caf\u00e9",   "\u201cquoted\u201d", "the",
                                "a\\b",    "tab\there", "line\nbreak", "\U0001F30A",         "x"};
  json::array nodes;
  for (int n = static_cast<int>(rng() % 6); n >= 0; --n) {
    json::array content;
    for (int r = static_cast<int>(rng() % 4); r >= 0; --r) {
      std::string text;
      for (int w = static_cast<int>(rng() % 12); w >= 0; --w)
        text += words[rng() % 10] + std::string(" ");
      json::object run{{"text", text}};
      if (rng() % 4 == 0) run["marks"] = json::array{"bold", "italic"};
      content.push_back(std::move(run));
    }
    json::object node{{"id", "n" + std::to_string(n)}, {"content", std::move(content)}};
    if (rng() % 3 == 0)
      node["children"] =
          json::array{json::object{{"id", "b" + std::to_string(n)},
                                   {"ai", rng() % 2 == 0},
                                   {"content", json::array{json::object{{"text", "under"}}}}}};
    nodes.push_back(std::move(node));
  }
  json::object doc{
      {"id", "g-" + std::to_string(i)},
      {"title", i % 7 == 0 ? "" : "Title " + std::to_string(i)},
      {"created", rng() % 5 == 0 ? json::value(1.7e12 + (rng() % 1000) / 8.0)
                                 : json::value(std::int64_t{1700000000000} + rng() % 100)},
      {"updated", std::int64_t{1700000000000}},
      {"nodes", std::move(nodes)}};
  return json::pretty(doc).value();
}

// Everything a writing folder may hold that the answer shows: documents of every shape, copies,
// links, damaged and foreign packages, an image restored and one missing, a workspace order.
void buildWorkspace(const fs::path& dir) {
  const fs::path root = dir / "Writing", support = dir / "Support";
  auto put = [](const fs::path& package, auto text) { writeText(package / "document.json", text); };
  put(root / "Alpha.quillstone", envelope(R"({"id":"a-1","title":"Alpha \u00e9\/ \u0001",
      "nodes":[{"id":"n","content":[{"text":"caf\u00e9 \u201cquotes\u201d \ud83c\udf0a \"q\" \\ \t"}]}],
      "created":1700000000123,"updated":1.5,"z":-0.0,"big":18446744073709551615,
      "neg":-9223372036854775808,"e":1E21,"small":1.5e-7,"frac":0.10,"n":null,"t":true})",
                                          R"("record":{"rev":7,"updated":1})"));
  std::string deep = R"("bottom")";
  for (int i = 0; i < 60; ++i) deep = R"({"d":[)" + deep + "]}";
  put(root / "Beta.quillstone", envelope(R"({"id":"b-2","created":5.5,"deep":)" + deep + "}", ""));
  put(root / "Gamma.quillstone",
      envelope(
          R"({"id":"c-3","nodes":[{"image":"quillstone-image:images/0123456789abcdef0123.png#image/png;base64"},
                   {"image":"quillstone-image:images/missing.png#image/png;base64"}]})",
          R"("record":{"rev":"x"})"));
  writeText(root / "Gamma.quillstone/images/0123456789abcdef0123.png", "\x89PNG fake bytes");
  put(root / "Delta.quillstone", envelope(R"({"id":"d-4","title":"Delta"})"));
  put(root / "Epsilon.quillstone", envelope(R"({"id":"e-5","title":"E"})"));
  put(root / "NotDoc.quillstone", R"({"hello":1})");
  put(root / "Broken.quillstone", R"({not json)");
  put(root / "Infinite.quillstone", envelope(R"({"id":"i-9","created":1e999})"));
  put(root / "WrongFormat.quillstone", R"({"format":"other","doc":{"id":"f-6"}})");
  fs::create_symlink(root / "Alpha.quillstone", root / "Link.quillstone");
  put(root / "Reserved.quillstone", envelope(R"({"id":"_secret"})"));
  put(root / "BadId.quillstone", envelope(R"({"id":"bad id!"})"));
  put(root / "Bad\xff.quillstone", R"({"doc":{}})");
  put(root /
          "\xc3\x9c"
          "ber.quillstone",
      envelope(R"({"id":"u-8","title":"\u00dcber"})"));
  writeText(root / ".Hidden.quillstone.icloud", "");
  put(root / "Old/Inner.quillstone", envelope(R"({"id":"o-1"})"));
  put(root / "Archive/Zeta.quillstone", envelope(R"({"id":"z-7","archived":true})"));
  put(support / "reserved/_pretext.quillstone", envelope(R"({"id":"_pretext","text":"p"})"));
  std::mt19937 rng(14);
  json::array order{"z-7", "c-3", "nowhere", "c-3", "a-1"};
  for (int i = 0; i < 120; ++i) {
    put(root / ("Generated " + std::to_string(i) + ".quillstone"),
        envelope(generatedDoc(rng, i), R"("record":{"rev":)" + std::to_string(i) + "}"));
    if (i % 3 == 0) order.emplace_back("g-" + std::to_string((i * 7) % 120));
  }
  writeText(support / "workspace.json",
            json::pretty(json::object{{"schema", 3},
                                      {"order", order},
                                      {"ui", json::object{{"theme", "dark"}, {"w", 1.25}}},
                                      {"groups", json::array{"g\u00e9"}},
                                      {"workspace", json::object{{"name", "Mine \u270d\ufe0f"}}}})
                .value());
  writeText(support / "pretext.json", R"({"pretext":{"text":"before \u201cwords\u201d"}})");
  writeText(support / "ledger.json",
            json::pretty(json::object{{"e-5", (root / "Epsilon.quillstone").string()}}).value());
}

TEST(OpenAnswerTest, TheToolAndThePageGetTheBytesTheyGotBefore) {
  TempDir dir;
  buildWorkspace(dir.path());
  const fs::path root = dir / "Writing", support = dir / "Support";
  const std::map<std::string, std::string> environment{
      {"QUILLSTONE_DEBUG", "1"}, {"XDG_CONFIG_HOME", (dir / "config").string()}};
  std::vector<std::string> args{"--root", root.string(), "--support", support.string(), "open"};
  const auto tool = runCLI(args, "", environment);
  ASSERT_EQ(tool.status, 0) << tool.err;
  EXPECT_EQ(sha256(tool.out), kOpenDigest);

  args.back() = "bridge";
  const auto bridge = runCLI(args, "{\"op\":\"open\"}\n", environment);
  ASSERT_EQ(bridge.status, 0) << bridge.err;
  auto line = json::parse(bridge.out);
  ASSERT_TRUE(line && line->is_object()) << bridge.out.substr(0, 200);
  const std::string_view raw = line->at("value").as_string();
  ASSERT_TRUE(raw.starts_with("\x1e"));
  const std::string page(raw.substr(1));
  EXPECT_EQ(sha256(page), kPageDigest);

  // In the process: the same from a library that starts on a thread of its own, and again from
  // what it kept.
  Library lib(root, support, {}, Library::Start::kInBackground);
  auto answer = [&](json::NonAscii form) {
    std::string out;
    lib.openWorkspaceText(out, form);
    return out;
  };
  EXPECT_EQ(answer(json::NonAscii::kEscaped), page);
  EXPECT_EQ(answer(json::NonAscii::kLiteral) + "\n", tool.out);
  EXPECT_EQ(answer(json::NonAscii::kEscaped), page);

  // The answer written ahead at the start: the same bytes; after an outside change, never the
  // stale one.
  Library::Services services;
  services.open_ahead = Library::Services::OpenAhead{"\x1e", json::NonAscii::kEscaped};
  for (const bool changed : {false, true}) {
    Library ahead(root, support, services, Library::Start::kInBackground);
    (void)ahead.ledger();  // the answer is written by now
    if (changed) writeText(root / "Delta.quillstone/document.json", envelope(R"({"id":"d-4"})"));
    EXPECT_EQ(ahead.externalChanges().size(), changed ? 1u : 0u);
    std::string given = "\x1e";
    ahead.openWorkspaceText(given, json::NonAscii::kEscaped);
    EXPECT_EQ(given == "\x1e" + page, !changed);
    EXPECT_EQ(given.find(R"("title":"Delta")") == std::string::npos, changed);
  }
}

}  // namespace
}  // namespace qs::library
