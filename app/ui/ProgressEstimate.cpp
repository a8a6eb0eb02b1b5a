#include "app/ui/ProgressEstimate.h"

#include <cmath>

namespace norvane {

double ProgressEstimate::fraction(const std::vector<CloudServiceCommandPtr>& commands)
{
    double total = 0;
    double done = 0;
    for (const auto& command : commands) {
        const auto size = static_cast<double>(command->totleFileSize);
        total += size;
        const double progress = command->progress.load();
        if (command->commandRes != 0)
            done += size;
        else if (progress > 0 && progress <= 1)
            done += progress * size;
    }
    return total > 0 ? done / total : 0.0;
}

QString ProgressEstimate::update(double fraction, Clock::time_point now)
{
    if (fraction == 0) {
        samples_.clear();
    } else if (samples_.empty() || now - samples_.back().time >= std::chrono::seconds(1)) {
        samples_.push_back({ now, fraction });
        if (samples_.size() > kSamples)
            samples_.pop_front();
    }
    const QString percent = QString::asprintf("%3.1f%%", fraction * 100);
    if (samples_.size() < 2)
        return percent;
    const double elapsed = std::chrono::duration<double>(samples_.back().time - samples_.front().time).count();
    const double moved = samples_.back().fraction - samples_.front().fraction;
    if (moved == 0)
        return percent + QStringLiteral("  残り時間 99時間59分59秒");
    return percent + QStringLiteral("  ") + remainingText(elapsed * (1 - fraction) / moved);
}

QString ProgressEstimate::remainingText(double seconds)
{
    // Whole seconds; a sliver below the next second is arithmetic, not time.
    const double whole = std::floor(std::max(0.0, seconds) + 1e-6);
    const auto total = whole >= 4294967295.0 ? 4294967295u : static_cast<unsigned>(whole);
    const unsigned hours = total / 3600;
    const unsigned minutes = total % 3600 / 60;
    const unsigned rest = total % 60;
    QString time;
    if (hours > 0)
        time = QString::asprintf("%02u時間%02u分%02u秒", hours, minutes, rest);
    else if (minutes > 0)
        time = QString::asprintf("%02u分%02u秒", minutes, rest);
    else
        time = QString::asprintf("%02u秒", rest);
    return QStringLiteral("残り時間 ") + time;
}

} // namespace norvane
