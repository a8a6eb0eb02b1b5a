// The file window's browser on a folder of 20,000 photos, offscreen, against a norvane-server
// started here (the folder made with the server's bulk-files action, in one transaction):
//   ui_20k_first_paint          from the listing's answer on the main thread to the first paint of
//                               its 20,000 rows
//   ui_20k_worst_stall          the longest the event loop stood still from the click on the
//                               folder to its painted rows
//   ui_20k_page_mean            one Page Down through the whole folder, painted: the mean ...
//   ui_20k_page_worst           ... and the slowest page
//   ui_20k_thumbnail_requests   thumbnails asked for while paging through it all and stopping at
//                               the end, against the rows in sight and the 30 that may be on
//                               their way
//   ui_20k_rss_growth           what the resident set grew by from before the click to the end
//   ui_20k_relist_keeps_columns listing the folder again while a column to its right is open
//                               keeps that column and the selection in it (1) or not (0)
// Prints BENCH lines; exits 1 when a figure misses its target, 2 when a run failed.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileDataBrowserCell.h"
#include "app/ui/FileWindowController.h"
#include "bench/BenchSupport.h"
#include "bench/UiBenchSupport.h"
#include "e2e/ServerProcess.h"
#include "support/FixedNetworkState.h"

#include <QApplication>
#include <QKeyEvent>
#include <QListView>
#include <QMainWindow>
#include <QMouseEvent>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace norvane;
using bench::waitUntil;

namespace {

constexpr int kEntries = 20000;

int failRun(const char* why)
{
    std::fprintf(stderr, "ui_browser_bench: %s\n", why);
    return 2;
}

QListView* columnOf(FileBrowser* browser, const QModelIndex& folder)
{
    for (QListView* column : browser->findChildren<QListView*>())
        if (column->rootIndex() == folder && column->isVisible())
            return column;
    return nullptr;
}

void click(QListView* column, const QModelIndex& index)
{
    const QPointF at = column->visualRect(index).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, column->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
        Qt::NoModifier);
    QApplication::sendEvent(column->viewport(), &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, column->viewport()->mapToGlobal(at), Qt::LeftButton,
        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(column->viewport(), &release);
}

std::int32_t await(const std::function<void(StorageServiceLogic::ResultCallback)>& start)
{
    auto result = std::make_shared<std::int32_t>(-1);
    start([result](std::int32_t code) { *result = code; });
    return waitUntil([&] { return *result >= 0; }) ? *result : -1;
}

// Stamps the end of the first paint of a column that shows the folder's rows.
class FirstPaint : public QObject {
public:
    FirstPaint(FileBrowser* browser, QPersistentModelIndex folder)
        : browser_(browser)
        , folder_(std::move(folder))
    {
        watchColumns();
    }
    // Columns come and go with the selection: called while waiting.
    void watchColumns()
    {
        for (QListView* column : browser_->findChildren<QListView*>())
            if (!watched_.contains(column->viewport())) {
                watched_.insert(column->viewport());
                column->viewport()->installEventFilter(this);
            }
    }
    QElapsedTimer clock;
    qint64 paintedAt = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && paintedAt < 0) {
            auto* column = qobject_cast<QListView*>(static_cast<QWidget*>(watched)->parentWidget());
            if (column && column->rootIndex() == folder_ && column->model()->rowCount(folder_) > 0) {
                // Painted once this event has gone through: stamped on the loop's next turn.
                QTimer::singleShot(0, this, [this] {
                    if (paintedAt < 0)
                        paintedAt = clock.nsecsElapsed();
                });
            }
        }
        return false;
    }

