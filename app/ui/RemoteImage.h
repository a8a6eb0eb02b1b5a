#pragma once

#include <QImage>

#include <functional>
#include <memory>
#include <string>

class QObject;

namespace norvane {

class AppDataManager;

// A picture at an address outside the storage protocol (a print job's preview), fetched on a
// worker with the client's own HTTP engine: the proxy of the settings applies, and a server
// whose key the person trusted is reached by that key, as with every other request. Only http
// and https; a picture over 8 MB, an answer other than 200 or bytes that are no picture give a
// null image.
namespace RemoteImage {

inline constexpr std::uint64_t kMostBytes = 8 * 1024 * 1024;

// `done` runs on the main thread while `context` lives.
void fetch(std::shared_ptr<AppDataManager> manager, const std::string& url, QObject* context,
    std::function<void(QImage)> done);

} // namespace RemoteImage

} // namespace norvane
