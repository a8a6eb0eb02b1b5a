#include "server/handlers/PrintHandlers.h"

#include "platform/AsciiText.h"
#include "server/handlers/HandlerSupport.h"
#include "server/http/ByteRange.h"
#include "server/http/RandomText.h"
#include "server/http/ResponseText.h"

#include <algorithm>

namespace norvane::server {

namespace {

constexpr std::int64_t kDefaultKeepDays = 7;
constexpr std::int64_t kMostKeepDays = 30;

void printResult(Exchange& exchange, std::string_view detail, std::string_view faultDetail)
{
    XmlWriter document;
    document.open("NetPrintResult")
        .open("ResultInfo")
        .element("detail", detail)
        .element("faultdetail", faultDetail)
        .close("ResultInfo")
        .close("NetPrintResult");
    exchange.xml(document.take());
}

bool isPrintPassword(std::string_view text)
{
    return text.empty() || (text.size() == 4 && std::all_of(text.begin(), text.end(), ascii::isDigit));
}

} // namespace

void handlePrintRegistration(Exchange& exchange)
{
    auto& store = exchange.store;
    const std::string password = exchange.header("x-zel-netprint-password");
    if (!isPrintPassword(password))
        return exchange.invalidArgument("The print password must be four digits");
    auto file = entryOfKey(exchange, exchange.header("x-zel-netprint-file"));
    if (!file) {
        if (file.failure().error == StoreError::NotFound)
            return printResult(exchange, "-3", "The file does not exist.");
        return exchange.storeFailure(file.failure());
    }
    if (file->entry.isFolder)
        return printResult(exchange, "-3", "A folder cannot be printed.");
    if (refuseWhileCopying(exchange, file->entry, false))
        return;
    if (file->entry.size > kPrintSizeLimit)
        return printResult(exchange, "-2", "The file is larger than 10 MB.");
    auto jobs = store.printJobs(exchange.user->id);
    if (!jobs)
        return exchange.storeFailure(jobs.failure());
    if (jobs->size() >= kPrintJobLimit)
        return printResult(exchange, "-4", "The number of print registrations has reached its limit.");

    std::string printId;
    do {
        printId = secureRandomDigits(8);
    } while (!printId.empty()
        && std::any_of(jobs->begin(), jobs->end(), [&](const PrintJob& job) { return job.printId == printId; }));
    if (printId.empty())
        return exchange.error(500, "InternalError", "No print number could be made");
    auto keepDays
        = parseDecimal(ascii::trimBlanks(exchange.header("x-zel-netprint-keepday"))).value_or(kDefaultKeepDays);
    keepDays = std::clamp<std::int64_t>(keepDays, 1, kMostKeepDays);
    const std::int64_t now = unixSecondsNow();

    PrintJob job;
    job.key = secureRandomHex(10);
    job.userId = exchange.user->id;
    job.resultCode = "0";
    job.fileName = file->entry.name;
    job.printId = printId;
    job.uploadDate = localDateText(now, true);
    job.endDate = localDateText(now + keepDays * 86400, true);
    job.accessKey = secureRandomHex(4);
    job.printableCount = "1";
    job.printFinishCount = "0";
    auto added = store.addPrintJob(job);
    if (!added)
        return exchange.storeFailure(added.failure());
    printResult(exchange, added->printId, "");
}

void handlePrintList(Exchange& exchange)
{
    auto jobs = exchange.store.printJobs(exchange.user->id);
    if (!jobs)
        return exchange.storeFailure(jobs.failure());
    XmlWriter document;
    document.open("NetPrintList", "xmlns", kStorageNamespace);
    for (const auto& job : jobs.value()) {
        document.open("FileInfo")
            .element("Key", job.key)
            .element("resultCode", job.resultCode)
            .element("fileName", job.fileName)
            .element("printID", job.printId)
            .element("uploadDate", job.uploadDate)
            .element("endDate", job.endDate)
            .element("thumbnail", job.thumbnail)
            .element("accessKey", job.accessKey)
            .element("printableCount", job.printableCount)
            .element("printFinishCount", job.printFinishCount)
            .close("FileInfo");
    }
    document.close("NetPrintList");
    exchange.sendBody(document.take(), "application/xml", true);
}

void handlePrintDelete(Exchange& exchange)
{
    auto removed = exchange.store.removePrintJob(exchange.user->id, exchange.target.path.front());
    if (!removed)
        return exchange.storeFailure(removed.failure());
    exchange.status(200);
}

} // namespace norvane::server
