// Local trees dropped from the desktop onto the file window's browser, offscreen, against a
// norvane-server started here:
//   ui_drop_20k_worst_stall              the longest the event loop stood still from the drop of
//                                        a tree of 20,000 files to the end of its upload
//   ui_drop_20k_sheet_delay              from that drop to the progress sheet on screen
//   ui_upload_1000_progress_updates_per_s how often the sheet's label changed while a tree of
//                                        1,000 files went up
// Prints BENCH lines; exits 1 when a figure misses its target, 2 when a run failed.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/BrowserDragDrop.h"
#include "app/ui/FileBrowser.h"
#include "app/ui/FileBrowserModel.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/ProgressSheet.h"
#include "bench/BenchSupport.h"
#include "bench/UiBenchSupport.h"
#include "e2e/ServerProcess.h"
#include "support/FixedNetworkState.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QListView>
#include <QMainWindow>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace norvane;
using bench::waitUntil;

namespace {

int failRun(const char* why)
{
    std::fprintf(stderr, "ui_drop_bench: %s\n", why);
    return 2;
}

// A folder of `folders` sub-folders with `perFolder` small files each.
bool makeTree(const std::filesystem::path& top, int folders, int perFolder)
{
    std::error_code error;
    for (int f = 0; f < folders; ++f) {
        const auto folder = top / ("d" + std::to_string(f));
        if (!std::filesystem::create_directories(folder, error) && error)
            return false;
        for (int i = 0; i < perFolder; ++i)
            if (!(std::ofstream(folder / ("f" + std::to_string(i) + ".txt")) << "line " << i << '\n'))
                return false;
    }
    return true;
}

// How one drop went: when the sheet came up, when the upload ended, and every change of the
// sheet's label.
struct DropRun {
    qint64 sheetShownNs = -1;
    qint64 endedNs = -1;
    int labelChanges = 0;
    double worstStallMs = 0;
    double worstStallAtS = 0;
    int longStalls = 0;
};

// Drops the local folder into the gap of the first column and waits for its upload to end.
std::optional<DropRun> dropAndWait(FileWindowController& files, const QString& localFolder, int timeoutMs)
{
    QListView* column = nullptr;
    for (QListView* candidate : files.browser()->findChildren<QListView*>())
        if (!candidate->rootIndex().isValid() && candidate->isVisible())
            column = candidate;
    if (!column)
        return std::nullopt;
    ProgressSheet* sheet = files.progressSheet();
    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(localFolder) });
    const QPoint gap(10, column->viewport()->height() - 5);

    DropRun run;
    QElapsedTimer clock;
    QString lastLabel;
    QTimer sampler;
    sampler.setInterval(5);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (!sheet->isVisible())
            return;
        if (run.sheetShownNs < 0)
            run.sheetShownNs = clock.nsecsElapsed();
        if (sheet->label()->text() != lastLabel) {
            lastLabel = sheet->label()->text();
            ++run.labelChanges;
        }
    });
    bench::StallMeter meter;
    const int dropsBefore = files.dragDrop()->dropsStarted();
    clock.start();
    meter.start();
    sampler.start();
    const Qt::DropActions offered = Qt::CopyAction;
    QDragEnterEvent enter(gap, offered, &data, Qt::LeftButton, {});
    QApplication::sendEvent(column->viewport(), &enter);
    QDragMoveEvent move(gap, offered, &data, Qt::LeftButton, {});
    QApplication::sendEvent(column->viewport(), &move);
    QDropEvent drop(QPointF(gap), offered, &data, Qt::LeftButton, {});
    QApplication::sendEvent(column->viewport(), &drop);
    const bool ended = waitUntil(
        [&] {
            return files.dragDrop()->dropsStarted() > dropsBefore && run.sheetShownNs >= 0 && !sheet->isVisible()
                && !files.isBusy();
        },
        timeoutMs);
    run.endedNs = clock.nsecsElapsed();
    sampler.stop();
    run.worstStallMs = meter.stop() * 1000;
    run.worstStallAtS = meter.worstEndedAt();
    run.longStalls = meter.longStalls();
    if (!drop.isAccepted() || !ended)
        return std::nullopt;
    return run;
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir home;
    ::setenv("NORVANE_HOME", qPrintable(home.path()), 1);
    CurrentNetworkStatus::setStateSource(std::make_shared<test::FixedNetworkState>(true));
    QApplication application(argc, argv);

    const auto top = std::filesystem::path(home.path().toStdString()) / "local";
    if (!makeTree(top / "tree20k", 100, 200) || !makeTree(top / "tree1k", 10, 100))
        return failRun("the local trees could not be made");

    test::ServerProcess server;
    if (auto why = bench::startServerWithBenchAccount(server); !why.empty())
        return failRun(why.c_str());

    AppDelegate::Options options = bench::quietClientOptions();
    options.alerts = std::make_shared<RecordingAlertPresenter>();
    AppDelegate app(options);
    if (auto why = bench::signInToFileWindow(app, server); !why.empty())
        return failRun(why.c_str());
    FileWindowController& files = app.fileWindow();
    FileBrowserModel* model = files.browser()->browserModel();
    if (!waitUntil([&] { return model->rowCount() > 0 && !files.isBusy(); }))
        return failRun("My folder is not listed");

    const auto small = dropAndWait(files, QString::fromStdString((top / "tree1k").string()), 300000);
    if (!small)
        return failRun("the tree of 1,000 files did not go up");
    const double smallSeconds = static_cast<double>(small->endedNs - small->sheetShownNs) / 1e9;
    bench::bench("ui_upload_1000_progress_updates_per_s", small->labelChanges / std::max(smallSeconds, 1e-3), 1,
        "per_s", ">=", 2);

    const auto big = dropAndWait(files, QString::fromStdString((top / "tree20k").string()), 1800000);
    if (!big)
        return failRun("the tree of 20,000 files did not go up");
    bench::bench("ui_drop_20k_worst_stall", big->worstStallMs, 1, "ms", "<=", 50);
    bench::bench("ui_drop_20k_sheet_delay", static_cast<double>(big->sheetShownNs) / 1e6, 1, "ms", "<=", 2000);
    std::fprintf(stderr,
        "ui_drop_bench: 1,000 files in %.1f s, 20,000 files in %.1f s; the longest stall ended %.1f s after the drop, "
        "%d stalls over 50 ms\n",
        smallSeconds, static_cast<double>(big->endedNs) / 1e9, big->worstStallAtS, big->longStalls);

    if (!waitUntil([&] { return model->childNamed({}, QStringLiteral("tree20k")).isValid(); }, 10000))
        return failRun("the tree is not listed after its upload");
    CurrentNetworkStatus::setStateSource(nullptr);
    return bench::allPassed() ? 0 : 1;
}
