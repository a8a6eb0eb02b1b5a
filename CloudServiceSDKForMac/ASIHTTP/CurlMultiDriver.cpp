#include "CloudServiceSDKForMac/ASIHTTP/CurlMultiDriver.h"

#include "platform/Log.h"

#include <array>
#include <mutex>
#include <vector>

namespace norvane {

namespace {
constexpr const char* kAttachmentKey = "norvane.curl-multi";

struct Share {
    CURLSH* handle = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
};

Share& shareState()
{
    // Never destroyed: transfers on other threads may still be closing connections while the
    // process ends.
    static Share* s = [] {
        CurlMultiDriver::initialiseLibrary();
        auto* state = new Share;
        state->handle = curl_share_init();
        curl_share_setopt(state->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(state->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(state->handle, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(state->handle, CURLSHOPT_USERDATA, state);
        curl_share_setopt(
            state->handle, CURLSHOPT_LOCKFUNC, +[](CURL*, curl_lock_data data, curl_lock_access, void* user) {
                static_cast<Share*>(user)->locks[static_cast<std::size_t>(data)].lock();
            });
        curl_share_setopt(
            state->handle, CURLSHOPT_UNLOCKFUNC, +[](CURL*, curl_lock_data data, void* user) {
                static_cast<Share*>(user)->locks[static_cast<std::size_t>(data)].unlock();
            });
        return state;
    }();
    return *s;
}
} // namespace

void CurlMultiDriver::initialiseLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURLSH* CurlMultiDriver::share()
{
    return shareState().handle;
}

std::shared_ptr<CurlMultiDriver> CurlMultiDriver::forCurrentThread()
{
    auto loop = RunLoop::current();
    if (auto existing = loop->attachment(kAttachmentKey))
        return std::static_pointer_cast<CurlMultiDriver>(existing);
    auto driver = std::shared_ptr<CurlMultiDriver>(new CurlMultiDriver(loop));
    loop->setAttachment(kAttachmentKey, driver);
    return driver;
}

CurlMultiDriver::CurlMultiDriver(std::shared_ptr<RunLoop> loop)
    : loop_(loop)
    , alive_(std::make_shared<bool>(true))
{
    initialiseLibrary();
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::socketCallback);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::timerCallback);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlMultiDriver::~CurlMultiDriver()
{
    *alive_ = false;
    for (auto& [easy, handler] : handlers_)
        curl_multi_remove_handle(multi_, easy);
    handlers_.clear();
    if (auto loop = loop_.lock(); loop && timer_)
        loop->cancelTimer(timer_);
    curl_multi_cleanup(multi_);
}

bool CurlMultiDriver::add(CURL* easy, DoneHandler done)
{
    if (handlers_.count(easy))
        return false;
    handlers_.emplace(easy, std::move(done));
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        handlers_.erase(easy);
        return false;
    }
    return true;
}

void CurlMultiDriver::remove(CURL* easy)
{
    auto it = handlers_.find(easy);
    if (it == handlers_.end())
        return;
    // curl may still call the transfer's callbacks while it takes the handle out, and the done
    // handler may hold the last reference to the object they point at: it goes only afterwards.
    DoneHandler keep = std::move(it->second);
    handlers_.erase(it);
    curl_multi_remove_handle(multi_, easy);
}

int CurlMultiDriver::socketCallback(CURL*, curl_socket_t fd, int what, void* self, void*)
{
    auto* driver = static_cast<CurlMultiDriver*>(self);
    auto loop = driver->loop_.lock();
    if (!loop)
        return 0;
    if (what == CURL_POLL_REMOVE) {
        loop->removeSource(fd);
        return 0;
    }
    unsigned interest = RunLoop::None;
    if (what == CURL_POLL_IN || what == CURL_POLL_INOUT)
        interest |= RunLoop::Readable;
    if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT)
        interest |= RunLoop::Writable;
    std::weak_ptr<bool> alive = driver->alive_;
    loop->setSource(fd, interest, [driver, alive](int readyFd, unsigned events) {
        if (alive.expired())
            return;
        int mask = 0;
        if (events & RunLoop::Readable)
            mask |= CURL_CSELECT_IN;
        if (events & RunLoop::Writable)
            mask |= CURL_CSELECT_OUT;
        if (events & (RunLoop::Error | RunLoop::HangUp))
            mask |= CURL_CSELECT_ERR;
        driver->action(readyFd, mask);
    });
    return 0;
}

int CurlMultiDriver::timerCallback(CURLM*, long timeoutMs, void* self)
{
    auto* driver = static_cast<CurlMultiDriver*>(self);
    auto loop = driver->loop_.lock();
    if (!loop)
        return 0;
    if (driver->timer_) {
        loop->cancelTimer(driver->timer_);
        driver->timer_ = 0;
    }
    if (timeoutMs < 0)
        return 0;
    std::weak_ptr<bool> alive = driver->alive_;
    // Never act from inside curl's own callback: the timer fires from the loop instead, even for 0.
    driver->timer_ = loop->addTimer(static_cast<double>(timeoutMs) / 1000.0, [driver, alive] {
        if (alive.expired())
            return;
        driver->timer_ = 0;
        driver->action(CURL_SOCKET_TIMEOUT, 0);
    });
    return 0;
}

void CurlMultiDriver::action(curl_socket_t fd, int eventMask)
{
    int running = 0;
    curl_multi_socket_action(multi_, fd, eventMask, &running);
    deliverFinished();
}

void CurlMultiDriver::deliverFinished()
{
    struct Finished {
        CURL* easy;
        CURLcode result;
        curl_socket_t socket;
    };
    std::vector<Finished> finished;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE)
            continue;
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(msg->easy_handle, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK)
            socket = CURL_SOCKET_BAD;
        finished.push_back({ msg->easy_handle, msg->data.result, socket });
    }
    std::weak_ptr<bool> alive = alive_;
    for (auto& [easy, result, socket] : finished) {
        auto it = handlers_.find(easy);
        if (it == handlers_.end())
            continue;
        DoneHandler handler = std::move(it->second);
        handlers_.erase(it);
        curl_multi_remove_handle(multi_, easy);
        try {
            handler(result, socket);
        } catch (const std::exception& e) {
            Log::line(std::string("transfer completion failed: ") + e.what());
        } catch (...) {
            Log::line("transfer completion failed");
        }
        if (alive.expired())
            return;
    }
}

} // namespace norvane
