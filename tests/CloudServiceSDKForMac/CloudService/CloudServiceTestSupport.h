#pragma once

// A scripted adaptor and a fixture for driving CloudService without a server: every operation
// records its call, and tests script answers (result codes, bytes, offsets) through hooks.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "platform/AlertPresenter.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace norvane::testing {

struct PutCall {
    std::string path;
    std::uint64_t offset = 0;
    std::string md5;
    Bytes chunk;
    std::int32_t postOrPut = 0;
    ValueMap option;
};

struct GetCall {
    std::string path;
    std::uint64_t start = 0;
    std::optional<Date> lastGetDate;
};

class FakeStorageServiceAdaptor : public StorageServiceAdaptor {
public:
    using StorageServiceAdaptor::mv;
    using Answer = std::optional<std::int32_t>; // nullopt: the default behaviour

    // Hooks; put may move the offset (a resume answer).
    std::function<Answer(std::size_t index, const PutCall&, std::uint64_t& offset)> onPut;
    std::function<Answer(std::size_t index, const GetCall&, Bytes& data)> onGet;
    std::function<std::int32_t(std::uint64_t& offset)> onPutStatus;
    std::function<std::int32_t(std::size_t index)> onLs;
    std::int32_t loginResult = ResultSuccess;
    std::int32_t connectResult = ResultSuccess;
    std::int32_t reloginResult = ResultSuccess;
    bool answerNotModifiedWhenDated = false; // a get with a cached-copy date gets 304

    // The server: files served by get, bytes received by put (the status query reports their size).
    std::map<std::string, Bytes> files;
    std::map<std::string, Bytes> received;

    std::vector<PutCall> puts() const { return locked(puts_); }
    std::vector<GetCall> gets() const { return locked(gets_); }
    int calls(const std::string& name) const { return locked(calls_)[name]; }

    std::int32_t connect() override { return count("connect"), connectResult; }
    std::int32_t login(const std::string&, ValueMap&, const ValueMap&) override { return count("login"), loginResult; }
    std::int32_t relogin() override { return count("relogin"), reloginResult; }
    std::int32_t ls(const std::string&, FileInfoList&, const ValueMap&) override
    {
        const std::size_t index = count("ls");
        return onLs ? onLs(index) : ResultSuccess;
    }
    std::int32_t mv(const std::string&, const std::string&, const std::string&, std::int32_t, std::int32_t, bool,
        const ValueMap&) override
    {
        return ResultSuccess;
    }

    std::int32_t getCurrentPutStatus(const std::string& path, std::uint64_t, const std::string&, const std::string&,
        std::int32_t, std::uint64_t& offset) override
    {
        count("status");
        if (onPutStatus)
            return onPutStatus(offset);
        std::lock_guard lock(mutex_);
        offset = received[path].size();
        return ResultSuccess;
    }

    std::int32_t put(const std::string& path, std::uint64_t& offset, std::uint64_t, const std::string& md5,
        std::span<const std::uint8_t> chunk, const std::string&, std::int32_t postOrPut, ASIProgressDelegate*,
        const ValueMap& option) override
    {
        const PutCall call { path, offset, md5, Bytes(chunk.begin(), chunk.end()), postOrPut, option };
        const std::size_t index = record(puts_, call);
        if (auto answer = onPut ? onPut(index, call, offset) : std::nullopt)
            return *answer;
        std::lock_guard lock(mutex_);
        Bytes& stored = received[path];
        stored.resize(std::max<std::size_t>(stored.size(), call.offset + chunk.size()));
        std::copy(chunk.begin(), chunk.end(), stored.begin() + static_cast<std::ptrdiff_t>(call.offset));
        return ResultSuccess;
    }

