#pragma once

#include <QObject>

#include <memory>

class QLabel;
class QLayout;
class QLineEdit;
class QPushButton;
class QWidget;

namespace norvane {

class AppDataManager;

// The device identifier as the settings window's tab and the device-ID dialog show it: a word
// of explanation, the field, a button that makes a new identifier (not yet kept) and one that
// keeps what the field holds.
class DeviceIdFields : public QObject {
    Q_OBJECT
public:
    DeviceIdFields(std::shared_ptr<AppDataManager> manager, QWidget* parent);

    QLayout* layout() const { return layout_; }
    QLineEdit* field() const { return field_; }
    QPushButton* saveButton() const { return save_; }

    // The field shows the stored identifier.
    void fill();
    // A new identifier from the installation's base identifier and the time; nothing is kept yet.
    void createDeviceID();
    // Keeps the field's identifier (the request headers follow it) and puts it on the clipboard,
    // for the person to hand to the administrator.
    void keep();

signals:
    void saveRequested();

private:
    std::shared_ptr<AppDataManager> manager_;
    QLayout* layout_ = nullptr;
    QLineEdit* field_ = nullptr;
    QPushButton* save_ = nullptr;
};

} // namespace norvane
