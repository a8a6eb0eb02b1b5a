#include "server/http/Exchange.h"

#include "formats/HttpDate.h"
#include "platform/AsciiText.h"
#include "platform/Log.h"
#include "server/http/ByteRange.h"
#include "server/http/RandomText.h"
#include "server/http/ResponseText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace norvane::server {

namespace {

// Files go out in pieces of this size: memory stays the same whatever the file's size.
constexpr std::size_t kFilePiece = 256 * 1024;
// A request body left unread up to this size is read and dropped so that the connection can serve
// the next request; a longer one ends the connection.
constexpr std::uint64_t kDrainLimit = 2 * 1024 * 1024;

// Sleeps up to `duration`, in short steps that end early when the server stops.
void pause(std::chrono::nanoseconds duration, const std::atomic<bool>& stopping)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return;
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(end - now, std::chrono::milliseconds(50)));
    }
}

// Pacing and cutting of one body, as a fault rule asks.
class BodyPacer {
public:
    BodyPacer(const std::optional<FaultAction>& fault, const std::atomic<bool>& stopping)
        : stopping_(stopping)
    {
        if (fault) {
            dropAfter_ = fault->dropAfterBytes;
            if (fault->trickleBytesPerSecond)
                trickle_.emplace(*fault->trickleBytesPerSecond);
        }
    }

    bool active() const { return dropAfter_ || trickle_; }

    // How many of `wanted` bytes go next; 0 when the body is to be cut here.
    std::size_t nextPiece(std::size_t wanted)
    {
        std::size_t piece = wanted;
        if (trickle_)
            piece = std::min(piece, trickle_->nextPieceSize(wanted));
        if (dropAfter_)
            piece = static_cast<std::size_t>(bytesBeforeDrop(*dropAfter_, done_, piece));
        if (piece > 0 && trickle_)
            pause(trickle_->waitBeforeNext(), stopping_);
        return piece;
    }

    void done(std::size_t bytes)
    {
        done_ += bytes;
        if (trickle_)
            trickle_->sent(bytes);
    }

private:
    const std::atomic<bool>& stopping_;
    std::optional<std::uint64_t> dropAfter_;
    std::optional<Trickle> trickle_;
    std::uint64_t done_ = 0;
};

struct FileHandle {
    int fd = -1;
    explicit FileHandle(int descriptor)
        : fd(descriptor)
    { }
    ~FileHandle()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

std::string storeCodeText(StoreError error)
{
    switch (error) {
    case StoreError::NotFound:
    case StoreError::NotAFolder:
    case StoreError::NotAFile:
        return "NoSuchKey";
    case StoreError::Exists:
        return "FileExists";
    case StoreError::Forbidden:
        return "AccessDenied";
    case StoreError::Locked:
        return "FileStatusError_locked";
    case StoreError::CopySource:
        return "FileStatusError_isCopySource";
    case StoreError::CopyDest:
        return "FileStatusError_isCopyDest";
    case StoreError::TooLarge:
        return "EntityTooLarge";
    case StoreError::QuotaExceeded:
        return "QuotaExceeded";
    case StoreError::OffsetMismatch:
        return "InvalidRange";
    case StoreError::DigestMismatch:
    case StoreError::Invalid:
        return "InvalidArgument";
    case StoreError::Io:
        return "InternalError";
    }
    return "InternalError";
}

int storeStatus(StoreError error)
{
    switch (error) {
    case StoreError::NotFound:
    case StoreError::NotAFolder:
    case StoreError::NotAFile:
        return 404;
    case StoreError::Exists:
    case StoreError::Locked:
    case StoreError::CopySource:
    case StoreError::CopyDest:
        return 409;
    case StoreError::Forbidden:
        return 403;
    case StoreError::TooLarge:
        return 413;
    case StoreError::QuotaExceeded:
        return 507;
    case StoreError::OffsetMismatch:
        return 416;
    case StoreError::DigestMismatch:
    case StoreError::Invalid:
        return 400;
    case StoreError::Io:
        return 500;
    }
    return 500;
}

} // namespace

std::string httpDate(std::int64_t unixSeconds)
{
    return rfc1123String(Date(std::chrono::seconds(unixSeconds)));
}

bool isSafeHeader(std::string_view name, std::string_view value)
{
    if (name.empty())
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        const bool token = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z')
            || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
        if (!token)
            return false;
    }
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

Exchange::Exchange(ServiceContext& serviceContext, const httplib::Request& request, httplib::Response& response,
    const httplib::ContentReader* reader, Connection* carrier)
    : service(serviceContext)
    , store(serviceContext.store)
    , req(request)
    , res(response)
    , connection(carrier)
    , requestId(secureRandomHex(8))
    , reader_(reader)
{ }

std::string Exchange::header(std::string_view name) const
{
    return req.get_header_value(std::string(name));
}

bool Exchange::hasHeader(std::string_view name) const
{
    return req.has_header(std::string(name));
}

std::string Exchange::decodedHeader(std::string_view name) const
{
    std::string value = header(name);
    auto decoded = percentDecode(value);
    return decoded ? *decoded : value;
}

