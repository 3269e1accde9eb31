#include "search_provider/search_provider_gio.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/guarded.h"
#include "core/identity.h"
#include "core/ids.h"
#include "core/system_log.h"

namespace qs::search_provider {

namespace {

constexpr unsigned kIdleSeconds = 30;
// Starting the program for a result can take a while on a busy machine.
constexpr int kProgramCallTimeoutMs = 60'000;

constexpr const char* kInterfaceXml = R"xml(
<node>
  <interface name="org.gnome.Shell.SearchProvider2">
    <method name="GetInitialResultSet">
      <arg type="as" name="terms" direction="in"/>
      <arg type="as" name="results" direction="out"/>
    </method>
    <method name="GetSubsearchResultSet">
      <arg type="as" name="previous_results" direction="in"/>
      <arg type="as" name="terms" direction="in"/>
      <arg type="as" name="results" direction="out"/>
    </method>
    <method name="GetResultMetas">
      <arg type="as" name="identifiers" direction="in"/>
      <arg type="aa{sv}" name="metas" direction="out"/>
    </method>
    <method name="ActivateResult">
      <arg type="s" name="identifier" direction="in"/>
      <arg type="as" name="terms" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="LaunchSearch">
      <arg type="as" name="terms" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
  </interface>
</node>)xml";

// GApplication's object path: the application id with its dots as slashes.
std::string applicationObjectPath() {
  std::string path = "/" + std::string(identity::kApplicationId);
  for (char& c : path) {
    if (c == '.') c = '/';
  }
  return path;
}

std::vector<std::string> strings(GVariant* array) {
  std::vector<std::string> out;
  GVariantIter iter;
  g_variant_iter_init(&iter, array);
  const char* item = nullptr;
  while (g_variant_iter_next(&iter, "&s", &item)) out.emplace_back(item);
  return out;
}

GVariant* stringArray(const std::vector<std::string>& items) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
  for (const std::string& item : items) g_variant_builder_add(&builder, "s", item.c_str());
  return g_variant_builder_end(&builder);
}

// The package's thumbnail when it has a safe one, else the program's own icon.
GVariant* serializedIcon(const SearchIndexReader::Meta& meta) {
  g_autoptr(GIcon) icon = nullptr;
  if (meta.thumbnail) {
    g_autoptr(GFile) file = g_file_new_for_path(meta.thumbnail->c_str());
    icon = g_file_icon_new(file);
  } else {
    icon = g_themed_icon_new(identity::kApplicationId.data());
  }
  return g_icon_serialize(icon);
}

GVariant* metasVariant(const std::vector<SearchIndexReader::Meta>& metas) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("aa{sv}"));
  for (const auto& meta : metas) {
    g_variant_builder_open(&builder, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string(meta.id.c_str()));
    g_variant_builder_add(&builder, "{sv}", "name", g_variant_new_string(meta.name.c_str()));
    g_variant_builder_add(&builder, "{sv}", "description",
                          g_variant_new_string(meta.description.c_str()));
    g_autoptr(GVariant) icon = serializedIcon(meta);
    if (icon) g_variant_builder_add(&builder, "{sv}", "icon", icon);
    g_variant_builder_close(&builder);
  }
  return g_variant_builder_end(&builder);
}

// The shell's timestamp of the click, as a startup id, so that the window the program shows may
// take the focus (on X11; Wayland needs an activation token, which only the shell could give).
GVariant* platformData(guint32 timestamp) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE("a{sv}"));
  if (timestamp != 0) {
    const std::string startup_id = "_TIME" + std::to_string(timestamp);
    g_variant_builder_add(&builder, "{sv}", "desktop-startup-id",
                          g_variant_new_string(startup_id.c_str()));
  }
  return g_variant_builder_end(&builder);
}

// Text from the index went in as UTF-8 through our own writer; a D-Bus string must be valid
// UTF-8 or the whole reply is refused, so anything else is mended rather than trusted.
void makeValid(std::vector<SearchIndexReader::Meta>& metas) {
  for (auto& meta : metas) {
    for (std::string* text : {&meta.id, &meta.name, &meta.description}) {
      if (g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) continue;
      g_autofree char* valid = g_utf8_make_valid(text->data(), static_cast<gssize>(text->size()));
      *text = valid;
    }
  }
}

}  // namespace

SearchProvider::SearchProvider(std::filesystem::path database, GMainLoop* loop)
    : reader_(std::move(database)), loop_(g_main_loop_ref(loop)) {
  restartIdleTimer();
}

