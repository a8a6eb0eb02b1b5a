#pragma once

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "CloudServiceSDKForMac/ASIHTTP/ConnectionPool.h"
#include "CloudServiceSDKForMac/ASIHTTP/CookieStore.h"
#include "platform/MainQueue.h"
#include "platform/RunLoop.h"
#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

namespace norvane::test {

// Each engine test starts from a clean process state: the test thread is the main thread, no
// pooled connections, no cookies, the real clock.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MainQueue::setShared(std::make_shared<RunLoopMainQueue>());
        ConnectionPool::shared().reset();
        ConnectionPool::shared().setClock({});
        ASIHTTPRequest::setClock({});
        ASIHTTPRequest::clearSession();
        CookieStore::shared().removeAll();
    }
    void TearDown() override
    {
        ConnectionPool::shared().reset();
        ConnectionPool::shared().setClock({});
        ASIHTTPRequest::setClock({});
        MainQueue::setShared(nullptr);
    }

    // Drives the calling thread's loop until the request ends; false on a time-out.
    static bool runUntilFinished(ASIHTTPRequest& request, double seconds = 10)
    {
        auto loop = RunLoop::current();
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!request.isFinished()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            loop->runFor(0.05);
        }
        return true;
    }

    // Drives the calling thread's loop until the server has seen count requests.
    static bool runUntilRequests(const ScriptedHttpServer& server, std::size_t count, double seconds = 10)
    {
        auto loop = RunLoop::current();
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (server.requestCount() < count) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            loop->runFor(0.02);
        }
        return true;
    }

    static std::string body(const ASIHTTPRequest& request)
    {
        auto data = request.responseData();
        return data ? std::string(data->begin(), data->end()) : std::string("<none>");
    }
};

class RecordingProgress : public ASIProgressDelegate {
public:
    void setProgress(float f) override { values.push_back(f); }
    std::vector<float> values;
};

class CountingDelegate : public ASIHTTPRequestDelegate {
public:
    void requestStarted(ASIHTTPRequest&) override { ++started; }
    void requestFinished(ASIHTTPRequest&) override { ++finished; }
    void requestFailed(ASIHTTPRequest&) override { ++failed; }
    int started = 0;
    int finished = 0;
    int failed = 0;
};

} // namespace norvane::test