std::string Exchange::deviceId() const
{
    std::string device = header("X-Device-Id");
    if (device.empty() && session)
        device = session->deviceId;
    return device;
}

AreaRef Exchange::areaOf(Area which) const
{
    if (!user)
        return {};
    return which == Area::Personal ? store.personalArea(*user) : store.sharedArea(*user);
}

AreaRef Exchange::area() const
{
    return areaOf(target.area);
}

std::optional<std::uint64_t> Exchange::contentLength() const
{
    // A chunked body is read as chunks whatever length is announced besides (as httplib reads it).
    if (!hasHeader("Content-Length")
        || ascii::lowered(header("Transfer-Encoding")).find("chunked") != std::string::npos)
        return std::nullopt;
    auto length = parseDecimal(ascii::trimBlanks(header("Content-Length")));
    if (!length)
        return std::nullopt;
    return static_cast<std::uint64_t>(*length);
}

bool Exchange::hasBody() const
{
    if (ascii::lowered(header("Transfer-Encoding")).find("chunked") != std::string::npos)
        return true;
    auto length = contentLength();
    return length && *length > 0;
}

bool Exchange::readBody(const std::function<bool(const char* data, std::size_t size)>& receiver)
{
    bodyRead_ = true;
    if (!hasBody())
        return true;
    if (!reader_) {
        if (connection)
            connection->closeAfterAnswer();
        return false;
    }
    BodyPacer pacer(fault, service.stopping);
    bool refused = false;
    const bool complete = (*reader_)([&](const char* data, std::size_t size) {
        while (size > 0) {
            std::size_t piece = pacer.active() ? pacer.nextPiece(size) : size;
            if (piece == 0) {
                bodyCut_ = true;
                return false;
            }
            if (!receiver(data, piece)) {
                refused = true;
                return false;
            }
            pacer.done(piece);
            data += piece;
            size -= piece;
        }
        return true;
    });
    if (bodyCut_) {
        if (connection)
            connection->abandon();
        return false;
    }
    if (!complete || refused) {
        if (connection)
            connection->closeAfterAnswer();
        return false;
    }
    return true;
}

std::optional<std::string> Exchange::readSmallBody(std::size_t limit)
{
    auto length = contentLength();
    if (length && *length > limit) {
        if (connection)
            connection->closeAfterAnswer();
        return std::nullopt;
    }
    std::string body;
    const bool ok = readBody([&](const char* data, std::size_t size) {
        if (size > limit - body.size())
            return false;
        body.append(data, size);
        return true;
    });
    if (!ok)
        return std::nullopt;
    return body;
}

void Exchange::error(int code, std::string_view errorCode, std::string_view message)
{
    res.status = code;
    res.set_content(errorDocument(errorCode, message, requestId), "application/xml");
}

void Exchange::status(int code)
{
    res.status = code;
    res.body.clear();
}

void Exchange::xml(std::string document, int code)
{
    sendBody(std::move(document), "application/xml", false);
    res.status = code;
}

void Exchange::sendBody(std::string body, const std::string& contentType, bool ranged)
{
    sendRanged(nullptr, std::move(body), contentType, ranged);
}

void Exchange::sendSharedBody(std::shared_ptr<const std::string> body, const std::string& contentType, bool ranged)
{
    sendRanged(std::move(body), {}, contentType, ranged);
}

void Exchange::sendRanged(
    std::shared_ptr<const std::string> shared, std::string owned, const std::string& contentType, bool ranged)
{
    const std::string& whole = shared ? *shared : owned;
    const std::uint64_t size = whole.size();
    RangeAnswer answer;
    answer.length = size;
    if (ranged) {
        res.set_header("Accept-Ranges", "bytes");
        if (hasHeader(kRawRangeHeader))
            answer = resolveByteRange(parseByteRange(header(kRawRangeHeader)), size);
    }
    if (answer.kind == RangeAnswer::Kind::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", contentRangeValue(answer, size));
        res.body.clear();
        return;
    }
    res.status = 200;
    // Only the answered part is copied out of a shared body.
    std::string body;
    if (answer.kind == RangeAnswer::Kind::Partial) {
        res.status = 206;
        res.set_header("Content-Range", contentRangeValue(answer, size));
        body = whole.substr(static_cast<std::size_t>(answer.offset), static_cast<std::size_t>(answer.length));
    } else {
        body = shared ? *shared : std::move(owned);
    }
    auto pacer = std::make_shared<BodyPacer>(fault, service.stopping);
    if (!pacer->active() || body.empty()) {
        res.set_content(std::move(body), contentType);
        return;
    }
    auto paced = std::make_shared<std::string>(std::move(body));
    Connection* carrier = connection;
    res.set_content_provider(paced->size(), contentType,
        [paced, pacer, carrier](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::size_t piece = pacer->nextPiece(std::min(length, kFilePiece));
            if (piece == 0) {
                if (carrier)
                    carrier->cut();
                return false;
            }
            if (!sink.write(paced->data() + offset, piece))
                return false;
            pacer->done(piece);
            // A paced answer leaves piece by piece, as it is meant to arrive, not gathered.
            return !carrier || carrier->flushOutput();
        });
}

