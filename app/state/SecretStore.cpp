#include "app/state/SecretStore.h"

#include "platform/Log.h"

#include <condition_variable>
#include <cstdlib>
#include <libsecret/secret.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace norvane {

namespace {

const SecretSchema* networkPasswordSchema()
{
    // Matched by attributes, not by schema name, so that items other programs stored for the
    // same proxy are found too.
    static const SecretSchema schema = { "org.gnome.keyring.NetworkPassword", SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            { "user", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "server", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "protocol", SECRET_SCHEMA_ATTRIBUTE_STRING },
            { "port", SECRET_SCHEMA_ATTRIBUTE_INTEGER },
            { nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING },
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr };
    return &schema;
}

std::optional<ProxyCredential> searchStore(const std::string& host, const char* protocol, GCancellable* cancellable)
{
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("protocol"), const_cast<char*>(protocol));
    g_hash_table_insert(attributes, const_cast<char*>("server"), const_cast<char*>(host.c_str()));
    GError* error = nullptr;
    const auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS);
    GList* items = secret_service_search_sync(nullptr, networkPasswordSchema(), attributes, flags, cancellable, &error);
    g_hash_table_unref(attributes);
    if (error) {
        Log::line(
            std::string("SecretStore: no proxy password: ") + (error->message ? error->message : "unknown error"));
        g_error_free(error);
        return std::nullopt;
    }

    std::optional<ProxyCredential> found;
    for (GList* node = items; node && !found; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        GHashTable* itemAttributes = secret_item_get_attributes(item);
        auto* server = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "server"));
        auto* user = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "user"));
        SecretValue* secret = server && host == server ? secret_item_get_secret(item) : nullptr;
        if (secret) { // a locked item has none: it is passed over
            gsize length = 0;
            const gchar* bytes = secret_value_get(secret, &length);
            found = ProxyCredential { user ? user : "", std::string(bytes ? bytes : "", bytes ? length : 0) };
            secret_value_unref(secret);
        }
        g_hash_table_unref(itemAttributes);
    }
    g_list_free_full(items, g_object_unref);
    return found;
}

} // namespace

struct SecretStore::CancelHook::State {
    std::mutex mutex;
    std::function<void()> cancel;
    bool fired = false;
};

void SecretStore::CancelHook::set(std::function<void()> cancel)
{
    std::unique_lock lock(state_->mutex);
    if (state_->fired) {
        lock.unlock();
        if (cancel)
            cancel();
        return;
    }
    state_->cancel = std::move(cancel);
}

void SecretStore::CancelHook::fire()
{
    std::function<void()> cancel;
    {
        std::lock_guard lock(state_->mutex);
        state_->fired = true;
        cancel = std::move(state_->cancel);
        state_->cancel = nullptr;
    }
    if (cancel)
        cancel();
}

std::optional<ProxyCredential> SecretStore::runBounded(Lookup lookup, std::chrono::milliseconds limit)
{
    struct Shared {
        std::mutex mutex;
        std::condition_variable doneChanged;
        bool done = false;
        std::optional<ProxyCredential> result;
        CancelHook hook;
    };
    auto shared = std::make_shared<Shared>();
    shared->hook.state_ = std::make_shared<CancelHook::State>();

    std::thread worker([shared, lookup = std::move(lookup)]() mutable {
        std::optional<ProxyCredential> result;
        try {
            result = lookup(shared->hook);
        } catch (const std::exception& e) {
            Log::line(std::string("SecretStore: lookup failed: ") + e.what());
        }
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->done = true;
        shared->doneChanged.notify_all();
    });

    std::unique_lock lock(shared->mutex);
    if (shared->doneChanged.wait_for(lock, limit, [&] { return shared->done; })) {
        lock.unlock();
        worker.join();
        return std::move(shared->result);
    }
    lock.unlock();
    Log::line("SecretStore: the credential store did not answer in time");
    shared->hook.fire();
    // A cancelled lookup normally ends at once; one that does not keeps only the shared state.
    lock.lock();
    const bool ended = shared->doneChanged.wait_for(lock, std::chrono::milliseconds(200), [&] { return shared->done; });
    lock.unlock();
    if (ended)
        worker.join();
    else
        worker.detach();
    return std::nullopt;
}

bool SecretStore::sessionBusAvailable()
{
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!runtime || *runtime != '/')
        return false;
    struct stat st { };
    return ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

std::optional<ProxyCredential> SecretStore::proxyCredential(
    std::string_view host, bool https, std::chrono::milliseconds limit)
{
    if (host.empty() || !sessionBusAvailable())
        return std::nullopt;
    const char* protocol = https ? kHttpsProxyProtocol : kHttpProxyProtocol;
    return runBounded(
        [host = std::string(host), protocol](CancelHook& hook) -> std::optional<ProxyCredential> {
            std::shared_ptr<GCancellable> cancellable(g_cancellable_new(), [](GCancellable* c) { g_object_unref(c); });
            hook.set([cancellable] { g_cancellable_cancel(cancellable.get()); });
            std::optional<ProxyCredential> found = searchStore(host, protocol, cancellable.get());
            hook.set({});
            return found;
        },
        limit);
}

} // namespace norvane
