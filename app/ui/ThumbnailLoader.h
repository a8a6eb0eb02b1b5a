#pragma once

#include "app/logic/StorageServiceLogic.h"

#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>

#include <deque>
#include <functional>
#include <unordered_map>

class QAbstractItemView;
class QTimer;

namespace norvane {

class FileBrowserModel;

// The thumbnails of the photos in the browser. A row asks when it is painted, once: its entry is
// fetched at most once (a failure keeps the type's icon for good). Fetches start when the rows
// have stood still for a moment (kSettleMs), so that paging through a big folder asks only for
// the rows it stops at. At most `limit` fetches are on their way; the rest wait in painting
// order, and one whose row has scrolled out of sight (or whose column closed) by its turn is
// dropped, to be asked again if it is painted again. The pictures are decoded on the worker that
// fetched them.
class ThumbnailLoader : public QObject {
    Q_OBJECT
public:
    // Fetches the entry's thumbnail with the given edge length and calls back on the main thread.
    using Fetch
        = std::function<void(const fileInformation& entry, long size, StorageServiceLogic::ImageCallback comple)>;

    static constexpr long kEdge = 30;
    static constexpr int kLimit = 30;
    static constexpr int kSettleMs = 100;

    // An empty fetch: the operations' thumbnail queue.
    ThumbnailLoader(FileBrowserModel* model, Fetch fetch = {}, int limit = kLimit, QObject* parent = nullptr);

    // The row was painted in `view`.
    void painted(const QModelIndex& index, const QWidget* view);

    int outstanding() const { return outstanding_; }
    int waiting() const { return static_cast<int>(waiting_.size()); }
    // Fetches started since the loader was made.
    int requestCount() const { return requests_; }

private:
    struct Wanted {
        QPersistentModelIndex index;
        QPointer<const QWidget> view;
    };
    void pump();
    bool stillInSight(const Wanted& wanted) const;
    void arrived(std::uint64_t id, std::int32_t result, const ThumbnailImage& image);

    FileBrowserModel* model_;
    Fetch fetch_;
    int limit_;
    int outstanding_ = 0;
    int requests_ = 0;
    QTimer* settle_ = nullptr;
    std::deque<Wanted> waiting_;
    std::uint64_t nextRequest_ = 0;
    std::unordered_map<std::uint64_t, QPersistentModelIndex> inFlight_;
};

} // namespace norvane
