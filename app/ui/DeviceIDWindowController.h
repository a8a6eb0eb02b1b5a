#pragma once

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QLineEdit;
class QWidget;

namespace norvane {

class AppDataManager;
class DeviceIdFields;

// The device-ID dialog: the stored identifier, a button that makes a new one and a button that
// keeps it, puts it on the clipboard for the administrator and signs out, so that the next login
// carries it. Made at start and kept for the life of the application.
class DeviceIDWindowController : public QObject {
    Q_OBJECT
public:
    DeviceIDWindowController(
        std::shared_ptr<AppDataManager> manager, std::function<void()> signOut, QObject* parent = nullptr);
    ~DeviceIDWindowController() override;

    QWidget* window() const { return window_; }
    QLineEdit* deviceIdField() const;

    void showWindow();
    void createDeviceID();
    void doSave();

private:
    std::function<void()> signOut_;
    QPointer<QWidget> window_;
    DeviceIdFields* fields_ = nullptr;
};

} // namespace norvane
