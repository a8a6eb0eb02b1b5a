#include "app/ui/DeviceIDWindowController.h"

#include "app/ui/DeviceIdFields.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/AlertPresenter.h"

#include <QLayout>
#include <QPushButton>
#include <QWidget>

namespace norvane {

DeviceIDWindowController::DeviceIDWindowController(
    std::shared_ptr<AppDataManager> manager, std::function<void()> signOut, QObject* parent)
    : QObject(parent)
    , signOut_(std::move(signOut))
{
    window_ = new QWidget(nullptr, Qt::Window);
    window_->setObjectName(QStringLiteral("deviceWindow"));
    window_->setWindowTitle(uiText("ui_device_id_title"));
    window_->setAccessibleName(window_->windowTitle());
    fields_ = new DeviceIdFields(std::move(manager), window_);
    fields_->saveButton()->setDefault(true);
    window_->setLayout(fields_->layout());
    window_->layout()->setSizeConstraint(QLayout::SetFixedSize);
    connect(fields_, &DeviceIdFields::saveRequested, this, &DeviceIDWindowController::doSave);
    WindowEvents::watch(window_)->shown = [this] { fields_->fill(); };
}

DeviceIDWindowController::~DeviceIDWindowController()
{
    delete window_.data();
}

QLineEdit* DeviceIDWindowController::deviceIdField() const
{
    return fields_->field();
}

void DeviceIDWindowController::showWindow()
{
    showCentred(window_);
}

void DeviceIDWindowController::createDeviceID()
{
    fields_->createDeviceID();
}

void DeviceIDWindowController::doSave()
{
    fields_->keep();
    AlertPresenter::shared()->ask(
        "", "message_device_id_create_clipboard_copy_please_say_to_admin", { "word_sign_out" });
    if (signOut_)
        signOut_();
    window_->hide();
}

} // namespace norvane
