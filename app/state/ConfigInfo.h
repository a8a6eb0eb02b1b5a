#pragma once

#include "app/state/NorvaneEntity.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

// The persisted fields of the settings, in the order of the elements of the settings file:
// TEXT(name, Name) text, "string" element, empty at first;
// INTEGER(name, Name, default) signed 64-bit, "integer" element;
// FLAG(name, Name, default) one signed byte, "integer" element, read back by its low 8 bits;
// SEALED(name, Name) the stored form of a password (see ConfigInfo::userPass and proxyPass);
// TRANSIENT(name, Name) a text that is only kept while the program runs: its element is written
// empty, since what it holds (a password being changed) must not rest on disk.
#define NORVANE_CONFIG_INFO_FIELDS(TEXT, INTEGER, FLAG, SEALED, TRANSIENT)                                             \
    TEXT(serverIP, ServerIP)                                                                                           \
    INTEGER(serverPort, ServerPort, 0)                                                                                 \
    TEXT(loginServerIP, LoginServerIP)                                                                                 \
    INTEGER(loginServerPort, LoginServerPort, 0)                                                                       \
    FLAG(useProxy, UseProxy, 0)                                                                                        \
    TEXT(proxyIP, ProxyIP)                                                                                             \
    INTEGER(proxyPort, ProxyPort, 0)                                                                                   \
    TEXT(proxyUser, ProxyUser)                                                                                         \
    SEALED(proxyPass, ProxyPass)                                                                                       \
    FLAG(useHttps, UseHttps, 1)                                                                                        \
    TEXT(baseUUID, BaseUUID)                                                                                           \
    FLAG(saveLoginInfo, SaveLoginInfo, 0)                                                                              \
    TEXT(companyCode, CompanyCode)                                                                                     \
    TEXT(userName, UserName)                                                                                           \
    SEALED(userPass, UserPass)                                                                                         \
    TRANSIENT(oldPass, OldPass)                                                                                        \
    TRANSIENT(theNewPass, TheNewPass)                                                                                  \
    INTEGER(firstFace, FirstFace, 0)                                                                                   \
    TEXT(lastLoginTime, LastLoginTime)                                                                                 \
    INTEGER(showDownloadLogOn, ShowDownloadLogOn, 1)                                                                   \
    INTEGER(autoFileLockOn, AutoFileLockOn, 0)                                                                         \
    INTEGER(cacheOn, CacheOn, 1)                                                                                       \
    FLAG(useCustomizedPdfViewer, UseCustomizedPdfViewer, 0)                                                            \
    INTEGER(maxLogCount, MaxLogCount, 50)                                                                              \
    TEXT(information, Information)                                                                                     \
    TEXT(spaceSize, SpaceSize)                                                                                         \
    TEXT(usedSpaceSize, UsedSpaceSize)                                                                                 \
    TEXT(fullName, FullName)                                                                                           \
    TEXT(userKey, UserKey)                                                                                             \
    TEXT(kigyoID, KigyoID)                                                                                             \
    TEXT(authorization, Authorization)                                                                                 \
    TEXT(deviceID, DeviceID)                                                                                           \
    INTEGER(leftRightMode, LeftRightMode, -1)                                                                          \
    TEXT(uploadFolderOfAlbum, UploadFolderOfAlbum)                                                                     \
    TEXT(uploadFolderOfMemo, UploadFolderOfMemo)                                                                       \
    TEXT(uploadFolderOfRecorder, UploadFolderOfRecorder)                                                               \
    TEXT(uploadFolderOfFvrt, UploadFolderOfFvrt)                                                                       \
    FLAG(savePasswordClient, SavePasswordClient, 0)                                                                    \
    FLAG(savePasswordServer, SavePasswordServer, 0)                                                                    \
    FLAG(lastSessionSignOut, LastSessionSignOut, 0)                                                                    \
    FLAG(offlineNotifyDifference, OfflineNotifyDifference, 1)                                                          \
    TEXT(dateAppKill, DateAppKill)                                                                                     \
    FLAG(isAutoSignOut, IsAutoSignOut, 0)                                                                              \
    INTEGER(expireTime, ExpireTime, 300)                                                                               \
    INTEGER(defaultPicSizeSelectedIndex, DefaultPicSizeSelectedIndex, 1)                                               \
    FLAG(enabledChangePassword, EnabledChangePassword, 1)                                                              \
    FLAG(enabledLoaclDownload, EnabledLoaclDownload, 1)                                                                \
    FLAG(enableMail, EnableMail, 1)                                                                                    \
    INTEGER(webPublishMaxFileSize, WebPublishMaxFileSize, 512)                                                         \
    INTEGER(webPublishMaxDay, WebPublishMaxDay, 90)                                                                    \
    INTEGER(webPublishMaxCount, WebPublishMaxCount, 100)                                                               \
    INTEGER(webPublishInitDay, WebPublishInitDay, 2)                                                                   \
    INTEGER(webPublishInitCount, WebPublishInitCount, 3)                                                               \
    FLAG(webPublishEnable, WebPublishEnable, 1)                                                                        \
    FLAG(disableAcceptFileFromOtherApp, DisableAcceptFileFromOtherApp, 0)                                              \
    FLAG(disableSendFileToOtherApp, DisableSendFileToOtherApp, 0)                                                      \
    INTEGER(disableCalendar, DisableCalendar, 0)                                                                       \
    INTEGER(disablePhoneBookAndGroup, DisablePhoneBookAndGroup, 0)                                                     \
    INTEGER(disableTvOut, DisableTvOut, 0)                                                                             \
    INTEGER(disableAlbum, DisableAlbum, 0)                                                                             \
    INTEGER(disableMemo, DisableMemo, 0)                                                                               \
    INTEGER(disableRecorder, DisableRecorder, 0)                                                                       \
    FLAG(enablePDFViewer, EnablePDFViewer, 0)                                                                          \
    FLAG(disablePDFNote, DisablePDFNote, 1)                                                                            \
    FLAG(disableOffLineLog, DisableOffLineLog, 1)                                                                      \
    FLAG(disableCallLog, DisableCallLog, 0)                                                                            \
    FLAG(disableShare, DisableShare, 0)                                                                                \
    FLAG(autoDeviceRegist, AutoDeviceRegist, 0)

