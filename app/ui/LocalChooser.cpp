#include "app/ui/LocalChooser.h"

#include "app/ui/UiText.h"

#include <QDir>
#include <QFileDialog>

namespace norvane {

namespace {

class DialogChooser : public LocalChooser {
public:
    std::optional<QString> chooseFolder(QWidget* parent) override
    {
        const QString folder = QFileDialog::getExistingDirectory(
            parent, uiText("ui_download_to_folder"), QDir::homePath(), QFileDialog::ShowDirsOnly);
        return folder.isEmpty() ? std::nullopt : std::optional<QString>(folder);
    }

    std::optional<QString> chooseSaveFile(QWidget* parent, const QString& suggestedName) override
    {
        const QString path
            = QFileDialog::getSaveFileName(parent, uiText("ui_download_save_as"), QDir::home().filePath(suggestedName));
        return path.isEmpty() ? std::nullopt : std::optional<QString>(path);
    }
};

} // namespace

std::shared_ptr<LocalChooser> LocalChooser::system()
{
    return std::make_shared<DialogChooser>();
}

} // namespace norvane
