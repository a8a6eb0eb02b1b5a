#pragma once

#include "app/ui/ThumbnailLoader.h"

#include <QColumnView>

#include <functional>
#include <memory>
#include <unordered_map>

namespace norvane {

class AppDataManager;
class BrowserColumnEvents;
class FileBrowserModel;
class FileDataBrowserCell;
class PreviewController;

// The column browser below the side bar's root. Selecting one folder lists it (its column is open
// already and fills when the listing comes; a listing that fails leaves the column as it was);
// selecting a file shows it in the preview pane after the last column. The keys: arrows move
// between rows and columns, Return opens a file (or enters a folder), Backspace goes up a column.
class FileBrowser : public QColumnView {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(bool busy)> busy; // a server call starts or ends
        std::function<void(const std::shared_ptr<fileInformation>& entry)> open;
        ThumbnailLoader::Fetch thumbnails; // empty: the operations' thumbnail queue
        ThumbnailLoader::Fetch previewThumbnails; // empty: the operations' thumbnail download
    };
    using Listed = std::function<void(std::int32_t result)>;

    FileBrowser(std::shared_ptr<AppDataManager> manager, Hooks hooks, QWidget* parent = nullptr);
    ~FileBrowser() override;

    FileBrowserModel* browserModel() const { return model_; }
    ThumbnailLoader* thumbnails() const { return thumbnails_; }
    PreviewController* preview() const { return preview_; }

    // Where the columns' right-clicks and drags go (null: nowhere); made columns follow too.
    void setColumnEvents(BrowserColumnEvents* events);

    // Shows the data manager's root afresh from the first column, as its children are now.
    void reloadFromRoot();
    // Lists the data manager's root, then shows it afresh from the first column, unless the
    // listing failed, the root changed meanwhile or `stillWanted` says no more.
    void listRootAndReload(Listed done = {}, std::function<bool()> stillWanted = {});
    // Lists the folder (invalid: the root) and applies the listing to its rows, then `done`.
    void listFolder(const QModelIndex& folder, Listed done = {});
    // Selects the row in its column and lists it when it is a folder, then `done` (at once for a
    // file).
    void selectAndList(const QModelIndex& index, Listed done = {});
    // The folder whose rows the last column shows: the selected folder, the folder of the selected
    // file, or the root (invalid) when nothing is selected.
    QModelIndex shownFolder() const;
    // Lists the folder of the column the cursor is in again (F5).
    void relistCurrentColumn();
    // The cursor goes to the folder of its column, one column to the left (Backspace).
    void goUp();

signals:
    // A listing of the folder (invalid: the root) came back, before its rows are applied.
    void listingArrived(const QModelIndex& folder, std::int32_t result);

protected:
    QAbstractItemView* createColumn(const QModelIndex& rootIndex) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectionSettled();
    void activate(const QModelIndex& index);
    // Lists the folder entry on a worker and runs `finish` with the result here.
    void startListing(const std::shared_ptr<fileInformation>& folder, Listed finish);

    std::shared_ptr<AppDataManager> manager_;
    Hooks hooks_;
    FileBrowserModel* model_ = nullptr;
    FileDataBrowserCell* cell_ = nullptr;
    ThumbnailLoader* thumbnails_ = nullptr;
    PreviewController* preview_ = nullptr;
    BrowserColumnEvents* columnEvents_ = nullptr;
    bool settleScheduled_ = false;
    std::uint64_t nextListing_ = 0;
    std::unordered_map<std::uint64_t, Listed> pending_;
    // A selection made by selectAndList lists itself; the selection handler leaves it alone.
    QPersistentModelIndex listedByCaller_;
};

} // namespace norvane