// The settings of the client: the servers and proxy, the last login's values, the server's
// policies and the trusted public keys of servers. Saved as one XML file ("ConfigInfo.xml") after
// every change and read back at start.
//
// Every accessor takes the record's lock, so the windows on the main thread and the policy
// handlers on worker threads may read and write it at the same time; save() writes a consistent
// snapshot.
//
// Besides the elements of the field list, the file holds "trustedServerKeys", which earlier
// releases skip as they skip every element they do not know.
class ConfigInfo : public NorvaneEntity {
public:
    static constexpr const char* kEntityName = "ConfigInfo";
    static constexpr const char* kTrustedServerKeysElement = "trustedServerKeys";
    static constexpr const char* kTrustedServerKeyElement = "trustedServerKey";
    static constexpr const char* kServerAttribute = "server";

    // The public key a server is trusted with: server is "host:port" (see serverAddress), pin
    // the SHA-256 of its public key as "sha256//<base64>" or the bare base64.
    struct TrustedServerKey {
        std::string server;
        std::string pin;
        friend bool operator==(const TrustedServerKey&, const TrustedServerKey&) = default;
    };

    struct Fields {
#define NORVANE_CONFIG_TEXT_MEMBER(name, Name) std::string name;
#define NORVANE_CONFIG_INTEGER_MEMBER(name, Name, initial) std::int64_t name = initial;
#define NORVANE_CONFIG_FLAG_MEMBER(name, Name, initial) std::int8_t name = initial;
        NORVANE_CONFIG_INFO_FIELDS(NORVANE_CONFIG_TEXT_MEMBER, NORVANE_CONFIG_INTEGER_MEMBER,
            NORVANE_CONFIG_FLAG_MEMBER, NORVANE_CONFIG_TEXT_MEMBER, NORVANE_CONFIG_TEXT_MEMBER)
#undef NORVANE_CONFIG_TEXT_MEMBER
#undef NORVANE_CONFIG_INTEGER_MEMBER
#undef NORVANE_CONFIG_FLAG_MEMBER
        std::vector<TrustedServerKey> trustedServerKeys;
    };

