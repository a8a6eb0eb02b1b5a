#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// An absolute URL split into its parts: scheme://[user[:password]@]host[:port]/path?query#fragment.
//
// The scheme and the host are kept in lower case (both are case-insensitive); everything else is
// kept as written, percent escapes included. The host of an IPv6 literal is kept without its
// brackets. Control characters anywhere make the text unusable (they would break a request
// line); a space or a non-ASCII byte in the path, query or fragment is percent-encoded, as
// servers do send such "Location" values.
class URL {
public:
    // None for a relative reference, a bad scheme, host or port, or control characters.
    static std::optional<URL> parse(std::string_view text);

    const std::string& scheme() const { return scheme_; }
    bool hasAuthority() const { return hasAuthority_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    const std::string& host() const { return host_; }
    bool isIPv6Host() const { return host_.find(':') != std::string::npos; }
    // The port as written; 0 when the URL names none.
    std::uint16_t port() const { return port_; }
    // The port written, else the scheme's well-known port (80, 443), else 0.
    std::uint16_t effectivePort() const;
    // As written; may be empty ("http://host").
    const std::string& path() const { return path_; }
    bool hasQuery() const { return query_.has_value(); }
    std::string query() const { return query_.value_or(std::string()); }
    bool hasFragment() const { return fragment_.has_value(); }
    std::string fragment() const { return fragment_.value_or(std::string()); }

    // What goes into a request line: the path ("/" when empty) and the query, no fragment.
    std::string requestTarget() const;
    // host[:port] as a Host header carries it, with brackets around an IPv6 literal.
    std::string hostAndPort() const;
    // The whole URL as text.
    std::string string() const;

    // The absolute URL that a reference (absolute, "//host/x", "/abs", "rel", "../x", "?q",
    // "#f") names when read against this URL, by the generic resolution of URI references.
    // None when the reference cannot be read.
    std::optional<URL> resolve(std::string_view reference) const;

    friend bool operator==(const URL&, const URL&) = default;

private:
    std::string scheme_;
    bool hasAuthority_ = false;
    std::string user_;
    std::string password_;
    bool hasUserInfo_ = false;
    bool hasPassword_ = false;
    std::string host_;
    std::uint16_t port_ = 0;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;

    friend struct URLParts;
};

} // namespace norvane
