// Messages from the page, through the dispatcher to a real library: up to four messages, cut at
// "\n--\n", each JSON text as the web view hands it over. Every message gets exactly one reply,
// every value replied is JSON the page can read, and the records of a write that answered true
// are on disk as they were sent.

#include "bridge/host_messages.h"

#include <map>
#include <thread>

#include "fuzz_target.h"
#include "library/library.h"
#include "windows/context_menu.h"
#include "windows/document_window.h"

using namespace qs;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kAppPage = "quillstone://app/index.html";

// A window without a screen that hands what it is given to the code a real window hands it to.
struct Window final : bridge::HeadlessWindow {
  void setPageMenu(json::array items, std::chrono::steady_clock::time_point) override {
    (void)windows::pageItems(items);
  }
  void saveFile(std::string, std::string dataURL) override {
    (void)windows::savedFileBytes(dataURL);
  }
  void applyChrome(const json::object& message) override {
    if (auto bg = json::findString(message, "bg")) (void)windows::color(*bg);
  }
};

// What the library should hold after a write that answered true: id → its last doc, or none
// when its last record deleted it.
std::map<std::string, std::optional<json::value>> expectedAfter(const json::object& message) {
  std::map<std::string, std::optional<json::value>> out;
  const json::object* batch = json::findObject(message, "batch");
  const json::array* docs = batch ? json::findArray(*batch, "docs") : nullptr;
  if (!docs) return out;
  for (const auto& entry : *docs) {
    const json::object& record = entry.as_object();  // a reply of true means each one was
    const auto id = json::findString(record, "id");
    if (!id) continue;
    const json::value* deleted = record.if_contains("deleted");
    if (deleted && deleted->is_bool() && deleted->get_bool()) {
      out[std::string(*id)] = std::nullopt;
    } else {
      out[std::string(*id)] = record.at("doc");
    }
  }
  return out;
}

}  // namespace

QS_FUZZ_TARGET(host_messages) {
  static fuzz::Scratch scratch;
  const fs::path dir = scratch.fresh();
  library::Library lib(dir / "Writing", dir / "Support", {});
  ManualEventLoop main;
  // A pool per input, stopped before what its work touches goes: its threads' library state
  // (OpenSSL's among it) goes with them, so nothing looks leaked at the end.
  WorkerPool pool(2);
  Window window;
  bridge::HostDispatcher dispatcher(lib, dir / "Support", main, pool, window);

  for (std::string_view text : fuzz::pieces(input, 4)) {
    if (text.empty()) continue;
    const json::value body = json::parse(text).value_or(nullptr);
    int replies = 0;
    std::optional<bridge::PlatformReply> reply;
    bridge::receive(&dispatcher, body, kAppPage, true, [&](bridge::PlatformReply r) {
      ++replies;
      reply = std::move(r);
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reply && std::chrono::steady_clock::now() < limit) {
      main.runPending();
      if (!reply) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    main.runPending();
    QS_FUZZ_CHECK(replies == 1, "every message gets exactly one reply");
    QS_FUZZ_CHECK(reply->error.has_value() == reply->value.is_null(),
                  "a reply is a value or an error");
    if (reply->error) continue;
    std::string_view encoded;
    if (reply->value.is_string()) encoded = reply->value.get_string();
    QS_FUZZ_CHECK(encoded.starts_with(bridge::kReplyMark), "a value travels as JSON text");
    const auto value = json::parse(encoded.substr(1));
    QS_FUZZ_CHECK(value, "the page can read every value replied");

    const json::object& message = body.as_object();
    if (json::findString(message, "op") != std::optional<std::string_view>("write") ||
        *value != json::value(true)) {
      continue;
    }
    for (const auto& [id, doc] : expectedAfter(message)) {
      const auto package = lib.url(id);
      if (!doc) {
        QS_FUZZ_CHECK(!package, "a deleted document is gone from the library");
        continue;
      }
      const auto record = package ? library::readRecord(*package) : std::nullopt;
      QS_FUZZ_CHECK(record && fuzz::sameJSON(record->at("doc"), *doc),
                    "a written document reads back as it was sent");
    }
  }
  pool.stop();
}
