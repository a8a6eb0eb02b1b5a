#include "app/logic/StorageServiceLogicSupport.h"

#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "app/logic/StorageServiceLogic.h"
#include "formats/HttpDate.h"
#include "platform/AlertPresenter.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Strings.h"

namespace norvane::logic {

void runInBackground(std::function<void()> work)
{
    DispatchQueue::global().async(std::move(work));
}

void onMain(std::function<void()> fn)
{
    if (!MainQueue::shared()->runSync(std::move(fn)))
        Log::line("An operation's completion did not run to its end on the main queue");
}

std::int32_t runCommand(const CloudServiceCommandPtr& command)
{
    auto environment = OperationEnvironment::shared();
    std::shared_ptr<CloudService> service = environment ? environment->cloudService() : nullptr;
    if (!service) {
        failWithoutRequest(*command, LogicErrorNoService, "No command service is available");
        return command->commandRes;
    }
    service->doCommand(ExecuteModeSync, command);
    return command->commandRes;
}

void failWithoutRequest(CloudServiceCommand& command, long code, std::string description)
{
    Log::line("Operation refused before sending: " + description);
    command.commandErr = ErrorValue { kStorageServiceLogicErrorDomain, code, std::move(description), {} };
    command.commandRes = ResultFailed;
}

AccountSettings accountSettings()
{
    auto environment = OperationEnvironment::shared();
    return environment ? environment->accountSettings() : AccountSettings {};
}

std::string nowRfc1123()
{
    return rfc1123(std::chrono::system_clock::now());
}

std::string rfc1123(const std::chrono::system_clock::time_point& when)
{
    return rfc1123String(when);
}

void showAlert(const std::string& titleKey, const std::string& messageKey, const std::string& detail)
{
    AlertPresenter::shared()->show(titleKey, messageKey, detail);
}

void showNetworkError()
{
    showAlert("Network Error", "Can't connect to network.");
}

std::string formatText(std::string_view key, const std::vector<std::string>& arguments)
{
    const std::string format = Strings::text(key);
    std::string out;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@') {
            if (next < arguments.size())
                out += arguments[next++];
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

std::string joinLines(const std::vector<std::string>& lines)
{
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i != 0)
            out += '\n';
        out += lines[i];
    }
    return out;
}

std::string printableName(std::string_view name)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    const auto escape = [&out](unsigned char u) {
        out += "\\x";
        out += hex[u >> 4];
        out += hex[u & 0x0F];
    };
    for (std::size_t i = 0; i < name.size(); ++i) {
        auto u = static_cast<unsigned char>(name[i]);
        auto next = i + 1 < name.size() ? static_cast<unsigned char>(name[i + 1]) : 0;
        if (u < 0x20 || u == 0x7F) {
            escape(u);
        } else if (u == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control character (U+0080-U+009F) in UTF-8.
            escape(u);
            escape(next);
            ++i;
        } else {
            out += name[i];
        }
    }
    return out;
}

} // namespace norvane::logic
