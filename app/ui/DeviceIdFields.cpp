#include "app/ui/DeviceIdFields.h"

#include "app/state/AppDataManager.h"
#include "app/state/Settings.h"
#include "app/ui/UiText.h"

#include <QClipboard>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvane {

DeviceIdFields::DeviceIdFields(std::shared_ptr<AppDataManager> manager, QWidget* parent)
    : QObject(parent)
    , manager_(std::move(manager))
{
    auto* explanation = new QLabel(uiText("ui_device_id_explanation"), parent);
    explanation->setWordWrap(true);
    field_ = new QLineEdit(parent);
    field_->setObjectName(QStringLiteral("deviceID"));
    field_->setAccessibleName(uiText("ui_device_id"));
    field_->setMinimumWidth(field_->fontMetrics().horizontalAdvance(QString(40, u'0')));
    auto* create = new QPushButton(uiText("ui_new_device_id"), parent);
    create->setObjectName(QStringLiteral("createDeviceID"));
    create->setAccessibleName(create->text());
    save_ = new QPushButton(uiText("ui_save_device_id"), parent);
    save_->setObjectName(QStringLiteral("doSave"));
    save_->setAccessibleName(save_->text());
    auto* form = new QFormLayout;
    form->addRow(uiText("ui_device_id"), field_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(create);
    buttons->addWidget(save_);
    auto* layout = new QVBoxLayout;
    layout->addWidget(explanation);
    layout->addLayout(form);
    layout->addStretch(1);
    layout->addLayout(buttons);
    layout_ = layout;
    explanation->setMaximumWidth(field_->minimumWidth() + 160);

    connect(create, &QPushButton::clicked, this, &DeviceIdFields::createDeviceID);
    connect(save_, &QPushButton::clicked, this, &DeviceIdFields::saveRequested);
}

void DeviceIdFields::fill()
{
    field_->setText(QString::fromStdString(manager_->configDefine().deviceID()));
}

void DeviceIdFields::createDeviceID()
{
    field_->setText(QString::fromStdString(manager_->makeDeviceID(Settings::kDeviceIdPrefix)));
}

void DeviceIdFields::keep()
{
    const QString id = field_->text();
    manager_->setDeviceID(id.toStdString());
    QGuiApplication::clipboard()->setText(id);
}

} // namespace norvane
