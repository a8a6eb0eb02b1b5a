#pragma once

#include <optional>
#include <string>

namespace norvane {

// Where the service keeps its files below the application data directory:
//   <data>/tmp/<category>/...      temporary files by category ("cmd", "CacheFile", "do_not_delete_...")
//   <data>/OffLineData/<server path>  offline copies and their ".cmd" companions
// Everything follows Paths::applicationDataDirectory(), read on each call.
class LocalStorePaths {
public:
    static std::string documentDirectory();
    static std::string temporaryDirectory();

    // <tmp>/<category>/<name>; an empty category means the name's extension, or "other" when it
    // has none. The category directory is created (owner only) if missing.
    static std::string fullPathOfTempFile(const std::string& name, const std::string& category);

    // 32 lowercase hexadecimal digits, different on every call.
    static std::string randomName();

    // <data>/OffLineData followed by the server path, with ".<extension>" when one is given.
    // Nothing for an empty path and for one that could lead outside OffLineData: a path that does
    // not begin with "/", or holds a ".." component or a NUL; also for an extension with "/" or NUL.
    static std::optional<std::string> getOffLineLocalPath(const std::string& serverPath);
    static std::optional<std::string> getOffLineLocalPath(const std::string& serverPath, const std::string& extension);

    // Creates the directory and its parents when nothing exists at path. True when a directory is
    // there afterwards.
    static bool createIfNotExistDir(const std::string& path);
};

} // namespace norvane
