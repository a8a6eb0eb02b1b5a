#pragma once

// The front end on an ephemeral loopback port over a StoreFixture store, spoken to with plain
// sockets: what goes over the wire is exactly what the test wrote.

#include "StoreFixture.h"

#include "server/http/FaultRules.h"
#include "server/http/HttpFrontEnd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

namespace norvane::server::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Answer {
    int status = 0; // 0: the connection ended without an answer
    std::map<std::string, std::string> headers; // lower-case names
    std::string body;
    bool cutShort = false; // fewer body bytes than Content-Length announced

    std::string header(const std::string& name) const
    {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

class Wire {
public:
    // `from`: the loopback address the connection comes from ("127.0.0.2", ...).
    explicit Wire(int port, const char* from = nullptr)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval timeout { 10, 0 };
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (from) {
            sockaddr_in local {};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, from, &local.sin_addr);
            EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << from;
        }
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~Wire() { ::close(fd_); }
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    void send(
        const std::string& method, const std::string& target, const Headers& headers = {}, const std::string& body = {})
    {
        std::string text = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (const auto& [name, value] : headers)
            text += name + ": " + value + "\r\n";
        if (!body.empty() || method == "POST" || method == "PUT")
            text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        text += "\r\n" + body;
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }

    // Bytes as they are, e.g. a part of a request; false when the peer no longer takes them.
    bool sendRaw(const std::string& bytes)
    {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    Answer receive()
    {
        Answer answer;
        std::size_t headEnd;
        while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!more())
                return answer;
        }
        std::istringstream head(buffer_.substr(0, headEnd));
        buffer_.erase(0, headEnd + 4);
        std::string line;
        std::getline(head, line);
        answer.status = std::atoi(line.substr(9, 3).c_str());
        while (std::getline(head, line)) {
            auto colon = line.find(':');
            if (colon == std::string::npos)
                continue;
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            if (!value.empty() && value.back() == '\r')
                value.pop_back();
            answer.headers[name] = value;
        }
        const std::size_t length
            = std::stoul(answer.header("content-length").empty() ? "0" : answer.header("content-length"));
        while (buffer_.size() < length) {
            if (!more()) {
                answer.cutShort = true;
                break;
            }
        }
        answer.body = buffer_.substr(0, std::min(length, buffer_.size()));
        buffer_.erase(0, answer.body.size());
        return answer;
    }

    // Says it sends nothing more, reads at least `bytes` of the answer and goes away with the rest
    // unread: the peer's next write fails with EPIPE.
    void hangUpAfter(std::size_t bytes)
    {
        ::shutdown(fd_, SHUT_WR);
        while (buffer_.size() < bytes && more()) { }
        ::close(fd_);
        fd_ = -1;
    }

    // True when the peer closed the connection without sending anything more.
    bool closedByPeer()
    {
        char c = 0;
        return buffer_.empty() && ::recv(fd_, &c, 1, 0) == 0;
    }

private:
    bool more()
    {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
};

inline std::string md5Hex(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(data.data(), data.size(), digest, &size, EVP_md5(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

inline std::string between(const std::string& text, const std::string& open, const std::string& close)
{
    auto from = text.find(open);
    if (from == std::string::npos)
        return {};
    from += open.size();
    return text.substr(from, text.find(close, from) - from);
}

class FrontEndFixture : public StoreFixture {
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        FrontEndSettings settings;
        settings.controlToken = "test-token";
        settings.noAnswerHold = std::chrono::milliseconds(300);
        configure(settings);
        frontEnd = std::make_unique<HttpFrontEnd>(*store, faults, settings);
        auto failure = frontEnd->start();
        ASSERT_FALSE(failure) << failure->description;
    }

    void TearDown() override
    {
        frontEnd.reset();
        StoreFixture::TearDown();
    }

    // Settings of the front end before it starts.
    virtual void configure(FrontEndSettings&) { }

    Answer call(
        const std::string& method, const std::string& target, const Headers& headers = {}, const std::string& body = {})
    {
        Wire wire(frontEnd->port());
        wire.send(method, target, headers, body);
        return wire.receive();
    }

    Answer login(const std::string& user, const std::string& password, const std::string& device = "dev-1",
        const char* from = nullptr)
    {
        Wire wire(frontEnd->port(), from);
        wire.send("GET", "/Storage9/QORPrivateStorage/account/" + user,
            { { "Authorization", "ZEL 3f0a9c27d41e8b65c0d2e" }, { "KigyoCode", "acme" }, { "UserPassWord", password },
                { "X-Device-Id", device } });
        return wire.receive();
    }

    // The authorization value of a fresh session of the user.
    std::string session(const std::string& user)
    {
        const Answer answer = login(user, user + "-secret");
        EXPECT_EQ(answer.status, 200) << answer.body;
        return between(answer.body, "<QorID>", "</QorID>") + ":" + between(answer.body, "<VarID>", "</VarID>") + ":"
            + between(answer.body, "<KigyoID>", "</KigyoID>") + ":" + between(answer.body, "<UserKey>", "</UserKey>");
    }

    Answer as(const std::string& authorization, const std::string& method, const std::string& target,
        Headers headers = {}, const std::string& body = {})
    {
        headers.emplace_back("Authorization", authorization);
        return call(method, target, headers, body);
    }

    FaultRules faults;
    std::unique_ptr<HttpFrontEnd> frontEnd;
};

} // namespace norvane::server::testing
