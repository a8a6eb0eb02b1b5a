#include "app/ui/RemoteImage.h"

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "app/state/AppDataManager.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"

#include <QPointer>

namespace norvane::RemoteImage {

namespace {

constexpr double kTimeOutSeconds = 30;

// What the request needs of the settings, read on the main thread, where they change.
struct Connection {
    std::string url;
    bool https = false;
    std::string proxyHost;
    int proxyPort = 0;
    std::string proxyUser;
    std::string proxyPassword;
    std::string pin;
};

std::optional<Connection> connectionFor(const ConfigInfo& config, const std::string& url)
{
    const auto parsed = URL::parse(url);
    if (!parsed || (parsed->scheme() != "http" && parsed->scheme() != "https"))
        return std::nullopt;
    Connection connection;
    connection.url = url;
    connection.https = parsed->scheme() == "https";
    if (config.useProxy() != 0) {
        connection.proxyHost = config.proxyIP();
        connection.proxyPort = static_cast<int>(config.proxyPort());
        connection.proxyUser = config.proxyUser();
        connection.proxyPassword = config.proxyPass();
    }
    if (connection.https)
        connection.pin = config.pinnedPublicKey(parsed->host(), parsed->effectivePort());
    return connection;
}

QImage load(const Connection& connection)
{
    auto request = ASIHTTPRequest::requestWithURL(connection.url);
    if (!connection.proxyHost.empty()) {
        request->setProxyHost(connection.proxyHost);
        request->setProxyPort(connection.proxyPort);
        request->setProxyUsername(connection.proxyUser);
        request->setProxyPassword(connection.proxyPassword);
    }
    if (connection.https) {
        request->setValidatesSecureCertificate(true);
        if (!connection.pin.empty())
            request->setPinnedPublicKey(connection.pin);
    }
    request->setTimeOutSeconds(kTimeOutSeconds);
    request->setMaxResponseDataSize(kMostBytes);
    request->startSynchronous();
    if (request->error() || request->responseStatusCode() != 200)
        return {};
    const auto data = request->responseData();
    QImage image;
    if (data && !data->empty())
        image.loadFromData(data->data(), static_cast<int>(data->size()));
    return image;
}

} // namespace

void fetch(
    std::shared_ptr<AppDataManager> manager, const std::string& url, QObject* context, std::function<void(QImage)> done)
{
    QPointer<QObject> guard(context);
    auto connection = connectionFor(manager->configDefine(), url);
    DispatchQueue::global().async([connection = std::move(connection), guard, done = std::move(done)] {
        QImage image = connection ? load(*connection) : QImage();
        MainQueue::shared()->post([guard, done, image = std::move(image)] {
            if (guard && done)
                done(image);
        });
    });
}

} // namespace norvane::RemoteImage
