#include "app/ui/NetPrintWindowController.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "platform/AlertPresenter.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QUrl>
#include <QVBoxLayout>

namespace norvane {

namespace {

constexpr int kValidityChoices = 7;

} // namespace

NetPrintWindowController::NetPrintWindowController(std::shared_ptr<AppDataManager> manager,
    std::shared_ptr<fileInformation> entry, std::shared_ptr<DesktopOpener> opener, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , manager_(std::move(manager))
    , entry_(std::move(entry))
    , opener_(opener ? std::move(opener) : DesktopOpener::system())
{
    setObjectName(QStringLiteral("netPrintWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(uiText("menu_file_netprint"));
    setAccessibleName(windowTitle());

    auto* layout = new QVBoxLayout(this);
    auto* name = makeFileNameHeading(entry_->displayName.value_or(""), this);
    layout->addWidget(name);

    auto* form = new QFormLayout;
    days_ = new QComboBox(this);
    days_->setObjectName(QStringLiteral("printValidity"));
    for (int day = 1; day <= kValidityChoices; ++day)
        days_->addItem(QStringLiteral("%1 日間").arg(day));
    days_->setCurrentIndex(0);
    form->addRow(uiText("ui_print_validity"), days_);

    noPassword_ = new QRadioButton(uiText("ui_print_without_password"), this);
    noPassword_->setObjectName(QStringLiteral("printNoPassword"));
    withPassword_ = new QRadioButton(uiText("ui_print_with_password"), this);
    withPassword_->setObjectName(QStringLiteral("printWithPassword"));
    auto* rows = new QButtonGroup(this);
    rows->addButton(noPassword_, 0);
    rows->addButton(withPassword_, 1);
    noPassword_->setChecked(true);
    password_ = new QLineEdit(this);
    password_->setObjectName(QStringLiteral("printPassword"));
    password_->setAccessibleName(uiText("ui_print_with_password"));
    password_->setMaxLength(8);
    password_->setMaximumWidth(password_->fontMetrics().averageCharWidth() * 10);
    password_->setEnabled(false);
    auto* withRow = new QHBoxLayout;
    withRow->addWidget(withPassword_);
    withRow->addWidget(password_);
    withRow->addStretch(1);
    auto* passwordBox = new QVBoxLayout;
    passwordBox->addWidget(noPassword_);
    passwordBox->addLayout(withRow);
    form->addRow(uiText("ui_print_password"), passwordBox);
    layout->addLayout(form);

    auto* pages = new QHBoxLayout;
    QPushButton* terms = makeButton("ui_print_terms", "printTerms", this);
    QPushButton* message = makeButton("ui_print_message", "printMessage", this);
    pages->addWidget(terms);
    pages->addWidget(message);
    pages->addStretch(1);
    layout->addLayout(pages);
    agree_ = new QCheckBox(uiText("ui_print_agree"), this);
    agree_->setObjectName(QStringLiteral("printAgree"));
    layout->addWidget(agree_);

    auto* commitRow = new QHBoxLayout;
    busy_ = new QProgressBar(this);
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setMaximumWidth(busy_->fontMetrics().averageCharWidth() * 10);
    busy_->setVisible(false);
    commitRow->addWidget(busy_);
    commitRow->addStretch(1);
    QPushButton* cancel = makeButton("alert_cancel", "printCancel", this);
    commit_ = makeButton("ui_print_commit", "printCommit", this);
    commit_->setDefault(true);
    commit_->setEnabled(false);
    commitRow->addWidget(cancel);
    commitRow->addWidget(commit_);
    layout->addLayout(commitRow);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    connect(withPassword_, &QRadioButton::toggled, password_, &QLineEdit::setEnabled);
    connect(agree_, &QCheckBox::toggled, commit_, &QPushButton::setEnabled);
    connect(terms, &QPushButton::clicked, this, [this] {
        const auto service = manager_->cloudSrv();
        if (service && service->storage())
            opener_->openUrl(QUrl(QString::fromStdString(
                service->storage()->config().authenticationUrl() + "/Web/NetPrint/licence.html")));
    });
    connect(
        message, &QPushButton::clicked, this, [this] { opener_->openUrl(QUrl(QString::fromLatin1(kMessagePageURL))); });
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(commit_, &QPushButton::clicked, this, &NetPrintWindowController::doCommit);
}

void NetPrintWindowController::showWindow()
{
    showCentred(this);
}

bool NetPrintWindowController::isPrintPassword(const QString& text)
{
    if (text.size() != 4)
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

void NetPrintWindowController::doCommit()
{
    const bool withPassword = withPassword_->isChecked();
    const QString password = password_->text();
    if (withPassword && !isPrintPassword(password)) {
        AlertPresenter::shared()->show(
            password.isEmpty() ? "message_please_set_password" : "message_please_set_password_num", "");
        return;
    }
    busy_->setVisible(true);
    commit_->setEnabled(false);
    QPointer<NetPrintWindowController> self(this);
    StorageServiceLogic::netPrint(entry_->uk.value_or(""), withPassword ? password.toStdString() : std::string(),
        std::to_string(days_->currentIndex() + 1), [self](std::int32_t result) {
            if (!self)
                return;
            self->busy_->setVisible(false);
            self->commit_->setEnabled(self->agree_->isChecked());
            if (result == 1)
                self->close();
        });
}

} // namespace norvane
