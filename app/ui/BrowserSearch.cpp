#include "app/ui/BrowserSearch.h"

#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QSignalBlocker>

namespace norvane {

BrowserSearch::BrowserSearch(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, QLineEdit* field,
    QComboBox* kind, std::function<void(bool)> busy, QObject* parent)
    : QObject(parent)
    , manager_(std::move(manager))
    , browser_(browser)
    , field_(field)
    , kind_(kind)
    , busy_(std::move(busy))
{
    connect(field_, &QLineEdit::textChanged, this, &BrowserSearch::keywordChanged);
    connect(kind_, &QComboBox::currentIndexChanged, this, [this] {
        if (!field_->text().isEmpty())
            keywordChanged();
    });
}

void BrowserSearch::clear()
{
    const QSignalBlocker quiet(field_);
    field_->clear();
    searchUK_.clear();
    ++serial_;
}

void BrowserSearch::keywordChanged()
{
    const unsigned asked = ++serial_;
    QPointer<BrowserSearch> self(this);
    const std::string keyword = field_->text().toStdString();
    if (keyword.empty()) {
        searchUK_.clear();
        if (busy_)
            busy_(true);
        browser_->listRootAndReload(
            [self, asked](std::int32_t) {
                if (self && self->busy_)
                    self->busy_(false);
            },
            [self, asked] { return self && self->serial_ == asked; });
        return;
    }
    if (searchUK_.empty()) {
        const auto folder = browser_->browserModel()->entry(browser_->shownFolder());
        searchUK_ = folder ? folder->uk.value_or("") : std::string();
    }
    if (busy_)
        busy_(true);
    StorageServiceLogic::searchFolder(searchUK_, keyword, kind_->currentIndex() == 0,
        [self, asked](std::int32_t result, const std::optional<FileInfoList>& found) {
            if (!self)
                return;
            if (self->busy_)
                self->busy_(false);
            // Only the answer to the newest keystroke may fill the column.
            if (asked != self->serial_ || result != 1 || !found)
                return;
            if (auto root = self->manager_->rootNode()) {
                root->childrens = *found;
                self->browser_->reloadFromRoot();
            }
        });
}

} // namespace norvane
