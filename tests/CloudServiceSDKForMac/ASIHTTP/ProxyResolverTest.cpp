#include "CloudServiceSDKForMac/ASIHTTP/ProxyResolver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace norvane;
using Choice = ProxyChoice;

namespace {

const std::string routingScript = R"(
    function FindProxyForURL(url, host) {
        if (dnsDomainIs(host, ".corp.example")) return "PROXY 127.0.0.1:3128; DIRECT";
        return "DIRECT";
    })";

Choice direct()
{
    return {};
}
Choice httpProxy(std::string host, int port)
{
    return { Choice::Type::Http, std::move(host), port };
}

class ProxyResolverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "norvane-pac XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string writeScript(const std::string& name, const std::string& text)
    {
        std::ofstream(dir_ / name, std::ios::binary) << text;
        return (dir_ / name).string();
    }

    // A resolver whose system settings and fetches are scripted and counted.
    ProxyResolver resolver(std::optional<std::vector<ProxyEntry>> system = std::vector<ProxyEntry> {})
    {
        return ProxyResolver(
            [this](const std::string& url) -> std::optional<std::string> {
                fetched_.push_back(url);
                auto it = served_.find(url);
                return it == served_.end() ? std::nullopt : std::optional(it->second);
            },
            [this, system](const std::string&) {
                ++systemLookups_;
                return system;
            });
    }

    std::filesystem::path dir_;
    std::map<std::string, std::string> served_;
    std::vector<std::string> fetched_;
    int systemLookups_ = 0;
};

} // namespace

TEST_F(ProxyResolverTest, TheRequestsOwnProxyFieldsComeFirst)
{
    auto chooser = resolver({ { { ProxyEntry::Type::Http, "system.example", 8080, {} } } });
    const std::string pac = "file://" + writeScript("proxy.pac", routingScript);
    EXPECT_EQ(
        chooser.choose("https://a.corp.example/", "explicit.example", 8443, pac), httpProxy("explicit.example", 8443));
    // Half an explicit proxy, or an impossible port, is no proxy at all, and nothing is looked up.
    EXPECT_EQ(chooser.choose("https://a.corp.example/", "explicit.example", 0, pac), direct());
    EXPECT_EQ(chooser.choose("https://a.corp.example/", "", 3128, pac), direct());
    EXPECT_EQ(chooser.choose("https://a.corp.example/", "explicit.example", 70000, ""), direct());
    EXPECT_EQ(systemLookups_, 0);
    EXPECT_EQ(chooser.choose("https://a.corp.example/", "", 0, ""), httpProxy("system.example", 8080));
    EXPECT_EQ(systemLookups_, 1);
}

TEST_F(ProxyResolverTest, PacFileRoutesOneHostThroughTheLocalProxy)
{
    auto chooser = resolver();
    // A folder name with a space checks that the file URL is percent-decoded.
    std::string path = writeScript("proxy.pac", routingScript);
    std::string url = "file://" + std::filesystem::path(path).parent_path().string() + "/proxy.pac";
    url.replace(url.find(' '), 1, "%20");
    EXPECT_EQ(chooser.choose("https://files.corp.example/a", "", 0, url), httpProxy("127.0.0.1", 3128));
    EXPECT_EQ(chooser.choose("https://www.example.org/", "", 0, url), direct());
    EXPECT_EQ(chooser.choose("https://files.corp.example/a", "", 0, path), httpProxy("127.0.0.1", 3128));
    EXPECT_EQ(systemLookups_, 0);
}

TEST_F(ProxyResolverTest, UnreadableScriptGoesDirectButABrokenOneFails)
{
    auto chooser = resolver();
    EXPECT_EQ(
        chooser.choose("https://files.corp.example/", "", 0, "file://" + (dir_ / "missing.pac").string()), direct());
    EXPECT_EQ(chooser.choose("https://files.corp.example/", "", 0, "file://" + dir_.string()), direct());
    EXPECT_EQ(chooser.choose("https://files.corp.example/", "", 0, "http://pac.example/none.pac"), direct());
    EXPECT_EQ(chooser.choose("https://files.corp.example/", "", 0, "ftp://pac.example/p.pac"), direct());
    EXPECT_EQ(fetched_, std::vector<std::string> { "http://pac.example/none.pac" });

    const std::string broken = "file://" + writeScript("broken.pac", "function FindProxyForURL(url, host) {");
    EXPECT_EQ(chooser.choose("https://files.corp.example/", "", 0, broken), std::nullopt);
    EXPECT_EQ(chooser.proxiesFromPAC("https://files.corp.example/", broken), std::nullopt);
}

TEST_F(ProxyResolverTest, FetchedLatin1ScriptIsDecoded)
{
    served_["http://pac.example/proxy.pac"]
        = "// caf\xE9\nfunction FindProxyForURL(url, host) {\n"
          "  return host == 'caf\xE9.example' ? 'PROXY 10.0.0.1:8080' : 'DIRECT'; }";
    auto chooser = resolver();
    EXPECT_EQ(chooser.choose("http://CAF\xC3\xA9.example/x", "", 0, "http://pac.example/proxy.pac"),
        httpProxy("10.0.0.1", 8080));
    EXPECT_EQ(ProxyResolver::decodeScript("\xEF\xBB\xBF"
                                          "caf\xC3\xA9"),
        "caf\xC3\xA9");
    EXPECT_EQ(ProxyResolver::decodeScript("\xC0\xAF\xFF"), "\xC3\x80\xC2\xAF\xC3\xBF"); // overlong: not UTF-8
    EXPECT_EQ(ProxyResolver::decodeScript("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80"); // surrogate: not UTF-8
    EXPECT_EQ(ProxyResolver::decodeScript("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
}

TEST_F(ProxyResolverTest, SystemSettingsAndTheScriptTheyName)
{
    served_["http://wpad/wpad.dat"] = routingScript;
    auto viaScript = resolver({ { { ProxyEntry::Type::AutoConfig, {}, 0, "http://wpad/wpad.dat" },
        { ProxyEntry::Type::Http, "ignored.example", 1, {} } } });
    EXPECT_EQ(viaScript.choose("https://files.corp.example/", "", 0, ""), httpProxy("127.0.0.1", 3128));
    EXPECT_EQ(fetched_, std::vector<std::string> { "http://wpad/wpad.dat" });

    EXPECT_EQ(resolver(std::nullopt).choose("https://a.example/", "", 0, ""), std::nullopt);
    EXPECT_EQ(resolver().choose("https://a.example/", "", 0, ""), direct());
    EXPECT_EQ(
        resolver({ { { ProxyEntry::Type::Socks, "s.example", 1080, {} } } }).choose("https://a.example/", "", 0, ""),
        (Choice { Choice::Type::Socks, "s.example", 1080 }));
}

TEST(ProxyResolver, HostOfURL)
{
    EXPECT_EQ(ProxyResolver::hostOfURL("http://User:p@ss@WWW.Example.COM:8080/a@b?q#f"), "www.example.com");
    EXPECT_EQ(ProxyResolver::hostOfURL("https://[::1]:443/"), "::1");
    EXPECT_EQ(ProxyResolver::hostOfURL("https://host"), "host");
    EXPECT_EQ(ProxyResolver::hostOfURL("no-scheme"), "");
}