    ConfigInfo();
    ConfigInfo(const ConfigInfo&) = delete;
    ConfigInfo& operator=(const ConfigInfo&) = delete;
    ~ConfigInfo() override;

#define NORVANE_CONFIG_TEXT_ACCESSORS(name, Name)                                                                      \
    std::string name() const                                                                                           \
    {                                                                                                                  \
        return read(&Fields::name);                                                                                    \
    }                                                                                                                  \
    void set##Name(std::string value)                                                                                  \
    {                                                                                                                  \
        write(&Fields::name, std::move(value));                                                                        \
    }
#define NORVANE_CONFIG_INTEGER_ACCESSORS(name, Name, initial)                                                          \
    std::int64_t name() const                                                                                          \
    {                                                                                                                  \
        return read(&Fields::name);                                                                                    \
    }                                                                                                                  \
    void set##Name(std::int64_t value)                                                                                 \
    {                                                                                                                  \
        write(&Fields::name, value);                                                                                   \
    }
#define NORVANE_CONFIG_FLAG_ACCESSORS(name, Name, initial)                                                             \
    std::int8_t name() const                                                                                           \
    {                                                                                                                  \
        return read(&Fields::name);                                                                                    \
    }                                                                                                                  \
    void set##Name(std::int8_t value)                                                                                  \
    {                                                                                                                  \
        write(&Fields::name, value);                                                                                   \
    }
#define NORVANE_CONFIG_NO_ACCESSORS(name, Name)
    NORVANE_CONFIG_INFO_FIELDS(NORVANE_CONFIG_TEXT_ACCESSORS, NORVANE_CONFIG_INTEGER_ACCESSORS,
        NORVANE_CONFIG_FLAG_ACCESSORS, NORVANE_CONFIG_NO_ACCESSORS, NORVANE_CONFIG_TEXT_ACCESSORS)
#undef NORVANE_CONFIG_TEXT_ACCESSORS
#undef NORVANE_CONFIG_INTEGER_ACCESSORS
#undef NORVANE_CONFIG_FLAG_ACCESSORS
#undef NORVANE_CONFIG_NO_ACCESSORS

    // The login password. The record holds it sealed (CredentialProtection); reading gives the
    // empty text when the stored form cannot be deciphered.
    std::string userPass() const;
    void setUserPass(std::string_view password);
    // The stored form as the file holds it.
    std::string storedUserPass() const
    {
        return read(&Fields::userPass);
    }
    void setStoredUserPass(std::string stored)
    {
        write(&Fields::userPass, std::move(stored));
    }
    // The proxy password, sealed the same way; an empty one is kept empty (no password is no
    // secret). Settings files of earlier releases hold it as typed: such a value is sealed as
    // soon as it is read, so the next save no longer holds it in clear.
    std::string proxyPass() const;
    void setProxyPass(std::string_view password);
    std::string storedProxyPass() const
    {
        return read(&Fields::proxyPass);
    }
    // Where the key of the sealed password is kept: beside the settings file.
    static std::string credentialKeyFile();

    // Trusted public keys, in the order they were first set.
    std::vector<TrustedServerKey> trustedServerKeys() const;
    // The pin of a server; empty when none is kept.
    std::string pinnedPublicKey(std::string_view host, std::int64_t port) const;
    // Keeps (or replaces) the pin of a server; an empty pin forgets it. False, with nothing
    // changed, for an unusable host or port or a pin that is no SHA-256 public-key pin.
    bool setPinnedPublicKey(std::string_view host, std::int64_t port, std::string_view pin);
    // "host:port" with the host in lower case and an IPv6 address in brackets; nothing for an
    // empty host, one with blanks, control characters or any of "/?#@", or a port outside 1-65535.
    static std::optional<std::string> serverAddress(std::string_view host, std::int64_t port);
    static bool isPublicKeyPin(std::string_view pin);

    // A copy of every field, taken under the lock.
    Fields snapshot() const;

    std::unique_ptr<GDataXMLElement> entity2XmlElement() const override;
    void xmlElement2Entity(const GDataXMLElement& element) override;
    // Also brings a password stored in the shared-key form of earlier releases over to the
    // installation key, so that the next save no longer holds the old form.
    bool load() override;
    std::string description() const override;

private:
    template <class T> T read(T Fields::*member) const
    {
        std::lock_guard lock(mutex_);
        return fields_.*member;
    }
    template <class T, class V> void write(T Fields::*member, V&& value)
    {
        std::lock_guard lock(mutex_);
        fields_.*member = std::forward<V>(value);
    }

    mutable std::mutex mutex_;
    Fields fields_;
};

} // namespace norvane
