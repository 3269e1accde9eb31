#include "bridge/page_calls.h"

#include <cassert>
#include <utility>

#include "bridge/host_messages.h"
#include "core/text.h"

namespace qs::bridge {

namespace {

constexpr std::string_view kDistributionScript =
    "if (window.QuillstoneHost) window.QuillstoneHost.distribution = \"direct\";";

// Both wrappers stand aside unless the bridge script made QuillstoneHost and the window
// registered its message handler. Replies carrying a JSON value start with U+001E.
constexpr std::string_view kSignInWrapper = R"js((function () {
  if (!window.QuillstoneHost || !window.webkit?.messageHandlers?.quillstoneHost) return;
  const decode = (r) =>
    typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r;
  const post = (message) =>
    window.webkit.messageHandlers.quillstoneHost.postMessage(message).then(decode);
  window.QuillstoneHost.auth = {
    async signIn() {
      const answer = await post({ op: "authSignIn" });
      if (answer && answer.error) throw new Error(answer.error);
      return answer;
    },
    token: () => post({ op: "authToken" }),
    user: () => post({ op: "authUser" }),
    signOut: () => post({ op: "authSignOut" }),
  };
})();)js";

constexpr std::string_view kClaudeWrapper = R"js((function () {
  if (!window.QuillstoneHost || !window.webkit?.messageHandlers?.quillstoneHost) return;
  const decode = (r) =>
    typeof r === "string" && r.charCodeAt(0) === 0x1e ? JSON.parse(r.slice(1)) : r;
  const post = (message) =>
    window.webkit.messageHandlers.quillstoneHost.postMessage(message).then(decode);
  window.QuillstoneHost.claude = {
    ask: (request) => post({ op: "claudeAsk", request }),
    cancel: (requestId) => post({ op: "claudeCancel", requestId }),
  };
})();)js";

// The JSON text handed to the page for `v`; "null" for what JSON can't hold.
std::string jsonArgument(const json::value& v) {
  return JSONText::text(&v).value_or("null");
}

}  // namespace

std::string jsString(std::string_view s) {
  // A valid string always has a compact form.
  return *json::compact(json::value(text::makeValidUTF8(s)));
}

std::vector<std::string> userScripts(const std::optional<std::string>& docID,
                                     std::string_view folderDisplayName,
                                     std::string_view bridgeScript, bool claudeOn) {
  std::string first;
  if (docID) first += "window.__QUILLSTONE_FOCUS__ = " + jsString(*docID) + ";";
  first += "window.__QUILLSTONE_FOLDER__ = " + jsString(folderDisplayName) + ";";
  first += bridgeScript;

  std::vector<std::string> scripts{std::move(first), std::string(kDistributionScript),
                                   std::string(kSignInWrapper)};
  if (claudeOn) scripts.emplace_back(kClaudeWrapper);
  return scripts;
}

PageCalls::PageCalls(PageScripting& page, EventLoop& main) : page_(page), main_(main) {}

PageCalls::~PageCalls() {
  if (retry_) main_.cancel(*retry_);
  for (auto& [id, owed] : owed_) {
    if (owed.limit) main_.cancel(*owed.limit);
    main_.post(std::move(owed.ifGone));
  }
}

void PageCalls::assertMainThread() const {
  assert(std::this_thread::get_id() == main_thread_);
}

void PageCalls::run(std::string command, const json::value& arg, Then then) {
  assertMainThread();
  json::object arguments{{"c", std::move(command)}, {"aJSON", jsonArgument(arg)}};
  page_.callAsync(std::string(kRunBody), std::move(arguments),
                  [alive = token(), then = std::move(then)](std::optional<json::value> result,
                                                            std::optional<std::string> error) {
                    if (alive.expired() || !then) return;
                    then(!error && result && result->is_bool() && result->get_bool());
                  });
}

void PageCalls::press(std::string label, Then then) {
  assertMainThread();
  json::object arguments{{"l", std::move(label)}};
  page_.callAsync(std::string(kPressBody), std::move(arguments),
                  [alive = token(), then = std::move(then)](std::optional<json::value> result,
                                                            std::optional<std::string> error) {
                    if (alive.expired() || !then) return;
                    then(!error && result && result->is_bool() && result->get_bool());
                  });
}

void PageCalls::pressPath(std::vector<std::string> labels) {
  pressFrom(std::make_shared<const std::vector<std::string>>(std::move(labels)), 0);
}

