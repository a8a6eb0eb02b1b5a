#include "app/ui/SheetFeed.h"

#include "app/ui/ProgressSheet.h"
#include "platform/MainQueue.h"

namespace norvane {

SheetFeed::SheetFeed(ProgressSheet* sheet, QString title)
    : sheet_(sheet)
    , title_(std::move(title))
{ }

SheetFeed::~SheetFeed()
{
    QObject::disconnect(stopConnection_);
}

std::shared_ptr<SheetFeed> SheetFeed::start(ProgressSheet* sheet, const QString& title)
{
    std::shared_ptr<SheetFeed> feed(new SheetFeed(sheet, title));
    std::weak_ptr<SheetFeed> weak = feed;
    feed->stopConnection_ = QObject::connect(sheet, &ProgressSheet::stopped, sheet, [weak] {
        if (auto self = weak.lock(); self && !self->finished_) {
            self->stopped_ = true;
            self->list_->cancelAll();
        }
    });
    return feed;
}

void SheetFeed::observeProgress(const CloudServiceCommandPtr& command, std::string_view)
{
    addAll({ command });
}

void SheetFeed::addAll(const std::vector<CloudServiceCommandPtr>& commands)
{
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        first = pending_.empty();
        pending_.insert(pending_.end(), commands.begin(), commands.end());
    }
    if (first)
        MainQueue::shared()->post([weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->flush();
        });
}

void SheetFeed::flush()
{
    std::vector<CloudServiceCommandPtr> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(pending_);
    }
    if (batch.empty())
        return;
    if (stopped_ || finished_ || !sheet_) {
        // Too late for the sheet: a stopped transfer's commands stop; an ended one's have ended.
        if (stopped_)
            stopCommands(batch);
        return;
    }
    sheet_->setTitle(title_);
    shown_.insert(shown_.end(), batch.begin(), batch.end());
    sheet_->addCommands(batch);
}

void SheetFeed::finish()
{
    if (finished_)
        return;
    flush();
    finished_ = true;
    QObject::disconnect(stopConnection_);
    if (sheet_)
        sheet_->removeCommands(shown_);
    shown_.clear();
}

} // namespace norvane
