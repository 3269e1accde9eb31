// quillstone-bench-backup: whole-workspace backups for the import benchmark.
//
//   quillstone-bench-backup make --out FILE --count N [--size WORDS] [--seed S]
//                                [--image-bytes B] [--captures C] [--batch FILE]
//   quillstone-bench-backup parse FILE
//
// `make` writes a backup of the synthetic documents of workspace_generator (document i is the
// same as in a generated workspace), each given one more embedded PNG of about B bytes when B
// is set, with C image captures of B bytes; `--batch` also writes the same documents as one
// write batch for `quillstone-cli write`. It streams the file, so a backup near 400 MB is made
// in little memory. `parse` reads a file and parses it whole, once, the floor an import can't
// go under; it prints the seconds. Exit status 0, 1 on a failure, 2 on a usage error.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string_view>

#include "bench/workspace_generator.h"
#include "core/digest.h"
#include "core/file_io.h"

namespace {

using namespace qs;

template <typename T>
std::optional<T> number(std::string_view text) {
  T value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int usage(std::string_view why) {
  std::fprintf(stderr,
               "quillstone-bench-backup: %.*s\n"
               "usage: quillstone-bench-backup make --out FILE --count N [--size WORDS] "
               "[--seed S] [--image-bytes B] [--captures C] [--batch FILE]\n"
               "       quillstone-bench-backup parse FILE\n",
               static_cast<int>(why.size()), why.data());
  return 2;
}

// A PNG data URL of about `bytes` bytes of random data behind the signature.
std::string image(std::size_t bytes, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string raw = "\x89PNG\r\n\x1a\n";
  while (raw.size() < bytes) raw.push_back(static_cast<char>(random()));
  return "data:image/png;base64," + digest::base64Encode(raw);
}

int make(const std::vector<std::string_view>& args) {
  std::string out, batch;
  std::optional<std::size_t> count;
  int size = 300;
  std::uint64_t seed = 1;
  std::size_t image_bytes = 0, captures = 0;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return usage(std::string(args[i]) + " needs a value");
    const std::string_view flag = args[i], value = args[i + 1];
    if (flag == "--out") {
      out = value;
    } else if (flag == "--batch") {
      batch = value;
    } else if (flag == "--count") {
      count = number<std::size_t>(value);
    } else if (flag == "--size" && number<int>(value)) {
      size = *number<int>(value);
    } else if (flag == "--seed" && number<std::uint64_t>(value)) {
      seed = *number<std::uint64_t>(value);
    } else if (flag == "--image-bytes" && number<std::size_t>(value)) {
      image_bytes = *number<std::size_t>(value);
    } else if (flag == "--captures" && number<std::size_t>(value)) {
      captures = *number<std::size_t>(value);
    } else {
      return usage("bad option " + std::string(flag));
    }
  }
  if (out.empty() || !count) return usage("--out and --count are needed");
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  std::ofstream records;
  if (!batch.empty()) records.open(batch, std::ios::binary | std::ios::trunc);
  file << R"({"format":"quillstone/backup","version":1,"schema":3,"docs":[)";
  if (records.is_open()) records << R"({"docs":[)";
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < *count; ++i) {
    json::object doc = bench::makeDocument(i, size, seed);
    if (image_bytes) {
      doc["nodes"].as_array().push_back(json::object{
          {"id", "picture"}, {"type", "image"}, {"src", image(image_bytes, seed + i)}});
    }
    ids.emplace_back(doc.at("id").as_string());
    file << (i ? "," : "") << json::compact(doc).value_or("null");
    if (records.is_open()) {
      records << (i ? "," : "") << json::compact(bench::recordFor(doc, 1)).value_or("null");
    }
  }
  json::object workspace{{"id", "bench"}};
  json::array order;
  for (const auto& id : ids) order.push_back(json::value(id));
  file << R"(],"workspace":)" << *json::compact(workspace)
       << R"(,"groups":[{"id":"g1","name":"Drafts"}],"ui":{},"pretext":{"sections":[],"items":[]})"
       << R"(,"images":{)";
  for (std::size_t c = 0; c < captures; ++c) {
    file << (c ? "," : "") << "\"capture-" << c << "\":\"" << image(image_bytes, ~c) << "\"";
  }
  file << "}}";
  if (records.is_open()) {
    records << R"(],"meta":)"
            << *json::compact(json::object{
                   {"key", "workspace"}, {"schema", 3}, {"workspace", workspace}, {"order", order}})
            << "}";
  }
  file.close();
  if (!file) return 1;
  std::error_code ec;
  std::cout << json::compact(json::object{{"documents", *count},
                                          {"bytes", std::filesystem::file_size(out, ec)}})
                   .value_or("{}")
            << "\n";
  return 0;
}

int parse(const std::vector<std::string_view>& args) {
  if (args.size() != 1) return usage("parse needs a file");
  const auto start = std::chrono::steady_clock::now();
  auto text = file_io::readFile(std::string(args[0]));
  if (!text) return 1;
  auto value = json::parse(*text);
  if (!value) return 1;
  std::printf("%.3f\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.empty()) return usage("needs make or parse");
  const std::string_view command = args[0];
  args.erase(args.begin());
  if (command == "make") return make(args);
  if (command == "parse") return parse(args);
  return usage("unknown command " + std::string(command));
}
