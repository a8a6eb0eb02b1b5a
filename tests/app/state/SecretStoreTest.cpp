#include "app/state/SecretStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

using namespace norvane;

namespace {

// Sets an environment variable (or removes it, for nullopt) for the length of a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value)
        : name_(name)
    {
        if (const char* old = std::getenv(name))
            saved_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

} // namespace

TEST(SecretStore, WithoutASecretServiceNothingIsFound)
{
    {
        // No bus at all: nothing is asked, and no bus is started on the way.
        ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
        EXPECT_FALSE(SecretStore::sessionBusAvailable());
        EXPECT_FALSE(SecretStore::proxyCredential("proxy.example.test", false).has_value());
    }
    // A bus address that leads nowhere: libsecret fails, the lookup finds nothing.
    ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/norvane-test-bus");
    EXPECT_TRUE(SecretStore::sessionBusAvailable());
    EXPECT_FALSE(SecretStore::proxyCredential("proxy.example.test", true).has_value());
    EXPECT_FALSE(SecretStore::proxyCredential("", true).has_value());
}

TEST(SecretStore, ALookupThatHangsIsGivenUpAndCancelled)
{
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool cancelled = false;
    };
    auto gate = std::make_shared<Gate>();
    auto result = SecretStore::runBounded(
        [gate](SecretStore::CancelHook& hook) -> std::optional<ProxyCredential> {
            hook.set([gate] {
                std::lock_guard lock(gate->mutex);
                gate->cancelled = true;
                gate->changed.notify_all();
            });
            std::unique_lock lock(gate->mutex);
            gate->changed.wait(lock, [&] { return gate->cancelled; }); // a store that never answers
            return ProxyCredential { "late", "answer" };
        },
        std::chrono::milliseconds(50));
    EXPECT_FALSE(result.has_value());
    std::lock_guard lock(gate->mutex);
    EXPECT_TRUE(gate->cancelled);

    auto answered = SecretStore::runBounded(
        [](SecretStore::CancelHook&) {
            return std::optional<ProxyCredential>(ProxyCredential { "u", "p" });
        },
        std::chrono::seconds(10));
    EXPECT_EQ(answered, (ProxyCredential { "u", "p" }));
}
