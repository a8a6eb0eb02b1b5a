#include "LogicTestSupport.h"

using namespace norvane;
using namespace norvane::testing;

namespace {

class SessionTest : public LogicTest {
protected:
    // A service that has not logged in yet, over its own adaptor.
    ScriptedAdaptor& freshService()
    {
        auto adaptor = std::make_unique<ScriptedAdaptor>();
        ScriptedAdaptor& raw = *adaptor;
        environment_->service = std::make_shared<CloudService>(std::move(adaptor));
        return raw;
    }
};

} // namespace

TEST_F(SessionTest, LoginMapsProbeFailuresAndStoresTheAccountOnSuccess)
{
    ScriptedAdaptor& server = freshService();
    server.script("connect *", { ResultUnreachable, ResultFailed });
    server.script("login *", { ResultAccountSuspended });
    const auto login = [](auto done) { StorageServiceLogic::commonLogin(true, done); };
    EXPECT_EQ(await(login), ResultUnreachable);
    EXPECT_EQ(await(login), ResultConnectFailed);
    EXPECT_TRUE(server.calls("login").empty());
    EXPECT_EQ(await(login), ResultAccountSuspended);
    EXPECT_FALSE(environment_->stored);
    EXPECT_EQ(environment_->timerStarts, 0);

    int timerStartsSeenByCallback = -1;
    EXPECT_EQ(await([&](auto done) {
        StorageServiceLogic::commonLogin(false, [&, done](std::int32_t r) {
            timerStartsSeenByCallback = environment_->timerStarts;
            done(r);
        });
    }),
        ResultSuccess);
    pumpUntil([&] { return environment_->timerStarts == 1; });
    EXPECT_EQ(timerStartsSeenByCallback, 0) << "the timer starts after the callback";
    const auto logins = server.calls("login");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].path, "C01,user1,secret,DEV1");
    EXPECT_EQ(logins[0].option.at("isAutoLogin"), Value("1"));
    EXPECT_EQ(logins[1].option.at("isAutoLogin"), Value("0"));
    ASSERT_TRUE(environment_->stored);
    EXPECT_EQ(environment_->stored->fullName, "Full Name");
    EXPECT_NE(environment_->stored->lastLoginTime.find("GMT"), std::string::npos);
    EXPECT_TRUE(shown().empty());
}

TEST_F(SessionTest, ListingFiltersInheritsSortsAndAddsFavourites)
{
    adaptor_->folders["/FOLDER"] = {
        entry("zeta.txt", "/FILE/zeta.txt"),
        entry("Alpha", "/FOLDER/Alpha", true),
        entry("BackupFolder", "/FOLDER/BackupFolder", true),
        entry(".hidden", "/FILE/.hidden"),
        entry("beta.JPG", "/FILE/beta.JPG"),
    };
    auto folder = entry("", "/FOLDER", true);
    folder->isManager = true;
    folder->childrens.push_back(entry("stale", "/FILE/stale"));
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::getFolderInfo(folder, false, {}, done); }), ResultSuccess);

    std::vector<std::string> names;
    for (const auto& child : folder->childrens) {
        names.push_back(child->displayName.value_or(""));
        EXPECT_TRUE(child->isManager || child->uk == "/FOLDER/.Favorite.");
    }
    EXPECT_EQ(names, (std::vector<std::string> { "BackupFolder", "Alpha", "お気に入り", "beta.JPG", "zeta.txt" }));
    EXPECT_EQ(folder->childrens[3]->fileExt, FileExtPhoto);
    EXPECT_EQ(adaptor_->calls("ls")[0].path, "/FOLDER");
}

TEST_F(SessionTest, FailedListingEmptiesTheFolderAndOnlyANoisyTimeOutAlerts)
{
    auto folder = entry("Docs", "/FOLDER/My Docs", true);
    folder->childrens.push_back(entry("old", "/FILE/old"));
    adaptor_->script("ls /FOLDER/My%20Docs", { ResultTimedOut, ResultTimedOut, ResultFailed });
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::getFolderInfo(folder, true, {}, done); }), ResultTimedOut);
    EXPECT_TRUE(folder->childrens.empty());
    EXPECT_TRUE(shown().empty());
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::getFolderInfo(folder, false, {}, done); }), ResultTimedOut);
    EXPECT_EQ(await([&](auto done) { StorageServiceLogic::getFolderInfo(folder, false, {}, done); }), ResultFailed);
    EXPECT_EQ(shown(), (std::vector<Alert> { { Alert::Kind::Show, "message_net_timeout", "", "", {} } }));
}

TEST_F(SessionTest, OperationsWithoutAnEnvironmentFailInsteadOfCrashing)
{
    OperationEnvironment::setShared(nullptr);
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::commonLogout(done); }), ResultFailed);
    EXPECT_EQ(await([](auto done) { StorageServiceLogic::deleteFile("/FILE/a", done); }), ResultFailed);
}
