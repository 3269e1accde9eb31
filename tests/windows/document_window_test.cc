#include "windows/document_window.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace qs::windows {
namespace {

TEST(DocumentWindowTest, PageColoursAreReadLikeTheirCssText) {
  EXPECT_EQ(color("rgb(20 20 20)"), (Rgba{20 / 255.0, 20 / 255.0, 20 / 255.0, 1}));
  EXPECT_EQ(color("rgba(20, 20, 20, 0.4)")->alpha, 0.4);
  EXPECT_EQ(color("rgb(255 128 0 / 0.9)")->alpha, 0.9);
  EXPECT_FALSE(color("#141414"));
  EXPECT_FALSE(color("white"));
  EXPECT_FALSE(color("rgb(1, 2)"));
  EXPECT_EQ(color("rgb(1, x, 2, 3)"), (Rgba{1 / 255.0, 2 / 255.0, 3 / 255.0, 1}));
  // Out of range is clamped, as CSS does; what isn't a finite number is no colour.
  EXPECT_EQ(color("rgb(300 -4 255 / 5.5)"), (Rgba{1, 0, 1, 1}));
  EXPECT_FALSE(color("rgb(nan 0 0)"));
  EXPECT_FALSE(color("rgb(0 0 0 / 1e999)"));
  EXPECT_EQ(windowTitle(""), "Quillstone");
  EXPECT_EQ(windowTitle("Notes"), "Notes");
}

TEST(DocumentWindowTest, APageDragMovesTheWindowOnlyWhileItsPressIsHeld) {
  const PagePress left{1, 412.5, 30, 98765};
  struct Case {
    std::optional<PagePress> press;
    unsigned held;
    std::optional<MoveStart> move;
  };
  for (const auto& [press, held, move] : std::vector<Case>{
           {left, 0b1, MoveStart{1, 412.5, 30, 98765}},  // what GDK gets: button, place, time
           {left, 0b101, MoveStart{1, 412.5, 30, 98765}},
           {left, 0, std::nullopt},     // released before the page asked
           {left, 0b10, std::nullopt},  // another button is down
           {PagePress{3, 1, 2, 3}, 0b100, MoveStart{3, 1, 2, 3}},
           {PagePress{0, 1, 2, 3}, 0b11111, std::nullopt},
           {PagePress{6, 1, 2, 3}, ~0u, std::nullopt},
           {std::nullopt, ~0u, std::nullopt}}) {
    EXPECT_EQ(moveFrom(press, held), move) << held;
  }
  // The page's own tree reaches GTK's from 4.14 on; before, the web view stands in for it.
  EXPECT_FALSE(pageTreeReachable(4, 8));
  EXPECT_TRUE(pageTreeReachable(4, 14));
  EXPECT_TRUE(pageTreeReachable(5, 0));
}

TEST(DocumentWindowTest, NavigationsStayInThePageOrGoOutside) {
  auto decide = [](std::string uri, bool link, bool subframe = false, bool target = true) {
    return decideNavigation({uri, false, subframe, target, link});
  };
  EXPECT_EQ(decide("quillstone://app/index.html", false), Navigation::kAllow);
  EXPECT_EQ(decide("DATA:text/plain,x", true), Navigation::kAllow);
  EXPECT_EQ(decide("https://example.com/", true), Navigation::kOpenOutside);
  EXPECT_EQ(decide("https://example.com/", false, true), Navigation::kCancel);
  EXPECT_EQ(decide("https://example.com/", false, false, false), Navigation::kAllow);
  EXPECT_EQ(decide("", true), Navigation::kCancel);
  EXPECT_EQ(decideNavigation({"https://x/", true, false, true, true}), Navigation::kDownload);

  // What WebKitGTK tells of a navigation's frame: a frame's name as its target, or nothing the
  // user did behind it (a frame the page makes); a link, a form or a click goes outside.
  EXPECT_TRUE(targetsSubframe("notes-frame", true, true));
  EXPECT_FALSE(targetsSubframe("_TOP", true, false));
  EXPECT_FALSE(targetsSubframe("_self", false, true));
  EXPECT_TRUE(targetsSubframe("", false, false));
  EXPECT_FALSE(targetsSubframe("", true, false));
  EXPECT_FALSE(targetsSubframe("", false, true));

  EXPECT_EQ(outsideAction("HTTPS://example.com"), OutsideAction::kOpenInDefaultApp);
  EXPECT_EQ(outsideAction("mailto:a@b"), OutsideAction::kOpenInDefaultApp);
  EXPECT_EQ(outsideAction("file:///home/a/x.txt"), OutsideAction::kShowInFileViewer);
  EXPECT_EQ(outsideAction("ftp://x"), OutsideAction::kIgnore);
  EXPECT_EQ(outsideAction("no scheme"), OutsideAction::kIgnore);
  EXPECT_FALSE(newWindowGoesOutside("quillstone://app/other"));
  EXPECT_TRUE(newWindowGoesOutside("https://x"));
  EXPECT_TRUE(newWindowGoesOutside("relative/path"));
}

TEST(DocumentWindowTest, OfferedFilesMustBeBase64) {
  EXPECT_EQ(savedFileBytes("data:text/plain;base64,aGk="), "hi");
  EXPECT_EQ(savedFileBytes("anything,aGk="), "hi");  // the media type isn't looked at
  EXPECT_FALSE(savedFileBytes("data:text/plain,hello there"));
  EXPECT_FALSE(savedFileBytes("no comma"));
}

TEST(DocumentWindowTest, ClosingSettlesOnceAndIgnoresRepeatedRequests) {
  CloseGate gate;
  int closes = 0, settles = 0;
  std::function<void()> finish;
  auto settle = [&](std::function<void()> done) {
    ++settles;
    finish = std::move(done);
  };
  gate.request(true, settle, [&] { ++closes; });
  gate.request(true, settle, [&] { ++closes; });
  EXPECT_TRUE(gate.settling());
  EXPECT_EQ(settles, 1);
  EXPECT_EQ(closes, 0);
  finish();
  EXPECT_EQ(closes, 1);
  EXPECT_FALSE(gate.settling());

  CloseGate unloaded;
  unloaded.request(false, settle, [&] { ++closes; });
  EXPECT_EQ(closes, 2);
  EXPECT_EQ(settles, 1);  // a page that never loaded isn't asked
}

}  // namespace
}  // namespace qs::windows
