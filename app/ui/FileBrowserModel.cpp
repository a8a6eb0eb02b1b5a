#include "app/ui/FileBrowserModel.h"

#include "app/ui/EntryDisplay.h"
#include "app/ui/Icons.h"

#include <QBrush>
#include <QGuiApplication>
#include <QIcon>
#include <QPalette>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace norvane {

struct FileBrowserModel::Node {
    std::shared_ptr<fileInformation> info;
    std::string key;
    Node* parent = nullptr;
    int row = 0;
    std::vector<std::unique_ptr<Node>> children;
    Thumbnail thumbnail = Thumbnail::None;
    QPixmap picture;
};

namespace {

// An entry is known by its key; one without (a server that leaves it out) by its name. The same
// key twice in one listing keeps both rows apart by the order they came in.
std::vector<std::string> keysOf(const FileInfoList& entries)
{
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    std::unordered_map<std::string_view, int> seen;
    seen.reserve(entries.size());
    for (const auto& entry : entries) {
        std::string key = entry->uk && !entry->uk->empty() ? *entry->uk : "\x01" + entry->displayName.value_or("");
        keys.push_back(std::move(key));
    }
    for (auto& key : keys) {
        const int count = seen[key]++;
        if (count > 0)
            key += "\x1f" + std::to_string(count);
    }
    return keys;
}

template <class Children> void renumber(Children& children, std::size_t from)
{
    for (std::size_t i = from; i < children.size(); ++i)
        children[i]->row = static_cast<int>(i);
}

const QIcon& folderIcon(Icons::Name name)
{
    static std::unordered_map<int, QIcon> icons;
    auto [it, made] = icons.try_emplace(static_cast<int>(name));
    if (made)
        it->second = Icons::bundled(name);
    return it->second;
}

} // namespace

FileBrowserModel::FileBrowserModel(ReadOnlyRule readOnly, QObject* parent)
    : QAbstractItemModel(parent)
    , readOnly_(std::move(readOnly))
    , root_(std::make_unique<Node>())
{ }

FileBrowserModel::~FileBrowserModel() = default;

void FileBrowserModel::setRoot(std::shared_ptr<fileInformation> root)
{
    beginResetModel();
    root_ = std::make_unique<Node>();
    root_->info = std::move(root);
    if (root_->info) {
        const FileInfoList& entries = root_->info->childrens;
        const auto keys = keysOf(entries);
        root_->children.reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            auto node = std::make_unique<Node>();
            node->info = entries[i];
            node->key = keys[i];
            node->parent = root_.get();
            node->row = static_cast<int>(i);
            root_->children.push_back(std::move(node));
        }
    }
    endResetModel();
}

std::shared_ptr<fileInformation> FileBrowserModel::root() const
{
    return root_->info;
}

void FileBrowserModel::applyListing(const QModelIndex& folder, const FileInfoList& entries)
{
    Node* parent = nodeOf(folder);
    const QModelIndex parentIndex = parent == root_.get() ? QModelIndex() : folder;
    const auto keys = keysOf(entries);
    if (!parent->children.empty()) { // a first listing only inserts
        removeGone(parent, parentIndex, keys);
        reorder(parent, parentIndex, keys);
    }
    insertNew(parent, parentIndex, entries, keys);

    // Now row i is entry i. Rows whose entry says something new are redrawn; a new version of a
    // file has a new picture too.
    int first = -1;
    int last = -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        Node& node = *parent->children[i];
        const auto& fresh = entries[i];
        if (node.info == fresh)
            continue;
        const bool same = node.info && node.info->compareFileInformation(*fresh)
            && node.info->isReadOnly == fresh->isReadOnly && node.info->isManager == fresh->isManager
            && node.info->fileExt == fresh->fileExt;
        if (node.info && node.info->timestamp != fresh->timestamp && node.thumbnail == Thumbnail::Done) {
            node.thumbnail = Thumbnail::None;
            node.picture = QPixmap();
        }
        node.info = fresh;
        if (!same) {
            first = first < 0 ? static_cast<int>(i) : first;
            last = static_cast<int>(i);
        }
    }
    if (first >= 0)
        emit dataChanged(index(first, 0, parentIndex), index(last, 0, parentIndex));
}

void FileBrowserModel::removeGone(Node* parent, const QModelIndex& parentIndex, const std::vector<std::string>& newKeys)
{
    const std::unordered_set<std::string> kept(newKeys.begin(), newKeys.end());
    auto& children = parent->children;
    // From the end, so that the rows of the runs still to go stay where they were.
    int end = static_cast<int>(children.size());
    while (end > 0) {
        int last = end - 1;
        while (last >= 0 && kept.count(children[static_cast<std::size_t>(last)]->key))
            --last;
        if (last < 0)
            break;
        int first = last;
        while (first > 0 && !kept.count(children[static_cast<std::size_t>(first - 1)]->key))
            --first;
        beginRemoveRows(parentIndex, first, last);
        children.erase(children.begin() + first, children.begin() + last + 1);
        renumber(children, static_cast<std::size_t>(first));
        endRemoveRows();
        end = first;
    }
}

