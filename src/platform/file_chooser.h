// What every file chooser here does with paths: where it starts, and what was chosen in it.
// Main thread only.
#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <optional>
#include <vector>

namespace qs {

// Opens `chooser` on `folder`.
void startIn(GtkFileChooser* chooser, const std::filesystem::path& folder);

// The file chosen, or each file chosen where several may be, as local paths; a choice without
// one is left out.
std::optional<std::filesystem::path> chosenPath(GtkFileChooser* chooser);
std::vector<std::filesystem::path> chosenPaths(GtkFileChooser* chooser);

}  // namespace qs
