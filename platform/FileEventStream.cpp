#include "platform/FileEventStream.h"

#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <map>
#include <mutex>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace norvane {

namespace {

constexpr std::uint32_t kContentEvents
    = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// Below the root nothing is followed: a link to a directory elsewhere must not widen the watch.
constexpr std::uint32_t kSubDirectoryMask = kContentEvents | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
constexpr std::uint32_t kRootMask = kContentEvents | IN_ONLYDIR | IN_EXCL_UNLINK;

// Batches handed to the main queue and not yet run; beyond this the main thread is not keeping
// up, and what comes meanwhile is summed up as one scan request instead of piling up.
constexpr int kMaxBatchesInFlight = 8;

unsigned translate(std::uint32_t mask)
{
    unsigned flags = 0;
    if (mask & IN_CREATE)
        flags |= FileEvent::Created;
    if (mask & IN_MODIFY)
        flags |= FileEvent::Modified;
    if (mask & IN_CLOSE_WRITE)
        flags |= FileEvent::ClosedWrite;
    if (mask & IN_DELETE)
        flags |= FileEvent::Removed;
    if (mask & IN_MOVED_FROM)
        flags |= FileEvent::MovedFrom;
    if (mask & IN_MOVED_TO)
        flags |= FileEvent::MovedTo;
    if (mask & IN_ISDIR)
        flags |= FileEvent::IsDirectory;
    return flags;
}

std::string withoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool isInside(const std::string& path, const std::string& directory)
{
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0
        && path[directory.size()] == '/';
}

} // namespace

struct FileEventStream::State : std::enable_shared_from_this<State> {
    std::string root;
    Callback callback; // run on the main queue only
    double latency = 1.0;
    std::size_t maxBatchEvents = 0;
    std::size_t maxWatches = 0;
    std::shared_ptr<RunLoop> loop;
    std::shared_ptr<MainQueue> mainQueue;

    std::atomic<bool> stopped { false };
    std::atomic<int> batchesInFlight { 0 };

    // Guards everything below; held while inotify is read, never while the callback runs.
    std::mutex mutex;
    int fd = -1;
    std::map<int, std::string> watches; // watch descriptor -> directory
    int rootWd = -1;
    std::vector<FileEvent> pending;
    unsigned pendingRootFlags = 0; // a root event that goes last in the batch
    RunLoop::TimerId flushTimer = 0;
    RunLoop::TimerId retryTimer = 0;
    bool watchLimitLogged = false;

    // The loop thread of the stream's own, when it has one.
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> quit = std::make_shared<std::atomic<bool>>(false);

    ~State()
    {
        if (fd >= 0)
            ::close(fd);
    }

    void append(const std::string& path, unsigned flags)
    {
        if (pending.size() >= maxBatchEvents) {
            pendingRootFlags |= FileEvent::MustScanSubDirs;
        } else if (pending.empty() || pending.back().path != path || pending.back().flags != flags) {
            pending.push_back({ path, flags });
        }
        armFlush();
    }

    void appendRoot(unsigned flags)
    {
        pendingRootFlags |= flags;
        armFlush();
    }

    void armFlush()
    {
        if (flushTimer != 0)
            return;
        std::weak_ptr<State> weak = weak_from_this();
        flushTimer = loop->addTimer(latency, [weak] {
            auto self = weak.lock();
            if (!self)
                return;
            std::lock_guard lock(self->mutex);
            self->flushTimer = 0;
            if (!self->stopped)
                self->flush();
        });
    }

    void flush()
    {
        if (batchesInFlight.load() >= kMaxBatchesInFlight) {
            pending.clear();
            pendingRootFlags |= FileEvent::MustScanSubDirs;
            armFlush(); // try again once the main thread has caught up
            return;
        }
        std::vector<FileEvent> batch = std::move(pending);
        pending.clear();
        if (pendingRootFlags != 0)
            batch.push_back({ root, pendingRootFlags });
        pendingRootFlags = 0;
        if (batch.empty())
            return;
        ++batchesInFlight;
        std::weak_ptr<State> weak = weak_from_this();
        mainQueue->post([weak, batch = std::move(batch)] {
            auto self = weak.lock();
            if (!self)
                return;
            --self->batchesInFlight;
            if (!self->stopped && self->callback)
                self->callback(batch);
        });
    }

