#include "auth/secret_store.h"

#include <gio/gio.h>
#include <libsecret/secret.h>

#include <mutex>

namespace qs::auth {

namespace {

// The item's attributes: the service name and the account, as a generic password has them.
const SecretSchema* schema() {
  static const SecretSchema kSchema = {"app.quillstone.Session",
                                       SECRET_SCHEMA_NONE,
                                       {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
  return &kSchema;
}

std::string message(GError* error) {
  std::string text = error && error->message ? error->message : "unknown failure";
  // The service may have restarted under us (its sessions gone with it): the next call
  // connects afresh.
  if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) secret_service_disconnect();
  g_clear_error(&error);
  return text;
}

class SecretServiceStore final : public SecretStore {
 public:
  SecretServiceStore(std::string service, std::string account)
      : service_(std::move(service)),
        account_(std::move(account)),
        cancellable_(g_cancellable_new()) {}
  ~SecretServiceStore() override { g_clear_object(&cancellable_); }

  Found lookup() override {
    Found found;
    if (!enter()) {
      found.error = "interrupted";
      return found;
    }
    GError* error = nullptr;
    gchar* data =
        secret_password_lookup_sync(schema(), cancellable_, &error, "service", service_.c_str(),
                                    "account", account_.c_str(), nullptr);
    leave();
    if (data) {
      found.data = std::string(data);
      secret_password_free(data);  // wipes it
    } else if (error) {
      found.error = message(error);
    }
    return found;
  }

  bool replace(std::string_view data, std::string* error_text) override {
    clear();
    if (!enter()) {
      if (error_text) *error_text = "interrupted";
      return false;
    }
    const std::string label = "Quillstone sign-in (" + service_ + ")";
    const std::string password(data);
    GError* error = nullptr;
    const bool stored = secret_password_store_sync(
        schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), password.c_str(), cancellable_, &error,
        "service", service_.c_str(), "account", account_.c_str(), nullptr);
    leave();
    if (!stored) {
      const std::string text = message(error);
      if (error_text) *error_text = text;
    }
    return stored;
  }

  void clear() override {
    // Every item of the service, whatever its account.
    if (!enter()) return;
    GError* error = nullptr;
    secret_password_clear_sync(schema(), cancellable_, &error, "service", service_.c_str(),
                               nullptr);
    leave();
    if (error) message(error);
  }

  void interrupt() override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    if (calling_) g_cancellable_cancel(cancellable_);
  }

 private:
  // libsecret's calls go wrong when handed a cancellable that is already cancelled (a freed
  // object is freed again), so once interrupted no call is made at all, and only a call under
  // way is cancelled.
  bool enter() {
    std::lock_guard lock(mutex_);
    calling_ = !interrupted_;
    return calling_;
  }
  void leave() {
    std::lock_guard lock(mutex_);
    calling_ = false;
  }

  std::mutex mutex_;
  bool interrupted_ = false;
  bool calling_ = false;
  const std::string service_;
  const std::string account_;
  GCancellable* cancellable_;
};

}  // namespace

std::unique_ptr<SecretStore> makeSecretServiceStore(std::string service, std::string account) {
  return std::make_unique<SecretServiceStore>(std::move(service), std::move(account));
}

}  // namespace qs::auth
