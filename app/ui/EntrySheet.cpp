#include "app/ui/EntrySheet.h"

#include "app/ui/UiText.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvane {

EntrySheet::EntrySheet(QWidget* window)
    : QDialog(window, Qt::Sheet)
{
    setObjectName(QStringLiteral("renamePanel"));
    setWindowModality(Qt::WindowModal);
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("renameLabel"));
    field_ = new QLineEdit(this);
    field_->setObjectName(QStringLiteral("renameField"));
    field_->setMinimumWidth(360);
    field_->setAccessibleName(uiText("ui_entry_field"));
    label_->setBuddy(field_);
    layout->addWidget(label_);
    layout->addWidget(field_);
    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(uiText("alert_ok"), QDialogButtonBox::AcceptRole);
    ok_->setObjectName(QStringLiteral("renameOK"));
    ok_->setDefault(true);
    QPushButton* cancel = buttons->addButton(uiText("alert_cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("renameCancel"));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(this, &QDialog::accepted, this, [this] {
        auto confirmed = std::move(confirmed_);
        confirmed_ = nullptr;
        if (confirmed)
            confirmed(field_->text());
    });
    connect(this, &QDialog::rejected, this, [this] { confirmed_ = nullptr; });
}

void EntrySheet::ask(
    const QString& label, const QString& text, std::function<void(const QString&)> confirmed, int selected)
{
    label_->setText(label);
    field_->setAccessibleName(label);
    field_->setText(text);
    confirmed_ = std::move(confirmed);
    open();
    field_->setFocus();
    // After the focus, which would select everything.
    if (selected < 0)
        field_->selectAll();
    else
        field_->setSelection(0, selected);
}

} // namespace norvane
