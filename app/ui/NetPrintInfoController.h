#pragma once

#include "app/state/NetPrintInfo.h"

#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace norvane {

class AppDataManager;

// The detail of one print job beside the print list: its picture, file name, print number (or
// why it cannot be printed), registration date and end of validity, and Delete. A job that can be
// printed shows its file type's icon until the preview picture from the print service comes; one
// that cannot shows the caution sign. Delete removes the job on the server, fetches the list
// again and asks the list to show it.
class NetPrintInfoController : public QWidget {
    Q_OBJECT
public:
    NetPrintInfoController(std::shared_ptr<AppDataManager> manager, QWidget* parent = nullptr);

    void setRecord(std::optional<NetPrintInfo> record);
    const std::optional<NetPrintInfo>& record() const { return record_; }
    // After a delete, the list was fetched again and is in the data manager.
    std::function<void()> listChanged;

    void doDelete();
    // "Print number: 12345678", or the reason code of a job that cannot be printed.
    static QString resultText(const NetPrintInfo& record);

    QLabel* thumbnailLabel() const { return thumbnail_; }
    QLabel* resultLabel() const { return result_; }
    QLabel* uploadLabel() const { return upload_; }
    QLabel* endLabel() const { return end_; }
    QPushButton* deleteButton() const { return delete_; }
    // True while the picture shown is the job's preview, not an icon.
    bool showsPicture() const { return showsPicture_; }

private:
    void refresh();
    void showIcon(const QIcon& icon);

    std::shared_ptr<AppDataManager> manager_;
    std::optional<NetPrintInfo> record_;
    unsigned serial_ = 0;
    bool showsPicture_ = false;
    QLabel* thumbnail_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* result_ = nullptr;
    QLabel* upload_ = nullptr;
    QLabel* end_ = nullptr;
    QPushButton* delete_ = nullptr;
};

} // namespace norvane
