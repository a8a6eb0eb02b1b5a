#include "cli/ProgressBar.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace norvane::cli {

namespace {

// The rate is the average over this window: steady enough to read, quick to follow a change.
constexpr auto kRateWindow = std::chrono::seconds(3);
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

} // namespace

ProgressBar::ProgressBar(std::ostream& out, bool enabled)
    : out_(out)
    , enabled_(enabled)
{ }

void ProgressBar::update(std::uint64_t done, std::uint64_t total, Clock::time_point now)
{
    if (!samples_.empty() && done < samples_.back().second)
        samples_.clear(); // a restarted transfer: the old samples say nothing about it
    samples_.emplace_back(now, done);
    while (samples_.size() > 2 && now - samples_.front().first > kRateWindow)
        samples_.pop_front();
    if (!enabled_)
        return;
    const bool complete = total != 0 && done >= total;
    if (lastDraw_ && now - *lastDraw_ < kRedrawInterval && !complete)
        return;
    lastDraw_ = now;
    const std::string line = render(done, total, rate(now));
    out_ << '\r' << line;
    if (line.size() < lastLength_)
        out_ << std::string(lastLength_ - line.size(), ' ');
    out_.flush();
    lastLength_ = line.size();
    drawn_ = true;
}

void ProgressBar::clear()
{
    if (!enabled_ || !drawn_)
        return;
    out_ << '\r' << std::string(lastLength_, ' ') << '\r';
    out_.flush();
    drawn_ = false;
    lastLength_ = 0;
    lastDraw_.reset();
}

std::optional<double> ProgressBar::rate(Clock::time_point now) const
{
    if (samples_.size() < 2)
        return std::nullopt;
    const auto& [firstTime, firstBytes] = samples_.front();
    const double seconds = std::chrono::duration<double>(now - firstTime).count();
    if (seconds < 0.1)
        return std::nullopt;
    return static_cast<double>(samples_.back().second - firstBytes) / seconds;
}

std::string ProgressBar::render(
    std::uint64_t done, std::uint64_t total, std::optional<double> bytesPerSecond, std::size_t barWidth)
{
    std::string line;
    if (total != 0) {
        const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
        char percent[8];
        std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(std::floor(fraction * 100.0)));
        line += percent;
        line += " [";
        const auto filled = static_cast<std::size_t>(std::floor(fraction * static_cast<double>(barWidth)));
        line += std::string(filled, '=');
        if (filled < barWidth) {
            line += '>';
            line += std::string(barWidth - filled - 1, ' ');
        }
        line += "] ";
        line += formatBytes(static_cast<double>(done)) + " / " + formatBytes(static_cast<double>(total));
    } else {
        line += formatBytes(static_cast<double>(done));
    }
    if (bytesPerSecond && *bytesPerSecond >= 0) {
        line += "  " + formatBytes(*bytesPerSecond) + "/s";
        if (total != 0 && done<total&& * bytesPerSecond> 0)
            line += "  ETA " + formatDuration(static_cast<double>(total - done) / *bytesPerSecond);
    }
    return line;
}

std::string ProgressBar::formatBytes(double bytes)
{
    static constexpr const char* kUnits[] = { "KiB", "MiB", "GiB", "TiB" };
    if (bytes < 1024.0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f B", std::max(0.0, bytes));
        return text;
    }
    double value = bytes / 1024.0;
    std::size_t unit = 0;
    // Rounded to one decimal first, so that 1023.96 KiB reads "1.0 MiB" and never "1024.0 KiB".
    while (std::round(value * 10.0) / 10.0 >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string ProgressBar::formatDuration(double seconds)
{
    // Beyond a few days an estimate means nothing; it is also kept from overflowing.
    const auto total = static_cast<long long>(std::clamp(std::ceil(seconds), 0.0, 359999.0));
    const long long hours = total / 3600;
    const long long minutes = total / 60 % 60;
    const long long secs = total % 60;
    char text[32];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, secs);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", minutes, secs);
    return text;
}

} // namespace norvane::cli
