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

bool DesktopOpener::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

std::shared_ptr<DesktopOpener> DesktopOpener::system()
{
    return std::make_shared<SystemOpener>();
}

} // namespace norvane
