// The names this deployment of Quillstone goes by on the desktop and the addresses of the services
// its page talks to. A deployment changes them here and nowhere else.
#pragma once

#include <array>
#include <string_view>

#include "core/build_info.h"

namespace qs::identity {

inline constexpr std::string_view kReverseDnsPrefix = "app.quillstone";
inline constexpr std::string_view kApplicationId = "app.quillstone.Quillstone";
// The desktop's search provider on the session bus; packaging/search-provider/ names the same.
inline constexpr std::string_view kSearchProviderBusName =
    "app.quillstone.Quillstone.SearchProvider";
inline constexpr std::string_view kSearchProviderObjectPath =
    "/app/quillstone/Quillstone/SearchProvider";
inline constexpr std::string_view kDocumentType = "app.quillstone.quillstone.document";
// The fixed identifier the sign-in session is stored under.
inline constexpr std::string_view kSessionStore = "app.quillstone.linux.direct";

// The product's web site: the Help menu, the sign-in callback page, the privacy page.
inline constexpr std::string_view kWebSite = "https://quillstone.app";

// The page is served under its own scheme, from one host, so that the app's own page can be
// recognised by scheme and host alone.
inline constexpr std::string_view kScheme = "quillstone";
inline constexpr std::string_view kAppOrigin = "quillstone://app";
inline constexpr std::string_view kHome = "quillstone://app/index.html";

// The origins the page may contact besides itself, in the order the content security policy
// lists them: the AI providers' APIs and one compute endpoint of the hosted database and
// sign-in service, then the product site and the hosted service's project, auth, REST and two
// further compute endpoints. The hosted service's origins are placeholders under the product
// domain; a deployment puts its own here. Keep each a bare https origin: they are written into
// the policy as they stand.
inline constexpr std::array<std::string_view, 10> kConnectOrigins = {
    "https://api.openai.com",
    "https://api.anthropic.com",
    "https://openrouter.ai",
    "https://compute-1.quillstone.app",
    kWebSite,
    "https://db.quillstone.app",
    "https://auth.quillstone.app",
    "https://api.quillstone.app",
    "https://compute-2.quillstone.app",
    "https://compute-3.quillstone.app",
};

// Added to the web view's user agent.
inline constexpr std::string_view kUserAgentApplication = "QuillstoneLinux/0.1";

inline constexpr std::string_view kVersion = build::kVersion;

}  // namespace qs::identity
