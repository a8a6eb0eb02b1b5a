#include "app/ui/ThumbnailLoader.h"

#include "app/ui/FileBrowserModel.h"

#include <QAbstractItemView>
#include <QImage>
#include <QPixmap>
#include <QTimer>

namespace norvane {

ThumbnailLoader::ThumbnailLoader(FileBrowserModel* model, Fetch fetch, int limit, QObject* parent)
    : QObject(parent)
    , model_(model)
    , fetch_(std::move(fetch))
    , limit_(limit)
{
    if (!fetch_)
        fetch_ = [](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback comple) {
            StorageServiceLogic::downloadThumbnailImageWithQueue(entry, size, std::move(comple));
        };
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMs);
    connect(settle_, &QTimer::timeout, this, &ThumbnailLoader::pump);
}

void ThumbnailLoader::painted(const QModelIndex& index, const QWidget* view)
{
    if (model_->thumbnailState(index) != FileBrowserModel::Thumbnail::None)
        return;
    const auto entry = model_->entry(index);
    if (!entry || !entry->isFile() || entry->fileExt != FileExtPhoto)
        return;
    model_->setThumbnailState(index, FileBrowserModel::Thumbnail::Wanted);
    waiting_.push_back({ QPersistentModelIndex(index), view });
    // Not from inside the painting, and not while new rows keep coming into sight.
    settle_->start();
}

bool ThumbnailLoader::stillInSight(const Wanted& wanted) const
{
    const auto* view = qobject_cast<const QAbstractItemView*>(wanted.view.data());
    if (!wanted.index.isValid() || !view || !view->isVisible())
        return false;
    return view->viewport()->rect().intersects(view->visualRect(wanted.index));
}

void ThumbnailLoader::pump()
{
    while (outstanding_ < limit_ && !waiting_.empty()) {
        Wanted wanted = waiting_.front();
        waiting_.pop_front();
        if (!wanted.index.isValid() || model_->thumbnailState(wanted.index) != FileBrowserModel::Thumbnail::Wanted)
            continue;
        if (!stillInSight(wanted)) {
            model_->setThumbnailState(wanted.index, FileBrowserModel::Thumbnail::None);
            continue;
        }
        const auto entry = model_->entry(wanted.index);
        model_->setThumbnailState(wanted.index, FileBrowserModel::Thumbnail::Requested);
        ++outstanding_;
        ++requests_;
        // The callback ends on the worker's thread; the row's persistent index stays here.
        const std::uint64_t id = ++nextRequest_;
        inFlight_.emplace(id, wanted.index);
        QPointer<ThumbnailLoader> self(this);
        fetch_(*entry, kEdge, [self, id](std::int32_t result, const ThumbnailImage& image) {
            if (self)
                self->arrived(id, result, image);
        });
    }
}

void ThumbnailLoader::arrived(std::uint64_t id, std::int32_t result, const ThumbnailImage& image)
{
    auto it = inFlight_.find(id);
    if (it == inFlight_.end())
        return;
    const QPersistentModelIndex index = it->second;
    inFlight_.erase(it);
    --outstanding_;
    if (index.isValid() && model_->thumbnailState(index) == FileBrowserModel::Thumbnail::Requested) {
        // A failure is final too: the row keeps its type's icon and asks no more.
        QPixmap picture;
        if (result == 1 && image)
            picture = QPixmap::fromImage(*std::static_pointer_cast<QImage>(image));
        if (picture.isNull())
            model_->setThumbnailState(index, FileBrowserModel::Thumbnail::Done);
        else
            model_->setThumbnail(index, picture);
    }
    // While rows are still coming into sight the settling pumps; otherwise the next one goes now.
    if (!settle_->isActive())
        pump();
}

} // namespace norvane
