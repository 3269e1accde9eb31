#include "bridge/host_messages.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "core/launch_trace.h"
#include "core/system_log.h"
#include "library/images.h"
#include "library/library.h"

namespace qs::bridge {

namespace {

// Page text made safe for a log line: control characters are escaped, so a page can't start
// lines of its own in the journal.
std::string oneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
      static const char* hex = "0123456789abcdef";
      out += "\\u00";
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

const json::object kEmptyObject;

}  // namespace

json::NonAscii JSONText::form() {
  // Characters past ASCII go as \u escapes: an all-ASCII text reaches the page as a one-byte
  // string, half the size of the two-byte one a single curly quote would force, and a large
  // reply arrives sooner for it (bench/desktop). QUILLSTONE_REPLY_ASCII=0 sends the characters
  // themselves, for measuring the difference; read once.
  static const json::NonAscii form = [] {
    const char* setting = std::getenv("QUILLSTONE_REPLY_ASCII");
    return setting && std::string_view(setting) == "0" ? json::NonAscii::kLiteral
                                                       : json::NonAscii::kEscaped;
  }();
  return form;
}

std::optional<std::string> JSONText::text(const json::value* v) {
  if (!v || v->is_null()) return "null";
  return form() == json::NonAscii::kEscaped ? json::compactAscii(*v) : json::compact(*v);
}

PlatformReply encodeReply(PageReply reply) {
  if (reply.error) return {nullptr, std::move(reply.error)};
  if (reply.encoded) return {json::value(std::move(*reply.encoded)), std::nullopt};
  const json::value* value = reply.value ? &*reply.value : nullptr;
  if (auto text = JSONText::text(value)) {
    std::string encoded;
    encoded.reserve(text->size() + 1);
    encoded.push_back(kReplyMark);
    encoded += *text;
    return {json::value(std::move(encoded)), std::nullopt};
  }
  systemLog("a reply couldn't be sent as JSON; sent as objects");
  return {std::move(*reply.value), std::nullopt};
}

void HeadlessWindow::authSignIn(Value done) {
  done(json::object{{"error", "failed"}});
}

HostDispatcher::HostDispatcher(library::Library& library, const std::filesystem::path& support,
                               EventLoop& main, WorkerPool& background, HostWindow& window)
    : library_(library), support_(support), main_(main), background_(background), window_(window) {}

const HostDispatcher::Op* HostDispatcher::findOp(std::string_view name) {
  static const std::unordered_map<std::string_view, Op> table = {
      {"open", &HostDispatcher::open},
      {"write", &HostDispatcher::write},
      {"authSignIn", &HostDispatcher::authSignIn},
      {"authToken", &HostDispatcher::authToken},
      {"authUser", &HostDispatcher::authUser},
      {"authSignOut", &HostDispatcher::authSignOut},
      {"claudeAsk", &HostDispatcher::claudeAsk},
      {"claudeCancel", &HostDispatcher::claudeCancel},
      {"snapshot", &HostDispatcher::snapshot},
      {"getImage", &HostDispatcher::getImage},
      {"putImage", &HostDispatcher::putImage},
      {"dropImage", &HostDispatcher::dropImage},
      {"doc", &HostDispatcher::doc},
      {"reveal", &HostDispatcher::reveal},
      {"state", &HostDispatcher::state},
      {"print", &HostDispatcher::print},
      {"contextMenu", &HostDispatcher::contextMenu},
      {"saveFile", &HostDispatcher::saveFile},
      {"chrome", &HostDispatcher::chrome},
      {"drag", &HostDispatcher::drag},
      {"zoom", &HostDispatcher::zoom},
      {"loaded", &HostDispatcher::loaded},
      {"log", &HostDispatcher::log},
  };
  auto it = table.find(name);
  return it == table.end() ? nullptr : &it->second;
}

void HostDispatcher::handle(const json::value& body, Reply reply) {
  assert(std::this_thread::get_id() == main_thread_);
  const json::object* message = body.if_object();
  if (!message) {
    reply(PageReply::failure("No window"));
    return;
  }
  const std::string_view op = json::findString(*message, "op").value_or("");
  const Op* run = findOp(op);
  if (!run) {
    reply(PageReply::failure("Unknown op " + std::string(op)));
    return;
  }
  (this->**run)(*message, reply);
}

template <typename Work, typename Then>
void HostDispatcher::inBackground(Work work, Then then) {
  // The work holds no reference to the dispatcher; `then` runs only while it lives.
  background_.async([work = std::move(work), then = std::move(then), &main = main_,
                     alive = std::weak_ptr<const bool>(alive_)]() mutable {
    main.post([result = work(), then = std::move(then), alive]() mutable {
      if (alive.expired()) return;
      then(std::move(result));
    });
  });
}

void HostDispatcher::open(const json::object&, Reply& reply) {
  // The answer is written from each document's text as read; none is parsed for it again.
  launch_trace::mark("open asked");
  inBackground(
      [&library = library_] {
        std::string encoded(1, kReplyMark);
        library.openWorkspaceText(encoded, JSONText::form());
        launch_trace::mark("open written");
        return encoded;
      },
      [reply = std::move(reply)](std::string encoded) {
        reply(PageReply::ofEncoded(std::move(encoded)));
        launch_trace::mark("open answered");
      });
}

void HostDispatcher::write(const json::object& message, Reply& reply) {
  struct Batch {
    json::array docs;
    std::optional<json::object> meta;
    std::optional<json::object> pretext;
  };
  const json::object* given = json::findObject(message, "batch");
  if (!given) given = &kEmptyObject;
  auto batch = std::make_shared<Batch>();
  if (const json::array* docs = json::findArray(*given, "docs")) batch->docs = *docs;
  if (const json::object* meta = json::findObject(*given, "meta")) batch->meta = *meta;
  if (const json::object* pretext = json::findObject(*given, "pretext")) batch->pretext = *pretext;

  inBackground(
      [&library = library_, batch] {
        return library.write(batch->docs, batch->meta ? &*batch->meta : nullptr,
                             batch->pretext ? &*batch->pretext : nullptr);
      },
      [this, batch, reply = std::move(reply)](std::optional<std::string> failure) {
        if (failure) {
          reply(PageReply::of(json::object{{"message", std::move(*failure)}}));
          return;
        }
        reply(PageReply::of(true));
        // The other windows hear of the records only once this page has its answer.
        json::array records;
        records.reserve(batch->docs.size() + 2);
        if (batch->meta) records.push_back(std::move(*batch->meta));
        if (batch->pretext) records.push_back(std::move(*batch->pretext));
        for (auto& record : batch->docs) records.push_back(std::move(record));
        if (!records.empty()) window_.wrote(std::move(records));
      });
}

void HostDispatcher::snapshot(const json::object& message, Reply& reply) {
  const json::object* given = json::findObject(message, "backup");
  inBackground(
      [&library = library_, backup = given ? *given : kEmptyObject] {
        return library.keepRestorePoint(backup);
      },
      [reply = std::move(reply)](bool kept) { reply(PageReply::of(kept)); });
}

void HostDispatcher::authSignIn(const json::object&, Reply& reply) {
  window_.authSignIn([reply = std::move(reply)](json::value outcome) {
    reply(PageReply::of(std::move(outcome)));
  });
}

void HostDispatcher::authToken(const json::object&, Reply& reply) {
  window_.authToken([reply = std::move(reply)](std::optional<std::string> token) {
    reply(PageReply::of(token ? json::value(std::move(*token)) : json::value(nullptr)));
  });
}

void HostDispatcher::authUser(const json::object&, Reply& reply) {
  window_.authUser(
      [reply = std::move(reply)](json::value user) { reply(PageReply::of(std::move(user))); });
}

void HostDispatcher::authSignOut(const json::object&, Reply& reply) {
  window_.authSignOut([reply = std::move(reply)] { reply(PageReply::of(true)); });
}

void HostDispatcher::claudeAsk(const json::object& message, Reply& reply) {
  const json::object* request = json::findObject(message, "request");
  auto [ok, text] = window_.claudeAsk(request ? *request : kEmptyObject);
  if (ok) {
    reply(PageReply::of(true));
    return;
  }
  reply(PageReply::of(
      json::object{{"ok", false}, {"message", text.value_or("It couldn't be sent.")}}));
}

void HostDispatcher::claudeCancel(const json::object& message, Reply& reply) {
  reply(PageReply::of(window_.claudeCancel(json::findString(message, "requestId").value_or(""))));
}

void HostDispatcher::getImage(const json::object& message, Reply& reply) {
  std::optional<std::string> text;
  if (auto id = json::findString(message, "id")) text = images::capture(support_, *id);
  reply(PageReply::of(text ? json::value(std::move(*text)) : json::value(nullptr)));
}

void HostDispatcher::putImage(const json::object& message, Reply& reply) {
  auto id = json::findString(message, "id");
  auto src = json::findString(message, "src");
  if (id && src) images::putCapture(support_, *id, *src);
  reply(PageReply::of(true));
}

void HostDispatcher::dropImage(const json::object& message, Reply& reply) {
  if (auto id = json::findString(message, "id")) images::dropCapture(support_, *id);
  reply(PageReply::of(true));
}

void HostDispatcher::doc(const json::object& message, Reply& reply) {
  if (auto id = json::findString(message, "id")) window_.setDocID(std::string(*id));
  window_.setTitle(std::string(json::findString(message, "title").value_or("")));
  reply(PageReply::of(true));
}

void HostDispatcher::reveal(const json::object& message, Reply& reply) {
  auto package = library_.revealablePackage(json::findString(message, "id").value_or(""));
  if (package) {
    // The page hears first; the file viewer comes up after.
    main_.post([this, alive = std::weak_ptr<const bool>(alive_), path = *package] {
      if (!alive.expired()) window_.revealInFileViewer(path);
    });
  }
  reply(PageReply::of(package.has_value()));
}

void HostDispatcher::state(const json::object& message, Reply& reply) {
  window_.setMenuState(message);
  reply(PageReply::of(true));
}

void HostDispatcher::print(const json::object&, Reply& reply) {
  window_.printPage();
  reply(PageReply::of(true));
}

void HostDispatcher::contextMenu(const json::object& message, Reply& reply) {
  json::array items;
  if (const json::array* given = json::findArray(message, "items")) {
    for (const auto& item : *given) {
      if (item.is_object()) items.push_back(item);
    }
  }
  window_.setPageMenu(std::move(items), std::chrono::steady_clock::now());
  reply(PageReply::of(true));
}

void HostDispatcher::saveFile(const json::object& message, Reply& reply) {
  window_.saveFile(std::string(json::findString(message, "name").value_or("Untitled")),
                   std::string(json::findString(message, "data").value_or("")));
  reply(PageReply::of(true));
}

void HostDispatcher::chrome(const json::object& message, Reply& reply) {
  window_.applyChrome(message);
  reply(PageReply::of(true));
}

void HostDispatcher::drag(const json::object&, Reply& reply) {
  window_.drag();
  reply(PageReply::of(true));
}

void HostDispatcher::zoom(const json::object&, Reply& reply) {
  window_.zoom();
  reply(PageReply::of(true));
}

void HostDispatcher::loaded(const json::object&, Reply& reply) {
  launch_trace::mark("loaded");
  window_.loaded();
  reply(PageReply::of(true));
}

void HostDispatcher::log(const json::object& message, Reply& reply) {
  // The page's own lines say whose they are: "Quillstone page: " rather than the system log's
  // "Quillstone: ", written at once like those.
  std::string line =
      "Quillstone page: " + oneLine(json::findString(message, "text").value_or("")) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  reply(PageReply::of(true));
}

bool fromAppPage(std::string_view uri, bool is_main_frame) {
  if (!is_main_frame) return false;
  const auto colon = uri.find(':');
  if (colon == std::string_view::npos || uri.substr(0, colon) != "quillstone") return false;
  std::string_view rest = uri.substr(colon + 1);
  if (!rest.starts_with("//")) return false;
  rest.remove_prefix(2);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  return authority.substr(0, authority.find(':')) == "app";
}

void receive(HostDispatcher* owner, const json::value& body, std::string_view page_uri,
             bool is_main_frame, std::function<void(PlatformReply)> platform) {
  if (!owner || !body.is_object()) {
    platform(encodeReply(PageReply::failure("No window")));
    return;
  }
  if (!fromAppPage(page_uri, is_main_frame)) {
    systemLog("refused a message from a frame that isn't the app's page");
    platform(encodeReply(PageReply::failure("Refused")));
    return;
  }
  owner->handle(body, [platform = std::move(platform)](PageReply reply) {
    platform(encodeReply(std::move(reply)));
  });
}

}  // namespace qs::bridge
