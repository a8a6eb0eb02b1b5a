#include "app/ui/WebShareWindowController.h"

#include "app/state/AppDataManager.h"
#include "app/ui/DesktopOpener.h"
#include "app/ui/UiText.h"
#include "app/ui/WindowSupport.h"
#include "formats/HttpDate.h"
#include "platform/AlertPresenter.h"
#include "platform/Log.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace norvane {

namespace {

void fillChoice(QComboBox* box, std::int64_t count, std::int64_t initial, const QString& unit)
{
    const int items = static_cast<int>(std::clamp<std::int64_t>(count, 1, 9999));
    for (int i = 0; i < items; ++i)
        box->addItem(QStringLiteral("%1 %2").arg(i + 1).arg(unit));
    box->setCurrentIndex(static_cast<int>(std::clamp<std::int64_t>(initial - 1, 0, items - 1)));
}

} // namespace

WebShareWindowController::WebShareWindowController(std::shared_ptr<AppDataManager> manager,
    std::shared_ptr<fileInformation> entry, std::shared_ptr<DesktopOpener> opener, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , manager_(std::move(manager))
    , entry_(std::move(entry))
    , opener_(opener ? std::move(opener) : DesktopOpener::system())
{
    setObjectName(QStringLiteral("webShareWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(uiText("ui_web_share_title"));
    setAccessibleName(windowTitle());
    const ConfigInfo& config = manager_->configDefine();

    auto* layout = new QVBoxLayout(this);
    auto* name = makeFileNameHeading(entry_->displayName.value_or(""), this);
    layout->addWidget(name);

    makeView_ = new QWidget(this);
    auto* form = new QFormLayout(makeView_);
    form->setContentsMargins(0, 0, 0, 0);
    days_ = new QComboBox(makeView_);
    days_->setObjectName(QStringLiteral("periodChoice"));
    fillChoice(days_, config.webPublishMaxDay(), config.webPublishInitDay(), QStringLiteral("日間"));
    counts_ = new QComboBox(makeView_);
    counts_->setObjectName(QStringLiteral("timesChoice"));
    fillChoice(counts_, config.webPublishMaxCount(), config.webPublishInitCount(), QStringLiteral("回"));
    period_ = days_->currentIndex() + 1;
    times_ = counts_->currentIndex() + 1;
    form->addRow(uiText("ui_web_share_days"), days_);
    form->addRow(uiText("ui_web_share_count"), counts_);
    auto* makeRow = new QHBoxLayout;
    busy_ = new QProgressBar(makeView_);
    busy_->setRange(0, 0);
    busy_->setTextVisible(false);
    busy_->setMaximumWidth(busy_->fontMetrics().averageCharWidth() * 10);
    busy_->setVisible(false);
    makeRow->addWidget(busy_);
    makeRow->addStretch(1);
    QPushButton* cancel = norvane::makeButton("alert_cancel", "webShareCancel", makeView_);
    make_ = norvane::makeButton("ui_web_share_make", "webShareMake", makeView_);
    make_->setDefault(true);
    makeRow->addWidget(cancel);
    makeRow->addWidget(make_);
    form->addRow(makeRow);
    layout->addWidget(makeView_);

    result_ = new QWidget(this);
    result_->setObjectName(QStringLiteral("webShareResult"));
    auto* resultLayout = new QFormLayout(result_);
    resultLayout->setContentsMargins(0, 0, 0, 0);
    link_ = new QLabel(result_);
    link_->setObjectName(QStringLiteral("webShareLink"));
    link_->setTextFormat(Qt::RichText);
    link_->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link_->setOpenExternalLinks(false);
    connect(link_, &QLabel::linkActivated, this, [this](const QString& url) { opener_->openUrl(QUrl(url)); });
    password_ = new QLineEdit(result_);
    password_->setObjectName(QStringLiteral("webSharePassword"));
    password_->setReadOnly(true);
    validityBox_ = new QGroupBox(result_);
    validityBox_->setObjectName(QStringLiteral("webShareValidityBox"));
    auto* boxLayout = new QVBoxLayout(validityBox_);
    validity_ = new QLabel(validityBox_);
    validity_->setObjectName(QStringLiteral("webShareValidity"));
    validity_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    boxLayout->addWidget(validity_);
    resultLayout->addRow(uiText("ui_web_share_link"), link_);
    resultLayout->addRow(uiText("ui_web_share_password"), password_);
    resultLayout->addRow(validityBox_);
    auto* resultButtons = new QHBoxLayout;
    QPushButton* copy = norvane::makeButton("menu_file_copy", "webShareCopy", result_);
    QPushButton* mail = norvane::makeButton("ui_web_share_mail", "webShareMail", result_);
    QPushButton* close = norvane::makeButton("ui_close", "webShareClose", result_);
    resultButtons->addWidget(copy);
    resultButtons->addWidget(mail);
    resultButtons->addStretch(1);
    resultButtons->addWidget(close);
    resultLayout->addRow(resultButtons);
    result_->setVisible(false);
    layout->addWidget(result_);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // One width for the choices and for the link that replaces them: the window keeps its place.
    layout->addStrut(fontMetrics().averageCharWidth() * 56);

    connect(days_, &QComboBox::currentIndexChanged, this, [this](int index) { period_ = index + 1; });
    connect(counts_, &QComboBox::currentIndexChanged, this, [this](int index) { times_ = index + 1; });
    connect(make_, &QPushButton::clicked, this, &WebShareWindowController::doMake);
    // Cancel closes without a question: there is no link yet to lose.
    connect(cancel, &QPushButton::clicked, this, &QWidget::close);
    connect(copy, &QPushButton::clicked, this, &WebShareWindowController::doCopy);
    connect(mail, &QPushButton::clicked, this, &WebShareWindowController::doMail);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
}

void WebShareWindowController::showWindow()
{
    showCentred(this);
}

void WebShareWindowController::doMake()
{
    make_->setEnabled(false);
    busy_->setVisible(true);
    QPointer<WebShareWindowController> self(this);
    StorageServiceLogic::publishFile(entry_->uk.value_or(""), period_, times_, 1,
        [self](std::int32_t result, const StorageServiceLogic::PublishResult& link) {
            if (!self)
                return;
            self->make_->setEnabled(true);
            self->busy_->setVisible(false);
            if (result == 1)
                self->showResult(link);
        });
}

void WebShareWindowController::showResult(const StorageServiceLogic::PublishResult& link)
{
    const auto value = [&](const char* key) {
        auto it = link.find(key);
        return it == link.end() ? std::string() : it->second;
    };
    std::string logged;
    for (const auto& [key, text] : link)
        logged += (logged.empty() ? "" : ", ") + key + "=" + (key == "downloadPassword" ? "(hidden)" : text);
    Log::line("Web share link made: " + logged);

    const auto service = manager_->cloudSrv();
    const std::string base = service && service->storage() ? service->storage()->config().authenticationUrl() : "";
    url_ = QString::fromStdString(base + value("downloadUrl"));
    link_->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(url_.toHtmlEscaped(), url_.toHtmlEscaped()));
    link_->setAccessibleName(url_);
    password_->setText(QString::fromStdString(value("downloadPassword")));
    validity_->setText(validityText(value("validDay")));
    const int hours = QString::fromStdString(value("period")).toInt() * 24;
    validityBox_->setTitle(uiFormat("custom_weblink_time_hour", { QString::number(hours) }));
    makeView_->setVisible(false);
    result_->setVisible(true);
}

QString WebShareWindowController::validityText(const std::string& httpDate)
{
    const auto date = dateFromRFC1123(httpDate);
    if (!date)
        return {};
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString(QStringLiteral("yyyy年MM月dd日 HH時mm分"));
}

QString WebShareWindowController::linkText() const
{
    return uiFormat("custom_weblink_download_url_enabled_time", { url_, validityBox_->title(), validity_->text() });
}

QString WebShareWindowController::passwordText() const
{
    return uiFormat("custom_weblink_download_info_password", { password_->text() });
}

void WebShareWindowController::doCopy()
{
    QGuiApplication::clipboard()->setText(linkText() + QStringLiteral("\n\n") + passwordText());
}

void WebShareWindowController::doMail()
{
    // The link and its password in two drafts: a mail that goes astray gives away only half.
    const auto draft = [](const QString& subject, const QString& body) {
        return QUrl::fromEncoded(
            "mailto:?Subject=" + QUrl::toPercentEncoding(subject) + "&body=" + QUrl::toPercentEncoding(body));
    };
    opener_->openUrl(draft(uiText("custom_weblink_download_url_enabled_time_subject"), linkText()));
    opener_->openUrl(draft(uiText("custom_weblink_download_info_password_subject"), passwordText()));
}

void WebShareWindowController::closeEvent(QCloseEvent* event)
{
    if (result_->isVisible()) {
        const std::size_t answer
            = AlertPresenter::shared()->ask("", "warn_for_webshare_close", { "alert_yes", "alert_no" });
        if (answer != 0) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

} // namespace norvane
