#pragma once

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"

#include <QString>

#include <chrono>
#include <deque>
#include <vector>

namespace norvane {

// What the progress sheet shows of its transfers: how far they are together, and how long the rest
// will take judged by the last samples. The samples are taken at least a second apart, ten at
// most; the estimate is the pace between the oldest and the newest.
class ProgressEstimate {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kSamples = 10;

    // Done over total bytes of the commands: a finished command counts whole, a running one by its
    // progress, one not started as nothing. 0 when there is nothing to move.
    static double fraction(const std::vector<CloudServiceCommandPtr>& commands);

    // Records the fraction at `now` (0 empties the history) and gives the label: "42.0%" while
    // there are fewer than two samples, else the percentage, two blanks and the time left; a pace
    // of nothing gives the longest time the label knows.
    QString update(double fraction, Clock::time_point now);

    // "残り時間 " and the time: hours, minutes and seconds, minutes and seconds, or seconds.
    static QString remainingText(double seconds);

    std::size_t sampleCount() const { return samples_.size(); }
    void clear() { samples_.clear(); }

private:
    struct Sample {
        Clock::time_point time;
        double fraction;
    };
    std::deque<Sample> samples_;
};

} // namespace norvane
