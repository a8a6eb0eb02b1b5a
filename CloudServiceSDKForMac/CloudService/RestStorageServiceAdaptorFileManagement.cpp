#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include "formats/HttpDate.h"

#include <vector>

namespace norvane {

namespace {

// Longer destinations are sent as they are.
constexpr std::size_t kMaxStandardizedPathLength = 1024;

std::string responseText(const ASIHTTPRequest& request)
{
    auto data = request.responseData();
    return data ? std::string(data->begin(), data->end()) : std::string();
}

// A request refused with 409: what the server's code says happened.
std::int32_t transferConflict(const ASIHTTPRequest& request)
{
    auto code = RestStorageServiceAdaptor::errorCodeOfBody(responseText(request));
    if (code == "ResourceChanged")
        return ResultResourceChanged;
    if (code == "FileStatusError_isCopySource")
        return ResultIsCopySource;
    if (code == "FileStatusError_isCopyDest")
        return ResultIsCopyDest;
    return ResultWriteConflict;
}

// Success is a 2xx; any other status is a refusal whose detail the caller gets, and a transport
// failure already left its own.
std::int32_t refusal(RestStorageServiceAdaptor& adaptor, const ASIHTTPRequest& request)
{
    if (request.responseStatusCode() != 0 && !request.error())
        adaptor.setStorageDetailErr(RestStorageServiceAdaptor::statusError(request));
    return ResultFailed;
}

std::string now()
{
    return rfc1123String(std::chrono::system_clock::now());
}

} // namespace

std::string RestStorageServiceAdaptor::standardizedPath(std::string_view path)
{
    const bool absolute = path.starts_with('/');
    std::vector<std::string_view> parts;
    std::size_t climbs = 0; // ".." of a relative path that have nothing to remove
    while (!path.empty()) {
        auto slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            else if (!absolute)
                ++climbs;
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (std::size_t i = 0; i < climbs; ++i)
        out += i == 0 ? ".." : "/..";
    for (auto part : parts) {
        if (absolute || !out.empty())
            out += '/';
        out += part;
    }
    if (out.empty())
        return absolute ? "/" : "";
    return out;
}

std::int32_t RestStorageServiceAdaptor::cp(const std::string& path, const std::string& fromSourceFile,
    const std::string& applicationType, std::int32_t, std::int32_t accessFlag, bool overwriteFlag,
    const ValueMap& option)
{
    const std::string destination = path.size() <= kMaxStandardizedPathLength ? standardizedPath(path) : path;
    if (!isStorageKey(fromSourceFile))
        return refuseKey("the copy's source");
    auto request = makeStorageRequest(destination, "PUT");
    if (!request)
        return ResultFailed;
    makeHeader(*request, applicationType);
    request->addRequestHeader("x-zel-copy-src", fromSourceFile);
    request->addRequestHeader("x-zel-editpermission", std::to_string(accessFlag));
    request->addRequestHeader("x-zel-uptype", overwriteFlag ? "0" : "1");
    if (auto value = optionHeaderText(option, "ownername"))
        request->addRequestHeader("x-zel-ownername", percentEscapeForHeader(*value));
    if (auto value = optionHeaderText(option, "creationdate"))
        request->addRequestHeader("x-zel-creationdate", *value);
    if (auto value = optionHeaderText(option, "owner"))
        request->addRequestHeader("x-zel-owner", *value);
    if (auto value = optionHeaderText(option, "author"))
        request->addRequestHeader("x-zel-author", *value);
    if (auto value = optionHeaderText(option, "authorname"))
        request->addRequestHeader("x-zel-authorname", percentEscapeForHeader(*value));
    request->addRequestHeader("x-zel-modifydate", now());

    std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    if (mapped != ResultNone)
        return mapped;
    const int status = request->responseStatusCode();
    if (status == 409)
        return transferConflict(*request);
    if (answeredWith2xx(*request)) {
        postNotification(request->responseHeaders());
        return ResultSuccess;
    }
    return refusal(*this, *request);
}

std::int32_t RestStorageServiceAdaptor::mv(const std::string& path, const std::string& fromSourceFile,
    const std::string& applicationType, std::int32_t, std::int32_t accessFlag, bool overwriteFlag,
    const ValueMap& option)
{
    if (!isStorageKey(fromSourceFile))
        return refuseKey("the move's source");
    auto request = makeStorageRequest(path, "PUT");
    if (!request)
        return ResultFailed;
    if (auto value = optionHeaderText(option, "author"))
        request->addRequestHeader("x-zel-author", *value);
    if (auto value = optionHeaderText(option, "authorname"))
        request->addRequestHeader("x-zel-authorname", percentEscapeForHeader(*value));
    request->addRequestHeader("x-zel-uptype", overwriteFlag ? "0" : "1");
    request->addRequestHeader("x-zel-editpermission", std::to_string(accessFlag));
    request->addRequestHeader("x-zel-modifydate", now());
    makeHeader(*request, applicationType);
    // A file moves; a folder is renamed in place.
    request->addRequestHeader(applicationType == "file" ? "x-zel-move-src" : "x-zel-folder-rename-src",
        percentEscapeForHeader(fromSourceFile));

    std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    if (mapped != ResultNone)
        return mapped;
    if (request->responseStatusCode() == 409)
        return transferConflict(*request);
    if (answeredWith2xx(*request)) {
        postNotification(request->responseHeaders());
        return ResultSuccess;
    }
    return refusal(*this, *request);
}

std::int32_t RestStorageServiceAdaptor::rm(const std::string& path, const std::string& applicationType)
{
    auto request = makeStorageRequest(path, "DELETE");
    if (!request)
        return ResultFailed;
    makeHeader(*request, applicationType);

    std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    if (mapped != ResultNone)
        return mapped;
    // A 409 is a refusal whatever its code says (a lock, a name taken, a copy running): counting
    // it as done would tell the user that a file still there was deleted.
    if (request->responseStatusCode() == 409)
        return transferConflict(*request);
    if (answeredWith2xx(*request)) {
        postNotification(request->responseHeaders());
        return ResultSuccess;
    }
    return refusal(*this, *request);
}

std::int32_t RestStorageServiceAdaptor::chmod(
    const std::string& path, const std::string& applicationType, std::int32_t, std::int32_t accessFlag)
{
    auto request = makeStorageRequest(path, "PUT");
    if (!request)
        return ResultFailed;
    makeHeader(*request, applicationType);
    request->addRequestHeader("x-zel-editpermission", std::to_string(accessFlag));

    std::int32_t mapped = runRequest(*request, kShortWaitSlice);
    if (mapped != ResultNone)
        return mapped;
    // A 409 is a refusal whatever its code says (a lock, a copy running).
    if (request->responseStatusCode() == 409)
        return transferConflict(*request);
    if (answeredWith2xx(*request))
        return ResultSuccess;
    return refusal(*this, *request);
}

} // namespace norvane
