#pragma once

#include "formats/Date.h"

#include <cstdint>
#include <memory>
#include <string>

namespace norvane {

class httpHeaderInfo;

// Everything the storage layer needs to reach the server: addresses, TLS and proxy settings,
// chunk sizes, cache settings, the language and the installation's identifier. A plain record:
// every field is read and written directly and nothing is validated. The data manager fills one
// from the settings and hands it to the adaptor, which keeps its own copy.
class StorageServiceConfig {
public:
    StorageServiceConfig();

    // Scheme, server and port of the storage server ("https://host:443"); every storage path is
    // appended to it as it is.
    std::string connectUrl;
    // Host and port of the login server (login, password change, notice texts).
    std::string loginIP;
    std::int32_t loginPort = 0;

    std::string proxyHost;
    std::string proxyUser;
    std::string proxyPass;
    std::int32_t proxyPort = 0;

    bool useHttps = false;
    // Validate the server certificate; only looked at when useHttps is set.
    bool sslValidate = false;
    // SHA-256 of the server's public key ("sha256//<base64>" or the bare base64). When set, a
    // server whose key matches is trusted whoever signed its certificate, so that a server with a
    // self-signed certificate can be used without turning validation off. Empty: no pinning.
    // Only looked at when useHttps is set.
    std::string pinnedPublicKey;
    bool useProxy = false;

    // Bytes per upload chunk, and per download chunk (also the most a listing or search reads).
    std::uint64_t maxUploadSize = 0;
    std::uint64_t maxDownloadSize = 0;

    // The adaptor's per-request header record, hung here by the adaptor when it takes the
    // configuration. Shared: a copy of the configuration refers to the same record.
    std::shared_ptr<httpHeaderInfo> adapterInfo;

    // 1 enables the response cache.
    std::int32_t useCache = 0;
    // Offline and cache-expiry policy values: carried for the application layer, no effect here.
    std::int32_t disableOffline = 0;
    std::int32_t disableOfflineMyFolder = 1;
    std::int32_t disableOfflineShareFolder = 1;
    std::int32_t disableUsecacheExpire = 2;
    Date disapperTimeMyFolder;
    bool isCanCheckTimeMyFolder = false;
    // The current login was made by the user's button press; only then do the offline and
    // cache-expiry policy headers get through.
    bool isPressButtonLogin = false;
    // Response cache limit in bytes.
    std::uint64_t maxCacheSize = 0;
    // Page-information uploads are sent as a forced upload type.
    bool isForceUploadPDFInfo = false;
    // Sent as "x-locale" when not empty ("ja-JP", "en-US", ...).
    std::string osLanguage;
    // The installation's identifier; seed of the device identifier.
    std::string baseUUID;
    // Sent as "User-Agent" when not empty.
    std::string oemUserAgent;

    // "https" when useHttps is set, else "http".
    std::string httpType() const;
    // "<httpType>://<loginIP>:<loginPort>".
    std::string authenticationUrl() const;
};

} // namespace norvane
