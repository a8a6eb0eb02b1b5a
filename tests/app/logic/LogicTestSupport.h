#pragma once

// An in-memory storage server behind the adaptor interface, a fake application environment, and
// a fixture that runs the operations with a recording alert presenter and a run-loop main queue.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "CloudServiceSDKForMac/CloudService/CloudServiceTestSupport.h"
#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceAdaptor.h"
#include "app/logic/OperationEnvironment.h"
#include "app/logic/StorageServiceLogic.h"
#include "platform/AlertPresenter.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace norvane::testing {

// One request as the adaptor received it.
struct AdaptorCall {
    std::string op;
    std::string path;
    std::string source; // cp and mv
    std::string applicationType;
    std::int32_t postOrPut = 0;
    std::int32_t accessFlag = 0;
    bool overwrite = false;
    ValueMap option;
};

class ScriptedAdaptor : public StorageServiceAdaptor {
public:
    using StorageServiceAdaptor::cp;
    using StorageServiceAdaptor::mv;

    // Listings and file contents by the path the client sends (escaped).
    std::map<std::string, FileInfoList> folders;
    std::map<std::string, Bytes> files;
    // Called before a listing is answered (a test may change the local disk there).
    std::function<void(const std::string& path)> onLs;
    std::string lockConflictBody;
    Bytes publishBody;
    std::string printStatus, printMessage;
    std::map<std::string, ErrorValue> errors; // "op path" -> error left for the command

    // The next results of "op path" (or "op *" for any path); 1 once they run out.
    void script(const std::string& opAndPath, std::vector<std::int32_t> results)
    {
        std::lock_guard lock(mutex_);
        auto& queue = scripted_[opAndPath];
        queue.insert(queue.end(), results.begin(), results.end());
    }
    std::vector<AdaptorCall> calls(const std::string& op = {}) const
    {
        std::lock_guard lock(mutex_);
        std::vector<AdaptorCall> out;
        for (const auto& call : calls_)
            if (op.empty() || call.op == op)
                out.push_back(call);
        return out;
    }

    static AdaptorCall call(std::string op, std::string path = {}, std::string source = {}, std::string type = {},
        std::int32_t postOrPut = 0, std::int32_t accessFlag = 0, bool overwrite = false, ValueMap option = {})
    {
        return { std::move(op), std::move(path), std::move(source), std::move(type), postOrPut, accessFlag, overwrite,
            std::move(option) };
    }

    std::int32_t connect() override { return answer(call("connect")); }
    std::int32_t login(const std::string& auth, ValueMap& information, const ValueMap& option) override
    {
        information["UserName"] = "Full Name";
        information["UserKey"] = "key-1";
        information["SpaceSize"] = "100";
        return answer(call("login", auth, "", "", 0, 0, false, option));
    }
    std::int32_t logout() override { return answer(call("logout")); }
    std::int32_t changePassword(const std::string& auth, ValueMap&) override { return answer(call("passwd", auth)); }
    std::int32_t ls(const std::string& path, FileInfoList& fileInfo, const ValueMap&) override
    {
        if (onLs)
            onLs(path);
        return listed(call("ls", path), fileInfo);
    }
    std::int32_t search(const std::string& path, FileInfoList& fileInfo) override
    {
        return listed(call("search", path), fileInfo);
    }
    std::int32_t netPrint(const std::string& path, const std::string&, const std::string&, std::string& message,
        std::string& message2) override
    {
        message = printStatus;
        message2 = printMessage;
        return answer(call("print", path));
    }
    std::int32_t getCurrentPutStatus(const std::string&, std::uint64_t, const std::string&, const std::string&,
        std::int32_t, std::uint64_t& offset) override
    {
        offset = 0;
        return ResultSuccess;
    }
    std::int32_t put(const std::string& path, std::uint64_t&, std::uint64_t, const std::string&,
        std::span<const std::uint8_t>, const std::string& type, std::int32_t postOrPut, ASIProgressDelegate*,
        const ValueMap& option) override
    {
        const std::int32_t result = answer(call("put", path, "", type, postOrPut, 0, false, option));
        setErrResponseString(result == ResultWriteConflict ? lockConflictBody : std::string());
        return result;
    }
    std::int32_t get(const std::string& path, Bytes& data, const std::string& type, std::uint64_t start,
        std::uint64_t length, ASIProgressDelegate*, std::uint64_t, std::uint64_t, const ValueMap&,
        const std::optional<Date>&) override
    {
        std::int32_t result = start == 0 ? answer(call("get", path, "", type)) : ResultSuccess;
        std::lock_guard lock(mutex_);
        if (result == ResultSuccess && !files.contains(path))
            result = ResultNotFound;
        const Bytes& content = files[path];
        if (result == ResultSuccess && start < content.size())
            data.insert(data.end(), content.begin() + static_cast<std::ptrdiff_t>(start),
                content.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(content.size(), start + length)));
        return result;
    }
    std::int32_t rm(const std::string& path, const std::string& type) override
    {
        return answer(call("rm", path, "", type));
    }
    std::int32_t cp(const std::string& path, const std::string& source, const std::string& type, std::int32_t postOrPut,
        std::int32_t accessFlag, bool overwrite, const ValueMap& option) override
    {
        return answer(call("cp", path, source, type, postOrPut, accessFlag, overwrite, option));
    }
    std::int32_t mv(const std::string& path, const std::string& source, const std::string& type, std::int32_t postOrPut,
        std::int32_t accessFlag, bool overwrite, const ValueMap& option) override
    {
        return answer(call("mv", path, source, type, postOrPut, accessFlag, overwrite, option));
    }
    std::int32_t chmod(const std::string& path, const std::string& type, std::int32_t, std::int32_t accessFlag) override
    {
        return answer(call("chmod", path, "", type, 0, accessFlag));
    }
    std::int32_t publish(const std::string& path, const std::string& type, const ValueMap& option, Bytes& body) override
    {
        body = publishBody;
        return answer(call("publish", path, "", type, 0, 0, false, option));
    }