SearchProvider::~SearchProvider() {
  if (connection_ && registration_) {
    g_dbus_connection_unregister_object(connection_, registration_);
  }
  if (idle_timer_) g_source_remove(idle_timer_);
  g_clear_object(&connection_);
  g_clear_pointer(&loop_, g_main_loop_unref);
}

bool SearchProvider::exportOn(GDBusConnection* connection) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kInterfaceXml, &error);
  if (!node) {
    systemLog("%s", error->message);
    return false;
  }
  static const GDBusInterfaceVTable vtable = {
      +[](GDBusConnection*, const char*, const char*, const char*, const char* method,
          GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
        guarded([&] { static_cast<SearchProvider*>(self)->call(method, parameters, invocation); });
      },
      nullptr,
      nullptr,
      {}};
  connection_ = G_DBUS_CONNECTION(g_object_ref(connection));
  registration_ =
      g_dbus_connection_register_object(connection_, identity::kSearchProviderObjectPath.data(),
                                        node->interfaces[0], &vtable, this, nullptr, &error);
  if (!registration_) {
    systemLog("the search provider couldn't be exported: %s", error->message);
    return false;
  }
  return true;
}

void SearchProvider::call(const char* method, GVariant* parameters,
                          GDBusMethodInvocation* invocation) {
  restartIdleTimer();
  if (std::strcmp(method, "GetInitialResultSet") == 0 ||
      std::strcmp(method, "GetSubsearchResultSet") == 0) {
    // A subsearch is asked again in full: the index answers as fast as a filter would, and
    // the earlier results may be stale by now.
    g_autoptr(GVariant) terms_variant =
        g_variant_get_child_value(parameters, g_variant_n_children(parameters) - 1);
    last_terms_ = strings(terms_variant);
    g_dbus_method_invocation_return_value(
        invocation, g_variant_new("(@as)", stringArray(reader_.resultSet(last_terms_))));
    return;
  }
  if (std::strcmp(method, "GetResultMetas") == 0) {
    g_autoptr(GVariant) ids_variant = g_variant_get_child_value(parameters, 0);
    auto metas = reader_.resultMetas(strings(ids_variant), last_terms_);
    makeValid(metas);
    g_dbus_method_invocation_return_value(invocation,
                                          g_variant_new("(@aa{sv})", metasVariant(metas)));
    return;
  }
  if (std::strcmp(method, "ActivateResult") == 0) {
    const char* id = nullptr;
    guint32 timestamp = 0;
    g_variant_get(parameters, "(&s@asu)", &id, nullptr, &timestamp);
    if (ids::isDocumentID(id)) {
      GVariant* argument = g_variant_new_variant(g_variant_new_string(id));
      askProgram("ActivateAction",
                 g_variant_new("(s@av@a{sv})", "open-document",
                               g_variant_new_array(G_VARIANT_TYPE_VARIANT, &argument, 1),
                               platformData(timestamp)));
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (std::strcmp(method, "LaunchSearch") == 0) {
    guint32 timestamp = 0;
    g_variant_get(parameters, "(@asu)", nullptr, &timestamp);
    askProgram("Activate", g_variant_new("(@a{sv})", platformData(timestamp)));
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_METHOD,
                                        "No method %s", method);
}

void SearchProvider::askProgram(const char* method, GVariant* parameters) {
  ++calls_to_program_;
  const std::string path = applicationObjectPath();
  g_dbus_connection_call(
      connection_, identity::kApplicationId.data(), path.c_str(), "org.freedesktop.Application",
      method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, kProgramCallTimeoutMs, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<SearchProvider*>(data);
        g_autoptr(GError) error = nullptr;
        g_autoptr(GVariant) answer =
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (!answer) {
          systemLog("the program couldn't be asked to open: %s", error->message);
        }
        --self->calls_to_program_;
        self->restartIdleTimer();
      },
      this);
}

void SearchProvider::restartIdleTimer() {
  if (idle_timer_) g_source_remove(idle_timer_);
  idle_timer_ = g_timeout_add_seconds(
      kIdleSeconds,
      +[](gpointer data) -> gboolean {
        auto* self = static_cast<SearchProvider*>(data);
        if (self->calls_to_program_ > 0) return G_SOURCE_CONTINUE;
        self->idle_timer_ = 0;
        g_main_loop_quit(self->loop_);
        return G_SOURCE_REMOVE;
      },
      this);
}

}  // namespace qs::search_provider
