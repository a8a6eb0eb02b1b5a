#include "app/state/WatchedFiles.h"

#include "app/logic/StorageServiceLogicSupport.h"
#include "app/logic/UnsentEdits.h"
#include "formats/MD5DigestString.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <system_error>

namespace norvane {

namespace fs = std::filesystem;

namespace {

// What a file held when it was last uploaded (or downloaded): equal fingerprints mean an
// upload would change nothing on the server.
struct Fingerprint {
    std::uintmax_t size = 0;
    std::string md5;
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

std::optional<Fingerprint> fingerprintOf(const std::string& path)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error)
        return std::nullopt;
    std::optional<std::string> md5 = MD5DigestOfFile(path);
    if (!md5)
        return std::nullopt;
    return Fingerprint { size, std::move(*md5) };
}

std::optional<fs::file_time_type> modificationDate(const std::string& path)
{
    std::error_code error;
    const fs::file_time_type date = fs::last_write_time(path, error);
    if (error)
        return std::nullopt;
    return date;
}

std::string_view withoutTrailingSlashes(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    return path;
}

std::string_view lastComponent(std::string_view path)
{
    path = withoutTrailingSlashes(path);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view parentOf(std::string_view path)
{
    path = withoutTrailingSlashes(path);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool isSameOrInside(std::string_view path, std::string_view directory)
{
    directory = withoutTrailingSlashes(directory);
    if (path.substr(0, directory.size()) != directory)
        return false;
    return path.size() == directory.size() || directory == "/" || path[directory.size()] == '/';
}

} // namespace

ValueMap WatchEntry::toValueMap() const
{
    ValueMap map {
        { "uk", uk },
        { "serverPath", serverPath },
        { "localPath", localPath },
        { "editpermission", editpermission },
    };
    if (timestamp)
        map.emplace("timestamp", *timestamp);
    const auto since1970 = std::chrono::file_clock::to_sys(lastModified).time_since_epoch();
    map.emplace("lastModified", std::chrono::duration<double>(since1970).count());
    return map;
}

struct WatchedFiles::Core : std::enable_shared_from_this<Core> {
    static constexpr std::int32_t kSuccess = 1;
    static constexpr std::int32_t kCancelled = 4;

    struct Item {
        WatchEntry entry;
        std::uint64_t id = 0;
        // What the server holds as far as this client knows; nothing when unknown.
        std::optional<Fingerprint> uploaded;
        // A change was seen that has not reached the server yet.
        bool unsent = false;
    };
    using Work = std::vector<std::function<void()>>;

    Uploader uploader;
    std::shared_ptr<MainQueue> mainQueue;
    Executor checks;
    NotificationCenter* center = nullptr;
    double settleSeconds = 1.0;
    bool noteUnsent = false;

    // The watch list's lock. Never held while the uploader, the executor or an observer runs.
    mutable std::mutex mutex;
    std::vector<Item> items;
    std::uint64_t nextId = 1;
    std::set<std::uint64_t> settling; // files a writer still had open at the last batch
    MainQueue::Token settleToken = 0;
    bool closed = false;

    Item* find(std::uint64_t id)
    {
        for (Item& item : items)
            if (item.id == id)
                return &item;
        return nullptr;
    }

    const Item* findByName(std::string_view name) const
    {
        for (const Item& item : items)
            if (lastComponent(item.entry.uk) == name)
                return &item;
        return nullptr;
    }

    void run(Work& work)
    {
        for (auto& task : work)
            checks(std::move(task));
        work.clear();
    }

    // Takes note of the file's date and queues a look at its content. Without `direct` news of
    // the file itself, an unchanged date means there is nothing to look at.
    void evaluate(Item& item, bool direct, Work& work)
    {
        const std::optional<fs::file_time_type> date = modificationDate(item.entry.localPath);
        if (!date)
            return;
        if (!direct && *date == item.entry.lastModified)
            return;
        // Kept even when the upload fails, so the same edit is not sent again until the next one.
        item.entry.lastModified = *date;
        std::weak_ptr<Core> weak = weak_from_this();
        work.push_back([weak, id = item.id, path = item.entry.localPath] {
            if (auto self = weak.lock())
                self->checkContent(id, path);
        });
    }

    // On the executor: uploads when the content differs from what the server holds.
    void checkContent(std::uint64_t id, const std::string& path)
    {
        std::optional<Fingerprint> now = fingerprintOf(path);
        if (!now)
            return;
        WatchEntry snapshot;
        {
            std::lock_guard lock(mutex);
            Item* item = find(id);
            if (!item || item->uploaded == now)
                return;
            // Taken as uploaded from now on, so that a second save of the same content while this
            // upload runs sends nothing more; a failure forgets it again.
            item->uploaded = now;
            item->unsent = true;
            snapshot = item->entry;
        }
        // Noted before the upload starts: a crash meanwhile must not make the copy disposable.
        if (noteUnsent)
            UnsentEdits::mark({ snapshot.localPath, snapshot.uk, snapshot.serverPath });
        std::weak_ptr<Core> weak = weak_from_this();
        uploader(snapshot, [weak, id, sent = *now, snapshot](std::int32_t result) {
            if (auto self = weak.lock())
                self->uploadFinished(id, sent, snapshot, result);
        });
    }

    void uploadFinished(std::uint64_t id, const Fingerprint& sent, WatchEntry snapshot, std::int32_t result)
    {
        bool delivered = false;
        {
            std::lock_guard lock(mutex);
            Item* item = find(id);
            if (result != kSuccess) {
                if (item && item->uploaded == sent)
                    item->uploaded.reset(); // unknown: the next change goes up whatever it holds
            } else if (item) {
                snapshot = item->entry;
                // Unless a later change was seen meanwhile, the server now holds the copy.
                if (item->uploaded == sent) {
                    item->unsent = false;
                    delivered = true;
                }
            }
        }
        if (result != kSuccess) {
            // The change is kept in the copy and goes up with the next save; a stop the user
            // asked for needs no word.
            if (result != kCancelled)
                AlertPresenter::shared()->show("warning", "message_watch_file_upload_failed",
                    "\n" + logic::printableName(lastComponent(snapshot.serverPath)));
            return;
        }
        if (delivered && noteUnsent)
            UnsentEdits::clear(snapshot.localPath);
        center->post(kNotificationWatchFileUploaded, nullptr, { { kWatchInfoKey, snapshot.toValueMap() } });
    }

    void scheduleSettle()
    {
        if (settleToken != 0 || settling.empty())
            return;
        std::weak_ptr<Core> weak = weak_from_this();
        settleToken = mainQueue->postDelayed(settleSeconds, [weak] {
            if (auto self = weak.lock())
                self->settle();
        });
    }

    // Files whose writer has not closed them by now are looked at as they are.
    void settle()
    {
        Work work;
        {
            std::lock_guard lock(mutex);
            settleToken = 0;
            if (closed)
                return;
            for (std::uint64_t id : std::exchange(settling, {}))
                if (Item* item = find(id))
                    evaluate(*item, true, work);
        }
        run(work);
    }
};

WatchedFiles::WatchedFiles(Uploader uploader)
    : WatchedFiles(std::move(uploader), Options {})
{ }

WatchedFiles::WatchedFiles(Uploader uploader, Options options)
    : core_(std::make_shared<Core>())
{
    core_->uploader = std::move(uploader);
    core_->mainQueue = options.mainQueue ? std::move(options.mainQueue) : MainQueue::shared();
    core_->center = options.center ? options.center : &NotificationCenter::defaultCenter();
    core_->settleSeconds = options.settleSeconds;
    core_->noteUnsent = options.noteUnsent;
    core_->checks = std::move(options.checks);
    if (!core_->checks) {
        // Shared by every instance and never destroyed, so a check still queued at exit has a
        // queue to finish on; the checks themselves hold the list only weakly.
        static auto* queue = new DispatchQueue("watchFileCheckQueue", 1);
        core_->checks = [](std::function<void()> task) { queue->async(std::move(task)); };
    }
}

WatchedFiles::~WatchedFiles()
{
    std::lock_guard lock(core_->mutex);
    core_->closed = true;
    if (core_->settleToken != 0 && core_->mainQueue->isMainThread())
        core_->mainQueue->cancel(core_->settleToken);
}

bool WatchedFiles::add(const std::string& uk, const std::string& serverPath, const std::string& localPath,
    const std::optional<std::string>& timestamp, const Value& editpermission)
{
    std::uint64_t id = 0;
    {
        std::lock_guard lock(core_->mutex);
        std::erase_if(core_->items, [&](const Core::Item& item) { return item.entry.uk == uk; });
        const std::optional<fs::file_time_type> date = modificationDate(localPath);
        if (!date)
            return false;
        id = core_->nextId++;
        core_->items.push_back({ WatchEntry { uk, serverPath, localPath, timestamp, *date, editpermission }, id, {} });
    }
    if (core_->noteUnsent) {
        // A copy kept for its unsent change was not downloaded again: its content is not what the
        // server holds, and the next change (or a retry) sends it.
        for (const auto& record : UnsentEdits::all()) {
            if (record.localPath == localPath) {
                std::lock_guard lock(core_->mutex);
                if (Core::Item* item = core_->find(id))
                    item->unsent = true;
                return true;
            }
        }
    }
    // The copy was just downloaded: its content is what the server holds.
    std::weak_ptr<Core> weak = core_;
    core_->checks([weak, id, localPath] {
        auto self = weak.lock();
        if (!self)
            return;
        std::optional<Fingerprint> downloaded = fingerprintOf(localPath);
        std::lock_guard lock(self->mutex);
        if (Core::Item* item = self->find(id); item && !item->uploaded)
            item->uploaded = std::move(downloaded);
    });
    return true;
}

void WatchedFiles::remove(std::string_view uk)
{
    std::lock_guard lock(core_->mutex);
    auto& items = core_->items;
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (it->entry.uk == uk) {
            core_->settling.erase(it->id);
            items.erase(it);
            return;
        }
    }
}

std::optional<WatchEntry> WatchedFiles::getWatchInfoByUk(std::string_view name) const
{
    std::lock_guard lock(core_->mutex);
    if (const Core::Item* item = core_->findByName(name))
        return item->entry;
    return std::nullopt;
}

bool WatchedFiles::isModified(std::string_view name) const
{
    std::lock_guard lock(core_->mutex);
    const Core::Item* item = core_->findByName(name);
    if (!item)
        return false;
    const std::optional<fs::file_time_type> date = modificationDate(item->entry.localPath);
    return date && *date != item->entry.lastModified;
}

std::vector<WatchEntry> WatchedFiles::entries() const
{
    std::lock_guard lock(core_->mutex);
    std::vector<WatchEntry> list;
    for (const auto& item : core_->items)
        list.push_back(item.entry);
    return list;
}

std::vector<WatchEntry> WatchedFiles::unsentEntries() const
{
    std::lock_guard lock(core_->mutex);
    std::vector<WatchEntry> list;
    for (const auto& item : core_->items)
        if (item.unsent)
            list.push_back(item.entry);
    return list;
}

void WatchedFiles::retryUnsent()
{
    Core::Work work;
    {
        std::lock_guard lock(core_->mutex);
        for (Core::Item& item : core_->items)
            if (item.unsent)
                core_->evaluate(item, true, work);
    }
    core_->run(work);
}

void WatchedFiles::handleEvents(const std::vector<FileEvent>& events)
{
    enum class Writer { Unknown, Open, Closed };
    struct Touch {
        bool direct = false;
        Writer writer = Writer::Unknown;
    };

    Core::Work work;
    {
        std::lock_guard lock(core_->mutex);
        std::map<std::uint64_t, Touch> touched;
        for (const FileEvent& event : events) {
            const bool scan = (event.flags & FileEvent::MustScanSubDirs) != 0;
            const std::string_view folder = parentOf(event.path);
            for (const Core::Item& item : core_->items) {
                const std::string& local = item.entry.localPath;
                if (scan) {
                    if (isSameOrInside(local, event.path))
                        touched[item.id].direct = true;
                } else if (event.path == local) {
                    Touch& touch = touched[item.id];
                    touch.direct = true;
                    if (event.flags & (FileEvent::ClosedWrite | FileEvent::MovedTo | FileEvent::Found))
                        touch.writer = Writer::Closed;
                    else if (event.flags & (FileEvent::Created | FileEvent::Modified))
                        touch.writer = Writer::Open;
                } else if (folder == parentOf(local) || event.path == parentOf(local)) {
                    touched[item.id]; // something beside it, or its folder: its date tells
                }
            }
        }
        for (const auto& [id, touch] : touched) {
            Core::Item* item = core_->find(id);
            if (!item)
                continue;
            if (touch.writer == Writer::Open) {
                core_->settling.insert(id); // half written: wait for the writer to close it
                continue;
            }
            core_->settling.erase(id);
            core_->evaluate(*item, touch.direct, work);
        }
        core_->scheduleSettle();
    }
    core_->run(work);
}

} // namespace norvane
