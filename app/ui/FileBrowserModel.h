#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include <QAbstractItemModel>
#include <QPixmap>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace norvane {

// The folder tree the browser shows, below the side bar's root. The model owns its rows: each
// holds the entry of the last listing that named it, and a new listing of a folder is applied as
// a change by key (rows gone are removed, new ones inserted, the rest updated in place and moved
// only when their order changed), so a relisted column keeps its selection and the columns to its
// right. A folder has children before it is listed, so its column opens at once.
class FileBrowserModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Role {
        KeyRole = Qt::UserRole + 1, // the entry's key (uk) as text
    };

    // Where a row's thumbnail stands.
    enum class Thumbnail {
        None, // not asked for
        Wanted, // painted, waiting for a free request
        Requested, // on its way
        Done, // arrived (or failed for good): never asked again
    };

    // Whether the signed-in user may only read an entry.
    using ReadOnlyRule = std::function<bool(const fileInformation&)>;

    explicit FileBrowserModel(ReadOnlyRule readOnly, QObject* parent = nullptr);
    ~FileBrowserModel() override;

    // A new root: every row goes; the root's current children become the first column.
    void setRoot(std::shared_ptr<fileInformation> root);
    std::shared_ptr<fileInformation> root() const;
    // Applies `entries`, the folder's new listing, to the folder's rows by key. An invalid index
    // is the root.
    void applyListing(const QModelIndex& folder, const FileInfoList& entries);

    // The entry of a row; the root for an invalid index.
    std::shared_ptr<fileInformation> entry(const QModelIndex& index) const;
    bool isFolder(const QModelIndex& index) const;
    // The last row of the folder whose display name is `name` (the one shown last of equal names).
    QModelIndex childNamed(const QModelIndex& folder, const QString& name) const;

    Thumbnail thumbnailState(const QModelIndex& index) const;
    void setThumbnailState(const QModelIndex& index, Thumbnail state);
    // The picture arrived: held from now on (Done), drawn instead of the type's icon.
    void setThumbnail(const QModelIndex& index, const QPixmap& picture);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Node;
    Node* nodeOf(const QModelIndex& index) const;
    QModelIndex indexOf(Node* node) const;
    void removeGone(Node* parent, const QModelIndex& parentIndex, const std::vector<std::string>& newKeys);
    void reorder(Node* parent, const QModelIndex& parentIndex, const std::vector<std::string>& newKeys);
    void insertNew(Node* parent, const QModelIndex& parentIndex, const FileInfoList& entries,
        const std::vector<std::string>& newKeys);

    ReadOnlyRule readOnly_;
    std::unique_ptr<Node> root_;
};

} // namespace norvane
