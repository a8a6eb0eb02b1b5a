#include "app/ui/QtAlertPresenter.h"

#include "app/ui/UiText.h"
#include "platform/MainQueue.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>

namespace norvane {

struct QtAlertPresenter::Queue {
    std::deque<Alert> waiting;
    QPointer<QMessageBox> showing;
};

QtAlertPresenter::QtAlertPresenter(std::shared_ptr<MainQueue> mainQueue)
    : mainQueue_(std::move(mainQueue))
    , queue_(std::make_shared<Queue>())
{ }

QtAlertPresenter::~QtAlertPresenter() = default;

QMessageBox* QtAlertPresenter::makeBox(const Alert& alert, QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(QMessageBox::Information);
    box->setWindowTitle(displayName());
    box->setWindowModality(Qt::ApplicationModal);
    // The title makes the first line and the message the text below it; an alert without a
    // title leads with its message.
    QString title = alert.titleKey.empty() ? QString() : uiText(alert.titleKey);
    QString message = alert.messageKey.empty() ? QString() : uiText(alert.messageKey);
    if (!alert.detail.empty()) {
        if (!message.isEmpty())
            message += QStringLiteral("\n");
        message += QString::fromStdString(alert.detail); // literal: file names, the server's words
    }
    if (title.isEmpty())
        std::swap(title, message);
    box->setText(title);
    box->setInformativeText(message);
    box->setAccessibleName(title);
    const std::vector<std::string> keys
        = alert.buttonKeys.empty() ? std::vector<std::string> { "alert_ok" } : alert.buttonKeys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        // The first button is the default one and sits where a person looks first.
        auto* button = box->addButton(uiText(keys[i]), i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
        button->setAccessibleName(button->text());
        button->setProperty("alertIndex", static_cast<qulonglong>(i));
        if (i == 0)
            box->setDefaultButton(button);
    }
    if (keys.size() > 1) {
        // Escape is the answer that changes nothing: cancel or no where the alert has one (a
        // delete asks with cancel first), else the last button.
        QAbstractButton* escape = box->buttons().constLast();
        for (const char* declining : { "alert_cancel", "alert_no" }) {
            const auto at = std::find(keys.begin(), keys.end(), declining);
            if (at == keys.end())
                continue;
            for (QAbstractButton* button : box->buttons())
                if (button->property("alertIndex").toULongLong() == static_cast<qulonglong>(at - keys.begin()))
                    escape = button;
            break;
        }
        box->setEscapeButton(escape);
    }
    return box;
}

void QtAlertPresenter::present(const Alert& alert)
{
    // Always later, never inside the caller: the caller may be in the middle of changing the
    // window the alert would sit on.
    mainQueue_->post([this, queue = std::weak_ptr<Queue>(queue_), alert] {
        auto q = queue.lock();
        if (!q)
            return;
        q->waiting.push_back(alert);
        showNext();
    });
}

void QtAlertPresenter::showNext()
{
    if (queue_->showing || queue_->waiting.empty())
        return;
    Alert alert = std::move(queue_->waiting.front());
    queue_->waiting.pop_front();
    QMessageBox* box = makeBox(alert, QApplication::activeWindow());
    box->setAttribute(Qt::WA_DeleteOnClose);
    queue_->showing = box;
    QObject::connect(box, &QMessageBox::finished, box, [this, queue = std::weak_ptr<Queue>(queue_)] {
        auto q = queue.lock();
        if (!q)
            return;
        q->showing = nullptr;
        mainQueue_->post([this, queue] {
            if (queue.lock())
                showNext();
        });
    });
    box->open();
}

std::size_t QtAlertPresenter::question(const Alert& alert)
{
    const std::size_t buttons = alert.buttonKeys.empty() ? 1 : alert.buttonKeys.size();
    // When the loop is gone nobody can answer: take the answer that changes nothing.
    std::size_t answer = StderrAlertPresenter::policyAnswer(StderrAlertPresenter::Policy::No, alert.buttonKeys);
    auto ask = [&] {
        QMessageBox* box = makeBox(alert, QApplication::activeWindow());
        box->exec();
        if (auto* clicked = box->clickedButton())
            answer = static_cast<std::size_t>(clicked->property("alertIndex").toULongLong());
        delete box;
    };
    if (mainQueue_->isMainThread())
        ask();
    else
        mainQueue_->runSync(ask);
    return answer < buttons ? answer : 0;
}

QMessageBox* QtAlertPresenter::currentBox() const
{
    return queue_->showing.data();
}

std::size_t QtAlertPresenter::queuedCount() const
{
    return queue_->waiting.size();
}

} // namespace norvane
