#pragma once

#include "platform/AlertPresenter.h"

#include <QPointer>

#include <deque>
#include <memory>

class QMessageBox;
class QWidget;

namespace norvane {

class MainQueue;

// Alerts of the desktop: a message box per alert, application-modal, on the GUI thread. Plain
// alerts are queued and shown one after another, first in first out, each only after the call
// that asked for it has returned. A question runs its box on the GUI thread while the asking
// worker waits for the chosen button; asked on the GUI thread, it runs there at once.
class QtAlertPresenter : public AlertPresenter {
public:
    explicit QtAlertPresenter(std::shared_ptr<MainQueue> mainQueue);
    ~QtAlertPresenter() override;

    // The box on screen now (plain alerts only); null when none.
    QMessageBox* currentBox() const;
    std::size_t queuedCount() const;

    // The box an alert is shown in; its buttons are in the order of the alert's button keys.
    static QMessageBox* makeBox(const Alert& alert, QWidget* parent);

protected:
    void present(const Alert& alert) override;
    std::size_t question(const Alert& alert) override;

private:
    struct Queue;
    void showNext();

    std::shared_ptr<MainQueue> mainQueue_;
    std::shared_ptr<Queue> queue_;
};

} // namespace norvane
