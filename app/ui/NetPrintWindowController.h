#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace norvane {

class AppDataManager;
class DesktopOpener;

// The print registration dialog of one file: how long the print service keeps it, a 4-digit
// password or none, and the agreement to the service's terms, without which nothing is sent.
// A registration that succeeds closes the dialog (the operation shows the print number). The
// window deletes itself when it closes.
class NetPrintWindowController : public QWidget {
    Q_OBJECT
public:
    // The print service's own page of messages to its users.
    static constexpr const char* kMessagePageURL = "https://www.norvane.example/netprint/";

    NetPrintWindowController(std::shared_ptr<AppDataManager> manager, std::shared_ptr<fileInformation> entry,
        std::shared_ptr<DesktopOpener> opener, QWidget* parent = nullptr);

    void showWindow();
    void doCommit();

    // Exactly four characters, each a digit.
    static bool isPrintPassword(const QString& text);

    QComboBox* validityChoice() const { return days_; }
    QRadioButton* passwordRow(int row) const { return row == 0 ? noPassword_ : withPassword_; }
    QLineEdit* passwordField() const { return password_; }
    QCheckBox* agreeBox() const { return agree_; }
    QPushButton* commitButton() const { return commit_; }

private:
    std::shared_ptr<AppDataManager> manager_;
    std::shared_ptr<fileInformation> entry_;
    std::shared_ptr<DesktopOpener> opener_;
    QComboBox* days_ = nullptr;
    QRadioButton* noPassword_ = nullptr;
    QRadioButton* withPassword_ = nullptr;
    QLineEdit* password_ = nullptr;
    QCheckBox* agree_ = nullptr;
    QPushButton* commit_ = nullptr;
    QProgressBar* busy_ = nullptr;
};

} // namespace norvane
