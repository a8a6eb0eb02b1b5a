#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "platform/Log.h"

#include <gtest/gtest.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

namespace norvane {
namespace {

constexpr std::string_view kSecret = "TOP-SECRET-7f3a9c";

// Collects the lines the model logs (refused external loads among them).
class LogCapture {
public:
    LogCapture()
    {
        Log::setSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_ += std::string(line) + "\n";
        });
    }
    ~LogCapture() { Log::setSink({}); }
    std::string lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::string lines_;
};

class SecretFile {
public:
    explicit SecretFile(std::string_view content)
        : path_("/tmp/norvane-xml-test-" + std::to_string(getpid()) + "-secret")
    {
        std::ofstream(path_) << content;
    }
    ~SecretFile() { std::remove(path_.c_str()); }
    std::string url() const { return "file://" + path_; }

private:
    std::string path_;
};

// Everything a caller could read out of a parsed document.
std::string everythingReadable(const GDataXMLDocument& doc)
{
    auto data = doc.XMLData();
    std::string all = data ? std::string(data->begin(), data->end()) : std::string();
    all += doc.rootElement()->stringValue().value_or("");
    all += doc.rootElement()->XMLString();
    return all;
}

TEST(GDataXMLSecurity, EntitiesAreNeverExpanded)
{
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol0 \"lol\">";
    for (int level = 1; level <= 9; ++level) {
        laughs += "<!ENTITY lol" + std::to_string(level) + " \"";
        for (int i = 0; i < 10; ++i)
            laughs += "&lol" + std::to_string(level - 1) + ";";
        laughs += "\">";
    }
    laughs += "]><lolz a=\"&lol9;\">x&lol9;y</lolz>";
    ErrorValue error;
    auto bomb = GDataXMLDocument::initWithXMLString(laughs, &error);
    if (bomb) {
        EXPECT_EQ(bomb->rootElement()->stringValue(), "xy");
    } else {
        EXPECT_EQ(error.code, -1);
    }

    // A small use of entities does parse; the references are dropped rather than expanded, so no
    // later read (content, XPath string values, serialisation) can expand them either.
    auto doc = GDataXMLDocument::initWithXMLString(
        "<!DOCTYPE r [<!ENTITY a \"aaa\"><!ENTITY b \"&a;&a;\">]><r k=\"&b;\">x&b;y<c>&b;</c></r>");
    ASSERT_TRUE(doc);
    auto* root = doc->rootElement();
    EXPECT_EQ(root->stringValue(), "xy");
    EXPECT_EQ(root->attributeForName("k")->stringValue(), "");
    EXPECT_EQ(root->childCount(), 2u); // "xy" joined again, and c
    EXPECT_EQ(root->XMLString(), "<r k=\"\">xy<c/></r>");
    EXPECT_TRUE(doc->nodesForXPath("//*[contains(., 'aaa')]")->empty());
}

TEST(GDataXMLSecurity, ExternalEntitiesAndDtdsAreNeverLoaded)
{
    SecretFile secret(kSecret);
    SecretFile dtd(
        "<!ENTITY leak \"" + std::string(kSecret) + "\"><!ATTLIST r d CDATA \"" + std::string(kSecret) + "\">");
    const std::vector<std::string> documents {
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret.url() + "\">]><r>&x;</r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret.url() + "\">]><r a=\"&x;\"/>",
        "<!DOCTYPE r SYSTEM \"" + dtd.url() + "\"><r>&leak;</r>",
        "<!DOCTYPE r SYSTEM \"" + dtd.url() + "\"><r/>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dtd.url() + "\"> %p;]><r>&leak;</r>",
    };

    // Settings of this thread that would otherwise make the parser substitute and load.
    const int substitute = xmlSubstituteEntitiesDefault(1);
    const int loadDtd = xmlLoadExtDtdDefaultValue;
    xmlLoadExtDtdDefaultValue = 1;
    LogCapture log;
    for (const auto& document : documents) {
        auto doc = GDataXMLDocument::initWithXMLString(document);
        if (doc) {
            EXPECT_EQ(everythingReadable(*doc).find(kSecret), std::string::npos) << document;
        }
        auto element = GDataXMLElement::initWithXMLString(document);
        if (element) {
            EXPECT_EQ(element->XMLString().find(kSecret), std::string::npos) << document;
        }
    }
    EXPECT_EQ(log.lines().find("refused to load"), std::string::npos) << log.lines();
    xmlSubstituteEntitiesDefault(substitute);
    xmlLoadExtDtdDefaultValue = loadDtd;

    // And should anything ask libxml2 for an external resource, the installed loader refuses it.
    xmlParserInputPtr input = xmlLoadExternalEntity(secret.url().c_str(), nullptr, nullptr);
    EXPECT_EQ(input, nullptr);
    if (input)
        xmlFreeInputStream(input);
    EXPECT_NE(log.lines().find("refused to load the external resource " + secret.url()), std::string::npos);
}

TEST(GDataXMLSecurity, ArbitraryBytesNeverCrash)
{
    const std::string valid = "<?xml version=\"1.0\"?><r xmlns=\"urn:s\" xmlns:p=\"urn:p\"><Contents p:k=\"v\">"
                              "<Name>a&amp;b</Name><![CDATA[c]]><!--d--></Contents><?pi x?></r>";
    std::mt19937 random(20240611);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes;
        if (round % 2 == 0) {
            bytes.assign(valid.begin(), valid.end());
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i)
                bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
            bytes.resize(random() % (bytes.size() + 1));
        } else {
            bytes.resize(random() % 200);
            for (auto& byte : bytes)
                byte = static_cast<std::uint8_t>(random());
        }
        ErrorValue error;
        auto doc = GDataXMLDocument::initWithData(bytes, &error);
        if (!doc) {
            ASSERT_EQ(error.code, -1);
            continue;
        }
        ++parsed;
        auto* root = doc->rootElement();
        ASSERT_TRUE(root);
        for (auto* child : root->children())
            (void)child->XMLString();
        (void)root->elementsForName("Contents");
        (void)doc->nodesForXPath("//_def_ns:Name");
        (void)doc->XMLData();
    }
    EXPECT_GT(parsed, 0); // the mutations leave some documents intact, so the reading side ran too
}

TEST(GDataXMLSecurity, SeparateDocumentsOnSeparateThreads)
{
    auto work = [](int id, int* matches) {
        for (int i = 0; i < 100; ++i) {
            const std::string xml = "<r><n>" + std::to_string(id) + "</n><n>" + std::to_string(i) + "</n></r>";
            auto doc = GDataXMLDocument::initWithXMLString(xml);
            auto found = doc ? doc->nodesForXPath("//n") : std::nullopt;
            if (found && found->size() == 2 && (*found)[0]->stringValue() == std::to_string(id))
                ++*matches;
            GDataXMLDocument::initWithXMLString("<broken");
        }
    };
    int first = 0;
    int second = 0;
    std::thread a(work, 1, &first);
    std::thread b(work, 2, &second);
    a.join();
    b.join();
    EXPECT_EQ(first, 100);
    EXPECT_EQ(second, 100);
}

} // namespace
} // namespace norvane
