// Sign-in rules, device registration, password change, policies in the settings file,
// publishing and printing: the operations and their alerts against the server's real answers.

#include "e2e/OperationsTestFixture.h"

#include <regex>

using namespace norvane;
using namespace norvane::testing;

namespace {

using OperationsSessionTest = OperationsTest;

TEST_P(OperationsSessionTest, AutomaticLoginTurnsEveryRefusalInto27WithoutAnAlert)
{
    const auto accounts = newCompany("auto", 1);
    Account wrong = accounts[0];
    wrong.password = "not-the-password";
    EXPECT_EQ(signInAs(wrong, true), ResultBadRequest);
    // Typed by the user, the same refusal says what it is.
    EXPECT_EQ(signInAs(wrong, false), ResultInvalidArgument);
    EXPECT_EQ(signInAs(accounts[0], true), ResultSuccess);
    EXPECT_EQ(config().fullName(), accounts[0].fullName);
    EXPECT_TRUE(shown().empty());
}

TEST_P(OperationsSessionTest, NewDeviceIsLetInOnceTheServerRegistersIt)
{
    ServerProcess::CompanySpec spec;
    spec.requireDevice = true;
    const auto accounts = newCompany("dev", 1, spec);
    EXPECT_EQ(signInAs(accounts[0]), ResultDeviceNotAuthorized);

    const std::string id = manager_->makeDeviceID(Settings::kDeviceIdPrefix);
    ASSERT_TRUE(id.starts_with(Settings::kDeviceIdPrefix)) << id;
    EXPECT_NE(id, accounts[0].device);
    manager_->setDeviceID(id);
    const auto login
        = [] { return await([](auto done) { StorageServiceLogic::commonLogin(false, std::move(done)); }); };
    EXPECT_EQ(login(), ResultDeviceNotAuthorized);

    expectControlOk(server().registerDevice(accounts[0].company, accounts[0].user, id), "device");
    EXPECT_EQ(login(), ResultSuccess);
    // The identifier is the settings' own: a later start signs in with it.
    ConfigInfo onDisk;
    ASSERT_TRUE(onDisk.load());
    EXPECT_EQ(onDisk.deviceID(), id);
    EXPECT_EQ(listed("/FOLDER").count("Photos"), 1u);
}

TEST_P(OperationsSessionTest, PasswordChangeThenARefusedOne)
{
    const auto accounts = newCompany("pass", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    config().setOldPass(accounts[0].password);
    config().setTheNewPass("fresh-pass-1");
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::commonChangePassword(std::move(done)); }), ResultSuccess);
    EXPECT_EQ(shown(),
        (std::vector<Alert> { { Alert::Kind::Show, "message_password_change", "message_password_changed", "", {} } }));

    Account changed = accounts[0];
    changed.password = "fresh-pass-1";
    // The old password no longer opens the account, the new one does.
    EXPECT_EQ(signInAs(accounts[0]), ResultInvalidArgument);
    ASSERT_EQ(signInAs(changed), ResultSuccess);

    alerts->clear();
    config().setOldPass("wrong-current");
    config().setTheNewPass("fresh-pass-2");
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::commonChangePassword(std::move(done)); }),
        ResultPasswordChangeFailed);
    const auto refused = shown();
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].titleKey, "word_password_change_failed");
    EXPECT_FALSE(refused[0].detail.empty()) << "the server's reason is shown";
    EXPECT_EQ(signInAs(changed), ResultSuccess);
}

