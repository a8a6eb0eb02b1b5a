#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/NetPrintInfo.h"
#include "cli/CliCommands.h"
#include "cli/CliSession.h"
#include "cli/LocalisedText.h"
#include "platform/AlertPresenter.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace norvane::cli {

namespace {

using Done = std::function<void(std::int32_t)>;

// The file a path names; none (after an alert) for a folder or a path that is not there.
CliSession::Resolved fileAt(CliSession& session, const RemotePath& path)
{
    if (path.isRoot()) {
        AlertPresenter::shared()->show("", "message_not_a_file", path.text());
        return { ResultFailed, nullptr };
    }
    auto resolved = session.resolve(path);
    if (resolved.result == ResultSuccess && !resolved.entry->isFile()) {
        AlertPresenter::shared()->show("", "message_not_a_file", path.text());
        return { ResultFailed, nullptr };
    }
    return resolved;
}

std::int32_t fetchJobs(CliSession& session, std::vector<NetPrintInfo>& jobs)
{
    auto holder = std::make_shared<std::vector<NetPrintInfo>>();
    const std::int32_t result = session.run([holder](Done done) {
        StorageServiceLogic::getNetPrintInfo<NetPrintInfo>(
            [holder, done](std::int32_t code, std::optional<std::vector<NetPrintInfo>> list) {
                if (list)
                    *holder = std::move(*list);
                done(code);
            });
    });
    if (result == ResultSuccess) {
        jobs = *holder;
        session.manager().setNetPrintList(jobs);
    }
    return result;
}

bool printable(const NetPrintInfo& job)
{
    long code = 0;
    auto [end, error] = std::from_chars(job.resultCode.data(), job.resultCode.data() + job.resultCode.size(), code);
    return job.resultCode.empty() || error != std::errc() || code < 1;
}

nlohmann::json jobJson(const NetPrintInfo& job)
{
    return {
        { "key", job.key },
        { "fileName", job.fileName },
        { "printId", job.printID },
        { "resultCode", job.resultCode },
        { "registered", job.uploadDate },
        { "until", job.endDate },
        { "printable", printable(job) },
        { "printableCount", job.printableCount },
        { "printedCount", job.printFinishCount },
    };
}

// The print list's text for a job: its print number, or why it cannot be printed.
std::string jobLine(const NetPrintInfo& job)
{
    const std::string state = printable(job) ? localisedFormat("custom_print_number", { job.printID })
                                             : localisedFormat("custom_can_not_print", { job.resultCode });
    return job.fileName + "  " + state + "  " + job.uploadDate + " - " + job.endDate;
}

} // namespace

Outcome CliCommands::share(CliSession& session)
{
    const Invocation& in = session.invocation();
    ConfigInfo& config = session.config();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);

    // The server's limits, as its policies last said.
    const long maxDays = std::max<long>(1, static_cast<long>(config.webPublishMaxDay()));
    const long maxCount = std::max<long>(1, static_cast<long>(config.webPublishMaxCount()));
    long days = std::clamp<long>(static_cast<long>(config.webPublishInitDay()), 1, maxDays);
    long count = std::clamp<long>(static_cast<long>(config.webPublishInitCount()), 1, maxCount);
    if (auto text = in.value("days")) {
        auto number = CommandLine::number(*text, 1, maxDays);
        if (!number)
            return Outcome::usage("--days takes 1 to " + std::to_string(maxDays) + " (the server's limit)");
        days = *number;
    }
    if (auto text = in.value("count")) {
        auto number = CommandLine::number(*text, 1, maxCount);
        if (!number)
            return Outcome::usage("--count takes 1 to " + std::to_string(maxCount) + " (the server's limit)");
        count = *number;
    }
    if (config.webPublishEnable() == 0) {
        AlertPresenter::shared()->show("", "message_web_share_disabled");
        return Outcome::ofResult(ResultFailed);
    }

    auto file = fileAt(session, *path);
    if (file.result != ResultSuccess)
        return Outcome::ofResult(file.result);
    const std::int64_t limitMB = config.webPublishMaxFileSize();
    if (limitMB > 0 && file.entry->fileSize > static_cast<std::uint64_t>(limitMB) * 1048576u) {
        AlertPresenter::shared()->show(
            localisedFormat("custom_more_size_can_not_link_create", { std::to_string(limitMB) }), "");
        return Outcome::ofResult(ResultTooLarge);
    }

    auto link = std::make_shared<StorageServiceLogic::PublishResult>();
    const std::string key = file.entry->uk.value_or("");
    const std::int32_t result = session.run([&](Done done) {
        StorageServiceLogic::publishFile(key, static_cast<int>(days), static_cast<int>(count), 1,
            [link, done](std::int32_t code, const StorageServiceLogic::PublishResult& made) {
                *link = made;
                done(code);
            });
    });
    if (result != ResultSuccess) {
        // The operation shows the transport's alerts; the refusals are the dialog's to tell.
        if (result != ResultUnreachable && result != ResultCancelled && result != ResultIsCopySource
            && result != ResultIsCopyDest && result != ResultInvalidArgument && result != ResultBadRequest)
            AlertPresenter::shared()->show("", "message_can_not_link_create");
        return Outcome::ofResult(result);
    }

    // The server may name the link in full, or as a path under the login server's address.
    std::string url = (*link)["downloadUrl"];
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
        const StorageServiceConfig service = AppDataManager::makeStorageServiceConfig(config, "en");
        url = service.authenticationUrl() + url;
    }
    const std::string password = (*link)["downloadPassword"];
    const std::string validDay = (*link)["validDay"];
    Reporter& reporter = session.reporter();
    reporter.line("link:        " + url);
    reporter.line("password:    " + password);
    reporter.line("valid until: " + validDay);
    reporter.line("downloads:   " + std::to_string(count));
    auto& out = reporter.result();
    out["path"] = path->text();
    out["url"] = url;
    out["downloadPassword"] = password;
    out["validUntil"] = validDay;
    out["days"] = days;
    out["count"] = count;
    return Outcome::ofResult(result);
}