    // Watches `directory` and every directory below it. With emitFound, whatever is already
    // there is reported, since it may have been made before the watch was in place.
    void addTree(const std::string& directory, bool emitFound)
    {
        std::vector<std::string> stack { directory };
        while (!stack.empty()) {
            std::string current = std::move(stack.back());
            stack.pop_back();
            if (watches.size() >= maxWatches) {
                if (!watchLimitLogged)
                    Log::line("FileEventStream: watch limit reached below " + root + "; deeper folders unwatched");
                watchLimitLogged = true;
                return;
            }
            const bool isRoot = current == root;
            const int wd = inotify_add_watch(fd, current.c_str(), isRoot ? kRootMask : kSubDirectoryMask);
            if (wd < 0) {
                if (errno == ENOSPC && !watchLimitLogged) {
                    Log::line("FileEventStream: the system's inotify watch limit is reached");
                    watchLimitLogged = true;
                }
                continue; // gone already, or not a directory any more
            }
            watches[wd] = current;
            if (isRoot)
                rootWd = wd;

            const int dirFd = ::open(current.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isRoot ? 0 : O_NOFOLLOW));
            if (dirFd < 0)
                continue;
            DIR* dir = fdopendir(dirFd);
            if (!dir) {
                ::close(dirFd);
                continue;
            }
            while (dirent* entry = readdir(dir)) {
                const std::string_view name(entry->d_name);
                if (name == "." || name == "..")
                    continue;
                bool isDirectory = entry->d_type == DT_DIR;
                if (entry->d_type == DT_UNKNOWN) {
                    struct stat st { };
                    isDirectory = fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
                }
                std::string child = current + "/" + std::string(name);
                if (emitFound)
                    append(child, FileEvent::Found | (isDirectory ? FileEvent::IsDirectory : 0u));
                if (isDirectory)
                    stack.push_back(std::move(child));
            }
            closedir(dir);
        }
    }

    void removeTree(const std::string& directory)
    {
        for (auto it = watches.begin(); it != watches.end();) {
            if (it->second == directory || isInside(it->second, directory)) {
                inotify_rm_watch(fd, it->first);
                it = watches.erase(it);
            } else {
                ++it;
            }
        }
    }

    void rootLost()
    {
        for (const auto& [wd, path] : watches)
            inotify_rm_watch(fd, wd);
        watches.clear();
        rootWd = -1;
        appendRoot(FileEvent::RootChanged | FileEvent::MustScanSubDirs);
        armRetry();
    }

    // True when the root is there and watched.
    bool tryRoot()
    {
        struct stat st { };
        if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        addTree(root, false);
        return rootWd >= 0;
    }

    void armRetry()
    {
        if (retryTimer != 0)
            return;
        std::weak_ptr<State> weak = weak_from_this();
        retryTimer = loop->addTimer(
            latency,
            [weak] {
                auto self = weak.lock();
                if (!self)
                    return;
                std::lock_guard lock(self->mutex);
                if (self->stopped || self->retryTimer == 0 || !self->tryRoot())
                    return;
                self->loop->cancelTimer(self->retryTimer);
                self->retryTimer = 0;
                self->appendRoot(FileEvent::RootChanged | FileEvent::MustScanSubDirs);
            },
            latency);
    }

    void kernelQueueOverflowed()
    {
        appendRoot(FileEvent::MustScanSubDirs);
        // Directories made while events were lost have no watch yet.
        if (rootWd >= 0)
            addTree(root, false);
    }

    void handle(const inotify_event& event, std::string_view name)
    {
        if (event.mask & IN_Q_OVERFLOW) {
            kernelQueueOverflowed();
            return;
        }
        auto it = watches.find(event.wd);
        if (it == watches.end())
            return;
        if (event.mask & IN_IGNORED) {
            const bool wasRoot = event.wd == rootWd;
            watches.erase(it);
            if (wasRoot)
                rootLost();
            return;
        }
        if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
            // A sub-directory's removal or move is reported by its parent; only the root's matters.
            if (event.wd == rootWd)
                rootLost();
            return;
        }
        const std::string path = name.empty() ? it->second : it->second + "/" + std::string(name);
        const unsigned flags = translate(event.mask);
        if (event.mask & IN_ISDIR) {
            if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
                append(path, flags);
                addTree(path, true);
                return;
            }
            if (event.mask & (IN_DELETE | IN_MOVED_FROM))
                removeTree(path);
        }
        append(path, flags);
    }

    void readEvents()
    {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (n < 0 && errno != EAGAIN)
                    Log::line(std::string("FileEventStream: reading events failed: ") + std::strerror(errno));
                return;
            }
            const char* p = buffer;
            const char* end = buffer + n;
            while (end - p >= static_cast<std::ptrdiff_t>(sizeof(inotify_event))) {
                inotify_event event;
                std::memcpy(&event, p, sizeof event);
                const char* nameStart = p + sizeof(inotify_event);
                if (event.len > static_cast<std::size_t>(end - nameStart))
                    break; // never happens with a whole read; do not trust it all the same
                handle(event, std::string_view(nameStart, strnlen(nameStart, event.len)));
                p = nameStart + event.len;
            }
        }
    }
};

