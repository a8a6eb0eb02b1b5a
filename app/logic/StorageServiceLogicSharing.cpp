#include "app/logic/StorageServiceLogic.h"

#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "app/logic/StorageServiceLogicSupport.h"
#include "formats/GDataXMLDocument.h"
#include "platform/Strings.h"

#include <charconv>

namespace norvane {

using namespace logic;

namespace {

constexpr const char* kResultTitle = "word_netprint_result";

std::string optionText(const ValueMap& options, const char* key)
{
    auto found = options.find(key);
    if (found == options.end())
        return {};
    if (const std::string* text = found->second.string())
        return *text;
    return found->second.isNumber() ? std::to_string(found->second.toInt64()) : std::string();
}

// The status as a whole decimal number (an optional sign, then digits only).
std::optional<long long> statusNumber(std::string_view status)
{
    long long value = 0;
    const char* begin = status.data();
    const char* end = status.data() + status.size();
    if (begin != end && *begin == '+')
        ++begin;
    auto [rest, error] = std::from_chars(begin, end, value);
    if (begin == end || error != std::errc() || rest != end)
        return std::nullopt;
    return value;
}

void sharingFailureAlert(std::int32_t result)
{
    switch (result) {
    case ResultUnreachable:
        showNetworkError();
        break;
    case ResultIsCopySource:
        showAlert("FileCopySourceErrorMessage", "");
        break;
    case ResultIsCopyDest:
        showAlert("FileCopyDestErrorMessage", "");
        break;
    case ResultInvalidArgument:
        showAlert("message_error_bad_requst_400", "");
        break;
    case ResultBadRequest:
        showAlert("message_network_error_ex_css", "");
        break;
    default:
        break;
    }
}

} // namespace

void StorageServiceLogic::publishFile(
    const std::string& path, int period, int times, int needPassword, PublishCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = CommandFactory::makePublishCommand({}, path);
        command->applicationType.clear();
        ValueMap& options = command->inputParameter->cmdOption;
        options["period"] = std::to_string(period);
        options["times"] = std::to_string(times);
        options["needPassword"] = std::to_string(needPassword);
        const std::int32_t result = runCommand(command);

        PublishResult link;
        const auto& body = command->outputParameter->memoryData;
        if (result == ResultSuccess && body && !body->empty()) {
            link = parsePublishXMLData(*body);
            link["period"] = std::to_string(period);
        }
        sharingFailureAlert(result);
        onMain([&] {
            if (comple)
                comple(result, link);
        });
    });
}

StorageServiceLogic::PublishResult StorageServiceLogic::parsePublishXMLData(std::span<const std::uint8_t> data)
{
    PublishResult link;
    auto document = GDataXMLDocument::initWithData(data);
    GDataXMLElement* root = document ? document->rootElement() : nullptr;
    if (!root)
        return link;
    const std::pair<const char*, const char*> fields[] = {
        { "valid-day", "validDay" },
        { "download-key", "downloadUrl" },
        { "download-password", "downloadPassword" },
    };
    for (const auto& [element, key] : fields) {
        const auto found = root->elementsForName(element);
        if (!found.empty() && found.front())
            link[key] = found.front()->stringValue().value_or("");
    }
    return link;
}

std::pair<std::string, std::string> StorageServiceLogic::netPrintStatusMessage(
    std::string_view status, std::string_view serverMessage)
{
    if (status == "-1" && !serverMessage.empty())
        return { {}, std::string(serverMessage) };
    const auto number = statusNumber(status);
    // A status that is no number (none arrived, or garbage) is no registration: it must not read
    // as the success message.
    if (!number)
        return { {}, "Unknown type: " + std::string(status) };
    if (*number >= 0)
        return { "message_file_print_login_success", {} };
    if (status == "-1")
        return { "message_can_not_login_print_for_sever_access_error", {} };
    if (status == "-2")
        return { "message_can_not_plan_for_big_file_size", {} };
    if (status == "-3")
        return { "message_can_not_plan_for_not_existed_file", {} };
    if (status == "-4")
        return { "message_can_not_plan_for_max_plans", {} };
    return { {}, "Unknown type: " + std::string(status) };
}

void StorageServiceLogic::netPrint(
    const std::string& path, const std::string& password, const std::string& day, ResultCallback comple)
{
    runInBackground([=, comple = std::move(comple)] {
        auto command = CommandFactory::makeNetPrintCommand(path, password, day);
        const std::int32_t result = runCommand(command);
        const ValueMap& out = command->outputParameter->cmdOption;
        const auto [messageKey, text]
            = netPrintStatusMessage(optionText(out, kOptionOutputMessage), optionText(out, kOptionOutputMessage2));
        switch (result) {
        case ResultCancelled:
        case ResultNotModified:
        case ResultNotFound:
        case ResultDeviceNotAuthorized:
            break;
        case ResultUnreachable:
        case ResultIsCopySource:
        case ResultIsCopyDest:
        case ResultInvalidArgument:
        case ResultBadRequest:
            sharingFailureAlert(result);
            break;
        default:
            showAlert(kResultTitle, messageKey, text);
            break;
        }
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

void StorageServiceLogic::fetchNetPrintElements(
    std::function<void(const GDataXMLElement&)> eachElement, ResultCallback comple)
{
    runInBackground([eachElement = std::move(eachElement), comple = std::move(comple)] {
        const auto result = [&]() -> std::int32_t {
            auto body = std::make_shared<Bytes>();
            auto command = CommandFactory::makeGetCommand({}, "/NETPRINT", body);
            command->applicationType = Strings::text("menu_file_netprint");
            const std::int32_t fetched = runCommand(command);
            if (fetched != ResultSuccess)
                return fetched;
            const auto& data = command->outputParameter->memoryData;
            if (!data || data->empty())
                return ResultFailed;
            auto document = GDataXMLDocument::initWithData(*data);
            GDataXMLElement* root = document ? document->rootElement() : nullptr;
            if (!root)
                return ResultFailed;
            const auto faults = root->elementsForName("faultString");
            if (!faults.empty() && faults.front()) {
                const std::string fault = faults.front()->stringValue().value_or("");
                if (!fault.empty()) {
                    showAlert(fault, "");
                    return ResultFailed;
                }
            }
            auto jobs = document->nodesForXPath(
                "//foo:FileInfo", { { "foo", RestStorageServiceAdaptor::kListingNamespaceURI } });
            if (!jobs)
                return ResultFailed;
            for (GDataXMLNode* node : *jobs) {
                const GDataXMLElement* element = node ? node->asElement() : nullptr;
                if (!element)
                    continue;
                if (auto copy = element->copy(); copy && eachElement)
                    eachElement(*copy);
            }
            return ResultSuccess;
        }();
        onMain([&] {
            if (comple)
                comple(result);
        });
    });
}

} // namespace norvane
