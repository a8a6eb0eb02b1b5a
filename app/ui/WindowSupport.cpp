#include "app/ui/WindowSupport.h"

#include "app/state/ConfigInfo.h"
#include "app/ui/UiText.h"
#include "platform/DispatchQueue.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWidget>

namespace norvane {

WindowEvents* WindowEvents::watch(QWidget* window)
{
    auto* events = new WindowEvents;
    events->setParent(window);
    window->installEventFilter(events);
    return events;
}

bool WindowEvents::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::Show:
        if (shown)
            shown();
        break;
    case QEvent::Close:
        if (shouldClose && !shouldClose()) {
            event->ignore();
            return true;
        }
        break;
    case QEvent::Hide:
        // Both a close and a hide from code end the showing; a minimised window is still shown.
        if (auto* widget = qobject_cast<QWidget*>(watched); widget && !widget->isMinimized() && willClose)
            willClose();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

QPushButton* makeButton(std::string_view key, const char* objectName, QWidget* parent)
{
    auto* button = new QPushButton(uiText(key), parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(button->text());
    return button;
}

QLabel* makeFileNameHeading(const std::string& displayName, QWidget* parent)
{
    auto* name = new QLabel(QString::fromStdString(displayName), parent);
    name->setObjectName(QStringLiteral("fileNameLabel"));
    name->setTextFormat(Qt::PlainText);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    return name;
}

void showCentred(QWidget* window)
{
    // A window given a size of its own keeps it; the others take the size their content asks.
    if (!window->isVisible() && !window->testAttribute(Qt::WA_Resized))
        window->adjustSize();
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (screen) {
        QRect frame = window->frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void saveSettingsLater(ConfigInfo& config)
{
    // The record lives as long as the data manager, which outlives every operation of the
    // background queue (the application waits for them before it lets go of the manager).
    DispatchQueue::global().async([&config] { config.save(); });
}

} // namespace norvane
