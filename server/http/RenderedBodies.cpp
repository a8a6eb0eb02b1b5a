#include "server/http/RenderedBodies.h"

#include <algorithm>

namespace norvane::server {

RenderedBodies::RenderedBodies(Limits limits, Clock clock)
    : limits_(limits)
    , clock_(std::move(clock))
{ }

std::chrono::steady_clock::time_point RenderedBodies::now() const
{
    return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void RenderedBodies::dropExpired(std::chrono::steady_clock::time_point at)
{
    std::erase_if(kept_, [&](const Kept& kept) { return at - kept.lastAsked >= limits_.keepFor; });
}

std::shared_ptr<const std::string> RenderedBodies::find(const std::string& key)
{
    const auto at = now();
    std::lock_guard lock(mutex_);
    dropExpired(at);
    auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept& kept) { return kept.key == key; });
    if (it == kept_.end())
        return nullptr;
    it->lastAsked = at;
    std::rotate(it, it + 1, kept_.end());
    return kept_.back().body;
}

void RenderedBodies::keep(const std::string& key, std::shared_ptr<const std::string> body)
{
    if (!body || body->size() > limits_.maxBytes || limits_.maxBodies == 0)
        return;
    const auto at = now();
    std::lock_guard lock(mutex_);
    dropExpired(at);
    std::erase_if(kept_, [&](const Kept& kept) { return kept.key == key; });
    kept_.push_back({ key, std::move(body), at });
    std::size_t bytes = 0;
    for (const auto& kept : kept_)
        bytes += kept.body->size();
    while (kept_.size() > limits_.maxBodies || bytes > limits_.maxBytes) {
        bytes -= kept_.front().body->size();
        kept_.erase(kept_.begin());
    }
}

} // namespace norvane::server