FileEventStream::FileEventStream(std::string root, Callback callback)
    : FileEventStream(std::move(root), std::move(callback), Options {})
{ }

FileEventStream::FileEventStream(std::string root, Callback callback, Options options)
    : root_(withoutTrailingSlashes(std::move(root)))
    , callback_(std::move(callback))
    , options_(std::move(options))
{ }

FileEventStream::~FileEventStream()
{
    stop();
}

std::optional<ErrorValue> FileEventStream::start()
{
    if (state_)
        return std::nullopt;
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return ErrorValue { kPosixErrorDomain, error,
            std::string("The file event stream cannot be started: ") + std::strerror(error), {} };
    }

    auto state = std::make_shared<State>();
    state->fd = fd;
    state->root = root_;
    state->callback = callback_;
    state->latency = options_.latency > 0 ? options_.latency : 0;
    state->maxBatchEvents = options_.maxBatchEvents > 0 ? options_.maxBatchEvents : 1;
    state->maxWatches = options_.maxWatches > 0 ? options_.maxWatches : 1;
    state->mainQueue = options_.mainQueue ? options_.mainQueue : MainQueue::shared();
    state->loop = options_.loop;
    if (!state->loop) {
        std::promise<std::shared_ptr<RunLoop>> started;
        auto future = started.get_future();
        state->thread = std::thread([quit = state->quit, &started] {
            auto loop = RunLoop::current();
            started.set_value(loop);
            while (!quit->load())
                loop->runFor(0.5);
        });
        state->loop = future.get();
    }

    std::weak_ptr<State> weak = state;
    bool sourceSet = false;
    {
        std::lock_guard lock(state->mutex);
        if (!state->tryRoot())
            state->armRetry();
        sourceSet = state->loop->setSource(fd, RunLoop::Readable, [weak](int, unsigned events) {
            auto self = weak.lock();
            if (!self)
                return;
            std::lock_guard selfLock(self->mutex);
            if (self->stopped || self->fd < 0)
                return;
            if (events & RunLoop::Error) {
                self->loop->removeSource(self->fd);
                return;
            }
            self->readEvents();
        });
    }
    state_ = std::move(state);
    if (!sourceSet) {
        stop();
        return ErrorValue { kPosixErrorDomain, ESHUTDOWN, "The file event stream's run loop has ended", {} };
    }
    return std::nullopt;
}

void FileEventStream::stop()
{
    if (!state_)
        return;
    std::shared_ptr<State> state = std::move(state_);
    state->stopped = true;
    {
        std::lock_guard lock(state->mutex);
        state->loop->removeSource(state->fd);
        if (state->flushTimer != 0)
            state->loop->cancelTimer(state->flushTimer);
        if (state->retryTimer != 0)
            state->loop->cancelTimer(state->retryTimer);
        state->flushTimer = state->retryTimer = 0;
        state->pending.clear();
    }
    if (state->thread.joinable()) {
        state->quit->store(true);
        state->loop->stop();
        if (state->thread.get_id() == std::this_thread::get_id())
            state->thread.detach();
        else
            state->thread.join();
    }
    // The descriptor is closed with the state, once no callback holds it any more.
}

bool FileEventStream::isRunning() const
{
    return state_ != nullptr;
}

std::size_t FileEventStream::watchCount() const
{
    if (!state_)
        return 0;
    std::lock_guard lock(state_->mutex);
    return state_->watches.size();
}

} // namespace norvane
