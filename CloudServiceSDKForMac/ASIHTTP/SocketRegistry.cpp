#include "CloudServiceSDKForMac/ASIHTTP/SocketRegistry.h"

#include <mutex>
#include <unistd.h>
#include <unordered_map>

namespace norvane {

namespace {
struct Registry {
    std::mutex mutex;
    std::unordered_map<int, std::uint64_t> serials;
    std::uint64_t nextSerial = 1;
};

Registry& registry()
{
    static Registry* r = new Registry; // never destroyed: sockets may close during static teardown
    return *r;
}
} // namespace

SocketRef SocketRegistry::open(int domain, int type, int protocol)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    int fd = ::socket(domain, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return {};
    std::uint64_t serial = r.nextSerial++;
    r.serials[fd] = serial;
    return { fd, serial };
}

int SocketRegistry::close(int fd)
{
    auto& r = registry();
    // The descriptor is released under the lock, so no shutdown can reach a number the kernel
    // is about to hand to somebody else.
    std::lock_guard lock(r.mutex);
    r.serials.erase(fd);
    return ::close(fd);
}

bool SocketRegistry::shutdown(SocketRef ref)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.serials.find(ref.fd);
    if (it == r.serials.end() || it->second != ref.serial)
        return false;
    return ::shutdown(ref.fd, SHUT_RDWR) == 0;
}

bool SocketRegistry::isOpen(SocketRef ref)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.serials.find(ref.fd);
    return it != r.serials.end() && it->second == ref.serial;
}

SocketRef SocketRegistry::refForDescriptor(int fd)
{
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.serials.find(fd);
    if (it == r.serials.end())
        return {};
    return { fd, it->second };
}

} // namespace norvane
