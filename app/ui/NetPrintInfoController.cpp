#include "app/ui/NetPrintInfoController.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/TextReading.h"
#include "app/ui/Icons.h"
#include "app/ui/RemoteImage.h"
#include "app/ui/UiText.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace norvane {

namespace {

constexpr int kPictureSide = 160;

bool printable(const NetPrintInfo& record)
{
    return TextReading::integerValue(record.resultCode) < 1;
}

QLabel* label(QWidget* parent, const char* objectName)
{
    auto* made = new QLabel(parent);
    made->setObjectName(QString::fromLatin1(objectName));
    made->setTextFormat(Qt::PlainText);
    made->setWordWrap(true);
    made->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return made;
}

} // namespace

NetPrintInfoController::NetPrintInfoController(std::shared_ptr<AppDataManager> manager, QWidget* parent)
    : QWidget(parent)
    , manager_(std::move(manager))
{
    setObjectName(QStringLiteral("netPrintInfo"));
    auto* layout = new QVBoxLayout(this);
    thumbnail_ = new QLabel(this);
    thumbnail_->setObjectName(QStringLiteral("printThumbnail"));
    thumbnail_->setFixedSize(kPictureSide, kPictureSide);
    thumbnail_->setAlignment(Qt::AlignCenter);
    layout->addWidget(thumbnail_, 0, Qt::AlignHCenter);
    name_ = label(this, "printFileName");
    QFont bold = name_->font();
    bold.setBold(true);
    name_->setFont(bold);
    result_ = label(this, "printResult");
    upload_ = label(this, "printUploadDate");
    end_ = label(this, "printEndDate");
    for (QLabel* part : { name_, result_, upload_, end_ })
        layout->addWidget(part);
    delete_ = new QPushButton(uiText("menu_file_delete"), this);
    delete_->setObjectName(QStringLiteral("printDelete"));
    layout->addWidget(delete_, 0, Qt::AlignLeft);
    layout->addStretch(1);
    connect(delete_, &QPushButton::clicked, this, &NetPrintInfoController::doDelete);
    refresh();
}

void NetPrintInfoController::setRecord(std::optional<NetPrintInfo> record)
{
    record_ = std::move(record);
    refresh();
}

QString NetPrintInfoController::resultText(const NetPrintInfo& record)
{
    if (printable(record))
        return uiFormat("custom_print_number", { QString::fromStdString(record.printID) });
    return uiFormat("custom_can_not_print", { QString::fromStdString(record.resultCode) });
}

void NetPrintInfoController::showIcon(const QIcon& icon)
{
    thumbnail_->setPixmap(icon.pixmap(QSize(96, 96), devicePixelRatioF()));
    showsPicture_ = false;
}

void NetPrintInfoController::refresh()
{
    ++serial_; // a picture asked for before is no longer this pane's
    for (QWidget* part : findChildren<QWidget*>())
        part->setVisible(record_.has_value());
    if (!record_)
        return;
    const NetPrintInfo& record = *record_;
    name_->setText(QString::fromStdString(record.fileName));
    result_->setText(resultText(record));
    upload_->setText(QStringLiteral("登録日時：%1").arg(QString::fromStdString(record.uploadDate)));
    end_->setText(QStringLiteral("有効期間：%1").arg(QString::fromStdString(record.endDate)));
    if (!printable(record)) {
        showIcon(Icons::icon(Icons::Name::Caution));
        return;
    }
    showIcon(Icons::forFileName(QString::fromStdString(record.fileName)));
    if (record.thumbnail.empty())
        return;
    const unsigned serial = serial_;
    RemoteImage::fetch(manager_, record.thumbnail, this, [this, serial](const QImage& picture) {
        if (serial != serial_ || picture.isNull())
            return;
        QPixmap shown = QPixmap::fromImage(picture.scaled(
            QSize(kPictureSide, kPictureSide) * devicePixelRatioF(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        shown.setDevicePixelRatio(devicePixelRatioF());
        thumbnail_->setPixmap(shown);
        showsPicture_ = true;
    });
}

void NetPrintInfoController::doDelete()
{
    // The key comes from the server and goes into a path: it must stay one component.
    if (!record_ || record_->key.empty() || record_->key == "." || record_->key == ".."
        || record_->key.find('/') != std::string::npos)
        return;
    delete_->setEnabled(false);
    QPointer<NetPrintInfoController> self(this);
    StorageServiceLogic::deleteFile("/NETPRINT/" + record_->key, [self](std::int32_t result) {
        if (!self)
            return;
        if (result != 1) {
            self->delete_->setEnabled(true);
            return;
        }
        StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
            [self](std::int32_t listed, std::optional<std::vector<NetPrintInfo>> jobs) {
                if (!self)
                    return;
                self->delete_->setEnabled(true);
                if (listed != 1 || !jobs)
                    return;
                self->manager_->setNetPrintList(std::move(*jobs));
                if (self->listChanged)
                    self->listChanged();
            });
    });
}

} // namespace norvane
