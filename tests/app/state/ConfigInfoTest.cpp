#include "StateTestHome.h"

#include "app/state/ConfigInfo.h"
#include "app/state/CredentialProtection.h"
#include "app/state/cc_crypto.h"
#include "formats/APBase64Converter.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"

#include <gmock/gmock.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace norvane;

namespace {

struct ExpectedElement {
    const char* name;
    const char* type;
    const char* text; // of a new record
};

// Every element of a settings file, in the order it is written.
const ExpectedElement kExpected[] = {
    { "serverIP", "string", "" },
    { "serverPort", "integer", "0" },
    { "loginServerIP", "string", "" },
    { "loginServerPort", "integer", "0" },
    { "useProxy", "integer", "0" },
    { "proxyIP", "string", "" },
    { "proxyPort", "integer", "0" },
    { "proxyUser", "string", "" },
    { "proxyPass", "string", "" },
    { "useHttps", "integer", "1" },
    { "baseUUID", "string", "" },
    { "saveLoginInfo", "integer", "0" },
    { "companyCode", "string", "" },
    { "userName", "string", "" },
    { "userPass", "string", "" },
    { "oldPass", "string", "" },
    { "theNewPass", "string", "" },
    { "firstFace", "integer", "0" },
    { "lastLoginTime", "string", "" },
    { "showDownloadLogOn", "integer", "1" },
    { "autoFileLockOn", "integer", "0" },
    { "cacheOn", "integer", "1" },
    { "useCustomizedPdfViewer", "integer", "0" },
    { "maxLogCount", "integer", "50" },
    { "information", "string", "" },
    { "spaceSize", "string", "" },
    { "usedSpaceSize", "string", "" },
    { "fullName", "string", "" },
    { "userKey", "string", "" },
    { "kigyoID", "string", "" },
    { "authorization", "string", "" },
    { "deviceID", "string", "" },
    { "leftRightMode", "integer", "-1" },
    { "uploadFolderOfAlbum", "string", "" },
    { "uploadFolderOfMemo", "string", "" },
    { "uploadFolderOfRecorder", "string", "" },
    { "uploadFolderOfFvrt", "string", "" },
    { "savePasswordClient", "integer", "0" },
    { "savePasswordServer", "integer", "0" },
    { "lastSessionSignOut", "integer", "0" },
    { "offlineNotifyDifference", "integer", "1" },
    { "dateAppKill", "string", "" },
    { "isAutoSignOut", "integer", "0" },
    { "expireTime", "integer", "300" },
    { "defaultPicSizeSelectedIndex", "integer", "1" },
    { "enabledChangePassword", "integer", "1" },
    { "enabledLoaclDownload", "integer", "1" },
    { "enableMail", "integer", "1" },
    { "webPublishMaxFileSize", "integer", "512" },
    { "webPublishMaxDay", "integer", "90" },
    { "webPublishMaxCount", "integer", "100" },
    { "webPublishInitDay", "integer", "2" },
    { "webPublishInitCount", "integer", "3" },
    { "webPublishEnable", "integer", "1" },
    { "disableAcceptFileFromOtherApp", "integer", "0" },
    { "disableSendFileToOtherApp", "integer", "0" },
    { "disableCalendar", "integer", "0" },
    { "disablePhoneBookAndGroup", "integer", "0" },
    { "disableTvOut", "integer", "0" },
    { "disableAlbum", "integer", "0" },
    { "disableMemo", "integer", "0" },
    { "disableRecorder", "integer", "0" },
    { "enablePDFViewer", "integer", "0" },
    { "disablePDFNote", "integer", "1" },
    { "disableOffLineLog", "integer", "1" },
    { "disableCallLog", "integer", "0" },
    { "disableShare", "integer", "0" },
    { "autoDeviceRegist", "integer", "0" },
};

constexpr const char* kPin = "sha256//47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeText(const std::filesystem::path& path, const std::string& text)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<const GDataXMLElement*> childElements(const GDataXMLElement& parent)
{
    std::vector<const GDataXMLElement*> out;
    for (GDataXMLNode* node : parent.children())
        if (node && node->asElement())
            out.push_back(node->asElement());
    return out;
}

class ConfigInfoTest : public StateTestHome {
protected:
    std::filesystem::path settingsFile() const { return configDir() / "ConfigInfo.xml"; }
    // A file as an earlier release wrote it, holding only the given children.
    void writeSettings(const std::filesystem::path& path, const std::string& children)
    {
        writeText(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ConfigInfo>" + children + "</ConfigInfo>");
    }
};

} // namespace

TEST_F(ConfigInfoTest, FirstStartWritesEveryElementInOrderWithItsTypeAndDefault)
{
    ConfigInfo config;
    EXPECT_FALSE(config.load());
    ASSERT_TRUE(config.save());

    auto document = GDataXMLDocument::initWithXMLString(readText(settingsFile()));
    ASSERT_TRUE(document);
    EXPECT_THAT(readText(settingsFile()), ::testing::StartsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    const GDataXMLElement& root = *document->rootElement();
    EXPECT_EQ(root.name(), "ConfigInfo");
    const auto children = childElements(root);
    ASSERT_EQ(children.size(), std::size(kExpected) + 1); // and the trusted keys
    for (std::size_t i = 0; i < std::size(kExpected); ++i) {
        SCOPED_TRACE(kExpected[i].name);
        EXPECT_EQ(children[i]->name(), kExpected[i].name);
        const GDataXMLNode* type = children[i]->attributeForName("type");
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->stringValue(), kExpected[i].type);
        EXPECT_EQ(children[i]->stringValue().value_or(""), kExpected[i].text);
    }
    EXPECT_EQ(children.back()->name(), "trustedServerKeys");

    struct stat status { };
    ASSERT_EQ(stat(settingsFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(configDir().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(ConfigInfoTest, MissingExtraAndMistypedElementsLoadAsTheirNamesSay)
{
    writeSettings(settingsFile(),
        "<unknownFutureSetting type=\"string\">x</unknownFutureSetting>"
        "<useProxy type=\"integer\">257</useProxy><useHttps type=\"string\">256</useHttps>"
        "<leftRightMode type=\"integer\">-1</leftRightMode><serverPort type=\"string\">  8443abc</serverPort>"
        "<proxyPort type=\"integer\">none</proxyPort><serverIP type=\"integer\">storage.example</serverIP>"
        "<companyCode type=\"string\"/><expireTime type=\"integer\">99999999999999999999</expireTime>"
        "<userName>first</userName><userName>second</userName>");
    ConfigInfo config;
    config.setProxyUser("kept when absent");
    ASSERT_TRUE(config.load());

    EXPECT_EQ(config.useProxy(), 1); // low byte of 257
    EXPECT_EQ(config.useHttps(), 0); // low byte of 256, whatever the type attribute says
    EXPECT_EQ(config.leftRightMode(), -1);
    EXPECT_EQ(config.serverPort(), 8443);
    EXPECT_EQ(config.proxyPort(), 0);
    EXPECT_EQ(config.serverIP(), "storage.example");
    EXPECT_EQ(config.companyCode(), "");
    EXPECT_EQ(config.expireTime(), INT64_MAX);
    EXPECT_EQ(config.userName(), "first");
    EXPECT_EQ(config.proxyUser(), "kept when absent");
    EXPECT_EQ(config.webPublishMaxFileSize(), 512); // absent: the default stands
    EXPECT_EQ(config.disablePDFNote(), 1);

    // An empty root and a broken file leave the defaults.
    writeSettings(settingsFile(), "");
    ConfigInfo empty;
    ASSERT_TRUE(empty.load());
    EXPECT_EQ(empty.expireTime(), 300);
    EXPECT_EQ(empty.deviceID(), "");
    writeText(settingsFile(), "<ConfigInfo><expireTime>5</expireTime>");
    ConfigInfo broken;
    EXPECT_FALSE(broken.load());
    EXPECT_EQ(broken.expireTime(), 300);
}

TEST_F(ConfigInfoTest, ValuesRoundTripAndAnOldLocationFileMovesToTheNewOne)
{
    writeSettings(home_ / "ConfigInfo.xml", "<userName>old place</userName><leftRightMode>-1</leftRightMode>");
    ConfigInfo config;
    ASSERT_TRUE(config.load());
    EXPECT_EQ(config.userName(), "old place");
    config.setInformation("Line one\nline two & <three> \"quoted\" \x01 bell \xff");
    config.setFullName("山田 太郎");
    config.setUseProxy(-1);
    ASSERT_TRUE(config.save());
    EXPECT_TRUE(std::filesystem::exists(home_ / "ConfigInfo.xml"));

    ConfigInfo reread;
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.userName(), "old place");
    EXPECT_EQ(reread.fullName(), "山田 太郎");
    EXPECT_EQ(reread.useProxy(), -1);
    EXPECT_EQ(reread.leftRightMode(), -1);
    // Characters an XML file cannot hold become U+FFFD instead of making the file unreadable.
    EXPECT_EQ(reread.information(), "Line one\nline two & <three> \"quoted\" \xef\xbf\xbd bell \xef\xbf\xbd");
}

TEST_F(ConfigInfoTest, PasswordsAreSealedWithTheInstallationKeyAndRoundTrip)
{
    ConfigInfo config;
    for (const std::string& password :
        std::vector<std::string> { "", "p@ss word", "пароль-パスワード-🔑", std::string(40, 'x') }) {
        config.setUserPass(password);
        const std::string stored = config.storedUserPass();
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(stored.front(), CredentialProtection::kInstallationKeyMarker);
        EXPECT_EQ(stored.find(password.empty() ? "\x01" : password), std::string::npos);
        EXPECT_EQ(config.userPass(), password);
    }
    config.setUserPass("same");
    const std::string first = config.storedUserPass();
    config.setUserPass("same");
    EXPECT_NE(config.storedUserPass(), first); // a fresh vector each time
    config.setOldPass("current secret");
    config.setTheNewPass("next secret");
    ASSERT_TRUE(config.save());

    const std::string file = readText(settingsFile());
    EXPECT_EQ(file.find("same"), std::string::npos);
    EXPECT_EQ(file.find("secret"), std::string::npos); // the pair being changed stays in memory
    EXPECT_EQ(config.oldPass(), "current secret");
    for (const auto& line : logLines_)
        EXPECT_EQ(line.find("same"), std::string::npos) << line;
    EXPECT_EQ(config.description().find("secret"), std::string::npos);
    EXPECT_NE(config.description().find("expireTime = 300"), std::string::npos);
    struct stat status { };
    ASSERT_EQ(stat(ConfigInfo::credentialKeyFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    ConfigInfo reread;
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.userPass(), "same");

    // A settings file copied away from its key gives no password, and no garbage either.
    std::filesystem::remove(ConfigInfo::credentialKeyFile());
    EXPECT_EQ(reread.userPass(), "");
    reread.setStoredUserPass("*not base64 at all");
    EXPECT_EQ(reread.userPass(), "");
}

TEST_F(ConfigInfoTest, SharedKeyPasswordsOfEarlierReleasesLoadAndAreResealed)
{
    // What an earlier release stored: Base64 of AES-128-CBC with the shared key as key and vector.
    const std::string password = "läßt 秘密";
    cc_crypto cipher(cc_crypto::kCCEncrypt, CredentialProtection::sharedKey(), CredentialProtection::sharedKey());
    auto sealed = cipher.CCCrypto(Bytes(password.begin(), password.end()));
    ASSERT_TRUE(sealed);
    const std::string legacy = APBase64Converter::base64forData(*sealed);
    ASSERT_EQ(legacy.size(), 24u);

    writeSettings(settingsFile(), "<userPass type=\"string\">" + legacy + "</userPass>");
    ConfigInfo config;
    ASSERT_TRUE(config.load());
    EXPECT_EQ(config.userPass(), password);
    EXPECT_EQ(config.storedUserPass().front(), CredentialProtection::kInstallationKeyMarker);
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readText(settingsFile()).find(legacy), std::string::npos);

    // Without a usable key folder the shared form is still written, and still read.
    EXPECT_EQ(CredentialProtection::unseal(CredentialProtection::seal("x", "/proc/none/credential.key"), {}), "x");
    EXPECT_FALSE(CredentialProtection::unseal("AAAA", {}));
}

TEST_F(ConfigInfoTest, ProxyPasswordIsSealedAndAClearOneOfAnEarlierFileIsSealedOnTheNextSave)
{
    ConfigInfo config;
    config.setProxyPass("proxy secret");
    EXPECT_EQ(config.proxyPass(), "proxy secret");
    ASSERT_TRUE(config.save());
    EXPECT_EQ(readText(settingsFile()).find("proxy secret"), std::string::npos);
    ConfigInfo reread;
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.proxyPass(), "proxy secret");

    // As typed, without the mark: even a value that looks sealed is the password itself.
    const std::string lookalike = CredentialProtection::seal("other", ConfigInfo::credentialKeyFile());
    for (const std::string& typed : { std::string("clear proxy"), lookalike }) {
        writeSettings(settingsFile(), "<proxyPass type=\"string\">" + typed + "</proxyPass>");
        ConfigInfo earlier;
        ASSERT_TRUE(earlier.load());
        EXPECT_EQ(earlier.proxyPass(), typed);
        ASSERT_TRUE(earlier.save());
        EXPECT_EQ(readText(settingsFile()).find(typed), std::string::npos);
        ConfigInfo again;
        ASSERT_TRUE(again.load());
        EXPECT_EQ(again.proxyPass(), typed);
    }
}

TEST_F(ConfigInfoTest, TrustedServerKeysPersistAndDamagedEntriesAreDropped)
{
    ConfigInfo config;
    EXPECT_TRUE(config.setPinnedPublicKey("Storage.Example.COM", 443, kPin));
    EXPECT_TRUE(config.setPinnedPublicKey("::1", 8443, "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="));
    EXPECT_FALSE(config.setPinnedPublicKey("evil/host", 443, kPin));
    EXPECT_FALSE(config.setPinnedPublicKey("host", 70000, kPin));
    EXPECT_FALSE(config.setPinnedPublicKey("host", 443, "sha256//short="));
    EXPECT_EQ(config.pinnedPublicKey("storage.example.com", 443), kPin);
    EXPECT_EQ(config.pinnedPublicKey("storage.example.com", 444), "");
    ASSERT_TRUE(config.save());

    ConfigInfo reread;
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.trustedServerKeys(), config.trustedServerKeys());
    EXPECT_EQ(reread.pinnedPublicKey("::1", 8443), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
    EXPECT_TRUE(reread.setPinnedPublicKey("STORAGE.example.com", 443, ""));
    EXPECT_EQ(reread.trustedServerKeys().size(), 1u);

    writeSettings(settingsFile(),
        std::string("<trustedServerKeys>") + "<trustedServerKey server=\"a:1\">" + kPin + "</trustedServerKey>"
            + "<trustedServerKey server=\"a:1\">sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=</trustedServerKey>"
            + "<trustedServerKey server=\"A:1\">" + kPin + "</trustedServerKey>" + "<trustedServerKey server=\"b:0\">"
            + kPin + "</trustedServerKey>" + "<trustedServerKey>" + kPin + "</trustedServerKey>"
            + "<trustedServerKey server=\"c:2\">sha256//not-a-pin</trustedServerKey></trustedServerKeys>");
    ConfigInfo damaged;
    ASSERT_TRUE(damaged.load());
    EXPECT_EQ(damaged.trustedServerKeys(), (std::vector<ConfigInfo::TrustedServerKey> { { "a:1", kPin } }));
}

TEST_F(ConfigInfoTest, ConcurrentWritersAndSaversLeaveAWholeFile)
{
    ConfigInfo config;
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            config.setInformation(std::string(static_cast<std::size_t>(i), 'i'));
            config.setExpireTime(i);
        }
    });
    for (int i = 0; i < 20; ++i)
        config.save();
    writer.join();
    ASSERT_TRUE(config.save());
    ConfigInfo reread;
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.expireTime(), 199);
    EXPECT_EQ(reread.information().size(), 199u);
}
