#include "CloudServiceSDKForMac/ASIHTTP/GzipCodec.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

namespace norvane {

namespace {

constexpr int gzipWindowBits = 31; // 15 and the gzip wrapper
constexpr int autoDetectWindowBits = 47; // 15 and either wrapper, detected from the header
constexpr int memoryLevel = 8;
constexpr std::uint8_t gzipMagic = 0x1f;

// zlib counts in unsigned int, so a larger buffer goes through in pieces.
std::size_t pieceOf(std::size_t remaining)
{
    return std::min<std::size_t>(remaining, UINT_MAX);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes a file that was written, reporting whether the buffered bytes reached the disk.
bool closeWritten(File& file)
{
    return std::fclose(file.release()) == 0;
}

bool sameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    return std::filesystem::equivalent(a, b, ec) && !ec;
}

class Deflater {
public:
    Deflater()
    {
        ok_ = deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, gzipWindowBits, memoryLevel, Z_DEFAULT_STRATEGY)
            == Z_OK;
    }
    ~Deflater()
    {
        if (ok_)
            deflateEnd(&z_);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool ok() const { return ok_; }

    // Compresses input (with finish, also ends the stream), handing the output in pieces of at
    // most chunkSize to out. Returns Z_OK, Z_ERRNO when out refused, or the zlib error.
    template <typename Out> int run(std::span<const std::uint8_t> input, bool finish, Out&& out)
    {
        std::size_t offset = 0;
        std::array<std::uint8_t, GzipCodec::chunkSize> buffer;
        do {
            const std::size_t piece = pieceOf(input.size() - offset);
            const bool last = offset + piece == input.size();
            const int flush = finish && last ? Z_FINISH : Z_NO_FLUSH;
            z_.next_in = input.data() + offset;
            z_.avail_in = static_cast<uInt>(piece);
            int rc = Z_OK;
            do {
                z_.next_out = buffer.data();
                z_.avail_out = static_cast<uInt>(buffer.size());
                rc = deflate(&z_, flush);
                if (rc == Z_STREAM_ERROR)
                    return rc;
                const std::size_t produced = buffer.size() - z_.avail_out;
                if (produced > 0 && !out(std::span<const std::uint8_t>(buffer.data(), produced)))
                    return Z_ERRNO;
            } while (z_.avail_out == 0 && rc != Z_STREAM_END);
            offset += piece;
        } while (offset < input.size());
        return Z_OK;
    }

private:
    z_stream z_ {};
    bool ok_ = false;
};

} // namespace

struct GzipInflater::Stream {
    z_stream z {};
    bool ok = false;

