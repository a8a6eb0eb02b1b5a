#pragma once

#include "app/ui/ProgressEstimate.h"

#include <QDialog>
#include <QPointer>

#include <functional>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace norvane {

// The sheet over the file window while transfers run: one bar and one label for all of its
// commands together (ProgressEstimate), and Stop, which stops exactly these commands and closes
// the sheet. There is one sheet; each transfer adds its commands and takes them away when it ends,
// and the sheet closes when none is left.
class ProgressSheet : public QDialog {
    Q_OBJECT
public:
    explicit ProgressSheet(QWidget* window);

    // Shows the command's progress (and the sheet, when it is not up yet).
    void addCommand(const CloudServiceCommandPtr& command);
    // The same for many at once (a tree of thousands): the sums are read once.
    void addCommands(const std::vector<CloudServiceCommandPtr>& commands);
    // The command ended: it leaves the sheet, and the sheet closes when it was the last.
    void removeCommand(const CloudServiceCommandPtr& command);
    void removeCommands(const std::vector<CloudServiceCommandPtr>& commands);
    // The heading the sheet shows until it closes ("Downloading" unless told).
    void setTitle(const QString& title);
    const std::vector<CloudServiceCommandPtr>& commands() const { return commands_; }

    // Stops the sheet's commands, no others, and closes it (the Stop button).
    void stop();
    // The command was on the sheet when Stop was pressed: whatever it still delivers (it may have
    // finished just before the stop reached it) is not used.
    bool wasStopped(const CloudServiceCommandPtr& command) const;
    // Reads the commands' progress into the bar and the label now.
    void refresh();

    // Where the time of the samples comes from (tests script it).
    std::function<ProgressEstimate::Clock::time_point()> clock;

    QProgressBar* bar() const { return bar_; }
    QLabel* label() const { return label_; }
    QPushButton* stopButton() const { return stop_; }

signals:
    // Stop was pressed: a transfer still making commands for the sheet stops making them.
    void stopped();

private:
    void closeSheet();

    std::vector<CloudServiceCommandPtr> commands_;
    std::vector<std::weak_ptr<CloudServiceCommand>> stopped_;
    ProgressEstimate estimate_;
    QProgressBar* bar_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* label_ = nullptr;
    QPushButton* stop_ = nullptr;
    QTimer* ticker_ = nullptr;
    QPointer<QWidget> focusBefore_;
};

// Stops every command of the list and nothing else.
void stopCommands(const std::vector<CloudServiceCommandPtr>& commands);

} // namespace norvane
