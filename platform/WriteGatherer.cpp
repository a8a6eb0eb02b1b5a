#include "platform/WriteGatherer.h"

#include <algorithm>

namespace norvane {

WriteGatherer::WriteGatherer(std::size_t step)
    : step_(step)
{ }

bool WriteGatherer::add(std::uint64_t writtenEnd, std::span<const std::uint8_t> bytes, const Write& write)
{
    const std::uint64_t gatheredEnd = writtenEnd + pending_.size();
    if (!pending_.empty() || gatheredEnd % step_ != 0) {
        const std::size_t toLine = step_ - static_cast<std::size_t>(gatheredEnd % step_);
        const std::size_t take = std::min(bytes.size(), toLine);
        if (pending_.capacity() < step_)
            pending_.reserve(step_);
        pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (take < toLine)
            return true;
        if (!flush(write))
            return false;
    }
    const std::size_t whole = bytes.size() - bytes.size() % step_;
    if (whole > 0 && !write(bytes.first(whole)))
        return false;
    pending_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(whole), bytes.end());
    return true;
}

bool WriteGatherer::flush(const Write& write)
{
    const bool written = pending_.empty() || write(pending_);
    pending_.clear();
    return written;
}

void WriteGatherer::keep(std::size_t count)
{
    if (count < pending_.size())
        pending_.resize(count);
}

} // namespace norvane
