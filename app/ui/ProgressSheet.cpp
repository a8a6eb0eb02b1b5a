#include "app/ui/ProgressSheet.h"

#include "app/ui/UiText.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_set>

namespace norvane {

namespace {

constexpr int kBarRange = 1000;
constexpr int kTickMs = 100;

} // namespace

ProgressSheet::ProgressSheet(QWidget* window)
    : QDialog(window, Qt::Sheet)
{
    setObjectName(QStringLiteral("progressPanel"));
    setWindowTitle(uiText("ui_transfer_title"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    title_ = new QLabel(uiText("ui_transfer_title"), this);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    layout->addWidget(title_);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar"));
    bar_->setAccessibleName(uiText("ui_transfer_title"));
    bar_->setRange(0, kBarRange);
    bar_->setTextVisible(false);
    bar_->setMinimumWidth(360);
    layout->addWidget(bar_);
    auto* row = new QHBoxLayout;
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("progressLabel"));
    row->addWidget(label_, 1);
    stop_ = new QPushButton(uiText("ui_stop"), this);
    stop_->setObjectName(QStringLiteral("progressStop"));
    stop_->setAccessibleName(uiText("ui_stop"));
    row->addWidget(stop_);
    layout->addLayout(row);
    connect(stop_, &QPushButton::clicked, this, &ProgressSheet::stop);

    clock = [] { return ProgressEstimate::Clock::now(); };
    ticker_ = new QTimer(this);
    ticker_->setInterval(kTickMs);
    connect(ticker_, &QTimer::timeout, this, &ProgressSheet::refresh);
}

void ProgressSheet::addCommand(const CloudServiceCommandPtr& command)
{
    addCommands({ command });
}

void ProgressSheet::addCommands(const std::vector<CloudServiceCommandPtr>& commands)
{
    if (commands.empty())
        return;
    commands_.insert(commands_.end(), commands.begin(), commands.end());
    if (!isVisible()) {
        estimate_.clear();
        focusBefore_ = QApplication::focusWidget();
        show();
        ticker_->start();
    }
    refresh();
}

void ProgressSheet::removeCommand(const CloudServiceCommandPtr& command)
{
    removeCommands({ command });
}

void ProgressSheet::removeCommands(const std::vector<CloudServiceCommandPtr>& commands)
{
    if (commands.empty() || commands_.empty())
        return;
    const std::unordered_set<const CloudServiceCommand*> gone = [&] {
        std::unordered_set<const CloudServiceCommand*> set;
        for (const auto& command : commands)
            set.insert(command.get());
        return set;
    }();
    const auto before = commands_.size();
    std::erase_if(commands_, [&](const auto& command) { return gone.count(command.get()) > 0; });
    if (commands_.size() != before && commands_.empty())
        closeSheet();
}

void ProgressSheet::setTitle(const QString& title)
{
    title_->setText(title);
    setWindowTitle(title);
    bar_->setAccessibleName(title);
}

void ProgressSheet::stop()
{
    std::erase_if(stopped_, [](const auto& command) { return command.expired(); });
    for (const auto& command : commands_)
        stopped_.push_back(command);
    stopCommands(commands_);
    commands_.clear();
    closeSheet();
    emit stopped();
}

bool ProgressSheet::wasStopped(const CloudServiceCommandPtr& command) const
{
    return std::any_of(
        stopped_.begin(), stopped_.end(), [&](const auto& stopped) { return stopped.lock() == command; });
}

void ProgressSheet::closeSheet()
{
    ticker_->stop();
    estimate_.clear();
    setTitle(uiText("ui_transfer_title"));
    hide();
    // Back to where the person was (a sheet took the keyboard while it was up).
    if (parentWidget()) {
        parentWidget()->activateWindow();
        if (focusBefore_)
            focusBefore_->setFocus(Qt::OtherFocusReason);
    }
}

void ProgressSheet::refresh()
{
    const double fraction = ProgressEstimate::fraction(commands_);
    label_->setText(estimate_.update(fraction, clock()));
    bar_->setValue(static_cast<int>(fraction * kBarRange + 0.5));
}

void stopCommands(const std::vector<CloudServiceCommandPtr>& commands)
{
    // Each command's own stop: the thumbnails and listings running beside them go on.
    for (const auto& command : commands)
        command->stop();
}

} // namespace norvane
