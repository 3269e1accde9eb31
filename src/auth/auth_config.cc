#include "auth/auth_config.h"

#include <cstdio>
#include <cstdlib>

#include "core/file_io.h"
#include "core/identity.h"
#include "core/system_log.h"

namespace qs::auth {

namespace {

// The web site's page that hands the browser on to quillstone://auth/callback. The service
// already has it; it serves every desktop the same way.
constexpr std::string_view kCallbackPath = "/app/auth/mac-callback/";

std::optional<std::string> nonEmpty(const json::object& deployment, std::string_view key) {
  auto value = json::findString(deployment, key);
  if (!value || value->empty()) return std::nullopt;
  return std::string(*value);
}

}  // namespace

Environment processEnvironment() {
  return [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
  };
}

json::object readDeployment(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return {};
  auto text = file_io::readFileLimited(file, 64 * 1024);
  auto parsed = text ? json::parse(*text) : std::nullopt;
  if (!parsed || !parsed->is_object()) {
    systemLog("%s isn't a JSON object; sign-in is off", file.c_str());
    return {};
  }
  return std::move(parsed->get_object());
}

AuthConfig authConfig(const json::object& deployment, const Environment& env) {
  AuthConfig config;
  const bool debug = env("QUILLSTONE_DEBUG").has_value();
  auto debugValue = [&](const char* name) -> std::optional<std::string> {
    if (!debug) return std::nullopt;
    auto value = env(name);
    if (!value || value->empty()) return std::nullopt;
    return value;
  };

  std::optional<std::string> base_text = debugValue("QUILLSTONE_AUTH_URL");
  config.debug_base = base_text.has_value();
  if (!base_text) base_text = nonEmpty(deployment, "QuillstoneAuthURL");
  if (base_text) {
    auto base = Url::parse(*base_text);
    // The session cookie travels to this address: never in clear text outside debugging.
    const bool usable = base && base->has_authority && !base->host.empty() && !base->query &&
                        !base->fragment &&
                        (base->scheme == "https" || (config.debug_base && base->scheme == "http"));
    if (usable) {
      config.base = std::move(base);
    } else {
      systemLog("the sign-in service address isn't a usable https address; sign-in is off");
      config.debug_base = false;
    }
  }

  config.callback =
      debugValue("QUILLSTONE_AUTH_CALLBACK")
          .value_or(nonEmpty(deployment, "QuillstoneAuthCallback")
                        .value_or(std::string(identity::kWebSite) + std::string(kCallbackPath)));
  auto callback = Url::parse(config.callback);
  config.origin = callback && callback->has_authority && !callback->host.empty()
                      ? callback->origin()
                      : std::string(identity::kWebSite);
  config.service = std::string(identity::kSessionStore) + ".session" + (debug ? ".test" : "");
  return config;
}

}  // namespace qs::auth
