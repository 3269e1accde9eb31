// The import's open panels under a display (the test command gives this one a virtual display of
// its own; without one it is skipped).
#include <gtest/gtest.h>

#include "auth/desktop_support.h"
#include "import/import_flow_gtk.h"

namespace qs {
namespace {

// A panel is the only owner of the filter it was given: once the panel goes, so does the filter.
TEST(ImportPanelTest, APanelLetsGoOfItsFilter) {
  if (!gtk_init_check()) GTEST_SKIP() << "no display";
  GtkFileFilter* filter = gtk_file_filter_new();
  gpointer watched = filter;
  g_object_add_weak_pointer(G_OBJECT(filter), &watched);
  GtkFileChooserNative* panel = newOpenPanel(nullptr, "Import", "Import", filter, true, {});
  EXPECT_EQ(gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(panel)), filter);
  g_object_unref(panel);
  EXPECT_TRUE(testing::spinUntil([&] { return watched == nullptr; }));
  if (watched) g_object_remove_weak_pointer(G_OBJECT(filter), &watched);
}

}  // namespace
}  // namespace qs