void FileBrowserModel::reorder(Node* parent, const QModelIndex& parentIndex, const std::vector<std::string>& newKeys)
{
    auto& children = parent->children;
    std::unordered_map<std::string, std::size_t> position;
    position.reserve(newKeys.size());
    for (std::size_t i = 0; i < newKeys.size(); ++i)
        position.emplace(newKeys[i], i);
    const bool inOrder = std::is_sorted(children.begin(), children.end(),
        [&](const auto& a, const auto& b) { return position.at(a->key) < position.at(b->key); });
    if (inOrder)
        return;
    // A rename moved rows: the same rows in a new order, the selection and open columns kept.
    emit layoutAboutToBeChanged({ QPersistentModelIndex(parentIndex) }, QAbstractItemModel::VerticalSortHint);
    std::stable_sort(children.begin(), children.end(),
        [&](const auto& a, const auto& b) { return position.at(a->key) < position.at(b->key); });
    renumber(children, 0);
    const QModelIndexList persistent = persistentIndexList();
    for (const QModelIndex& old : persistent) {
        Node* node = static_cast<Node*>(old.internalPointer());
        if (node && node->parent == parent)
            changePersistentIndex(old, createIndex(node->row, old.column(), node));
    }
    emit layoutChanged({ QPersistentModelIndex(parentIndex) }, QAbstractItemModel::VerticalSortHint);
}

void FileBrowserModel::insertNew(
    Node* parent, const QModelIndex& parentIndex, const FileInfoList& entries, const std::vector<std::string>& newKeys)
{
    auto& children = parent->children;
    std::size_t at = 0; // row in children
    std::size_t next = 0; // position in entries
    while (next < entries.size()) {
        if (at < children.size() && children[at]->key == newKeys[next]) {
            ++at;
            ++next;
            continue;
        }
        // A run of new entries goes in before the row that is already there.
        std::size_t end = next;
        while (end < entries.size() && !(at < children.size() && children[at]->key == newKeys[end]))
            ++end;
        const auto count = end - next;
        beginInsertRows(parentIndex, static_cast<int>(at), static_cast<int>(at + count - 1));
        std::vector<std::unique_ptr<Node>> made;
        made.reserve(count);
        for (std::size_t i = next; i < end; ++i) {
            auto node = std::make_unique<Node>();
            node->info = entries[i];
            node->key = newKeys[i];
            node->parent = parent;
            made.push_back(std::move(node));
        }
        children.insert(children.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(made.begin()),
            std::make_move_iterator(made.end()));
        renumber(children, at);
        endInsertRows();
        at += count;
        next = end;
    }
}

std::shared_ptr<fileInformation> FileBrowserModel::entry(const QModelIndex& index) const
{
    return nodeOf(index)->info;
}

bool FileBrowserModel::isFolder(const QModelIndex& index) const
{
    const Node* node = nodeOf(index);
    return node->info && !node->info->isFile();
}

QModelIndex FileBrowserModel::childNamed(const QModelIndex& folder, const QString& name) const
{
    const std::string wanted = name.toStdString();
    const auto& children = nodeOf(folder)->children;
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if ((*it)->info->displayName.value_or("") == wanted)
            return createIndex((*it)->row, 0, it->get());
    return {};
}

FileBrowserModel::Thumbnail FileBrowserModel::thumbnailState(const QModelIndex& index) const
{
    return index.isValid() ? nodeOf(index)->thumbnail : Thumbnail::None;
}

void FileBrowserModel::setThumbnailState(const QModelIndex& index, Thumbnail state)
{
    if (index.isValid())
        nodeOf(index)->thumbnail = state;
}

void FileBrowserModel::setThumbnail(const QModelIndex& index, const QPixmap& picture)
{
    if (!index.isValid())
        return;
    Node* node = nodeOf(index);
    node->thumbnail = Thumbnail::Done;
    node->picture = picture;
    emit dataChanged(index, index, { Qt::DecorationRole });
}

FileBrowserModel::Node* FileBrowserModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

QModelIndex FileBrowserModel::indexOf(Node* node) const
{
    return node == root_.get() || !node ? QModelIndex() : createIndex(node->row, 0, node);
}

QModelIndex FileBrowserModel::index(int row, int column, const QModelIndex& parent) const
{
    const Node* node = nodeOf(parent);
    if (row < 0 || column != 0 || static_cast<std::size_t>(row) >= node->children.size())
        return {};
    return createIndex(row, 0, node->children[static_cast<std::size_t>(row)].get());
}

QModelIndex FileBrowserModel::parent(const QModelIndex& child) const
{
    if (!child.isValid())
        return {};
    return indexOf(static_cast<Node*>(child.internalPointer())->parent);
}

int FileBrowserModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    return static_cast<int>(nodeOf(parent)->children.size());
}

int FileBrowserModel::columnCount(const QModelIndex&) const
{
    return 1;
}

bool FileBrowserModel::hasChildren(const QModelIndex& parent) const
{
    // A folder opens its column before its listing has come.
    const Node* node = nodeOf(parent);
    return !parent.isValid() || !node->children.empty() || (node->info && !node->info->isFile());
}

QVariant FileBrowserModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    const Node& node = *nodeOf(index);
    const fileInformation& entry = *node.info;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return EntryDisplay::rowText(entry);
    case Qt::ToolTipRole:
        return QString::fromStdString(entry.displayName.value_or(""));
    case Qt::DecorationRole:
        if (!entry.isFile())
            return folderIcon(EntryDisplay::folderImage(entry));
        if (!node.picture.isNull())
            return node.picture;
        return Icons::forFileName(QString::fromStdString(entry.displayName.value_or("")));
    case Qt::ForegroundRole: {
        const bool readOnly = entry.isFile() && readOnly_ && readOnly_(entry);
        return QBrush(EntryDisplay::colour(EntryDisplay::tone(entry, readOnly), QGuiApplication::palette()));
    }
    case KeyRole:
        return QString::fromStdString(node.key);
    default:
        return {};
    }
}

Qt::ItemFlags FileBrowserModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled;
    if (!nodeOf(index)->info->isFile())
        flags |= Qt::ItemIsDropEnabled;
    else
        flags |= Qt::ItemNeverHasChildren;
    return flags;
}

} // namespace norvane
