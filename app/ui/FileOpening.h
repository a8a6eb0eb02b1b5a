#pragma once

#include "CloudServiceSDKForMac/CloudService/fileInformation.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

namespace norvane {

class AppDataManager;
class DesktopOpener;
class ProgressSheet;

// Opening a file of the browser: it is downloaded into the cache under the progress sheet, then
// handed to the desktop's application for it. A copy that must not change (a photo, a video, a
// PDF, a file the user may only read) is made unwritable and left alone; any other is watched, so
// that its saves go back to the server, and a shared one is locked first when the settings say so.
class FileOpening : public QObject {
    Q_OBJECT
public:
    FileOpening(std::shared_ptr<AppDataManager> manager, ProgressSheet* sheet, std::shared_ptr<DesktopOpener> opener,
        std::function<void(bool busy)> busy, QObject* parent = nullptr);

    // Folders and favourites' shortcuts are not opened this way.
    static bool opens(const fileInformation& entry);
    // The cached copy of the entry is kept unwritable and not watched.
    static bool staysUnwritable(const fileInformation& entry, bool readOnlyForUser);
    // The server path an edited copy goes back to: "/FILE" or "/SHAREFILE" and the full path.
    static std::string serverPath(const fileInformation& entry);
    // Gives or takes the write permission of the local file (owner, group and others alike).
    static void setWritable(const std::string& path, bool writable);

    void open(const std::shared_ptr<fileInformation>& entry);

private:
    void downloaded(const std::shared_ptr<fileInformation>& entry, const std::string& localPath);

    std::shared_ptr<AppDataManager> manager_;
    ProgressSheet* sheet_;
    std::shared_ptr<DesktopOpener> opener_;
    std::function<void(bool)> busy_;
};

} // namespace norvane
