#include "app/ui/DesktopOpener.h"

#include <QDesktopServices>
#include <QUrl>

namespace norvane {

namespace {

class SystemOpener : public DesktopOpener {
public:
    bool openLocalFile(const QString& path) override { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }
};

} // namespace

std::shared_ptr<DesktopOpener> DesktopOpener::system()
{
    return std::make_shared<SystemOpener>();
}

} // namespace norvane