    std::int32_t get(const std::string& path, Bytes& data, const std::string&, std::uint64_t start,
        std::uint64_t length, ASIProgressDelegate*, std::uint64_t, std::uint64_t, const ValueMap&,
        const std::optional<Date>& lastGetDate) override
    {
        const GetCall call { path, start, lastGetDate };
        const std::size_t index = record(gets_, call);
        if (auto answer = onGet ? onGet(index, call, data) : std::nullopt)
            return *answer;
        if (lastGetDate && answerNotModifiedWhenDated)
            return ResultNotModified;
        std::lock_guard lock(mutex_);
        auto found = files.find(path);
        if (found == files.end())
            return ResultNotFound;
        const Bytes& content = found->second;
        const auto from = content.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(start, content.size()));
        const auto to
            = content.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(start + length, content.size()));
        data.insert(data.end(), from, to);
        return ResultSuccess;
    }

private:
    std::size_t count(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(calls_[name]++);
    }
    template <class T> std::size_t record(std::vector<T>& list, const T& call)
    {
        std::lock_guard lock(mutex_);
        list.push_back(call);
        return list.size() - 1;
    }
    template <class T> T locked(const T& value) const
    {
        std::lock_guard lock(mutex_);
        return value;
    }

    mutable std::mutex mutex_;
    std::map<std::string, int> calls_;
    std::vector<PutCall> puts_;
    std::vector<GetCall> gets_;
};

// A machine with one wired interface and a default route.
class ReachableNetwork : public NetworkStateSource {
public:
    std::optional<NetworkState> snapshot() const override
    {
        NetworkState state;
        state.interfaces.push_back({ "eth0", true, false, { { *NetworkAddress::parse("10.0.0.2"), 24 } } });
        state.routes.push_back({ "eth0", *NetworkAddress::parse("0.0.0.0"), 0, true });
        return state;
    }
    int openChangeChannel() const override { return -1; }
};

inline Bytes patternBytes(std::size_t count, std::uint8_t seed = 0)
{
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return out;
}

// Turns the main loop (completion callbacks and progress hop there) until pred holds; false when
// the timeout passed first.
inline bool pumpMainLoopUntil(
    const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        RunLoop::current()->runFor(0.002);
    }
    return true;
}

class ServiceTest : public LocalStoreTestHome {
protected:
    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        CurrentNetworkStatus::setStateSource(std::make_shared<ReachableNetwork>());
        CurrentNetworkStatus::setDebug(false);
        mainQueue_ = std::make_shared<RunLoopMainQueue>();
        MainQueue::setShared(mainQueue_);
        alerts_ = std::make_shared<RecordingAlertPresenter>();
        AlertPresenter::setShared(alerts_);
        transferStopFlag.store(false);
    }

    void TearDown() override
    {
        service_.reset();
        CurrentNetworkStatus::setDebug(false);
        CurrentNetworkStatus::setStateSource(nullptr);
        MainQueue::setShared(nullptr);
        AlertPresenter::setShared(nullptr);
        transferStopFlag.store(false);
        LocalStoreTestHome::TearDown();
    }

    // A new service over a new fake adaptor; chunk sizes are small so that tests stay small.
    CloudService& makeService(std::uint64_t chunk = 10)
    {
        service_.reset();
        auto fake = std::make_unique<FakeStorageServiceAdaptor>();
        fake->config().maxUploadSize = chunk;
        fake->config().maxDownloadSize = chunk;
        fake->config().maxCacheSize = 1 << 20;
        fake_ = fake.get();
        service_ = std::make_unique<CloudService>(std::move(fake));
        return *service_;
    }

    void logIn()
    {
        auto command = CommandFactory::makeLoginCommand("company,user,password,device");
        service_->doCommand(ExecuteModeSync, command);
        ASSERT_EQ(command->commandRes, ResultSuccess);
        ASSERT_EQ(service_->status(), StatusLoggedIn);
    }

    bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        return pumpMainLoopUntil(pred, timeout);
    }

    std::shared_ptr<RunLoopMainQueue> mainQueue_;
    std::shared_ptr<RecordingAlertPresenter> alerts_;
    std::unique_ptr<CloudService> service_;
    FakeStorageServiceAdaptor* fake_ = nullptr;
};

} // namespace norvane::testing
