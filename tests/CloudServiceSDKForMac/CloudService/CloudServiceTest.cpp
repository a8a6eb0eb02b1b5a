#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"

#include <atomic>
#include <condition_variable>
#include <set>
#include <thread>

using namespace norvane;
using namespace norvane::testing;

namespace {

class RecordingDelegate : public CloudServiceDelegate {
public:
    void requestFinished(const CloudServiceCommandPtr& command) override
    {
        std::lock_guard lock(mutex);
        finished.push_back(command);
        threads.insert(std::this_thread::get_id());
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return finished.size();
    }
    std::mutex mutex;
    std::vector<CloudServiceCommandPtr> finished;
    std::set<std::thread::id> threads;
};

using CloudServiceTest = ServiceTest;

TEST_F(CloudServiceTest, UnreachableNetworkAnswersThreeForEveryCommandWithoutCallback)
{
    makeService();
    logIn();
    auto delegate = std::make_shared<RecordingDelegate>();
    service_->setDelegate(delegate);
    CurrentNetworkStatus::setDebug(true);
    for (const auto& command : { CommandFactory::makeLsCommand("/FOLDER"), CommandFactory::makeLoginCommand("a,b,c,d"),
             CommandFactory::makeGetCommand("", "/FILE/a", nullptr),
             CommandFactory::makePutCommand("", "/FILE/a", std::make_shared<Bytes>(5)) }) {
        command->executeMode = ExecuteModeAsync; // would call back, were it dispatched
        service_->doCommand(command);
        EXPECT_EQ(command->commandRes, ResultUnreachable);
        ASSERT_TRUE(command->commandErr);
        EXPECT_EQ(command->commandErr->code, CloudServiceErrorNotReachable);
    }
    EXPECT_EQ(delegate->count(), 0u);
    EXPECT_EQ(fake_->calls("ls") + fake_->calls("login") + fake_->calls("status"), 1); // the login before
    EXPECT_TRUE(fake_->gets().empty());

    CurrentNetworkStatus::setDebug(false);
    auto ls = CommandFactory::makeLsCommand("/FOLDER");
    ls->executeMode = ExecuteModeAsync;
    service_->doCommand(ls);
    EXPECT_EQ(ls->commandRes, ResultSuccess);
    EXPECT_EQ(delegate->count(), 1u); // on this, the main, thread: inline
}

TEST_F(CloudServiceTest, StatusGateFollowsConnectLoginBusyAndLogout)
{
    makeService();
    const auto run = [this](CloudServiceCommandPtr command) {
        service_->doCommand(ExecuteModeSync, command);
        return command->commandRes;
    };
    EXPECT_EQ(run(CommandFactory::makeLsCommand("/FOLDER")), ResultNone); // before login
    EXPECT_EQ(fake_->calls("ls"), 0);
    logIn();
    EXPECT_EQ(run(CommandFactory::makeLoginCommand("x,y,z,w")), ResultSuccess);
    EXPECT_EQ(fake_->calls("login"), 2); // a login always asks the server

    // While an operation runs the status is busy, and a command that finds it busy proceeds.
    std::vector<std::int32_t> seen;
    fake_->onLs = [&](std::size_t index) {
        seen.push_back(service_->status());
        return index == 0 ? run(CommandFactory::makeLsCommand("/FOLDER/inner")) : ResultSuccess;
    };
    EXPECT_EQ(run(CommandFactory::makeLsCommand("/FOLDER")), ResultSuccess);
    EXPECT_EQ(seen, (std::vector<std::int32_t> { StatusBusy, StatusBusy }));
    EXPECT_EQ(service_->status(), StatusLoggedIn);

    EXPECT_EQ(run(CommandFactory::makeLogoutCommand()), ResultSuccess);
    EXPECT_EQ(service_->status(), StatusIdle);
    EXPECT_EQ(run(CommandFactory::makeLsCommand("/FOLDER")), ResultNone);

    // A failed connect shuts login out; a failed login is remembered.
    makeService();
    fake_->connectResult = ResultConnectFailed;
    EXPECT_EQ(run(CommandFactory::makeConnectCommand()), ResultConnectFailed);
    EXPECT_EQ(service_->status(), StatusConnectFailed);
    EXPECT_EQ(run(CommandFactory::makeLoginCommand("a,b,c,d")), ResultNone);
    EXPECT_EQ(fake_->calls("login"), 0);
    makeService();
    fake_->loginResult = ResultBadRequest;
    EXPECT_EQ(run(CommandFactory::makeLoginCommand("a,b,c,d")), ResultBadRequest);
    EXPECT_EQ(service_->status(), StatusLoginFailed);

    CloudService none(nullptr);
    EXPECT_EQ(none.status(), StatusNoStorage);
    auto nothing = CommandFactory::makeLoginCommand("a,b,c,d");
    none.doCommand(ExecuteModeSync, nothing);
    EXPECT_EQ(nothing->commandRes, ResultNone);
}

TEST_F(CloudServiceTest, ReloginRetriesOnceAfterSessionLoss)
{
    makeService();
    logIn();
    const ErrorValue lost { kCloudServiceErrorDomain, CloudServiceErrorNeedRelogin, "session lost", {} };
    fake_->onLs = [&](std::size_t index) {
        if (index == 0) {
            fake_->setStorageDetailErr(lost);
            return ResultFailed;
        }
        return ResultSuccess;
    };
    auto ls = CommandFactory::makeLsCommand("/FOLDER");
    service_->doCommand(ExecuteModeSync, ls);
    EXPECT_EQ(ls->commandRes, ResultSuccess);
    EXPECT_FALSE(ls->commandErr);
    EXPECT_EQ(fake_->calls("relogin"), 1);
    EXPECT_EQ(fake_->calls("ls"), 2);

    // A session that never comes back ends after one more try instead of looping.
    fake_->onLs = [&](std::size_t) {
        fake_->setStorageDetailErr(lost);
        return ResultFailed;
    };
    auto stuck = CommandFactory::makeLsCommand("/FOLDER");
    service_->doCommand(ExecuteModeSync, stuck);
    EXPECT_EQ(stuck->commandRes, ResultFailed);
    EXPECT_EQ(fake_->calls("relogin"), 2);
    EXPECT_EQ(fake_->calls("ls"), 4);
}

TEST_F(CloudServiceTest, AsyncCommandsRunThreeAtATimeAndCallBackOnTheMainThread)
{
    makeService();
    logIn();
    auto delegate = std::make_shared<RecordingDelegate>();
    service_->setDelegate(delegate);

    std::mutex mutex;
    std::condition_variable changed;
    int inside = 0;
    int most = 0;
    bool release = false;
    fake_->onLs = [&](std::size_t) {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inside);
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        --inside;
        return ResultSuccess;
    };
    std::vector<CloudServiceCommandPtr> commands;
    for (int i = 0; i < 5; ++i) {
        commands.push_back(CommandFactory::makeLsCommand("/FOLDER/" + std::to_string(i)));
        service_->doCommand(ExecuteModeAsync, commands.back());
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return inside == 3; }));
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(pumpUntil([&] { return delegate->count() == 5; }));
    EXPECT_EQ(most, 3);
    EXPECT_EQ(delegate->threads, (std::set<std::thread::id> { std::this_thread::get_id() }));
    for (const auto& command : commands) {
        EXPECT_EQ(command->executeMode, ExecuteModeAsync);
        EXPECT_EQ(command->commandRes, ResultSuccess);
    }
}

} // namespace
