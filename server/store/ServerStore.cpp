#include "server/store/ServerStore.h"

#include "server/store/Schema.h"
#include "server/store/StoreState.h"

#include <unordered_set>

namespace norvane::server {

namespace fs = std::filesystem;

StoreResult<std::unique_ptr<ServerStore>> ServerStore::open(const fs::path& dataDir, const StoreLimits& limits)
{
    try {
        auto state = std::make_unique<State>();
        state->dataDir = dataDir;
        state->limits = limits;
        // Content and accounts are nobody else's business on this machine.
        const bool fresh = !fs::exists(dataDir);
        fs::create_directories(dataDir / "uploads");
        if (fresh)
            fs::permissions(dataDir, fs::perms::owner_all, fs::perm_options::replace);
        state->db = std::make_unique<Database>(dataDir / "norvane.db");
        applySchema(*state->db);
        state->db->setBookkeepingTables({ "sessions", "uploads", "login_failures", "login_addresses" });
        state->blobs = std::make_unique<BlobStore>(dataDir / "blobs");
        state->lastStamp = state->db->scalar("SELECT MAX(stamp) FROM entries", 0);

        state->discardInterruptedCopies();
        state->trimUploadParts();
        std::unordered_set<std::string> referenced;
        auto blobs = state->db->prepare("SELECT DISTINCT blob_id FROM entries WHERE blob_id IS NOT NULL");
        while (blobs.step())
            referenced.insert(blobs.text(0));
        if (std::size_t removed
            = state->blobs->removeOrphans([&](const std::string& id) { return referenced.count(id) > 0; }))
            Log::line("store: removed " + std::to_string(removed) + " content files that no entry refers to");
        std::unique_ptr<ServerStore> store(new ServerStore(std::move(state)));
        if (limits.pruneEvery.count() > 0) {
            State* running = store->state_.get();
            running->pruner = std::thread([running] { running->runPruner(); });
        }
        return store;
    } catch (const std::exception& error) {
        Log::line(std::string("store: cannot open ") + dataDir.string() + ": " + error.what());
        return storeFailure(StoreError::Io, error.what());
    }
}

ServerStore::ServerStore(std::unique_ptr<State> state)
    : state_(std::move(state))
{ }

ServerStore::~ServerStore()
{
    // Running copies stop after their current step; the next open removes what they left.
    decltype(state_->copyWorkers) workers;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        workers = std::move(state_->copyWorkers);
    }
    state_->changed.notify_all();
    for (auto& worker : workers)
        worker.first.join();
    if (state_->pruner.joinable())
        state_->pruner.join();
}

const fs::path& ServerStore::dataDir() const
{
    return state_->dataDir;
}

const StoreLimits& ServerStore::limits() const
{
    return state_->limits;
}

void ServerStore::setClock(StoreClock clock)
{
    std::lock_guard lock(state_->mutex);
    state_->clock = std::move(clock);
}

void ServerStore::advanceClock(std::chrono::seconds by)
{
    {
        std::lock_guard lock(state_->mutex);
        state_->clockShift += by;
        state_->pruneNow = true;
    }
    state_->changed.notify_all();
}

std::chrono::system_clock::time_point ServerStore::now()
{
    std::lock_guard lock(state_->mutex);
    return state_->clock() + state_->clockShift;
}

fs::path ServerStore::blobPath(const std::string& blobId) const
{
    return state_->blobs->pathOf(blobId);
}

} // namespace norvane::server
