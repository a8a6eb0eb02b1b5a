#pragma once

#include <string>
#include <utility>
#include <variant>

namespace norvane::server {

// Why an image or a page could not be made. The HTTP layer picks the status; nothing here knows
// of HTTP.
enum class MediaError {
    Unreadable, // the file is missing or cannot be read
    NotAnImage, // not a picture format that the decoder knows, or broken inside
    NotAPdf, // not a PDF document, or damaged beyond repair
    Encrypted, // a PDF that needs a password to open
    TooLarge, // more pixels than the server is willing to decode
    BadSize, // the requested width, height or page is out of range
    RenderFailed, // the decoder or the renderer gave up
    EncodeFailed, // the JPEG could not be written
};

struct MediaFailure {
    MediaError error = MediaError::Unreadable;
    std::string detail; // for people and logs
};

// A value or the reason there is none.
template <typename T> class MediaResult {
public:
    MediaResult(T value)
        : state_(std::move(value))
    { }
    MediaResult(MediaFailure failure)
        : state_(std::move(failure))
    { }
    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const MediaFailure& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, MediaFailure> state_;
};

inline MediaFailure mediaFailure(MediaError error, std::string detail)
{
    return MediaFailure { error, std::move(detail) };
}

} // namespace norvane::server