private:
    // The folder's entries (copies, as a new listing brings) when the answer is 1.
    std::int32_t listed(AdaptorCall made, FileInfoList& fileInfo)
    {
        const std::string path = made.path;
        const std::int32_t result = answer(std::move(made));
        std::lock_guard lock(mutex_);
        if (result == ResultSuccess)
            for (const auto& entry : folders[path])
                fileInfo.push_back(std::make_shared<fileInformation>(*entry));
        return result;
    }

    std::int32_t answer(AdaptorCall made)
    {
        std::lock_guard lock(mutex_);
        const std::string key = made.op + " " + made.path;
        std::int32_t result = ResultSuccess;
        for (const std::string& slot : { key, made.op + " *" }) {
            auto& queue = scripted_[slot];
            if (!queue.empty()) {
                result = queue.front();
                queue.pop_front();
                break;
            }
        }
        auto error = errors.find(key);
        setStorageDetailErr(error == errors.end() ? std::nullopt : std::optional<ErrorValue>(error->second));
        calls_.push_back(std::move(made));
        return result;
    }

    mutable std::mutex mutex_;
    std::map<std::string, std::deque<std::int32_t>> scripted_;
    std::vector<AdaptorCall> calls_;
};

class FakeEnvironment : public OperationEnvironment {
public:
    std::shared_ptr<CloudService> service;
    AccountSettings account { "C01", "user1", "secret", "DEV1", "old", "new", "User One" };
    std::optional<LoginValues> stored;
    int timerStarts = 0;
    int timerStops = 0;

    std::shared_ptr<CloudService> cloudService() override { return service; }
    AccountSettings accountSettings() override { return account; }
    void storeLoginValues(const LoginValues& values) override { stored = values; }
    void startAutoLogoutTime() override { ++timerStarts; }
    void stopAutoLogoutTime() override { ++timerStops; }
    bool isShareFile(const fileInformation& entry) const override
    {
        const std::string uk = entry.uk.value_or("");
        return uk.starts_with(entry.fileType != 0 ? "/SHAREFOLDER" : "/SHAREFILE");
    }
    bool isOwnerFile(const fileInformation& entry) const override
    {
        return !isShareFile(entry) || entry.owner == account.userName || entry.isManager;
    }
    bool isFileReadOnly(const fileInformation& entry) const override { return !entry.isManager && entry.isReadOnly; }
};

inline std::shared_ptr<fileInformation> entry(
    const std::string& name, const std::string& uk, bool folder = false, std::uint64_t size = 0)
{
    auto info = std::make_shared<fileInformation>();
    info->displayName = name;
    info->uk = uk;
    info->fileType = folder ? 1 : 0;
    info->fileSize = size;
    return info;
}

inline Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

class LogicTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        CurrentNetworkStatus::setStateSource(std::make_shared<ReachableNetwork>());
        mainQueue_ = std::make_shared<RunLoopMainQueue>();
        MainQueue::setShared(mainQueue_);
        alerts_ = std::make_shared<RecordingAlertPresenter>();
        AlertPresenter::setShared(alerts_);
        transferStopFlag.store(false);
        auto adaptor = std::make_unique<ScriptedAdaptor>();
        adaptor->config().maxUploadSize = 1 << 20;
        adaptor->config().maxDownloadSize = 1 << 20;
        adaptor_ = adaptor.get();
        environment_ = std::make_shared<FakeEnvironment>();
        environment_->service = std::make_shared<CloudService>(std::move(adaptor));
        auto login = CommandFactory::makeLoginCommand("c,u,p,d");
        environment_->service->doCommand(ExecuteModeSync, login);
        ASSERT_EQ(login->commandRes, ResultSuccess);
        OperationEnvironment::setShared(environment_);
    }

    void TearDown() override
    {
        OperationEnvironment::setShared(nullptr);
        environment_.reset();
        MainQueue::setShared(nullptr);
        AlertPresenter::setShared(nullptr);
        CurrentNetworkStatus::setStateSource(nullptr);
        LocalStoreTestHome::TearDown();
    }

    // Turns the main loop, where callbacks land, until `done` holds.
    void pumpUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            RunLoop::current()->runFor(0.002);
        ASSERT_TRUE(done()) << "no callback";
    }

    // Starts an operation with a result callback and waits for the result.
    std::int32_t await(const std::function<void(StorageServiceLogic::ResultCallback)>& start)
    {
        std::optional<std::int32_t> result;
        start([&](std::int32_t r) {
            EXPECT_TRUE(mainQueue_->isMainThread());
            result = r;
        });
        pumpUntil([&] { return result.has_value(); });
        return result.value_or(-1);
    }

    // Starts an operation whose callback takes (A...) and waits for the values it was given.
    template <class... A, class Start> std::tuple<std::decay_t<A>...> collect(Start start)
    {
        std::optional<std::tuple<std::decay_t<A>...>> got;
        start([&](A... values) { got.emplace(values...); });
        pumpUntil([&] { return got.has_value(); });
        return got.value_or(std::tuple<std::decay_t<A>...> {});
    }

    std::vector<Alert> shown() const { return alerts_->alerts(); }

    std::shared_ptr<RunLoopMainQueue> mainQueue_;
    std::shared_ptr<RecordingAlertPresenter> alerts_;
    std::shared_ptr<FakeEnvironment> environment_;
    ScriptedAdaptor* adaptor_ = nullptr;
};

} // namespace norvane::testing
