#pragma once

#include "app/logic/StorageServiceLogic.h"

#include <QWidget>

#include <memory>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace norvane {

class AppDataManager;
class DesktopOpener;

// The web-share dialog of one file: how many days and how many downloads the link is good for
// (the choices the server's policy allows), then Make; the answer shows the link, its password
// and until when it is valid, with Copy (link and password as one text) and Mail (two drafts, the
// link in one and the password in the other, so that they travel apart). Closing a dialog that
// shows a link asks first: the link is not shown again. The window deletes itself when it closes.
class WebShareWindowController : public QWidget {
    Q_OBJECT
public:
    WebShareWindowController(std::shared_ptr<AppDataManager> manager, std::shared_ptr<fileInformation> entry,
        std::shared_ptr<DesktopOpener> opener, QWidget* parent = nullptr);

    void showWindow();

    // Days and downloads chosen (1 for the first item).
    int periodNumber() const { return period_; }
    int timesNumber() const { return times_; }
    QComboBox* dayChoice() const { return days_; }
    QComboBox* countChoice() const { return counts_; }
    QPushButton* makeButton() const { return make_; }
    QWidget* resultView() const { return result_; }
    QLabel* linkLabel() const { return link_; }
    QLineEdit* passwordField() const { return password_; }
    QLabel* validityLabel() const { return validity_; }
    QGroupBox* validityBox() const { return validityBox_; }

    void doMake();
    void doCopy();
    void doMail();
    // The link and password as Copy puts them on the clipboard, and the link's part alone.
    QString linkText() const;
    QString passwordText() const;
    // "yyyy年MM月dd日 HH時mm分" of an HTTP date in local time; empty when it cannot be read.
    static QString validityText(const std::string& httpDate);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showResult(const StorageServiceLogic::PublishResult& link);

    std::shared_ptr<AppDataManager> manager_;
    std::shared_ptr<fileInformation> entry_;
    std::shared_ptr<DesktopOpener> opener_;
    int period_ = 1;
    int times_ = 1;
    QString url_;
    QComboBox* days_ = nullptr;
    QComboBox* counts_ = nullptr;
    QWidget* makeView_ = nullptr;
    QPushButton* make_ = nullptr;
    QProgressBar* busy_ = nullptr;
    QWidget* result_ = nullptr;
    QLabel* link_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLabel* validity_ = nullptr;
    QGroupBox* validityBox_ = nullptr;
};

} // namespace norvane
