#pragma once

#include <QString>

#include <memory>

class QUrl;

namespace norvane {

// Opens a local file with the desktop's default application for its type (xdg-open and its kin),
// and web pages and mail drafts with the desktop's browser and mail program. The windows open
// things only through this, so tests can see what was opened without starting an application.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    // False when the desktop has no application for it.
    virtual bool openLocalFile(const QString& path) = 0;
    // A web page ("https:") or a mail draft ("mailto:").
    virtual bool openUrl(const QUrl& url);

    // QDesktopServices.
    static std::shared_ptr<DesktopOpener> system();
};

} // namespace norvane
