// Background copies of large folder trees: one small transaction per copied entry, so that other
// requests go on while the copy runs.

#include "server/store/StoreState.h"

#include <chrono>
#include <deque>

namespace norvane::server {

void ServerStore::State::startBackgroundCopy(
    const User& user, const Node& source, const Node& dest, std::int64_t entries, std::int64_t bytes)
{
    auto copy = std::make_shared<RunningCopy>(RunningCopy { source.id(), dest.id(), user.id, bytes });
    copies.push_back(copy);
    // Workers that have ended are joined here, so that a long-running server does not collect them.
    std::erase_if(copyWorkers, [](auto& worker) {
        if (!worker.second->load())
            return false;
        worker.first.join();
        return true;
    });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    copyWorkers.emplace_back(std::thread([this, user, copy, entries, finished] {
        runBackgroundCopy(user, copy, entries);
        finished->store(true);
    }),
        finished);
}

void ServerStore::State::runBackgroundCopy(
    const User& user, const std::shared_ptr<RunningCopy>& copy, std::int64_t total)
{
    auto finish = [&](std::unique_lock<std::mutex>& lock) {
        std::erase(copies, copy);
        lock.unlock();
        changed.notify_all();
    };
    std::int64_t done = 1; // the destination folder exists already
    std::int64_t shownPercent = 0;
    // The source tree cannot change while the copy runs (changes to it are refused), so it is
    // walked folder by folder without holding anything in between.
    std::deque<std::pair<std::int64_t, std::int64_t>> folders { { copy->sourceId, copy->destId } };
    try {
        while (!folders.empty()) {
            const auto [sourceId, destId] = folders.front();
            folders.pop_front();
            std::vector<Node> children;
            Node dest;
            {
                std::unique_lock lock(mutex);
                if (stopping)
                    return finish(lock);
                auto sourceNode = nodeById(sourceId);
                auto destNode = nodeById(destId);
                if (!sourceNode || !destNode)
                    throw std::runtime_error("the copied tree vanished");
                children = childrenOf(*sourceNode);
                dest = std::move(*destNode);
            }
            for (const Node& child : children) {
                std::unique_lock lock(mutex);
                if (stopping)
                    return finish(lock);
                Transaction tx(*db);
                Node clone = cloneFor(user, child, dest, nextStamp());
                const std::int64_t id = insertNode(clone);
                ++done;
                if (!child.entry.isFolder)
                    copy->pendingBytes -= child.entry.size;
                // 100 only once the copy has ended: the last step still has to clear the fields.
                const std::int64_t percent = std::min<std::int64_t>(99, done * 100 / total);
                if (percent != shownPercent) {
                    db->prepare("UPDATE entries SET action_progress = ?2 WHERE id = ?1")
                        .with(copy->destId, std::to_string(percent))
                        .run();
                    shownPercent = percent;
                }
                tx.commit();
                if (child.entry.isFolder)
                    folders.emplace_back(child.id(), id);
                // Lowering the delay (or stopping) cuts a wait short.
                if (int delay = copyStepDelayMs.load(); delay > 0)
                    changed.wait_for(lock, std::chrono::milliseconds(delay),
                        [&] { return stopping || copyStepDelayMs.load() < delay; });
            }
        }
        std::unique_lock lock(mutex);
        db->prepare("UPDATE entries SET action_type = '', action_file_type = '', action_progress = '', "
                    "action_src = '', action_dest = '', stamp = ?2 WHERE id = ?1")
            .with(copy->destId, nextStamp())
            .run();
        finish(lock);
    } catch (...) {
        // A half copy is worse than none: what was copied goes again.
        std::string reason = "unknown failure";
        try {
            throw;
        } catch (const std::exception& error) {
            reason = error.what();
        } catch (const Refusal& refusal) {
            reason = refusal.failure.detail;
        } catch (...) { }
        Log::line("store: background copy failed: " + reason);
        std::unique_lock lock(mutex);
        try {
            if (auto dest = nodeById(copy->destId)) {
                Transaction tx(*db);
                std::vector<std::string> freed;
                deleteTree(*dest, freed);
                tx.commit();
                releaseBlobs(freed);
            }
        } catch (const std::exception& cleanup) {
            Log::line(std::string("store: cannot remove the unfinished copy: ") + cleanup.what());
        }
        finish(lock);
    }
}

void ServerStore::State::discardInterruptedCopies()
{
    std::vector<std::int64_t> ids;
    auto stmt = db->prepare("SELECT id FROM entries WHERE action_type = 'COPY'");
    while (stmt.step())
        ids.push_back(stmt.int64(0));
    if (ids.empty())
        return;
    Transaction tx(*db);
    std::vector<std::string> freed; // the orphan sweep of open() deletes their files
    for (std::int64_t id : ids) {
        if (auto node = nodeById(id)) {
            Log::line("store: removing the unfinished copy " + pathText(node->entry.path));
            deleteTree(*node, freed);
        }
    }
    tx.commit();
}

void ServerStore::setCopyInBackgroundAbove(std::size_t entries)
{
    state_->copyInBackgroundAbove = entries;
}

void ServerStore::setCopyStepDelayMs(int milliseconds)
{
    {
        std::lock_guard lock(state_->mutex);
        state_->copyStepDelayMs = milliseconds;
    }
    state_->changed.notify_all();
}

void ServerStore::waitForBackgroundCopies()
{
    decltype(state_->copyWorkers) workers;
    {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait(lock, [&] { return state_->copies.empty(); });
        workers = std::move(state_->copyWorkers);
        state_->copyWorkers.clear();
    }
    for (auto& worker : workers)
        worker.first.join();
}

} // namespace norvane::server
