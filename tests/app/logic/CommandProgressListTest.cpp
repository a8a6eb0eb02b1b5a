#include "app/logic/CommandProgressList.h"
#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"

#include <future>

namespace norvane::testing {
namespace {

using CommandProgressListTest = ServiceTest;

TEST_F(CommandProgressListTest, CancellingAListStopsItsCommandsNowAndLaterAndNoOthers)
{
    makeService();
    logIn();
    // Every download waits, as a slow request does, until its command is stopped.
    fake_->onGet = [](std::size_t, const GetCall& call, Bytes& data) -> FakeStorageServiceAdaptor::Answer {
        if (call.path == "/FILE/other") {
            data = patternBytes(3);
            return ResultSuccess;
        }
        for (int i = 0; i < 5000 && !transfersMustStop(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return transfersMustStop() ? ResultCancelled : ResultFailed;
    };
    auto list = std::make_shared<CommandProgressList>();
    auto first = CommandFactory::makeGetCommand({}, "/FILE/tree/a", std::make_shared<Bytes>());
    auto other = CommandFactory::makeGetCommand({}, "/FILE/other", std::make_shared<Bytes>());
    list->append(first);
    auto running = std::async(std::launch::async, [&] { service_->doCommand(ExecuteModeSync, first); });
    ASSERT_TRUE(pumpUntil([&] { return fake_->gets().size() == 1; }));

    list->cancelAll();
    ASSERT_TRUE(pumpUntil([&] { return running.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(first->commandRes, ResultCancelled);

    // The rest of the cancelled transfer never starts; a command outside the list runs.
    auto second = CommandFactory::makeGetCommand({}, "/FILE/tree/b", std::make_shared<Bytes>());
    list->append(second);
    service_->doCommand(ExecuteModeSync, second);
    EXPECT_EQ(second->commandRes, ResultCancelled);
    service_->doCommand(ExecuteModeSync, other);
    EXPECT_EQ(other->commandRes, ResultSuccess);
    EXPECT_EQ(fake_->gets().size(), 2u);
    EXPECT_TRUE(list->isCancelled());
}

} // namespace
} // namespace norvane::testing
