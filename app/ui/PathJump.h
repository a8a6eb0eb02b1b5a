#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>

namespace norvane {

class AppDataManager;
class FileBrowser;
class fileInformation;

// Go to path: "My folder/Projects/Plan.txt" chooses the area by its first component, shows that
// area's root from the first column and walks the rest, listing each folder on the way: a folder
// opens the next column, a file is opened, a name that matches nothing ends the walk there.
class PathJump : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<void(std::int32_t rootType)> selectRoot; // the side bar follows the area
        std::function<void(const std::shared_ptr<fileInformation>& entry)> open;
        std::function<void()> finished; // the walk ended, wherever it ended
    };

    PathJump(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, Hooks hooks, QObject* parent = nullptr);

    // What the entry sheet offers first: the area's title and the full path of the folder the last
    // column shows.
    QString currentPathText() const;
    // The area a path's first component names: the shared title 6, the My folder title 1, else 0.
    static std::int32_t rootTypeForTitle(const QString& title);

    void go(const QString& path);

private:
    // Lists the folder, then takes the next step in it.
    void walk(const QModelIndex& folder, QStringList rest, unsigned serial);
    // Finds the first of `rest` among the folder's rows as listed now and goes on from there.
    void step(const QPersistentModelIndex& folder, QStringList rest, unsigned serial);
    void end();

    std::shared_ptr<AppDataManager> manager_;
    FileBrowser* browser_;
    Hooks hooks_;
    unsigned serial_ = 0;
};

} // namespace norvane
