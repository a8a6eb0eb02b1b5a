#pragma once

#include <cstddef>
#include <string_view>

namespace norvane::server {

// Follows a request head while its bytes arrive, without reading any of them twice: where it
// ends, and whether it stays within the limits. The head ends with the first empty line ("\r\n")
// after the request line, as httplib reads it; every line in between counts as a header.
struct HeadLimits {
    std::size_t maxHeaders = 100;
    std::size_t maxBytes = 64 * 1024; // request line, headers and the empty line
};

class HeadScanner {
public:
    using Limits = HeadLimits;
    enum class State {
        Incomplete, // more bytes are needed
        Complete, // headLength() bytes are the head
        TooLarge, // too many header lines, or too many bytes before the end
        Malformed, // the first bytes cannot begin a request line (a TLS hello on a plain port)
    };

    explicit HeadScanner(Limits limits = {})
        : limits_(limits)
    { }

    // Scans `buffered` (the bytes received so far, from the head's first byte) from where the last
    // call stopped.
    State scan(std::string_view buffered);
    std::size_t headLength() const { return headLength_; }
    // Starts over: the next bytes scanned begin a new head.
    void reset();

private:
    Limits limits_;
    std::size_t scanned_ = 0;
    std::size_t lineStart_ = 0;
    std::size_t lines_ = 0; // lines ended so far, the request line included
    std::size_t headLength_ = 0;
    bool methodEnded_ = false; // the request line's method has met its space
    State state_ = State::Incomplete;
};

} // namespace norvane::server
