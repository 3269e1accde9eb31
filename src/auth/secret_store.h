// Where the signed-in session is kept: the desktop's secret store, one item per service name.
// Every call but interrupt() blocks, so they are made on a queue of their own, never on the main
// thread; interrupt() may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qs::auth {

class SecretStore {
 public:
  struct Found {
    std::optional<std::string> data;   // none: no item
    std::optional<std::string> error;  // set when the store couldn't be asked
  };

  virtual ~SecretStore() = default;
  // The data of the item of this service and account.
  virtual Found lookup() = 0;
  // Deletes every item of the service, whatever its account, then adds the one item. False,
  // with `error` set, when the item couldn't be added.
  [[nodiscard]] virtual bool replace(std::string_view data, std::string* error) = 0;
  // Deletes every item of the service, whatever its account.
  virtual void clear() = 0;
  // Makes the call under way and every later one give up at once (quit).
  virtual void interrupt() = 0;
};

// The Secret Service (libsecret), in the default collection: gnome-keyring, KWallet's or
// KeePassXC's service. Nothing is kept anywhere else when none is reachable.
std::unique_ptr<SecretStore> makeSecretServiceStore(std::string service, std::string account);

}  // namespace qs::auth
