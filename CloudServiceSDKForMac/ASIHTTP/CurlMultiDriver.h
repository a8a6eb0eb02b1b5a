#pragma once

#include "platform/RunLoop.h"

#include <curl/curl.h>
#include <functional>
#include <memory>
#include <unordered_map>

namespace norvane {

// The transfer engine of one thread: a curl multi handle whose sockets and timer live on that
// thread's RunLoop, so transfers make progress exactly while the thread runs its loop. All
// threads' transfers share one connection cache (a curl share handle), so a connection opened on
// one thread can be reused by the next request on another.
class CurlMultiDriver {
public:
    // The transfer's result and the connection it ended on (CURL_SOCKET_BAD when curl closed it),
    // read while the handle was still part of the multi handle.
    using DoneHandler = std::function<void(CURLcode, curl_socket_t)>;

    // The calling thread's driver, created on first use and destroyed when the thread ends.
    static std::shared_ptr<CurlMultiDriver> forCurrentThread();
    // The process-wide share handle every easy handle is attached to.
    static CURLSH* share();
    // Makes sure libcurl is initialised (once per process).
    static void initialiseLibrary();

    ~CurlMultiDriver();
    CurlMultiDriver(const CurlMultiDriver&) = delete;
    CurlMultiDriver& operator=(const CurlMultiDriver&) = delete;

    // Starts the transfer; `done` runs on this thread when it ends, unless it was removed first.
    bool add(CURL* easy, DoneHandler done);
    // Stops a transfer without a done call. Safe for a handle that is not (or no longer) added.
    void remove(CURL* easy);
    bool contains(CURL* easy) const { return handlers_.count(easy) != 0; }

private:
    explicit CurlMultiDriver(std::shared_ptr<RunLoop> loop);

    static int socketCallback(CURL* easy, curl_socket_t fd, int what, void* self, void* socketData);
    static int timerCallback(CURLM* multi, long timeoutMs, void* self);
    void action(curl_socket_t fd, int eventMask);
    void deliverFinished();

    CURLM* multi_ = nullptr;
    std::weak_ptr<RunLoop> loop_;
    RunLoop::TimerId timer_ = 0;
    std::unordered_map<CURL*, DoneHandler> handlers_;
    // Bumped on destruction so a timer or source callback that is already queued does nothing.
    std::shared_ptr<bool> alive_;
};

} // namespace norvane