void Exchange::sendFile(
    const std::filesystem::path& path, std::uint64_t size, const std::string& contentType, bool ranged)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        Log::line("Stored content missing: " + path.filename().string());
        error(500, "InternalError", "The stored content cannot be read");
        return;
    }
    auto file = std::make_shared<FileHandle>(fd);
    struct stat status { };
    if (::fstat(fd, &status) != 0 || static_cast<std::uint64_t>(status.st_size) != size) {
        Log::line("Stored content has the wrong size: " + path.filename().string());
        error(500, "InternalError", "The stored content cannot be read");
        return;
    }

    RangeAnswer answer;
    answer.length = size;
    if (ranged) {
        res.set_header("Accept-Ranges", "bytes");
        if (hasHeader(kRawRangeHeader))
            answer = resolveByteRange(parseByteRange(header(kRawRangeHeader)), size);
    }
    if (answer.kind == RangeAnswer::Kind::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", contentRangeValue(answer, size));
        res.body.clear();
        return;
    }
    res.status = 200;
    if (answer.kind == RangeAnswer::Kind::Partial) {
        res.status = 206;
        res.set_header("Content-Range", contentRangeValue(answer, size));
    }
    if (answer.length == 0) {
        res.set_content(std::string(), contentType);
        return;
    }
    auto pacer = std::make_shared<BodyPacer>(fault, service.stopping);
    auto buffer = std::make_shared<std::vector<char>>(); // made when the bytes cannot go by sendfile
    const auto start = static_cast<off_t>(answer.offset);
    Connection* carrier = connection;
    res.set_content_provider(static_cast<std::size_t>(answer.length), contentType,
        [file, pacer, buffer, start, carrier](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            if (!pacer->active() && carrier && carrier->canSendFile()) {
                // Straight from the page cache to the socket, all that is left of the range.
                if (!carrier->sendFile(file->fd, start + static_cast<off_t>(offset), length))
                    return false;
                return sink.write(Connection::sentByFile(), length);
            }
            if (buffer->empty())
                buffer->resize(std::min(length, kFilePiece));
            std::size_t piece = std::min(length, buffer->size());
            if (pacer->active()) {
                piece = pacer->nextPiece(piece);
                if (piece == 0) {
                    if (carrier)
                        carrier->cut();
                    return false;
                }
            }
            const ssize_t n = ::pread(file->fd, buffer->data(), piece, start + static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            if (!sink.write(buffer->data(), static_cast<std::size_t>(n)))
                return false;
            pacer->done(static_cast<std::size_t>(n));
            // A paced answer leaves piece by piece, as it is meant to arrive, not gathered.
            return !pacer->active() || !carrier || carrier->flushOutput();
        });
}

void Exchange::storeFailure(const StoreFailure& failure, FailureUse use)
{
    if (failure.error == StoreError::Io)
        Log::line("Store failure: " + failure.detail);
    if (failure.error == StoreError::Locked && use != FailureUse::General) {
        XmlWriter document;
        document.open("LockFileResult")
            .element("Code", "FileStatusError_locked")
            .element("UserId", failure.lockUserId)
            .element("UserName", failure.lockUserName)
            .close("LockFileResult");
        res.status = 409;
        res.set_content(document.take(), "application/xml");
        return;
    }
    if (failure.error == StoreError::OffsetMismatch)
        res.set_header("X-Zel-Offset-In-Database", std::to_string(std::max<long long>(failure.offset, 0)));
    std::string message = failure.detail;
    if (failure.error == StoreError::Io || message.empty())
        message = failure.error == StoreError::Io ? "The server could not complete the request" : "Refused";
    error(storeStatus(failure.error), storeCodeText(failure.error), message);
}

void Exchange::holdWithoutAnswer()
{
    if (connection) {
        connection->holdUntilPeerGone(std::chrono::steady_clock::now() + service.noAnswerHold);
        connection->abandon();
    }
    res.status = 500;
}

void Exchange::finish()
{
    if (connection && connection->abandoned())
        return;
    if (company) {
        for (const auto& [name, value] : company->policyHeaders) {
            if (ascii::startsWithIgnoringCase(name, "x-") && isSafeHeader(name, value))
                res.set_header(name, value);
        }
        if (isSafeHeader("X-Zel-Informationseq", company->informationSeq))
            res.set_header("X-Zel-Informationseq", company->informationSeq);
    }
    if (user && company)
        res.set_header(
            "X-Zel-Storage", std::to_string(store.usedBytes(user->id)) + "/" + std::to_string(company->quota));

    if (hasBody() && !bodyRead_) {
        auto length = contentLength();
        if (length && *length <= kDrainLimit && reader_) {
            bodyRead_ = true;
            const bool drained = (*reader_)([](const char*, std::size_t) { return true; });
            if (!drained && connection)
                connection->closeAfterAnswer();
        } else if (connection) {
            connection->closeAfterAnswer();
        }
    }
    if (connection && connection->closesAfterAnswer())
        res.set_header("Connection", "close");
}

} // namespace norvane::server
