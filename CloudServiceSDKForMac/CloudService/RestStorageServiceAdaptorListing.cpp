#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include "CloudServiceSDKForMac/CloudService/LocalStorePaths.h"
#include "formats/XMLHardening.h"

#include "formats/GDataXMLDocument.h"
#include "formats/GDataXMLElement.h"
#include "formats/NSArrayCHCSVAggregator.h"
#include "platform/Log.h"

#include <libxml/parser.h>
#include <libxml/xmlreader.h>

#include <array>
#include <climits>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

// A listing or search result is read in chunks of this size when the configuration names none.
constexpr std::uint64_t kDefaultChunkSize = std::uint64_t { 1 } << 20;

// The same domain and code as a document that the XML model cannot parse.
constexpr const char* kXmlErrorDomain = "GDataXMLErrorDomain";
constexpr long kXmlParseErrorCode = -1;

// The child elements of a listing entry that fill a record.
enum class Field : std::uint8_t {
    Name,
    resourcename,
    folderid,
    fatherid,
    author,
    deviceid,
    Type,
    Size,
    LastModified,
    isEmpty,
    isowner,
    editpermission,
    timestamp,
    fullpath,
    ownername,
    creationdate,
    owner,
    authorname,
    offlineflg,
    expiretime,
    isReadOnly,
    lockUserId,
    lockUserName,
    lockStartTime,
    actionType,
    actionFileType,
    actionProgress,
    actionSrc,
    actionDest,
    isManager,
    count
};

constexpr std::array<std::string_view, static_cast<std::size_t>(Field::count)> kFieldNames = {
    "Name",
    "resourcename",
    "folderid",
    "fatherid",
    "author",
    "deviceid",
    "Type",
    "Size",
    "LastModified",
    "isEmpty",
    "isowner",
    "editpermission",
    "timestamp",
    "fullpath",
    "ownername",
    "creationdate",
    "owner",
    "authorname",
    "offlineflg",
    "expiretime",
    "isReadOnly",
    "lockUserId",
    "lockUserName",
    "lockStartTime",
    "actionType",
    "actionFileType",
    "actionProgress",
    "actionSrc",
    "actionDest",
    "isManager",
};

// Element names are compared as the model compares them: the whole qualified name, so a prefixed
// child never matches. Servers send the children in the table's order, so the look-up starts at
// the name after the one found last (`next`): one comparison per child instead of thirty.
std::optional<Field> fieldOf(std::string_view name, std::size_t& next)
{
    for (std::size_t k = 0; k < kFieldNames.size(); ++k) {
        const std::size_t i = (next + k) % kFieldNames.size();
        if (kFieldNames[i] == name) {
            next = i + 1;
            return static_cast<Field>(i);
        }
    }
    return std::nullopt;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The leading decimal number after blanks and an optional sign, held at the limits of 64 bits; 0
// when there is none.
std::int64_t leadingInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint64_t magnitude = 0;
    const std::uint64_t limit = negative ? std::uint64_t { 1 } << 63 : std::numeric_limits<std::int64_t>::max();
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const auto digit = static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative)
        return magnitude == (std::uint64_t { 1 } << 63) ? std::numeric_limits<std::int64_t>::min()
                                                        : -static_cast<std::int64_t>(magnitude);
    return static_cast<std::int64_t>(magnitude);
}

