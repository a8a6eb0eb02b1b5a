#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <string_view>

class QLabel;
class QPushButton;
class QWidget;

namespace norvane {
class ConfigInfo;
}

namespace norvane {

// What a controller hears of its window: it was shown (filled once per showing), the person asks
// to close it (the close box; false keeps it open), and it closes. Closing from code is hide():
// that is no request of the person's, so it asks nothing and only reports the close.
class WindowEvents : public QObject {
    Q_OBJECT
public:
    std::function<void()> shown;
    std::function<bool()> shouldClose;
    std::function<void()> willClose;

    // Watches `window`; the object belongs to it.
    static WindowEvents* watch(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// A button with the localised text of the key, found by its object name (tests, accessibility).
QPushButton* makeButton(std::string_view key, const char* objectName, QWidget* parent);
// The bold name of the file a dialog is about, at its top.
QLabel* makeFileNameHeading(const std::string& displayName, QWidget* parent);

// Shows the window in front, centred on the screen it is on (the primary one at first).
void showCentred(QWidget* window);

// Writes the settings file on a worker: a save ends in fsync, which can keep the disk, and with
// it the windows, busy for tens of milliseconds. The record in memory has the new values already;
// the operations read them from there.
void saveSettingsLater(ConfigInfo& config);

} // namespace norvane
