#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace norvane {

// The one text-entry sheet of the file window (go to path; rename and new folder use it too): a
// label, a field and OK / Cancel. OK hands the text to what asked.
class EntrySheet : public QDialog {
    Q_OBJECT
public:
    explicit EntrySheet(QWidget* window);

    // Opens the sheet with the label and the field's first text, its first `selected` characters
    // selected (all of it when negative); `confirmed` gets the text on OK.
    void ask(
        const QString& label, const QString& text, std::function<void(const QString&)> confirmed, int selected = -1);

    QLabel* label() const { return label_; }
    QLineEdit* field() const { return field_; }
    QPushButton* okButton() const { return ok_; }

private:
    QLabel* label_ = nullptr;
    QLineEdit* field_ = nullptr;
    QPushButton* ok_ = nullptr;
    std::function<void(const QString&)> confirmed_;
};

} // namespace norvane