Outcome CliCommands::print(CliSession& session)
{
    const Invocation& in = session.invocation();
    std::string error;
    auto path = remoteArgument(in.arguments[0], &error);
    if (!path)
        return Outcome::usage(error);
    long days = 1;
    if (auto text = in.value("days")) {
        auto number = CommandLine::number(*text, 1, 30);
        if (!number)
            return Outcome::usage("--days takes 1 to 30");
        days = *number;
    }
    // The print dialog's rule: exactly four digits.
    const std::string password = in.value("password").value_or("");
    if (in.value("password")) {
        const bool fourDigits = password.size() == 4
            && std::all_of(password.begin(), password.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!fourDigits) {
            AlertPresenter::shared()->show(
                password.empty() ? "message_please_set_password" : "message_please_set_password_num", "");
            return Outcome::ofResult(ResultFailed);
        }
    }

    auto file = fileAt(session, *path);
    if (file.result != ResultSuccess)
        return Outcome::ofResult(file.result);

    // The registration reports its print number only in its alert; the new job in the list says
    // it again, so the list is read before and after.
    std::vector<NetPrintInfo> before;
    const bool listedBefore = fetchJobs(session, before) == ResultSuccess;
    const std::string key = file.entry->uk.value_or("");
    const std::string day = std::to_string(days);
    const std::int32_t result
        = session.run([&](Done done) { StorageServiceLogic::netPrint(key, password, day, std::move(done)); });
    auto& out = session.reporter().result();
    out["path"] = path->text();
    out["days"] = days;
    if (result != ResultSuccess)
        return Outcome::ofResult(result);

    std::vector<NetPrintInfo> after;
    if (!listedBefore || fetchJobs(session, after) != ResultSuccess)
        return Outcome::ofResult(result);
    std::set<std::string> known;
    for (const auto& job : before)
        known.insert(job.key);
    for (const auto& job : after) {
        if (known.count(job.key))
            continue;
        out["job"] = jobJson(job);
        session.reporter().line(jobLine(job));
        return Outcome::ofResult(printable(job) ? ResultSuccess : ResultFailed);
    }
    // A registration the print service refused (too large, too many jobs) still completes the
    // request; its alert said why, and no job came of it.
    return Outcome::ofResult(ResultFailed);
}

Outcome CliCommands::jobs(CliSession& session)
{
    std::vector<NetPrintInfo> list;
    const std::int32_t result = fetchJobs(session, list);
    if (result != ResultSuccess) {
        if (result != ResultCancelled && result != ResultUnreachable)
            AlertPresenter::shared()->show("warning", "get_folder_failed");
        else if (result == ResultUnreachable)
            AlertPresenter::shared()->show("Network Error", "Can't connect to network.");
        return Outcome::ofResult(result);
    }
    nlohmann::json jobs = nlohmann::json::array();
    for (const auto& job : list) {
        session.reporter().line(jobLine(job));
        jobs.push_back(jobJson(job));
    }
    session.reporter().result()["jobs"] = jobs;
    return Outcome::ofResult(result);
}

} // namespace norvane::cli
