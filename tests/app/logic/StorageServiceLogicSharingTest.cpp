#include "LogicTestSupport.h"

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

using namespace norvane;
using namespace norvane::testing;

namespace {

using SharingTest = LogicTest;

// A print-job record made the way the application's records are: from one "FileInfo" element.
struct JobRecord {
    std::string key;
    void xmlElement2Entity(const GDataXMLElement& element)
    {
        for (GDataXMLElement* child :
            element.elementsForLocalName("Key", RestStorageServiceAdaptor::kListingNamespaceURI))
            key = child->stringValue().value_or("");
    }
};

} // namespace

TEST_F(SharingTest, PrintStatusTexts)
{
    using Message = std::pair<std::string, std::string>;
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("-1", ""),
        Message("message_can_not_login_print_for_sever_access_error", ""));
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("-1", "maintenance"), Message("", "maintenance"));
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("-3", "ignored"),
        Message("message_can_not_plan_for_not_existed_file", ""));
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("-7", ""), Message("", "Unknown type: -7"));
    EXPECT_EQ(
        StorageServiceLogic::netPrintStatusMessage("12345678", ""), Message("message_file_print_login_success", ""));
    // No status at all is no success.
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("", ""), Message("", "Unknown type: "));
    EXPECT_EQ(StorageServiceLogic::netPrintStatusMessage("1x", ""), Message("", "Unknown type: 1x"));
}

TEST_F(SharingTest, PrintRegistrationShowsTheStatusText)
{
    adaptor_->printStatus = "-1";
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::netPrint("/FILE/a.pdf", "", "2", done); }), ResultSuccess);
    adaptor_->printStatus = "-7";
    adaptor_->script("print *", { ResultFailed, ResultNotFound });
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::netPrint("/FILE/a.pdf", "pw", "1", done); }), ResultFailed);
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::netPrint("/FILE/a.pdf", "pw", "1", done); }), ResultNotFound);
    EXPECT_EQ(shown(),
        (std::vector<Alert> {
            { Alert::Kind::Show, "word_netprint_result", "message_can_not_login_print_for_sever_access_error", "", {} },
            { Alert::Kind::Show, "word_netprint_result", "", "Unknown type: -7", {} } }));
}

TEST_F(SharingTest, PublishParsesTheLinkAndAddsThePeriod)
{
    const auto link = StorageServiceLogic::parsePublishXMLData(
        bytesOf("<MakeUrlResult><valid-day>2030/01/02</valid-day><download-key>http://h/s/k</download-key>"
                "<download-password>1234</download-password><valid-day>ignored</valid-day></MakeUrlResult>"));
    EXPECT_EQ(link,
        (StorageServiceLogic::PublishResult {
            { "validDay", "2030/01/02" }, { "downloadUrl", "http://h/s/k" }, { "downloadPassword", "1234" } }));
    EXPECT_EQ(StorageServiceLogic::parsePublishXMLData(bytesOf("<MakeUrlResult><download-key>k</download-key>")),
        StorageServiceLogic::PublishResult {});

    using Link = StorageServiceLogic::PublishResult;
    const auto publish = [&](int needPassword) {
        return collect<std::int32_t, const Link&>(
            [&](auto done) { StorageServiceLogic::publishFile("/FILE/a.txt", 7, 3, needPassword, done); });
    };
    adaptor_->publishBody = bytesOf("<MakeUrlResult><download-key>u</download-key></MakeUrlResult>");
    EXPECT_EQ(publish(1), std::make_tuple(ResultSuccess, Link { { "downloadUrl", "u" }, { "period", "7" } }));
    const auto call = adaptor_->calls("publish").at(0);
    EXPECT_EQ(call.option.at("times"), Value("3"));
    EXPECT_EQ(call.option.at("needPassword"), Value("1"));
    // Success without a body: an empty link.
    adaptor_->publishBody.clear();
    EXPECT_EQ(publish(0), std::make_tuple(ResultSuccess, Link {}));
}

TEST_F(SharingTest, PrintJobListRecordsAndFault)
{
    const std::string ns = RestStorageServiceAdaptor::kListingNamespaceURI;
    adaptor_->files["/NETPRINT"] = bytesOf("<NetPrintList xmlns=\"" + ns
        + "\"><FileInfo><Key>k1</Key></FileInfo><Other/><FileInfo><Key>k2</Key></FileInfo></NetPrintList>");
    const auto fetch = [&] {
        return collect<std::int32_t, std::optional<std::vector<JobRecord>>>(
            [&](auto done) { StorageServiceLogic::getNetPrintInfo<JobRecord>(done); });
    };
    const auto [result, jobs] = fetch();
    EXPECT_EQ(result, ResultSuccess);
    ASSERT_TRUE(jobs);
    ASSERT_EQ(jobs->size(), 2u);
    EXPECT_EQ((*jobs)[1].key, "k2");

    for (const std::string body : { "<Fault><faultString>Service stopped</faultString></Fault>", "not xml", "" }) {
        adaptor_->files["/NETPRINT"] = bytesOf(body);
        const auto [failed, none] = fetch();
        EXPECT_EQ(failed, ResultFailed) << body;
        EXPECT_FALSE(none);
    }
    EXPECT_EQ(shown(), (std::vector<Alert> { { Alert::Kind::Show, "Service stopped", "", "", {} } }));
}
