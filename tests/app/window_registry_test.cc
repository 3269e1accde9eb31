#include "app/window_registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "app/accessibility.h"
#include "app/activation.h"
#include "app/environment.h"
#include "app/spelling.h"
#include "platform/prefs.h"
#include "support/temp_dir.h"

namespace qs::app {
namespace {

class FakeWindow : public RegisteredWindow {
 public:
  FakeWindow(std::optional<std::string> doc, bool loaded) : doc_(std::move(doc)), loaded_(loaded) {}
  std::optional<std::string> docID() const override { return doc_; }
  bool loaded() const override { return loaded_; }
  bool hasWindow() const override { return true; }
  std::string frameText() const override { return "{{0, 0}, {900, 700}}"; }
  void settle(std::function<void()> done) override { pending.push_back(std::move(done)); }
  void enqueueExternal(json::array records) override { received.push_back(std::move(records)); }

  std::vector<std::function<void()>> pending;
  std::vector<json::array> received;

 private:
  std::optional<std::string> doc_;
  bool loaded_;
};

// The windows saved at quit and their sizes over launches are seen end to end (run_e2e,
// shell_e2e).
TEST(WindowRegistryTest, RecordsGoToEveryOtherWindowAndQuitSettlesAndSavesLoadedOnes) {
  qs::testing::TempDir dir;
  Prefs prefs(dir / "settings.json");
  WindowRegistry registry(&prefs);
  auto a = std::make_shared<FakeWindow>("a", true);
  auto b = std::make_shared<FakeWindow>("gone", false);
  auto c = std::make_shared<FakeWindow>(std::nullopt, true);
  for (const auto& w : {a, b, c}) registry.add(w);
  registry.wrote(json::array{json::object{{"id", "a"}}}, a.get());
  EXPECT_TRUE(a->received.empty());
  EXPECT_EQ(b->received.size() + c->received.size(), 2u);
  EXPECT_EQ(registry.showing("a"), a);

  bool done = false;
  registry.terminate([&] { done = true; });
  EXPECT_TRUE(registry.quitting());
  EXPECT_TRUE(b->pending.empty());  // still loading: doesn't hold up the quit
  a->pending.at(0)();
  registry.closed(a.get());  // closing during a quit leaves the saved list alone
  EXPECT_FALSE(done);
  c->pending.at(0)();
  EXPECT_TRUE(done);
  // A document that is gone opens a window without it.
  auto saved = registry.savedWindows([](const std::string& id) { return id == "a"; });
  ASSERT_TRUE(saved && saved->size() == 3);
  EXPECT_EQ(std::tuple((*saved)[0].docID, (*saved)[1].docID, (*saved)[0].size->width),
            std::tuple(std::optional<std::string>("a"), std::nullopt, 900));

  (void)prefs.set("openWindows", json::parse(R"([{"doc":5,"frame":"junk"},{}])")->as_array());
  saved = registry.savedWindows([](const std::string&) { return true; });
  ASSERT_TRUE(saved && saved->size() == 2);  // malformed entries open windows without their size
  EXPECT_FALSE((*saved)[0].size);
  (void)prefs.set("openWindows", json::parse(R"([1])")->as_array());
  EXPECT_FALSE(registry.savedWindows([](const std::string&) { return true; }));

  EXPECT_EQ(parseFrame("{{-5.5,0},{300.5,200}}")->width, 300);
  EXPECT_FALSE(parseFrame("{{0, 0}, {0, 10}}") || parseFrame("1280x820"));
  EXPECT_EQ((std::vector{openKind("/a/Doc.quillstone"), openKind("/a/Doc.QUILLSTONE"),
                         openKind("/a/Notes.MD"), openKind("/a/backup.JSON")}),
            (std::vector{OpenKind::kPackage, OpenKind::kIgnored, OpenKind::kImportable,
                         OpenKind::kMaybeBackup}));
}

TEST(LaunchTest, TheLaunchersTokenReachesThePresentWithItsTime) {
  using O = std::optional<std::string_view>;
  const std::string longest(256, 'x');
  for (const auto& [token, startup, expected] :
       std::vector<std::tuple<O, O, std::optional<Activation>>>{
           // Wayland's token first; X11's startup id carries the launch's time.
           {"wl-token-1", "gnome-shell-1234_TIME5678", Activation{"wl-token-1", 0}},
           {std::nullopt, "gnome-shell-1234_TIME5678",
            Activation{"gnome-shell-1234_TIME5678", 5678}},
           // The desktop's search sends a time alone, which is no token on Wayland.
           {"", "_TIME42", Activation{"_TIME42", 42, true}},
           // A time that isn't one leaves the token without it.
           {std::nullopt, "x_TIME12ab", Activation{"x_TIME12ab", 0}},
           {std::nullopt, "x_TIME99999999999", Activation{"x_TIME99999999999", 0}},
           // What no launcher makes is passed over: too long, spaces, controls, non-ASCII.
           {longest + "y", std::nullopt, std::nullopt},
           {longest, std::nullopt, Activation{longest, 0}},
           {"line\nbreak", "ok", Activation{"ok", 0}},
           {"caf\xc3\xa9", std::nullopt, std::nullopt}}) {
    EXPECT_EQ(activationFrom(token, startup), expected) << (token ? *token : "-");
  }

  // Development stores must be UUIDs.
  for (const char* store :
       {"0F8FAD5B-D9CB-469F-A165-70867728950E", "dev", "0f8fad5bd9cb469fa16570867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950e0", "0f8fad5b-d9cb-469f-a165-7086772895zz", ""}) {
    setenv("QUILLSTONE_DEV_STORE", store, 1);
    EXPECT_EQ(developmentStore(), store[0] == '0' && store[1] == 'F'
                                      ? std::optional("0f8fad5b-d9cb-469f-a165-70867728950e")
                                      : std::nullopt)
        << store;
  }
  unsetenv("QUILLSTONE_DEV_STORE");
  EXPECT_FALSE(developmentStore());

  // Buttons are named as they read, "__" an underscore (an alert named by its message is
  // accessibility_e2e's); spelling is on unless turned off, in the locale's languages.
  EXPECT_EQ(withoutMnemonic("Choose _Backup") + withoutMnemonic("__init") + withoutMnemonic("a_"),
            "Choose Backup_inita_");
  qs::testing::TempDir dir;
  Prefs prefs(dir.path() / "settings.json");
  ASSERT_TRUE(prefs.set(kSpellCheckingKey, "false"));  // only the boolean turns it off
  EXPECT_TRUE(spellCheckingEnabled(prefs));
  EXPECT_EQ(spellingLanguages({"sr_RS@latin", "sr_RS", "sr@latin", "sr", "C"}),
            (std::vector<std::string>{"sr_RS", "sr"}));
  EXPECT_EQ(spellingLanguages({"POSIX", ".UTF-8"}), (std::vector<std::string>{"en_US"}));
}

}  // namespace
}  // namespace qs::app
