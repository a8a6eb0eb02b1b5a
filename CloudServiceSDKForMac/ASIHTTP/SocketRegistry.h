#pragma once

#include <cstdint>
#include <sys/socket.h>

namespace norvane {

// Every TCP socket the engine opens goes through here (curl's open/close socket hooks), so that a
// pool entry can later close exactly the connection it was using. A socket is named by its
// descriptor plus a serial number: a descriptor number that the kernel handed out again after a
// close never matches the older name.
struct SocketRef {
    int fd = -1;
    std::uint64_t serial = 0;

    bool valid() const { return fd >= 0; }
    friend bool operator==(const SocketRef&, const SocketRef&) = default;
};

class SocketRegistry {
public:
    static SocketRef open(int domain, int type, int protocol);
    static int close(int fd);
    // Shuts the connection down in both directions while it is still the one registered under
    // that name; the descriptor itself stays open until its owner closes it. True when it did.
    static bool shutdown(SocketRef ref);
    static bool isOpen(SocketRef ref);
    static SocketRef refForDescriptor(int fd);
};

} // namespace norvane