std::int32_t leadingInt32(std::string_view text)
{
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        leadingInteger(text), std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// A size: never negative.
std::uint64_t leadingSize(std::string_view text)
{
    return static_cast<std::uint64_t>(std::max<std::int64_t>(leadingInteger(text), 0));
}

// "Y", "y", "T", "t" or a non-zero digit, after blanks, a sign and leading zeros.
bool booleanText(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    while (i < text.size() && text[i] == '0')
        ++i;
    if (i == text.size())
        return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

void assign(fileInformation& info, Field field, std::string text)
{
    switch (field) {
    case Field::Name:
        info.displayName = std::move(text);
        break;
    case Field::resourcename:
        // A key is a path of the server; anything else is not taken, so that no request is ever
        // made from it.
        if (RestStorageServiceAdaptor::isStorageKey(text))
            info.uk = std::move(text);
        break;
    case Field::folderid:
        info.folderid = std::move(text);
        break;
    case Field::fatherid:
        info.fatherid = std::move(text);
        break;
    case Field::author:
        info.author = std::move(text);
        break;
    case Field::deviceid:
        info.deviceid = std::move(text);
        break;
    case Field::Type:
        info.fileType = text == "folder" ? 1 : 0;
        break;
    case Field::Size:
        info.fileSize = leadingSize(text);
        break;
    case Field::LastModified:
        info.lastModifiedTime = std::move(text);
        break;
    case Field::isEmpty:
        info.isEmpty = booleanText(text);
        break;
    case Field::isowner:
        info.canEdit = leadingInteger(text);
        break;
    case Field::editpermission:
        info.editpermission = leadingInteger(text);
        break;
    case Field::timestamp:
        info.timestamp = std::move(text);
        break;
    case Field::fullpath:
        info.fullPath = std::move(text);
        break;
    case Field::ownername:
        info.ownername = std::move(text);
        break;
    case Field::creationdate:
        info.creationdate = std::move(text);
        break;
    case Field::owner:
        info.owner = std::move(text);
        break;
    case Field::authorname:
        info.authorname = std::move(text);
        break;
    case Field::offlineflg:
        info.offlineflg = leadingInt32(text);
        break;
    case Field::expiretime:
        info.expiretime = leadingInt32(text);
        break;
    case Field::isReadOnly:
        info.isReadOnly = booleanText(text);
        break;
    case Field::lockUserId:
        info.lockUserId = std::move(text);
        break;
    case Field::lockUserName:
        info.lockUserName = std::move(text);
        break;
    case Field::lockStartTime:
        info.lockStartTime = std::move(text);
        break;
    case Field::actionType:
        info.actionType = std::move(text);
        break;
    case Field::actionFileType:
        info.actionFileType = std::move(text);
        break;
    case Field::actionProgress:
        info.actionProgress = std::move(text);
        break;
    case Field::actionSrc:
        info.actionSrc = std::move(text);
        break;
    case Field::actionDest:
        info.actionDest = std::move(text);
        break;
    case Field::isManager:
        info.isManager = booleanText(text);
        break;
    case Field::count:
        break;
    }
}

// Only the first child of each name counts.
class FieldsSeen {
public:
    bool claim(Field field)
    {
        const std::uint32_t bit = std::uint32_t { 1 } << static_cast<unsigned>(field);
        if (seen_ & bit)
            return false;
        seen_ |= bit;
        return true;
    }

private:
    std::uint32_t seen_ = 0;
};
static_assert(static_cast<unsigned>(Field::count) <= 32);

ErrorValue xmlParseError(std::string description = "XML parse error")
{
    return ErrorValue { kXmlErrorDomain, kXmlParseErrorCode, std::move(description), {} };
}

ErrorValue tooManyEntriesError(std::size_t maxEntries)
{
    return ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorListingTooLarge,
        "The listing holds more than " + std::to_string(maxEntries) + " entries", {} };
}

// Blank text dropped and CDATA as text, as the document model reads; nothing fetched.
constexpr int kListingReaderOptions = XML_PARSE_NOBLANKS | XML_PARSE_NOCDATA | XML_PARSE_NONET;

// ---------------------------------------------------------------------------------------------
// The streaming reader works on libxml2's nodes directly.

std::string_view view(const xmlChar* text)
{
    return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// The text below an element as the model gives it: its text and CDATA in document order,
// references to declared entities dropped rather than expanded.
std::string textBelow(xmlNodePtr top)
{
    std::string text;
    xmlNodePtr cur = top->children;
    while (cur) {
        if ((cur->type == XML_TEXT_NODE || cur->type == XML_CDATA_SECTION_NODE) && cur->content)
            text += view(cur->content);
        if (cur->type == XML_ELEMENT_NODE && cur->children) {
            cur = cur->children;
            continue;
        }
        while (cur && cur != top && !cur->next)
            cur = cur->parent;
        if (!cur || cur == top)
            break;
        cur = cur->next;
    }
    return text;
}

bool isListingEntry(xmlNodePtr node)
{
    return node->type == XML_ELEMENT_NODE && node->ns
        && view(node->ns->href) == RestStorageServiceAdaptor::kListingNamespaceURI && view(node->name) == "Contents";
}

std::shared_ptr<fileInformation> recordOfEntry(xmlNodePtr entry)
{
    auto info = std::make_shared<fileInformation>();
    FieldsSeen seen;
    std::size_t next = 0;
    for (xmlNodePtr child = entry->children; child; child = child->next) {
        if (child->type != XML_ELEMENT_NODE || (child->ns && child->ns->prefix))
            continue;
        auto field = fieldOf(view(child->name), next);
        if (field && seen.claim(*field))
            assign(*info, *field, textBelow(child));
    }
    return info;
}

// Every entry in the subtree of top, top included, in document order (an entry inside an entry
// is one of its own). False, when one more would make more than maxEntries.
bool collectEntries(xmlNodePtr top, FileInfoList& records, std::size_t maxEntries)
{
    xmlNodePtr cur = top;
    while (cur) {
        if (isListingEntry(cur)) {
            if (records.size() >= maxEntries)
                return false;
            records.push_back(recordOfEntry(cur));
        }
        if (cur->type == XML_ELEMENT_NODE && cur->children) {
            cur = cur->children;
            continue;
        }
        while (cur && cur != top && !cur->next)
            cur = cur->parent;
        if (!cur || cur == top)
            break;
        cur = cur->next;
    }
    return true;
}

void ignoreReaderError(void*, xmlErrorPtr)
{ }

struct ReaderDeleter {
    void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};

// The entries of the listing the reader reads, appended to fileInfo when the whole document
// was read and held no more than maxEntries of them.
std::int32_t readListing(xmlTextReader* reader, FileInfoList& fileInfo, ErrorValue* error, std::size_t maxEntries)
{
    auto fail = [&](ErrorValue why) {
        if (error)
            *error = std::move(why);
        return ResultFailed;
    };
    if (!reader)
        return fail(xmlParseError());
    xmlTextReaderSetStructuredErrorHandler(reader, ignoreReaderError, nullptr);
    xmlTextReaderSetParserProp(reader, XML_PARSER_LOADDTD, 0);
    xmlTextReaderSetParserProp(reader, XML_PARSER_DEFAULTATTRS, 0);
    xmlTextReaderSetParserProp(reader, XML_PARSER_VALIDATE, 0);
    xmlTextReaderSetParserProp(reader, XML_PARSER_SUBST_ENTITIES, 0);

    FileInfoList records;
    bool sawRoot = false;
    int step = xmlTextReaderRead(reader);
    while (step == 1) {
        if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT) {
            sawRoot = true;
            if (view(xmlTextReaderConstLocalName(reader)) == "Contents"
                && view(xmlTextReaderConstNamespaceUri(reader)) == RestStorageServiceAdaptor::kListingNamespaceURI) {
                // One entry at a time is built as a tree; it is freed when the reader moves past it.
                xmlNodePtr entry = xmlTextReaderExpand(reader);
                if (!entry)
                    return fail(xmlParseError());
                if (!collectEntries(entry, records, maxEntries))
                    return fail(tooManyEntriesError(maxEntries));
                step = xmlTextReaderNext(reader);
                continue;
            }
        }
        step = xmlTextReaderRead(reader);
    }
    if (step != 0 || !sawRoot)
        return fail(xmlParseError());
    fileInfo.insert(fileInfo.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    return ResultSuccess;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Parsers

std::int32_t RestStorageServiceAdaptor::parseListingDocument(
    std::span<const std::uint8_t> body, FileInfoList& fileInfo, ErrorValue* error)
{
    ErrorValue failure;
    auto document = GDataXMLDocument::initWithData(body, &failure);
    if (!document) {
        if (error)
            *error = failure;
        return ResultFailed;
    }
    auto nodes = document->nodesForXPath("//foo:Contents", { { "foo", kListingNamespaceURI } }, &failure);
    if (!nodes) {
        if (error)
            *error = failure;
        return ResultFailed;
    }
    FileInfoList records;
    records.reserve(nodes->size());
    for (GDataXMLNode* node : *nodes) {
        const GDataXMLElement* entry = node->asElement();
        if (!entry)
            continue;
        auto info = std::make_shared<fileInformation>();
        FieldsSeen seen;
        std::size_t next = 0;
        for (GDataXMLNode* child : entry->children()) {
            if (child->kind() != GDataXMLNode::Kind::Element)
                continue;
            auto field = fieldOf(child->name(), next);
            if (field && seen.claim(*field))
                assign(*info, *field, child->stringValue().value_or(std::string()));
        }
        records.push_back(std::move(info));
    }
    fileInfo.insert(fileInfo.end(), std::make_move_iterator(records.begin()), std::make_move_iterator(records.end()));
    return ResultSuccess;
}

std::int32_t RestStorageServiceAdaptor::parseListing(
    std::span<const std::uint8_t> body, FileInfoList& fileInfo, ErrorValue* error, std::size_t maxEntries)
{
    if (body.size() > static_cast<std::size_t>(INT_MAX)) {
        if (error)
            *error = xmlParseError();
        return ResultFailed;
    }
    initialiseHardenedXMLParser();
    std::unique_ptr<xmlTextReader, ReaderDeleter> reader;
    {
        HardenedXMLParserDefaults defaults;
        static constexpr char kNothing[] = "";
        reader.reset(xmlReaderForMemory(body.empty() ? kNothing : reinterpret_cast<const char*>(body.data()),
            static_cast<int>(body.size()), nullptr, nullptr, kListingReaderOptions));
    }
    return readListing(reader.get(), fileInfo, error, maxEntries);
}

std::int32_t RestStorageServiceAdaptor::parseListingFile(
    const std::string& path, FileInfoList& fileInfo, ErrorValue* error, std::size_t maxEntries)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (error)
            *error = xmlParseError("The listing could not be read back");
        return ResultFailed;
    }
    initialiseHardenedXMLParser();
    std::unique_ptr<xmlTextReader, ReaderDeleter> reader;
    {
        HardenedXMLParserDefaults defaults;
        // Read in small pieces as the parse goes: the body is never in memory as a whole.
        reader.reset(xmlReaderForFd(fd, nullptr, nullptr, kListingReaderOptions));
    }
    const std::int32_t result = readListing(reader.get(), fileInfo, error, maxEntries);
    reader.reset();
    ::close(fd);
    return result;
}

std::int32_t RestStorageServiceAdaptor::parseSearchResult(
    std::string_view body, FileInfoList& fileInfo, ErrorValue* error)
{
    ErrorValue failure;
    auto rows = arrayWithContentsOfCSVString(body, CHCSVEncoding::UTF8, &failure);
    if (!rows) {
        if (error)
            *error = failure;
        return ResultFailed;
    }
    for (auto& row : *rows) {
        if (row.size() < 2)
            continue; // a blank line
        if (row.size() < 15) {
            Log::line("Search result row of " + std::to_string(row.size()) + " fields ends the result");
            return ResultFailed;
        }
        auto info = std::make_shared<fileInformation>();
        info->editpermission = leadingInt32(row[0]);
        info->lastModifiedTime = std::move(row[1]);
        info->displayName = std::move(row[2]);
        // All 64 bits: results of 2 GiB and more keep their size.
        info->fileSize = leadingSize(row[3]);
        info->fileType = row[4] == "folder" ? 1 : 0;
        info->author = std::move(row[5]);
        info->authorname = std::move(row[6]);
        info->creationdate = std::move(row[7]);
        info->fullPath = std::move(row[8]);
        info->owner = std::move(row[9]);
        info->ownername = std::move(row[10]);
        info->timestamp = std::move(row[11]);
        if (isStorageKey(row[12]))
            info->uk = std::move(row[12]);
        info->isEmpty = row[13] == "1";
        if (row.size() >= 18) {
            info->lockUserId = std::move(row[15]);
            info->lockUserName = std::move(row[16]);
            info->lockStartTime = std::move(row[17]);
        }
        if (row.size() >= 23) {
            info->actionType = std::move(row[18]);
            info->actionProgress = std::move(row[19]);
            info->actionFileType = std::move(row[20]);
            info->actionSrc = std::move(row[21]);
            info->actionDest = std::move(row[22]);
        }
        fileInfo.push_back(std::move(info));
    }
    return ResultSuccess;
}

// ---------------------------------------------------------------------------------------------
// Requests

std::int32_t RestStorageServiceAdaptor::downloadWhole(const std::string& path, const ValueMap& option, Bytes& body)
{
    body.clear();
    const std::uint64_t chunk = config_.maxDownloadSize > 0 ? config_.maxDownloadSize : kDefaultChunkSize;
    for (;;) {
        ChunkReply reply;
        std::int32_t result = getChunk(path, "folder", body.size(), chunk, nullptr, 0, 0, option, std::nullopt, reply);
        if (result != ResultSuccess)
            return result;
        if (reply.wholeResource) {
            body = std::move(reply.body);
            return ResultSuccess;
        }
        if (reply.pastEnd)
            return ResultSuccess;
        const std::uint64_t received = reply.body.size();
        if (received > kMaxResultBodySize - body.size()) {
            Log::line("Result refused: larger than " + std::to_string(kMaxResultBodySize) + " bytes");
            return ResultFailed;
        }
        body.insert(body.end(), reply.body.begin(), reply.body.end());
        if (received < chunk)
            return ResultSuccess;
    }
}

std::int32_t RestStorageServiceAdaptor::ls(const std::string& path, FileInfoList& fileInfo, const ValueMap& option)
{
    // The whole listing in one request, into a file that the parse reads back in small pieces: a
    // folder of a million entries is some hundreds of megabytes, which neither a request per
    // megabyte (the server makes the listing anew for each) nor a copy in memory should cost.
    const std::string bodyFile = LocalStorePaths::fullPathOfTempFile(LocalStorePaths::randomName(), kListingCategory);
    struct Remove {
        const std::string& path;
        ~Remove() { ::unlink(path.c_str()); }
    } remove { bodyFile };
    ChunkReply reply;
    std::int32_t result
        = getChunk(path, "folder", 0, kMaxResultBodySize, nullptr, 0, 0, option, std::nullopt, reply, bodyFile);
    if (result != ResultSuccess)
        return result;
    struct stat info { };
    const bool haveBody = !reply.pastEnd && ::stat(bodyFile.c_str(), &info) == 0;
    if (haveBody && static_cast<std::uint64_t>(info.st_size) >= kMaxResultBodySize) {
        Log::line("Listing refused: " + std::to_string(kMaxResultBodySize) + " bytes or more");
        setStorageDetailErr(ErrorValue { kCloudServiceErrorDomain, CloudServiceErrorListingTooLarge,
            "The listing is larger than " + std::to_string(kMaxResultBodySize) + " bytes", {} });
        return ResultTooLarge;
    }
    ErrorValue error;
    // A listing that is not there (the range lay past its end) is no document either.
    result = haveBody ? parseListingFile(bodyFile, fileInfo, &error) : parseListing({}, fileInfo, &error);
    if (result != ResultSuccess) {
        Log::line("Listing of " + std::to_string(haveBody ? info.st_size : 0) + " bytes is not a usable document");
        setStorageDetailErr(error);
        return error.domain == kCloudServiceErrorDomain ? ResultTooLarge : ResultFailed;
    }
    return ResultSuccess;
}

std::int32_t RestStorageServiceAdaptor::search(const std::string& path, FileInfoList& fileInfo)
{
    Bytes body;
    std::int32_t result = downloadWhole(path, {}, body);
    if (result != ResultSuccess)
        return result;
    ErrorValue error;
    result = parseSearchResult(
        std::string_view(reinterpret_cast<const char*>(body.data()), body.size()), fileInfo, &error);
    if (result != ResultSuccess && !error.domain.empty())
        setStorageDetailErr(error);
    return result;
}

} // namespace norvane
