// The requests that hand a stored file to another service through the storage server: a web
// download link ("MAKEURL") and a registration with the print service ("NETPRINT").

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "platform/AlertPresenter.h"
#include "platform/Log.h"

#include <cmath>

namespace norvane {

namespace {

// An option as header text: text as it is, whole numbers in decimal; nothing for other values,
// which then send no header.
std::optional<std::string> optionText(const ValueMap& option, std::string_view key)
{
    auto it = option.find(key);
    if (it == option.end())
        return std::nullopt;
    const Value& value = it->second;
    if (const std::string* text = value.string())
        return *text;
    if (value.isInteger())
        return std::to_string(value.toInt64());
    if (value.isBool())
        return value.toBool() ? "1" : "0";
    if (value.isDouble()) {
        double d = value.toDouble();
        if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9.0e15)
            return std::to_string(static_cast<std::int64_t>(d));
    }
    return std::nullopt;
}

std::unique_ptr<GDataXMLDocument> documentOf(const std::optional<std::string>& body)
{
    if (!body || body->empty())
        return nullptr;
    auto document = GDataXMLDocument::initWithXMLString(*body);
    if (!document || !document->rootElement())
        return nullptr;
    return document;
}

const GDataXMLElement* firstChild(const GDataXMLElement& parent, const char* name)
{
    auto elements = parent.elementsForName(name);
    return elements.empty() ? nullptr : elements.front();
}

std::string textOfFirstChild(const GDataXMLElement* parent, const char* name)
{
    const GDataXMLElement* child = parent ? firstChild(*parent, name) : nullptr;
    return child ? child->stringValue().value_or(std::string()) : std::string();
}

// 23 or 24 for a file that is the source or the destination of a copy in progress; none for any
// other conflict.
std::optional<std::int32_t> copyConflict(const std::optional<std::string>& body)
{
    auto code = RestStorageServiceAdaptor::errorCodeOfBody(body.value_or(std::string()));
    if (code == "FileStatusError_isCopySource")
        return ResultIsCopySource;
    if (code == "FileStatusError_isCopyDest")
        return ResultIsCopyDest;
    return std::nullopt;
}

} // namespace

std::int32_t RestStorageServiceAdaptor::publish(
    const std::string& path, const std::string& applicationType, const ValueMap& option, Bytes& resData)
{
    if (!isStorageKey(path))
        return refuseKey("the file of a web link");
    auto request = makeStorageRequest("/MAKEURL", "POST");
    const std::pair<const char*, const char*> optionHeaders[] = {
        { kPublishOptionPeriod, "x-zel-makeurl-valid-day" },
        { kPublishOptionTimes, "x-zel-makeurl-download-limit" },
        { kPublishOptionNeedPassword, "x-zel-makeurl-needpass" },
    };
    for (const auto& [key, header] : optionHeaders) {
        if (auto text = optionText(option, key))
            request->addRequestHeader(header, *text);
    }
    request->addRequestHeader("x-zel-makeurl-folder", "");
    request->addRequestHeader("x-zel-makeurl-file", path);
    makeHeader(*request, applicationType);
    std::int32_t code = runRequest(*request, kShortWaitSlice);
    if (code != ResultNone)
        return code;

    const int status = request->responseStatusCode();
    const auto body = request->responseString();
    if (!request->error() && status == 200) {
        postNotification(request->responseHeaders());
        if (body)
            resData.insert(resData.end(), body->begin(), body->end());
        return ResultSuccess;
    }
    if (status == 409) {
        if (auto conflict = copyConflict(body))
            return *conflict;
    }

    // The user hears why the link was not made, in the server's words when it gave any.
    auto document = documentOf(body);
    std::string title = status == 503 ? "word_other_error" : "";
    std::string message = document ? textOfFirstChild(document->rootElement(), "Message") : std::string();
    if (title.empty() && message.empty())
        AlertPresenter::shared()->show({}, "message_can_not_link_create");
    else
        AlertPresenter::shared()->show(title, {}, message);
    Log::line("Web link not made: status " + std::to_string(status));
    return ResultFailed;
}

std::int32_t RestStorageServiceAdaptor::netPrint(const std::string& path, const std::string& password,
    const std::string& day, std::string& outputMessage, std::string& outputMessage2)
{
    outputMessage.clear();
    outputMessage2.clear();
    if (!isStorageKey(path))
        return refuseKey("the file to print");
    auto request = makeStorageRequest("/NETPRINT", "POST");
    request->addRequestHeader("x-zel-netprint-file", path);
    request->addRequestHeader("x-zel-netprint-password", password);
    request->addRequestHeader("x-zel-netprint-keepday", day);
    makeHeader(*request, "file");
    std::int32_t code = runRequest(*request, kLongWaitSlice);
    if (code != ResultNone)
        return code;

    const int status = request->responseStatusCode();
    const auto body = request->responseString();
    auto document = documentOf(body);
    if (!document)
        return ResultFailed;
    // The texts are read whatever the status: a refusal explains itself in them too.
    const GDataXMLElement* resultInfo = firstChild(*document->rootElement(), "ResultInfo");
    outputMessage = textOfFirstChild(resultInfo, "detail");
    outputMessage2 = textOfFirstChild(resultInfo, "faultdetail");

    if (status == 409)
        return copyConflict(body).value_or(ResultConflict);
    if (!request->error() && status == 200)
        return ResultSuccess;
    return ResultFailed;
}

} // namespace norvane
