#pragma once

#include <QString>

#include <memory>

namespace norvane {

// Opens a local file with the desktop's default application for its type (xdg-open and its kin).
// The file window opens downloaded files only through this, so tests can see which file was
// opened without starting an application.
class DesktopOpener {
public:
    virtual ~DesktopOpener() = default;
    // False when the desktop has no application for it.
    virtual bool openLocalFile(const QString& path) = 0;

    // QDesktopServices.
    static std::shared_ptr<DesktopOpener> system();
};

} // namespace norvane
