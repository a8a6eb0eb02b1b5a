// Print jobs registered by users, kept until they remove them.

#include "server/store/Random.h"
#include "server/store/StoreState.h"

namespace norvane::server {

StoreResult<PrintJob> ServerStore::addPrintJob(const PrintJob& job)
{
    return guarded<PrintJob>("addPrintJob", [&] {
        std::lock_guard lock(state_->mutex);
        if (!state_->loadUser(job.userId))
            refuse(StoreError::NotFound, "no user " + std::to_string(job.userId));
        PrintJob stored = job;
        if (stored.key.empty())
            stored.key = randomUrlToken(24);
        try {
            state_->db
                ->prepare("INSERT INTO print_jobs (key, user_id, result_code, file_name, print_id, upload_date, "
                          "end_date, thumbnail, access_key, printable_count, print_finish_count) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)")
                .with(stored.key, stored.userId, stored.resultCode, stored.fileName, stored.printId, stored.uploadDate,
                    stored.endDate, stored.thumbnail, stored.accessKey, stored.printableCount, stored.printFinishCount)
                .run();
        } catch (const DatabaseError& error) {
            if (error.isConstraint())
                refuse(StoreError::Exists, "a print job with that key exists");
            throw;
        }
        return stored;
    });
}

StoreResult<std::vector<PrintJob>> ServerStore::printJobs(std::int64_t userId)
{
    return guarded<std::vector<PrintJob>>("printJobs", [&] {
        std::lock_guard lock(state_->mutex);
        auto stmt = state_->db->prepare(
            "SELECT key, user_id, result_code, file_name, print_id, upload_date, end_date, thumbnail, access_key, "
            "printable_count, print_finish_count FROM print_jobs WHERE user_id = ?1 ORDER BY seq");
        stmt.with(userId);
        std::vector<PrintJob> jobs;
        while (stmt.step()) {
            jobs.push_back({ stmt.text(0), stmt.int64(1), stmt.text(2), stmt.text(3), stmt.text(4), stmt.text(5),
                stmt.text(6), stmt.text(7), stmt.text(8), stmt.text(9), stmt.text(10) });
        }
        return jobs;
    });
}

StoreStatus ServerStore::removePrintJob(std::int64_t userId, const std::string& key)
{
    return guarded<Done>("removePrintJob", [&] {
        std::lock_guard lock(state_->mutex);
        state_->db->prepare("DELETE FROM print_jobs WHERE user_id = ?1 AND key = ?2").with(userId, key).run();
        if (state_->db->changes() == 0)
            refuse(StoreError::NotFound, "no such print job");
        return Done {};
    });
}

} // namespace norvane::server
