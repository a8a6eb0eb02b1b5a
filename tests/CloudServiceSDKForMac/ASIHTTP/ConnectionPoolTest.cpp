#include "ASIHTTPTestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace norvane {
namespace {

// Connections on loopback opened through the registry, as curl's socket hook opens them; the
// server side tells whether the pool shut one down.
class LoopbackConnections {
public:
    LoopbackConnections()
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address_;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address_), sizeof address_);
        ::listen(listener_, 8);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address_), &length);
    }
    ~LoopbackConnections()
    {
        for (const auto& [client, server] : pairs_) {
            SocketRegistry::close(client.fd);
            ::close(server);
        }
        ::close(listener_);
    }

    SocketRef open()
    {
        const SocketRef client = SocketRegistry::open(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(::connect(client.fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_), 0);
        pairs_.push_back({ client, ::accept(listener_, nullptr, nullptr) });
        return client;
    }
    // Whether the server side saw the client end the connection.
    bool wasShutDown(SocketRef client) const
    {
        for (const auto& [c, server] : pairs_) {
            char byte = 0;
            if (c == client)
                return ::recv(server, &byte, 1, MSG_DONTWAIT) == 0;
        }
        return false;
    }

private:
    int listener_ = -1;
    sockaddr_in address_ {};
    std::vector<std::pair<SocketRef, int>> pairs_;
};

class ConnectionPoolTest : public test::EngineTest { };

// Two requests run side by side and curl hands each the other's connection: neither connection
// may be shut down under the request it carries, and each entry now names the one it used.
TEST_F(ConnectionPoolTest, ConnectionsSwappedBetweenRunningRequestsStayOpen)
{
    LoopbackConnections sockets;
    auto& pool = ConnectionPool::shared();
    const SocketRef first = sockets.open();
    const SocketRef second = sockets.open();
    auto a = pool.take("http", "h", 0, nullptr, true).entry;
    auto b = pool.take("http", "h", 0, nullptr, true).entry;
    pool.attachStream(a, first);
    pool.attachStream(b, second);
    pool.release(a, true, 60);
    pool.release(b, true, 60);

    a = pool.take("http", "h", 0, a, true).entry;
    b = pool.take("http", "h", 0, b, true).entry;
    pool.attachStream(a, second); // a ended on b's connection while b still runs
    EXPECT_FALSE(sockets.wasShutDown(first));
    pool.attachStream(b, first);
    EXPECT_FALSE(sockets.wasShutDown(first));
    EXPECT_FALSE(sockets.wasShutDown(second));
    EXPECT_EQ(a->stream, second);
    EXPECT_EQ(b->stream, first);

    // A connection nobody names any more is let go once nothing else runs.
    pool.release(b, true, 60);
    pool.attachStream(a, sockets.open());
    EXPECT_TRUE(sockets.wasShutDown(second));
}

} // namespace
} // namespace norvane
