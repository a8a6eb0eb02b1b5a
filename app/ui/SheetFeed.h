#pragma once

#include "app/logic/CommandProgressList.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>

#include <memory>
#include <mutex>
#include <vector>

namespace norvane {

class ProgressSheet;

// Carries one transfer's commands onto the progress sheet as a worker makes them (a tree is
// scanned on the worker, a command at a time), a batch per turn of the event loop, and takes them
// off when the transfer ends. Stop on the sheet stops the whole transfer: its progress list is
// cancelled, so that commands made after the press are stopped as soon as they exist.
class SheetFeed final : public CommandProgressObserver, public std::enable_shared_from_this<SheetFeed> {
public:
    // On the main thread. The sheet shows `title` while this transfer is on it.
    static std::shared_ptr<SheetFeed> start(ProgressSheet* sheet, const QString& title);
    ~SheetFeed() override;

    // Any thread: the command goes onto the sheet on the main thread's next turn.
    void observeProgress(const CloudServiceCommandPtr& command, std::string_view context) override;
    void addAll(const std::vector<CloudServiceCommandPtr>& commands);
    // Main thread: the transfer ended; its commands leave the sheet (which closes when nothing
    // else is on it).
    void finish();

    // What the operations append to; Stop cancels it.
    const std::shared_ptr<CommandProgressList>& progressList() const { return list_; }
    // Main thread: Stop was pressed while this transfer was on the sheet.
    bool stopped() const { return stopped_; }

private:
    SheetFeed(ProgressSheet* sheet, QString title);
    void flush();

    QPointer<ProgressSheet> sheet_;
    QString title_;
    std::shared_ptr<CommandProgressList> list_ = std::make_shared<CommandProgressList>();
    QMetaObject::Connection stopConnection_;
    std::vector<CloudServiceCommandPtr> shown_;
    bool stopped_ = false;
    bool finished_ = false;
    std::mutex mutex_; // guards pending_
    std::vector<CloudServiceCommandPtr> pending_;
};

} // namespace norvane
