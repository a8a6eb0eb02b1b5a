#include "app/ui/PathJump.h"

#include "app/state/AppDataManager.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/UiText.h"

#include <QPointer>

namespace norvane {

PathJump::PathJump(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, Hooks hooks, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , browser_(browser)
    , hooks_(std::move(hooks))
{ }

QString PathJump::currentPathText() const
{
    const QString title
        = uiText(manager_->rootNodeType() == RootNodeShare ? "folder_name_sharefolder2" : "folder_name_myfolder2");
    const auto folder = browser_->browserModel()->entry(browser_->shownFolder());
    return title + QString::fromStdString(folder ? folder->fullPath.value_or("") : std::string());
}

std::int32_t PathJump::rootTypeForTitle(const QString& title)
{
    if (title == uiText("folder_name_sharefolder2"))
        return RootNodeShare;
    if (title == uiText("folder_name_myfolder2"))
        return RootNodeMyFolder;
    return 0;
}

void PathJump::go(const QString& path)
{
    QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const std::int32_t type = components.isEmpty() ? 0 : rootTypeForTitle(components.takeFirst());
    if (type == 0) {
        end();
        return;
    }
    if (hooks_.selectRoot)
        hooks_.selectRoot(type);
    else
        manager_->setRootNodeType(type);
    browser_->reloadFromRoot();
    walk(QModelIndex(), components, ++serial_);
}

void PathJump::walk(const QModelIndex& folder, QStringList rest, unsigned serial)
{
    if (rest.isEmpty()) {
        end();
        return;
    }
    QPointer<PathJump> self(this);
    const QPersistentModelIndex where(folder);
    browser_->listFolder(folder, [self, where, rest, serial](std::int32_t result) {
        if (!self || serial != self->serial_)
            return;
        if (result != 1)
            self->end();
        else
            self->step(where, rest, serial);
    });
}

void PathJump::step(const QPersistentModelIndex& folder, QStringList rest, unsigned serial)
{
    FileBrowserModel* model = browser_->browserModel();
    if (folder != QPersistentModelIndex() && !folder.isValid()) {
        end(); // the folder went away meanwhile
        return;
    }
    const QModelIndex match = model->childNamed(folder, rest.takeFirst());
    if (!match.isValid()) {
        end();
        return;
    }
    if (!model->isFolder(match)) {
        browser_->setCurrentIndex(match);
        if (hooks_.open)
            hooks_.open(model->entry(match));
        end();
        return;
    }
    // The folder opens the next column; selecting it lists it, which is the next step's listing.
    QPointer<PathJump> self(this);
    const QPersistentModelIndex next(match);
    browser_->selectAndList(match, [self, next, rest, serial](std::int32_t result) {
        if (!self || serial != self->serial_)
            return;
        if (result != 1 || rest.isEmpty())
            self->end();
        else
            self->step(next, rest, serial);
    });
}

void PathJump::end()
{
    if (hooks_.finished)
        hooks_.finished();
}

} // namespace norvane
