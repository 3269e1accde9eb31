// quillstone-cli render: one rendering of a document, given as a doc object or as a whole
// "document.json" envelope. When the file sits in a package, its image references are restored
// from the package's images folder first, as the library does when it reads the package.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include "cli/commands.h"
#include "core/file_io.h"
#include "core/json.h"
#include "library/images.h"
#include "library/package.h"
#include "preview/preview.h"

namespace qs::cli {

namespace {

namespace fs = std::filesystem;

enum class Rendering { kMarkdown, kHTML, kTitle, kFirstWords, kThumbnail };

}  // namespace

int render(const std::vector<std::string_view>& args) {
  std::optional<Rendering> rendering;
  std::string output;
  double size = 512;
  std::optional<std::string> input;
  auto set = [&](Rendering r) {
    if (rendering) return false;
    rendering = r;
    return true;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view a = args[i];
    bool ok = true;
    if (a == "--markdown") {
      ok = set(Rendering::kMarkdown);
    } else if (a == "--html") {
      ok = set(Rendering::kHTML);
    } else if (a == "--title") {
      ok = set(Rendering::kTitle);
    } else if (a == "--first-words") {
      ok = set(Rendering::kFirstWords);
    } else if (a == "--thumbnail") {
      if (i + 1 >= args.size()) return usage("render", "--thumbnail needs an output file");
      ok = set(Rendering::kThumbnail);
      output = std::string(args[++i]);
    } else if (a == "--size") {
      if (i + 1 >= args.size()) return usage("render", "--size needs a number");
      const std::string n(args[++i]);
      char* end = nullptr;
      size = std::strtod(n.c_str(), &end);
      if (end == n.c_str() || *end != '\0' || !(size >= 1 && size <= 8192)) {
        return usage("render", "--size must be a number of pixels from 1 to 8192");
      }
    } else if (a.size() > 1 && a.starts_with("-")) {
      return usage("render", "unknown option " + std::string(a));
    } else if (input) {
      return usage("render", "only one input file may be given");
    } else {
      input = std::string(a);
    }
    if (!ok)
      return usage("render", "give one of --markdown, --html, --title, --first-words, --thumbnail");
  }
  if (!rendering)
    return usage("render", "give one of --markdown, --html, --title, --first-words, --thumbnail");

  std::string text;
  std::optional<fs::path> package;
  if (!input || *input == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    auto data = file_io::readFile(*input);
    if (!data) return fail("couldn't read " + *input);
    text = std::move(*data);
    const fs::path folder = fs::absolute(fs::path(*input)).parent_path();
    if (folder.extension() == library::kPackageExtension) package = folder;
  }

  auto parsed = json::parse(text);
  if (!parsed) return fail("the input isn't JSON");
  if (!parsed->is_object()) return fail("the input isn't a JSON object");
  json::value doc = *parsed;
  // A whole envelope carries the doc in "doc"; a bare doc is used as it is.
  if (const json::object* inner = json::findObject(parsed->get_object(), "doc");
      inner && json::findString(parsed->get_object(), "format")) {
    doc = *inner;
  }
  if (package) doc = images::restoreImages(doc, *package);

  Preview preview(doc.get_object());
  switch (*rendering) {
    case Rendering::kMarkdown:
      std::cout << preview.markdown();
      break;
    case Rendering::kHTML:
      std::cout << preview.html() << "\n";
      break;
    case Rendering::kTitle:
      std::cout << preview.title() << "\n";
      break;
    case Rendering::kFirstWords:
      if (auto words = Preview::firstWords(preview.doc())) std::cout << *words << "\n";
      break;
    case Rendering::kThumbnail: {
      auto png = preview.thumbnailPNG(size);
      if (!png) return fail("couldn't draw the thumbnail");
      std::string error;
      if (!file_io::writeAtomically(output, *png, file_io::Durability::kSurvivesCrash, &error)) {
        return fail(error);
      }
      break;
    }
  }
  std::cout.flush();
  return std::cout ? kOK : fail("couldn't write the output");
}

}  // namespace qs::cli
