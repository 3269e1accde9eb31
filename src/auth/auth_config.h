// Where the sign-in service is and what the session is stored under: read once at start from the
// deployment file installed beside the page, and, while QUILLSTONE_DEBUG is set, from
// QUILLSTONE_AUTH_URL and QUILLSTONE_AUTH_CALLBACK. There is no built-in service address.
// Callable from any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "auth/url.h"
#include "core/json.h"

namespace qs::auth {

struct AuthConfig {
  // The service's base address; none when neither the deployment nor the debug switch gives a
  // usable one, and then every operation that needs the service ends without it.
  std::optional<Url> base;
  // The base came from QUILLSTONE_AUTH_URL: the browser page may then be plain http.
  bool debug_base = false;
  std::string callback;  // the web page the service sends the browser to after sign-in
  std::string origin;    // the callback's origin, sent as "Origin"
  std::string service;   // the Secret Service "service" attribute of the stored session

  static constexpr std::string_view kAccount = "neon-auth";
  static constexpr std::string_view kDeploymentFile = "deployment.json";
};

// Reads a variable; none when it is not in the environment.
using Environment = std::function<std::optional<std::string>(const char* name)>;
Environment processEnvironment();

// The deployment file's object: {"QuillstoneAuthURL": …, "QuillstoneAuthCallback": …}. Empty
// when the file is missing; a file that can't be read as a JSON object is reported on standard
// error and counts as empty.
json::object readDeployment(const std::filesystem::path& file);

// The configuration from the deployment values and the environment. A base address must be
// https with a host and no query (http too when it comes from the debug switch); any other is
// reported on standard error and counts as none.
AuthConfig authConfig(const json::object& deployment, const Environment& env);

}  // namespace qs::auth
