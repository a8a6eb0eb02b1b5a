#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

class QColumnView;
class QStandardItemModel;
class QWidget;

namespace norvane {

class AppDataManager;
class NetPrintInfoController;

// The list of the jobs registered with the print service: one column of the data manager's
// print-job records (each by its file name and its type's icon), the detail of the chosen one
// beside it, and Refresh, which fetches the list again. The column is filled afresh each time the
// window comes to the front. Made at start and kept for the life of the application.
class NetPrintListWindowController : public QObject {
    Q_OBJECT
public:
    NetPrintListWindowController(std::shared_ptr<AppDataManager> manager, QObject* parent = nullptr);
    ~NetPrintListWindowController() override;

    QWidget* window() const { return window_; }
    QColumnView* browser() const { return browser_; }
    NetPrintInfoController* detail() const { return detail_; }

    void showWindow();
    // The records of the data manager into the column.
    void reloadColumn();
    // Fetches the list from the server; on success it replaces the data manager's and is shown.
    void refresh();

private:
    std::shared_ptr<AppDataManager> manager_;
    QPointer<QWidget> window_;
    QColumnView* browser_ = nullptr;
    QStandardItemModel* model_ = nullptr;
    NetPrintInfoController* detail_ = nullptr;
};

} // namespace norvane