private:
    FileBrowser* browser_;
    QPersistentModelIndex folder_;
    QSet<QObject*> watched_;
};

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir home;
    ::setenv("NORVANE_HOME", qPrintable(home.path()), 1);
    CurrentNetworkStatus::setStateSource(std::make_shared<test::FixedNetworkState>(true));
    QApplication application(argc, argv);

    test::ServerProcess server;
    if (auto why = bench::startServerWithBenchAccount(server); !why.empty())
        return failRun(why.c_str());

    auto requests = std::make_shared<int>(0);
    AppDelegate::Options options = bench::quietClientOptions();
    options.thumbnails = [requests](const fileInformation& entry, long size, StorageServiceLogic::ImageCallback done) {
        ++*requests;
        StorageServiceLogic::downloadThumbnailImageWithQueue(entry, size, std::move(done));
    };
    AppDelegate app(options);
    if (auto why = bench::signInToFileWindow(app, server); !why.empty())
        return failRun(why.c_str());
    FileWindowController& files = app.fileWindow();

    // The folder: one sub-folder (for the column to its right) and 20,000 photos.
    if (await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/big", done); }) != 1
        || await([](auto done) { StorageServiceLogic::makeFolder("/FOLDER/big/sub", done); }) != 1)
        return failRun("the folders could not be made");
    const auto made = server.control("POST", "/_control/bulk-files",
        R"({"company": "benchco", "user": "bench", "folder": "/FOLDER/big", "count": )" + std::to_string(kEntries)
            + R"(, "prefix": "p", "suffix": ".jpg"})");
    if (made.status != 200)
        return failRun(("bulk-files: " + made.body).c_str());

    FileBrowser* browser = files.browser();
    FileBrowserModel* model = browser->browserModel();
    browser->listFolder({});
    if (!waitUntil([&] { return model->childNamed({}, QStringLiteral("big")).isValid(); }))
        return failRun("the folder is not listed");
    QApplication::processEvents();
    const QPersistentModelIndex big = model->childNamed({}, QStringLiteral("big"));
    QListView* first = columnOf(browser, {});
    if (!first)
        return failRun("no first column");

    // The click, the listing on its worker, the rows on screen.
    const long residentBefore = bench::residentKiB();
    FirstPaint painted(browser, big);
    qint64 listingAt = -1;
    QObject::connect(browser, &FileBrowser::listingArrived, browser, [&](const QModelIndex& folder, std::int32_t) {
        if (folder == big && listingAt < 0)
            listingAt = painted.clock.nsecsElapsed();
    });
    bench::StallMeter meter;
    painted.clock.start();
    meter.start();
    click(first, big);
    if (!waitUntil(
            [&] {
                painted.watchColumns();
                return painted.paintedAt >= 0;
            },
            60000)) {
        std::fprintf(
            stderr, "listing came at %lld ns, %d rows\n", static_cast<long long>(listingAt), model->rowCount(big));
        return failRun("the folder's rows were never painted");
    }
    const double stall = meter.stop();
    if (model->rowCount(big) != kEntries + 1 || listingAt < 0)
        return failRun("the folder did not show all its entries");
    bench::bench("ui_20k_first_paint", static_cast<double>(painted.paintedAt - listingAt) / 1e6, 1, "ms", "<=", 100);
    bench::bench("ui_20k_worst_stall", stall * 1000, 1, "ms", "<=", 50);

    // Page Down from the top to the end, each page painted before the next.
    QListView* column = columnOf(browser, big);
    if (!column)
        return failRun("no column for the folder");
    column->setFocus();
    browser->setCurrentIndex(model->index(0, 0, big));
    waitUntil([] { return false; }, 2 * ThumbnailLoader::kSettleMs);
    *requests = 0;
    std::vector<double> pages;
    QElapsedTimer took;
    while (browser->currentIndex().row() < model->rowCount(big) - 1) {
        took.start();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QApplication::sendEvent(column, &press);
        column->viewport()->repaint();
        QApplication::processEvents();
        pages.push_back(static_cast<double>(took.nsecsElapsed()) / 1e6);
        if (pages.size() > static_cast<std::size_t>(kEntries))
            return failRun("Page Down does not reach the end");
    }
    double sum = 0;
    for (double page : pages)
        sum += page;
    bench::bench("ui_20k_page_mean", sum / static_cast<double>(pages.size()), 2, "ms", "<=", 5);
    bench::bench("ui_20k_page_worst", *std::max_element(pages.begin(), pages.end()), 1, "ms", "<=", 50);

    // Standing at the end: the rows in sight are asked for, and nothing that went by.
    ThumbnailLoader* loader = browser->thumbnails();
    waitUntil([&] { return *requests > 0 && loader->outstanding() == 0 && loader->waiting() == 0; }, 20000);
    const int visible = column->viewport()->height() / FileDataBrowserCell::kRowHeight + 1;
    bench::bench("ui_20k_thumbnail_requests", *requests, 0, "requests", "<=", visible + ThumbnailLoader::kLimit);
    const long residentAfter = bench::residentKiB();
    bench::bench("ui_20k_rss_growth", static_cast<double>(residentAfter - residentBefore) / 1024.0, 1, "MB", "<=", 100);

    // The sub-folder open to the right of the folder's column; the folder listed again.
    const QPersistentModelIndex sub = model->childNamed(big, QStringLiteral("sub"));
    column->scrollToTop();
    QApplication::processEvents();
    click(column, sub);
    QListView* right = nullptr;
    waitUntil([&] { return (right = columnOf(browser, sub)) != nullptr; }, 5000);
    bool relisted = false;
    browser->listFolder(big, [&](std::int32_t result) { relisted = result == 1; });
    waitUntil([&] { return relisted; }, 60000);
    QApplication::processEvents();
    const bool kept = relisted && right && sub.isValid() && columnOf(browser, sub) == right
        && browser->currentIndex() == QModelIndex(sub) && model->rowCount(big) == kEntries + 1;
    bench::bench("ui_20k_relist_keeps_columns", kept ? 1 : 0, 0, "bool", ">=", 1);

    CurrentNetworkStatus::setStateSource(nullptr);
    return bench::allPassed() ? 0 : 1;
}
