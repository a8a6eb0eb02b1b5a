#pragma once

#include <QString>

#include <memory>
#include <optional>

class QWidget;

namespace norvane {

// Where downloads go: the person picks a local folder, or a file name to save one file under.
// The file window asks only through this, so tests answer without a dialog on screen.
class LocalChooser {
public:
    virtual ~LocalChooser() = default;
    // A folder (folders only; new ones may be made in the dialog); none when cancelled.
    virtual std::optional<QString> chooseFolder(QWidget* parent) = 0;
    // The path to save one file under, the dialog prefilled with its name; none when cancelled.
    virtual std::optional<QString> chooseSaveFile(QWidget* parent, const QString& suggestedName) = 0;

    // The desktop's file dialogs.
    static std::shared_ptr<LocalChooser> system();
};

} // namespace norvane