TEST_P(OperationsSessionTest, PolicyHeadersOfAListingLandInTheSettingsFile)
{
    const auto accounts = newCompany("pol", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    {
        ConfigInfo before;
        ASSERT_TRUE(before.load());
        EXPECT_EQ(before.webPublishMaxDay(), 90);
        EXPECT_EQ(before.isAutoSignOut(), 0);
    }
    expectControlOk(server().setPolicies(accounts[0].company,
                        { { "x-zel-auto-logout", "1" }, { "x-zel-file-web-publish-max-day", "7" },
                            { "x-zel-file-web-publish-max-count", "4" } }),
        "policies");
    listed("/FOLDER");

    ConfigInfo onDisk;
    ASSERT_TRUE(onDisk.load());
    EXPECT_EQ(onDisk.isAutoSignOut(), 1);
    EXPECT_EQ(onDisk.webPublishMaxDay(), 7);
    EXPECT_EQ(onDisk.webPublishMaxCount(), 4);
}

TEST_P(OperationsSessionTest, PublishedLinkDeliversTheFileUpToItsLimit)
{
    const auto accounts = newCompany("pub", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    const Bytes content = randomBytes(70000, 7);
    ASSERT_EQ(uploadInto("/FOLDER", "report.bin", content), ResultSuccess);

    auto [result, link] = collect<std::int32_t, const StorageServiceLogic::PublishResult&>(
        [](auto done) { StorageServiceLogic::publishFile("/FILE/report.bin", 3, 2, 1, std::move(done)); });
    ASSERT_EQ(result, ResultSuccess);
    EXPECT_TRUE(shown().empty());
    ASSERT_TRUE(link.contains("downloadUrl"));
    ASSERT_TRUE(link.contains("downloadPassword"));
    EXPECT_FALSE(link["validDay"].empty());
    EXPECT_EQ(link["period"], "3");
    EXPECT_TRUE(std::regex_match(link["downloadPassword"], std::regex("[0-9]{4}"))) << link["downloadPassword"];

    const std::string url = server().url() + link["downloadUrl"];
    const auto withPassword = url + "?password=" + link["downloadPassword"];
    const std::string wrong = link["downloadPassword"] == "0000" ? "1111" : "0000";
    EXPECT_NE(httpRequest("GET", url + "?password=" + wrong).body, std::string(content.begin(), content.end()));
    for (int i = 0; i < 2; ++i) {
        const HttpReply reply = httpRequest("GET", withPassword);
        EXPECT_EQ(reply.status, 200) << reply.error;
        EXPECT_EQ(reply.body, std::string(content.begin(), content.end()));
        EXPECT_NE(reply.header("content-disposition").find("attachment"), std::string::npos);
    }
    EXPECT_EQ(httpRequest("GET", withPassword).status, 410);
}

TEST_P(OperationsSessionTest, PrintRegistrationIsReportedAndListed)
{
    const auto accounts = newCompany("prt", 1);
    ASSERT_EQ(signInAs(accounts[0]), ResultSuccess);
    ASSERT_EQ(uploadInto("/FOLDER", "flyer.pdf", randomBytes(2000, 8)), ResultSuccess);
    alerts->clear();

    EXPECT_EQ(await([](auto done) { StorageServiceLogic::netPrint("/FILE/flyer.pdf", "1234", "3", std::move(done)); }),
        ResultSuccess);
    EXPECT_EQ(shown(),
        (std::vector<Alert> {
            { Alert::Kind::Show, "word_netprint_result", "message_file_print_login_success", "", {} } }));

    alerts->clear();
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::netPrint("/FILE/gone.pdf", "1234", "3", std::move(done)); }),
        ResultSuccess);
    EXPECT_EQ(shown(),
        (std::vector<Alert> {
            { Alert::Kind::Show, "word_netprint_result", "message_can_not_plan_for_not_existed_file", "", {} } }));

    auto [listedResult, jobs] = collect<std::int32_t, std::optional<std::vector<NetPrintInfo>>>(
        [](auto done) { StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(std::move(done)); });
    EXPECT_EQ(listedResult, ResultSuccess);
    ASSERT_TRUE(jobs.has_value());
    ASSERT_EQ(jobs->size(), 1u);
    EXPECT_EQ(jobs->front().fileName, "flyer.pdf");
    EXPECT_TRUE(std::regex_match(jobs->front().printID, std::regex("[0-9]{8}"))) << jobs->front().printID;
    EXPECT_FALSE(jobs->front().key.empty());
}

INSTANTIATE_TEST_SUITE_P(Operations, OperationsSessionTest, ::testing::Values(Scheme::Http), schemeName);

} // namespace
