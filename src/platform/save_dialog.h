// Asking where to save: a modal save dialog over `parent`, starting in the Downloads folder.
// Main thread only; `chosen` is called once, with the path or with none when cancelled.
#pragma once

#include <gtk/gtk.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace qs {

void askWhereToSave(GtkWindow* parent, const std::string& suggested_name,
                    std::function<void(std::optional<std::filesystem::path>)> chosen);

}  // namespace qs