    Stream() { ok = inflateInit2(&z, autoDetectWindowBits) == Z_OK; }
    ~Stream()
    {
        if (ok)
            inflateEnd(&z);
    }
};

GzipInflater::GzipInflater(Receiver receiver, std::uint64_t maxOutput)
    : receiver_(std::move(receiver))
    , maxOutput_(maxOutput)
    , stream_(std::make_unique<Stream>())
{
    if (!stream_->ok)
        fail(GzipError::resource, Z_MEM_ERROR);
}

GzipInflater::~GzipInflater() = default;

bool GzipInflater::fail(GzipError error, int code)
{
    if (error_ == GzipError::none) {
        error_ = error;
        code_ = code;
    }
    return false;
}

int GzipInflater::resultCode() const
{
    return code_;
}

bool GzipInflater::feed(std::span<const std::uint8_t> input)
{
    if (error_ != GzipError::none)
        return false;
    if (input.empty())
        return true;
    sawInput_ = true;
    z_stream& z = stream_->z;
    std::array<std::uint8_t, GzipCodec::chunkSize> buffer;
    std::size_t offset = 0;
    while (offset < input.size()) {
        if (memberEnded_) {
            // Only a further gzip member may follow a finished stream.
            if (input[offset] != gzipMagic)
                return fail(GzipError::trailingData, Z_DATA_ERROR);
            if (inflateReset(&z) != Z_OK)
                return fail(GzipError::resource, Z_STREAM_ERROR);
            memberEnded_ = false;
        }
        const std::size_t piece = pieceOf(input.size() - offset);
        z.next_in = input.data() + offset;
        z.avail_in = static_cast<uInt>(piece);
        for (;;) {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            switch (rc) {
            case Z_OK:
            case Z_STREAM_END:
            case Z_BUF_ERROR: // no progress possible: all input taken, no output pending
                break;
            case Z_NEED_DICT:
                return fail(GzipError::needsDictionary, Z_DATA_ERROR);
            case Z_DATA_ERROR:
                return fail(GzipError::corrupt, Z_DATA_ERROR);
            case Z_MEM_ERROR:
                return fail(GzipError::resource, Z_MEM_ERROR);
            default:
                return fail(GzipError::resource, rc);
            }
            const std::size_t produced = buffer.size() - z.avail_out;
            if (produced > 0) {
                if (maxOutput_ != 0 && (bytesOut_ > maxOutput_ || produced > maxOutput_ - bytesOut_))
                    return fail(GzipError::tooLarge, Z_BUF_ERROR);
                bytesOut_ += produced;
                if (!receiver_(std::span<const std::uint8_t>(buffer.data(), produced)))
                    return fail(GzipError::outputRejected, Z_ERRNO);
            }
            if (rc == Z_STREAM_END) {
                memberEnded_ = true;
                break;
            }
            // A full output buffer may leave more output pending even when all input is taken.
            if (rc == Z_BUF_ERROR || (z.avail_in == 0 && z.avail_out != 0))
                break;
        }
        offset += piece - z.avail_in;
    }
    return true;
}

bool GzipInflater::finish()
{
    if (error_ != GzipError::none)
        return false;
    if (!sawInput_ || !memberEnded_)
        return fail(GzipError::truncated, Z_DATA_ERROR);
    return true;
}

std::optional<Bytes> GzipCodec::compressData(std::span<const std::uint8_t> bytes)
{
    try {
        Deflater deflater;
        if (!deflater.ok())
            return std::nullopt;
        Bytes out;
        const int rc = deflater.run(bytes, true, [&out](std::span<const std::uint8_t> piece) {
            out.insert(out.end(), piece.begin(), piece.end());
            return true;
        });
        if (rc != Z_OK)
            return std::nullopt;
        return out;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

int GzipCodec::compressDataFromFile(const std::string& source, const std::string& destination)
{
    if (sameFile(source, destination))
        return Z_ERRNO;
    File in(std::fopen(source.c_str(), "rb"));
    if (!in)
        return Z_ERRNO;
    File out(std::fopen(destination.c_str(), "wb"));
    if (!out)
        return Z_ERRNO;

    int rc = Z_OK;
    {
        Deflater deflater;
        if (!deflater.ok())
            rc = Z_MEM_ERROR;
        std::array<std::uint8_t, chunkSize> buffer;
        std::FILE* outFile = out.get();
        const auto write = [outFile](std::span<const std::uint8_t> piece) {
            return std::fwrite(piece.data(), 1, piece.size(), outFile) == piece.size();
        };
        while (rc == Z_OK) {
            const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
            if (std::ferror(in.get())) {
                rc = Z_ERRNO;
                break;
            }
            const bool atEnd = n < buffer.size() && std::feof(in.get());
            rc = deflater.run(std::span<const std::uint8_t>(buffer.data(), n), atEnd, write);
            if (atEnd)
                break;
        }
    }
    if (!closeWritten(out) && rc == Z_OK)
        rc = Z_ERRNO;
    if (rc != Z_OK) {
        std::error_code ec;
        std::filesystem::remove(destination, ec);
    }
    return rc;
}

std::optional<Bytes> GzipCodec::uncompressZippedData(
    std::span<const std::uint8_t> bytes, std::uint64_t maxOutput, GzipError* why)
{
    const auto report = [why](GzipError error) {
        if (why)
            *why = error;
    };
    report(GzipError::none);
    if (bytes.empty())
        return Bytes {};
    try {
        Bytes out;
        const auto capped = [maxOutput](std::uint64_t size) {
            return static_cast<std::size_t>(maxOutput == 0 ? size : std::min(size, maxOutput));
        };
        // Most bodies expand modestly; start at one and a half times the input and grow by
        // doubling, never reserving more than the bound allows.
        out.reserve(capped(std::uint64_t { bytes.size() } + bytes.size() / 2));
        GzipInflater inflater(
            [&out, &capped](std::span<const std::uint8_t> piece) {
                const std::size_t needed = out.size() + piece.size();
                if (needed > out.capacity())
                    out.reserve(capped(std::max<std::uint64_t>(needed, std::uint64_t { out.capacity() } * 2)));
                out.insert(out.end(), piece.begin(), piece.end());
                return true;
            },
            maxOutput);
        if (!inflater.feed(bytes) || !inflater.finish()) {
            report(inflater.error());
            return std::nullopt;
        }
        return out;
    } catch (const std::bad_alloc&) {
        report(GzipError::resource);
        return std::nullopt;
    }
}

int GzipCodec::uncompressZippedDataFromFile(const std::string& source, const std::string& destination)
{
    if (sameFile(source, destination))
        return Z_ERRNO;
    File in(std::fopen(source.c_str(), "rb"));
    if (!in)
        return Z_ERRNO;
    File out(std::fopen(destination.c_str(), "wb"));
    if (!out)
        return Z_ERRNO;

    int rc = Z_OK;
    {
        std::FILE* outFile = out.get();
        GzipInflater inflater([outFile](std::span<const std::uint8_t> piece) {
            return std::fwrite(piece.data(), 1, piece.size(), outFile) == piece.size();
        });
        std::array<std::uint8_t, chunkSize> buffer;
        for (;;) {
            const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in.get());
            if (std::ferror(in.get())) {
                rc = Z_ERRNO;
                break;
            }
            if (!inflater.feed(std::span<const std::uint8_t>(buffer.data(), n))) {
                rc = inflater.resultCode();
                break;
            }
            if (n < buffer.size() && std::feof(in.get())) {
                if (!inflater.finish())
                    rc = inflater.resultCode();
                break;
            }
        }
    }
    if (!closeWritten(out) && rc == Z_OK)
        rc = Z_ERRNO;
    if (rc != Z_OK) {
        // A half-written file must not be mistaken for the download.
        std::error_code ec;
        std::filesystem::remove(destination, ec);
    }
    return rc;
}

} // namespace norvane
