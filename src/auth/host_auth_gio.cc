#include "auth/host_auth.h"

namespace qs::auth {

std::unique_ptr<HostAuth> makeDesktopHostAuth(EventLoop& main,
                                              const std::filesystem::path& resources) {
  AuthConfig config =
      authConfig(readDeployment(resources / AuthConfig::kDeploymentFile), processEnvironment());
  HostAuth::Services services;
  services.http = makeSoupHttpClient();
  services.store = makeSecretServiceStore(config.service, std::string(AuthConfig::kAccount));
  services.store_queue = std::make_unique<ThreadSerialQueue>("quillstone.auth");
  services.link_handler = defaultLinkHandler;
  std::error_code ec;
  services.self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return std::make_unique<HostAuth>(std::move(config), main, std::move(services));
}

}  // namespace qs::auth
