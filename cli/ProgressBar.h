#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

namespace norvane::cli {

// The one-line progress display of a transfer on a terminal: bar, percentage, bytes, rate and
// the time still to go. It redraws in place (carriage return) and is wiped before anything
// else is written to the same stream.
class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;

    // Draws on `out` only when `enabled` (standard error is a terminal).
    ProgressBar(std::ostream& out, bool enabled);

    // The transfer stands at `done` of `total` bytes (total 0: not known yet). Redraws at most
    // five times a second, and always when it reaches the total.
    void update(std::uint64_t done, std::uint64_t total, Clock::time_point now = Clock::now());
    // Wipes the line so that a message can be written; the next update draws it again.
    void clear();
    bool enabled() const { return enabled_; }

    // The text of one line: "  42% [=====>     ] 12.3 MiB / 29.1 MiB  3.4 MiB/s  ETA 0:05".
    // Without a total the percentage, bar and ETA are left out; without a rate, rate and ETA.
    static std::string render(
        std::uint64_t done, std::uint64_t total, std::optional<double> bytesPerSecond, std::size_t barWidth = 24);
    // "999 B", "1.0 KiB", "12.3 MiB", "1.5 GiB".
    static std::string formatBytes(double bytes);
    // "0:05", "12:34", "1:02:03".
    static std::string formatDuration(double seconds);

private:
    std::optional<double> rate(Clock::time_point now) const;

    std::ostream& out_;
    bool enabled_;
    bool drawn_ = false;
    std::size_t lastLength_ = 0;
    std::optional<Clock::time_point> lastDraw_;
    // (time, bytes) over the last few seconds, for the rate.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

} // namespace norvane::cli
