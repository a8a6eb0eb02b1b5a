#pragma once

#include "app/ui/ThumbnailLoader.h"

#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTimer;

namespace norvane {

// The pane beside a selected file: its picture (a photo's 180-point thumbnail once it comes),
// name, type, size, dates, owner, last editor and, in the shared area, its access and lock
// holder. A double click, or its Open button, asks to open the entry.
class PreviewController : public QWidget {
    Q_OBJECT
public:
    static constexpr long kThumbnailEdge = 180;
    // The picture is asked for once the selection has stayed on the entry this long: keys held
    // down over a folder of photos do not send a request for every row they pass.
    static constexpr int kSettleMs = 120;

    // An empty fetch: the operations' thumbnail download on the background queue.
    explicit PreviewController(ThumbnailLoader::Fetch fetch = {}, QWidget* parent = nullptr);

    // Shows the entry (null: nothing). A thumbnail still on its way for the entry shown before
    // is dropped when it comes: the pane keeps the picture of the entry it shows now.
    void setRepresentedObject(std::shared_ptr<fileInformation> entry);
    const std::shared_ptr<fileInformation>& representedObject() const { return entry_; }

    std::function<void(const std::shared_ptr<fileInformation>& entry)> openRequested;

    QLabel* thumbnailLabel() const { return thumbnail_; }
    QLabel* nameLabel() const { return name_; }
    QLabel* typeLabel() const { return type_; }
    QLabel* sizeLabel() const { return size_; }
    QLabel* createdLabel() const { return created_; }
    QLabel* modifiedLabel() const { return modified_; }
    QLabel* ownerLabel() const { return owner_; }
    QLabel* editorLabel() const { return editor_; }
    QLabel* accessLabel() const { return access_; }
    QLabel* lockLabel() const { return lock_; }
    QLabel* lockIcon() const { return lockIcon_; }
    QPushButton* openButton() const { return open_; }
    // True while the picture shown is the entry's own thumbnail, not its type's icon.
    bool showsThumbnail() const { return showsThumbnail_; }

    // The text of the access label's value for an accessType (0 unset, 1 and 2 read and write,
    // 3 read only).
    static QString accessText(std::int32_t accessType);
    // "custom_create_day"-style text of an HTTP date in local time; the format with dashes when
    // the date cannot be read.
    static QString dateText(const char* formatKey, const std::optional<std::string>& httpDate);

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void refresh();
    void showIcon(const QIcon& icon);
    void fetchThumbnail();

    ThumbnailLoader::Fetch fetch_;
    std::shared_ptr<fileInformation> entry_;
    unsigned serial_ = 0;
    QTimer* settle_ = nullptr;
    bool showsThumbnail_ = false;
    QLabel* thumbnail_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* type_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* created_ = nullptr;
    QLabel* modified_ = nullptr;
    QLabel* owner_ = nullptr;
    QLabel* editor_ = nullptr;
    QLabel* access_ = nullptr;
    QLabel* lock_ = nullptr;
    QLabel* lockIcon_ = nullptr;
    QPushButton* open_ = nullptr;
};

} // namespace norvane