void PageCalls::pressFrom(std::shared_ptr<const std::vector<std::string>> labels,
                          std::size_t index) {
  if (index >= labels->size()) return;
  // press only answers while this object lives, so `this` is sound in its callback.
  press((*labels)[index], [this, labels, index](bool pressed) {
    if (!pressed || index + 1 >= labels->size()) return;
    main_.postAfter(kPressInterval, [this, alive = token(), labels, index] {
      if (!alive.expired()) pressFrom(labels, index + 1);
    });
  });
}

void PageCalls::key(const KeyDescriptor& descriptor) {
  assertMainThread();
  const json::value d =
      json::object{{"key", descriptor.key}, {"code", descriptor.code}, {"shift", descriptor.shift},
                   {"alt", descriptor.alt}, {"ctrl", descriptor.ctrl}, {"meta", descriptor.meta}};
  page_.callAsync(std::string(kKeyBody), {{"aJSON", jsonArgument(d)}},
                  [](std::optional<json::value>, std::optional<std::string>) {});
}

void PageCalls::settle(std::function<void()> done) {
  assertMainThread();
  if (!loaded_) {
    if (done) done();
    return;
  }
  const std::uint64_t id = owe(std::move(done));
  auto finish = [this, alive = token(), id] {
    if (alive.expired()) return;
    if (auto once = discharge(id)) once();
  };
  owed_[id].limit = main_.postAfter(kSettleLimit, finish);
  // The page's answer already arrives on the main loop: it goes straight to `done`, with no
  // detour through a worker.
  page_.callAsync(std::string(kSettleBody), {},
                  [finish](std::optional<json::value>, std::optional<std::string>) { finish(); });
}

void PageCalls::claudeReply(std::string id, const json::value& bullets, std::string from,
                            const json::object& options, ClaudeThen then) {
  assertMainThread();
  const std::uint64_t owedId = owe([then] {
    if (then) then(std::nullopt);
  });
  json::object arguments{{"id", std::move(id)},
                         {"bulletsJSON", jsonArgument(bullets)},
                         {"from", std::move(from)},
                         {"optionsJSON", jsonArgument(options)}};
  page_.callAsync(std::string(kClaudeReplyBody), std::move(arguments),
                  [this, alive = token(), owedId, then = std::move(then)](
                      std::optional<json::value> result, std::optional<std::string> error) {
                    if (alive.expired() || !discharge(owedId)) return;
                    std::optional<bool> answer;
                    if (!error && result && result->is_bool()) answer = result->get_bool();
                    if (then) then(answer);
                  });
}

void PageCalls::setLoaded(bool loaded) {
  assertMainThread();
  loaded_ = loaded;
  if (loaded_) deliverExternal();
}

void PageCalls::enqueue(json::array batch) {
  assertMainThread();
  if (batch.empty()) return;
  queue_.push_back(std::move(batch));
  deliverExternal();
}

void PageCalls::deliverExternal() {
  assertMainThread();
  if (!loaded_ || delivering_ || queue_.empty()) return;
  // A delivery started by new records or a new page replaces a pending retry, so retries
  // never pile up while the page is getting ready.
  if (retry_) main_.cancel(*std::exchange(retry_, std::nullopt));
  delivering_ = true;
  const json::value head = queue_.front();
  page_.callAsync(
      std::string(kDeliverBody), {{"recordsJSON", jsonArgument(head)}},
      [this, alive = token()](std::optional<json::value> result, std::optional<std::string> error) {
        if (!alive.expired()) deliveryFinished(result, error.has_value());
      });
}

void PageCalls::deliveryFinished(const std::optional<json::value>& result, bool failed) {
  delivering_ = false;
  const bool wait = !failed && result && result->is_string() && result->get_string() == "wait";
  if (wait) {
    retry_ = main_.postAfter(kDeliveryRetry, [this, alive = token()] {
      if (alive.expired()) return;
      retry_.reset();
      deliverExternal();
    });
    return;
  }
  // Delivered, or refused by a script error: either way this batch is done with.
  if (!queue_.empty()) queue_.pop_front();
  deliverExternal();
}

std::uint64_t PageCalls::owe(std::function<void()> ifGone) {
  const std::uint64_t id = next_owed_++;
  owed_.emplace(id, Owed{std::move(ifGone), std::nullopt});
  return id;
}

std::function<void()> PageCalls::discharge(std::uint64_t id) {
  auto it = owed_.find(id);
  if (it == owed_.end()) return {};
  if (it->second.limit) main_.cancel(*it->second.limit);
  auto ifGone = std::move(it->second.ifGone);
  owed_.erase(it);
  return ifGone;
}

}  // namespace qs::bridge
