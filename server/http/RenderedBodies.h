#pragma once

// Answer bodies that are costly to render (the listing of a big folder, a search) kept for a
// short while under a key that names everything they depend on, so that the ranges a client
// reads one after the other come from one rendering.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norvane::server {

class RenderedBodies {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    struct Limits {
        std::chrono::seconds keepFor { 15 }; // since the body was last asked for
        std::size_t maxBodies = 4;
        std::size_t maxBytes = std::size_t { 512 } << 20;
    };

    RenderedBodies() = default;
    explicit RenderedBodies(Limits limits, Clock clock = {});

    // The body kept under the key; null when there is none (or it has expired).
    std::shared_ptr<const std::string> find(const std::string& key);
    // Keeps the body under the key, letting go of the least recently asked for beyond the limits.
    // A body larger than all of them is not kept.
    void keep(const std::string& key, std::shared_ptr<const std::string> body);

private:
    struct Kept {
        std::string key;
        std::shared_ptr<const std::string> body;
        std::chrono::steady_clock::time_point lastAsked;
    };
    std::chrono::steady_clock::time_point now() const;
    void dropExpired(std::chrono::steady_clock::time_point at);

    Limits limits_;
    Clock clock_;
    std::mutex mutex_;
    std::vector<Kept> kept_; // the most recently asked for last
};

} // namespace norvane::server
