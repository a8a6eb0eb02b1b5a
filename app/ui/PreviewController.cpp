#include "app/ui/PreviewController.h"

#include "app/state/AppDataManager.h"
#include "app/state/PermissionRules.h"
#include "app/ui/EntryDisplay.h"
#include "app/ui/Icons.h"
#include "app/ui/UiText.h"
#include "formats/HttpDate.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace norvane {

namespace {

QLabel* makeLabel(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    return label;
}

QString twoDigits(int value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

PreviewController::PreviewController(ThumbnailLoader::Fetch fetch, QWidget* parent)
    : QWidget(parent)
    , fetch_(std::move(fetch))
{
    if (!fetch_)
        fetch_ = [](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback comple) {
            StorageServiceLogic::downloadThumbnailImage(entry, size, std::move(comple));
        };
    setObjectName(QStringLiteral("previewView"));
    setAccessibleName(uiText("ui_preview"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(4);
    thumbnail_ = new QLabel(this);
    thumbnail_->setObjectName(QStringLiteral("previewThumbnail"));
    thumbnail_->setAlignment(Qt::AlignCenter);
    thumbnail_->setFixedSize(kThumbnailEdge, kThumbnailEdge);
    layout->addWidget(thumbnail_, 0, Qt::AlignHCenter);
    layout->addSpacing(8);

    name_ = makeLabel(this, "previewName");
    QFont bold = name_->font();
    bold.setBold(true);
    name_->setFont(bold);
    type_ = makeLabel(this, "previewType");
    size_ = makeLabel(this, "previewSize");
    created_ = makeLabel(this, "previewCreated");
    modified_ = makeLabel(this, "previewModified");
    owner_ = makeLabel(this, "previewOwner");
    editor_ = makeLabel(this, "previewEditor");
    access_ = makeLabel(this, "previewAccess");
    for (QLabel* label : { name_, type_, size_, created_, modified_, owner_, editor_, access_ })
        layout->addWidget(label);

    auto* lockRow = new QHBoxLayout;
    lockRow->setSpacing(4);
    lockIcon_ = new QLabel(this);
    lockIcon_->setObjectName(QStringLiteral("previewLockIcon"));
    lockIcon_->setPixmap(Icons::bundled(Icons::Name::Lock).pixmap(QSize(16, 16), devicePixelRatioF()));
    lock_ = makeLabel(this, "previewLock");
    lockRow->addWidget(lockIcon_, 0, Qt::AlignTop);
    lockRow->addWidget(lock_, 1);
    layout->addLayout(lockRow);

    open_ = new QPushButton(Icons::icon(Icons::Name::Open), uiText("ui_open"), this);
    open_->setObjectName(QStringLiteral("previewOpen"));
    open_->setAccessibleName(uiText("ui_open"));
    layout->addSpacing(8);
    layout->addWidget(open_, 0, Qt::AlignLeft);
    layout->addStretch(1);
    connect(open_, &QPushButton::clicked, this, [this] {
        if (entry_ && openRequested)
            openRequested(entry_);
    });
    setMinimumWidth(kThumbnailEdge + 24);
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMs);
    connect(settle_, &QTimer::timeout, this, &PreviewController::fetchThumbnail);
    refresh();
}

void PreviewController::setRepresentedObject(std::shared_ptr<fileInformation> entry)
{
    entry_ = std::move(entry);
    refresh();
}

QString PreviewController::accessText(std::int32_t accessType)
{
    switch (accessType) {
    case 1:
    case 2:
        return uiText("word_read_write");
    case 3:
        return uiText("word_readonly");
    default:
        return uiText("word_unset");
    }
}

QString PreviewController::dateText(const char* formatKey, const std::optional<std::string>& httpDate)
{
    const auto date = httpDate ? dateFromRFC1123(*httpDate) : std::nullopt;
    if (!date)
        return uiFormat(formatKey,
            { QStringLiteral("----"), QStringLiteral("--"), QStringLiteral("--"), QStringLiteral("--"),
                QStringLiteral("--") });
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(date->time_since_epoch()).count();
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds).toLocalTime();
    return uiFormat(formatKey,
        { QString::number(local.date().year()), twoDigits(local.date().month()), twoDigits(local.date().day()),
            twoDigits(local.time().hour()), twoDigits(local.time().minute()) });
}

void PreviewController::showIcon(const QIcon& icon)
{
    thumbnail_->setPixmap(icon.pixmap(QSize(128, 128), devicePixelRatioF()));
    showsThumbnail_ = false;
}

void PreviewController::refresh()
{
    ++serial_; // a thumbnail asked for before is no longer this pane's
    settle_->stop();
    const bool shown = static_cast<bool>(entry_);
    for (QWidget* part : findChildren<QWidget*>())
        part->setVisible(shown);
    if (!entry_)
        return;
    const fileInformation& entry = *entry_;
    const std::string name = entry.displayName.value_or("");
    name_->setText(uiFormat("custom_name",
        { entry.fileExt == FileExtShortcut ? EntryDisplay::withoutShortcutSuffix(name)
                                           : QString::fromStdString(name) }));
    type_->setText(uiFormat("custom_sort", { QString::fromStdString(AppDataManager::getFileTypeString(entry)) }));
    size_->setText(uiFormat("custom_size",
        { QString::fromStdString(AppDataManager::formatFileSize(static_cast<std::int64_t>(entry.fileSize))) }));

    QPalette createdPalette = palette();
    if (EntryDisplay::isCopyTarget(entry)) {
        created_->setText(uiFormat("custom_copying", { QString::fromStdString(entry.actionProgress.value_or("")) }));
        createdPalette.setColor(QPalette::WindowText, EntryDisplay::colour(EntryDisplay::Tone::Copying, palette()));
    } else {
        created_->setText(dateText("custom_create_day", entry.creationdate));
    }
    created_->setPalette(createdPalette);
    modified_->setText(dateText("custom_update_day", entry.lastModifiedTime));

    const std::string owner = entry.ownername.value_or("");
    owner_->setText(
        owner.empty() ? uiText("word_file_owner2") : uiFormat("custom_owner2", { QString::fromStdString(owner) }));
    const std::string editor = entry.authorname.value_or("");
    editor_->setText(editor.empty() ? uiText("word_update_person_is2")
                                    : uiFormat("custom_update_person", { QString::fromStdString(editor) }));
    access_->setText(uiFormat("custom_access_permission", { accessText(entry.accessType()) }));
    lock_->setText(uiFormat("custom_lock_is", { QString::fromStdString(entry.lockUserName.value_or("")) }));
    const bool shared = PermissionRules::isShareFile(entry);
    access_->setVisible(shared);
    lock_->setVisible(shared);
    lockIcon_->setVisible(entry.lockUserId && !entry.lockUserId->empty());
    open_->setVisible(entry.isFile());

    if (!entry.isFile()) {
        showIcon(QIcon::hasThemeIcon(QStringLiteral("folder")) ? QIcon::fromTheme(QStringLiteral("folder"))
                                                               : Icons::bundled(Icons::Name::FolderYellow));
        return;
    }
    showIcon(Icons::forFileName(QString::fromStdString(name)));
    if (entry.fileExt == FileExtPhoto)
        settle_->start();
}

void PreviewController::fetchThumbnail()
{
    if (!entry_)
        return;
    QPointer<PreviewController> self(this);
    const unsigned asked = serial_;
    fetch_(*entry_, kThumbnailEdge, [self, asked](std::int32_t result, const ThumbnailImage& image) {
        // Only the picture of the entry still shown; one that comes after the selection moved on
        // would put another file's picture beside this one's name.
        if (!self || self->serial_ != asked || result != 1 || !image)
            return;
        const QImage& picture = *std::static_pointer_cast<QImage>(image);
        if (picture.isNull())
            return;
        QPixmap pixmap
            = QPixmap::fromImage(picture.scaled(QSize(kThumbnailEdge, kThumbnailEdge) * self->devicePixelRatioF(),
                Qt::KeepAspectRatio, Qt::SmoothTransformation));
        pixmap.setDevicePixelRatio(self->devicePixelRatioF());
        self->thumbnail_->setPixmap(pixmap);
        self->showsThumbnail_ = true;
    });
}

void PreviewController::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && entry_ && openRequested)
        openRequested(entry_);
    QWidget::mouseDoubleClickEvent(event);
}

} // namespace norvane
