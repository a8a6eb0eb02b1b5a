#include "server/http/HeadScanner.h"

namespace norvane::server {

HeadScanner::State HeadScanner::scan(std::string_view buffered)
{
    if (state_ != State::Incomplete)
        return state_;
    for (; scanned_ < buffered.size(); ++scanned_) {
        if (buffered[scanned_] != '\n')
            continue;
        const std::string_view line = buffered.substr(lineStart_, scanned_ + 1 - lineStart_);
        lineStart_ = scanned_ + 1;
        if (lines_++ > 0 && line == "\r\n") {
            headLength_ = lineStart_;
            state_ = headLength_ > limits_.maxBytes ? State::TooLarge : State::Complete;
            return state_;
        }
        // The request line is not a header; the empty line that ends the head is not one either.
        if (lines_ > limits_.maxHeaders + 1) {
            state_ = State::TooLarge;
            return state_;
        }
    }
    if (scanned_ > limits_.maxBytes)
        state_ = State::TooLarge;
    return state_;
}

void HeadScanner::reset()
{
    scanned_ = lineStart_ = lines_ = headLength_ = 0;
    state_ = State::Incomplete;
}

} // namespace norvane::server
