#include "server/http/HeadScanner.h"

namespace norvane::server {

namespace {

// A byte of a method token ("tchar").
bool isTokenByte(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (char allowed : std::string_view("!#$%&'*+-.^_`|~"))
        if (c == allowed)
            return true;
    return false;
}

} // namespace

HeadScanner::State HeadScanner::scan(std::string_view buffered)
{
    if (state_ != State::Incomplete)
        return state_;
    for (; scanned_ < buffered.size(); ++scanned_) {
        const char c = buffered[scanned_];
        // What cannot start a request is refused at once rather than waited on until the head's
        // deadline: a client that speaks TLS to a plain port learns it in a moment.
        if (!methodEnded_ && lines_ == 0) {
            if (c == ' ' && scanned_ > lineStart_)
                methodEnded_ = true;
            else if (!isTokenByte(c) && c != '\r' && c != '\n')
                return state_ = State::Malformed;
        }
        if (c != '\n')
            continue;
        if (lines_ == 0 && !methodEnded_) {
            lineStart_ = scanned_ + 1; // an empty line before the request line is let pass
            continue;
        }
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
    methodEnded_ = false;
    state_ = State::Incomplete;
}

} // namespace norvane::server
