#include "formats/CHCSVParser.h"

#include "platform/Log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace norvane {

namespace {

constexpr char32_t kQuote = U'"';
constexpr char32_t kBackslash = U'\\';
// A run of combining marks longer than this is split into several characters, so that a hostile
// input of marks alone cannot make the look-ahead for the end of a character quadratic.
constexpr std::size_t kMaxComposedLength = 32;
// Consumed text is dropped once the read position passes this many code points.
constexpr std::size_t kCompactThreshold = 8192;
constexpr std::size_t kMaxChunkSize = std::size_t { 64 } << 20;

// ---- character classes ----

bool isNewline(char32_t c)
{
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool isWhitespaceOrNewline(char32_t c)
{
    if (c <= 0x20)
        return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029
        || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Controls and line breaks stand alone: no mark attaches to them.
bool isControl(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

struct CodeRange {
    char32_t first;
    char32_t last;
};

// Combining marks and other characters that extend the character before them (sorted).
constexpr CodeRange kCombiningMarks[] = { { 0x0300, 0x036F }, { 0x0483, 0x0489 }, { 0x0591, 0x05BD },
    { 0x05BF, 0x05BF }, { 0x05C1, 0x05C2 }, { 0x05C4, 0x05C5 }, { 0x05C7, 0x05C7 }, { 0x0610, 0x061A },
    { 0x064B, 0x065F }, { 0x0670, 0x0670 }, { 0x06D6, 0x06DC }, { 0x06DF, 0x06E4 }, { 0x06E7, 0x06E8 },
    { 0x06EA, 0x06ED }, { 0x0711, 0x0711 }, { 0x0730, 0x074A }, { 0x0900, 0x0903 }, { 0x093A, 0x093C },
    { 0x093E, 0x094F }, { 0x0951, 0x0957 }, { 0x0962, 0x0963 }, { 0x0E31, 0x0E31 }, { 0x0E34, 0x0E3A },
    { 0x0E47, 0x0E4E }, { 0x0EB1, 0x0EB1 }, { 0x0EB4, 0x0EBC }, { 0x0EC8, 0x0ECD }, { 0x1AB0, 0x1AFF },
    { 0x1DC0, 0x1DFF }, { 0x20D0, 0x20FF }, { 0x302A, 0x302F }, { 0x3099, 0x309A }, { 0xFE00, 0xFE0F },
    { 0xFE20, 0xFE2F }, { 0x1F3FB, 0x1F3FF }, { 0xE0020, 0xE007F }, { 0xE0100, 0xE01EF } };

bool isCombiningMark(char32_t c)
{
    if (c < 0x0300)
        return false;
    auto it = std::upper_bound(std::begin(kCombiningMarks), std::end(kCombiningMarks), c,
        [](char32_t value, const CodeRange& range) { return value < range.first; });
    return it != std::begin(kCombiningMarks) && c <= (it - 1)->last;
}

// End (exclusive) of the composed character sequence starting at begin: a base with its marks, or
// CR LF as one line break.
std::size_t composedEnd(std::u32string_view text, std::size_t begin)
{
    const char32_t c = text[begin];
    std::size_t i = begin + 1;
    if (c == U'\r')
        return (i < text.size() && text[i] == U'\n') ? i + 1 : i;
    if (isControl(c))
        return i;
    while (i < text.size() && i - begin < kMaxComposedLength && isCombiningMark(text[i]))
        ++i;
    return i;
}

// ---- Mac OS Roman ----

constexpr std::array<char16_t, 128> kMacRomanHigh = { 0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8, 0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF,
    0x00F1, 0x00F3, 0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC, 0x2020, 0x00B0, 0x00A2, 0x00A3,
    0x00A7, 0x2022, 0x00B6, 0x00DF, 0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8, 0x221E, 0x00B1,
    0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211, 0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB, 0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5,
    0x0152, 0x0153, 0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA, 0x00FF, 0x0178, 0x2044, 0x20AC,
    0x2039, 0x203A, 0xFB01, 0xFB02, 0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1, 0x00CB, 0x00C8,
    0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4, 0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7 };

// ---- decoding ----

enum class DecodeStop {
    Done, // every byte decoded
    Incomplete, // the rest is the beginning of a character; more bytes may complete it
    Invalid, // the rest starts with bytes that are no character
};

struct DecodeResult {
    std::size_t consumed;
    DecodeStop stop;
};

DecodeResult decodeUtf8(const std::uint8_t* p, std::size_t n, std::u32string& out)
{
    std::size_t i = 0;
    while (i < n) {
        const std::uint8_t b = p[i];
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        }
        std::size_t trailing = 0;
        char32_t cp = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            trailing = 1;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            trailing = 2;
            cp = b & 0x0Fu;
            if (b == 0xE0)
                low = 0xA0; // overlong
            if (b == 0xED)
                high = 0x9F; // surrogates
        } else if (b >= 0xF0 && b <= 0xF4) {
            trailing = 3;
            cp = b & 0x07u;
            if (b == 0xF0)
                low = 0x90; // overlong
            if (b == 0xF4)
                high = 0x8F; // beyond U+10FFFF
        } else {
            return { i, DecodeStop::Invalid };
        }
        for (std::size_t k = 1; k <= trailing; ++k) {
            if (i + k >= n)
                return { i, DecodeStop::Incomplete };
            const std::uint8_t c = p[i + k];
            const std::uint8_t lo = k == 1 ? low : 0x80;
            const std::uint8_t hi = k == 1 ? high : 0xBF;
            if (c < lo || c > hi)
                return { i, DecodeStop::Invalid };
            cp = (cp << 6) | (c & 0x3Fu);
        }
        out.push_back(cp);
        i += trailing + 1;
    }
    return { n, DecodeStop::Done };
}

DecodeResult decodeUtf16(const std::uint8_t* p, std::size_t n, bool bigEndian, std::u32string& out)
{
    auto unit = [&](std::size_t at) -> char32_t {
        return bigEndian ? (char32_t { p[at] } << 8) | p[at + 1] : (char32_t { p[at + 1] } << 8) | p[at];
    };
    std::size_t i = 0;
    while (i + 1 < n) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 3 >= n)
                return { i, DecodeStop::Incomplete };
            const char32_t low = unit(i + 2);
            if (low < 0xDC00 || low > 0xDFFF)
                return { i, DecodeStop::Invalid };
            out.push_back(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
            i += 4;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return { i, DecodeStop::Invalid };
        } else {
            out.push_back(u);
            i += 2;
        }
    }
    return { i, i < n ? DecodeStop::Incomplete : DecodeStop::Done };
}

DecodeResult decodeUtf32(const std::uint8_t* p, std::size_t n, bool bigEndian, std::u32string& out)
{
    std::size_t i = 0;
    while (i + 3 < n) {
        const char32_t c = bigEndian
            ? (char32_t { p[i] } << 24) | (char32_t { p[i + 1] } << 16) | (char32_t { p[i + 2] } << 8) | p[i + 3]
            : (char32_t { p[i + 3] } << 24) | (char32_t { p[i + 2] } << 16) | (char32_t { p[i + 1] } << 8) | p[i];
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return { i, DecodeStop::Invalid };
        out.push_back(c);
        i += 4;
    }
    return { i, i < n ? DecodeStop::Incomplete : DecodeStop::Done };
}

DecodeResult decodeMacRoman(const std::uint8_t* p, std::size_t n, std::u32string& out)
{
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(p[i] < 0x80 ? char32_t { p[i] } : char32_t { kMacRomanHigh[p[i] - 0x80u] });
    return { n, DecodeStop::Done };
}

// Decodes every complete character at the front of the bytes, stopping at the first that is
// incomplete or invalid.
DecodeResult decode(CHCSVEncoding encoding, const std::uint8_t* p, std::size_t n, std::u32string& out)
{
    switch (encoding) {
    case CHCSVEncoding::UTF16LE:
        return decodeUtf16(p, n, false, out);
    case CHCSVEncoding::UTF16BE:
        return decodeUtf16(p, n, true, out);
    case CHCSVEncoding::UTF32LE:
        return decodeUtf32(p, n, false, out);
    case CHCSVEncoding::UTF32BE:
        return decodeUtf32(p, n, true, out);
    case CHCSVEncoding::MacOSRoman:
        return decodeMacRoman(p, n, out);
    case CHCSVEncoding::UTF8:
    case CHCSVEncoding::SystemDefault:
        break;
    }
    return decodeUtf8(p, n, out);
}

CHCSVEncoding resolve(CHCSVEncoding encoding)
{
    return encoding == CHCSVEncoding::SystemDefault ? CHCSVEncoding::UTF8 : encoding;
}

// ---- encoding (text handed in as UTF-8 is read back as a stream in the caller's encoding) ----

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string toUtf8(std::u32string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text)
        appendUtf8(out, c);
    return out;
}

std::optional<std::u32string> utf8ToCodePoints(std::string_view text)
{
    std::u32string out;
    auto result = decodeUtf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), out);
    if (result.stop != DecodeStop::Done)
        return std::nullopt;
    return out;
}

void appendUnit(std::vector<std::uint8_t>& out, char32_t value, int bytes, bool bigEndian)
{
    for (int k = 0; k < bytes; ++k) {
        const int shift = 8 * (bigEndian ? bytes - 1 - k : k);
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
    }
}

std::optional<std::vector<std::uint8_t>> encodeText(std::string_view text, CHCSVEncoding encoding)
{
    if (encoding == CHCSVEncoding::UTF8)
        return std::vector<std::uint8_t>(text.begin(), text.end());
    auto codePoints = utf8ToCodePoints(text);
    if (!codePoints)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 2);
    for (char32_t c : *codePoints) {
        switch (encoding) {
        case CHCSVEncoding::UTF16LE:
        case CHCSVEncoding::UTF16BE: {
            const bool be = encoding == CHCSVEncoding::UTF16BE;
            if (c >= 0x10000) {
                appendUnit(out, 0xD800 + ((c - 0x10000) >> 10), 2, be);
                appendUnit(out, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, be);
            } else {
                appendUnit(out, c, 2, be);
            }
            break;
        }
        case CHCSVEncoding::UTF32LE:
        case CHCSVEncoding::UTF32BE:
            appendUnit(out, c, 4, encoding == CHCSVEncoding::UTF32BE);
            break;
        case CHCSVEncoding::MacOSRoman: {
            if (c < 0x80) {
                out.push_back(static_cast<std::uint8_t>(c));
                break;
            }
            auto it = std::find(kMacRomanHigh.begin(), kMacRomanHigh.end(), c);
            if (it == kMacRomanHigh.end())
                return std::nullopt;
            out.push_back(static_cast<std::uint8_t>(0x80 + (it - kMacRomanHigh.begin())));
            break;
        }
        case CHCSVEncoding::UTF8:
        case CHCSVEncoding::SystemDefault:
            appendUnit(out, c, 1, false); // not reached: resolved before
            break;
        }
    }
    return out;
}

ErrorValue csvError(long code, std::string description, ValueMap userInfo = {})
{
    return ErrorValue { std::string(CHCSVErrorDomain), code, std::move(description), std::move(userInfo) };
}

ErrorValue openFailure()
{
    return csvError(CHCSVErrorCodeInvalidInput, "Unable to open file for reading");
}

std::unique_ptr<CHCSVParser> failConstruction(ErrorValue* error, ErrorValue value)
{
    if (error)
        *error = std::move(value);
    return nullptr;
}

} // namespace

// ---- streams ----

std::ptrdiff_t CHCSVMemoryInputStream::read(std::uint8_t* buffer, std::size_t maxLength)
{
    const std::size_t count = std::min(maxLength, bytes_.size() - offset_);
    if (count > 0)
        std::memcpy(buffer, bytes_.data() + offset_, count);
    offset_ += count;
    return static_cast<std::ptrdiff_t>(count);
}

std::unique_ptr<CHCSVFileInputStream> CHCSVFileInputStream::open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<CHCSVFileInputStream>(new CHCSVFileInputStream(fd));
}

CHCSVFileInputStream::~CHCSVFileInputStream()
{
    ::close(fd_);
}

std::ptrdiff_t CHCSVFileInputStream::read(std::uint8_t* buffer, std::size_t maxLength)
{
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, maxLength);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        error_ = ErrorValue { "POSIXErrorDomain", errno, std::strerror(errno), {} };
        return -1;
    }
}

// ---- parser ----

std::unique_ptr<CHCSVParser> CHCSVParser::fromStream(
    std::unique_ptr<CHCSVInputStream> stream, std::optional<CHCSVEncoding> encoding, ErrorValue* error)
{
    if (!stream)
        return failConstruction(error, openFailure());
    return std::unique_ptr<CHCSVParser>(new CHCSVParser(std::move(stream), encoding));
}

std::unique_ptr<CHCSVParser> CHCSVParser::fromFile(
    const std::string& path, std::optional<CHCSVEncoding> encoding, ErrorValue* error)
{
    return fromStream(CHCSVFileInputStream::open(path), encoding, error);
}

std::unique_ptr<CHCSVParser> CHCSVParser::fromString(std::string_view text, CHCSVEncoding encoding, ErrorValue* error)
{
    encoding = resolve(encoding);
    auto bytes = encodeText(text, encoding);
    if (!bytes) {
        ErrorValue failure = openFailure();
        failure.userInfo["reason"] = "the text cannot be represented in the requested encoding";
        return failConstruction(error, std::move(failure));
    }
    return fromStream(std::make_unique<CHCSVMemoryInputStream>(std::move(*bytes)), encoding, error);
}

CHCSVParser::CHCSVParser(std::unique_ptr<CHCSVInputStream> stream, std::optional<CHCSVEncoding> encoding)
    : stream_(std::move(stream))
{
    if (encoding)
        encoding_ = resolve(*encoding);
    else
        detectEncoding();
}

CHCSVParser::~CHCSVParser() = default;

void CHCSVParser::detectEncoding()
{
    // The first chunk in full, even from a stream that hands out fewer bytes per read, so that the
    // choice does not depend on how the bytes arrive.
    while (pendingBytes_.size() < chunkSize_ && !streamEnded_ && !error_)
        readBytes(chunkSize_ - pendingBytes_.size());
    if (error_)
        return;
    const std::vector<std::uint8_t>& b = pendingBytes_;
    const std::size_t n = b.size();
    std::size_t skip = 0;
    if (n == 0) {
        encoding_ = CHCSVEncoding::UTF8;
    } else if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        encoding_ = CHCSVEncoding::UTF8;
        skip = 3;
    } else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        encoding_ = CHCSVEncoding::UTF16BE;
        skip = 2;
    } else if (n >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
        encoding_ = CHCSVEncoding::UTF32LE;
        skip = 4;
    } else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        encoding_ = CHCSVEncoding::UTF16LE;
        skip = 2;
    } else if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
        encoding_ = CHCSVEncoding::UTF32BE;
        skip = 4;
    } else if (b[0] == 0x00 || b[0] == 0xEF || b[0] == 0xFE || b[0] == 0xFF) {
        encoding_ = resolve(CHCSVEncoding::SystemDefault);
    } else {
        // A character cut by the end of the chunk does not make the chunk undecodable: the next
        // read completes it (and a truncated input fails later as undecodable).
        std::u32string scratch;
        const DecodeResult result = decodeUtf8(b.data(), n, scratch);
        const bool utf8 = result.stop == DecodeStop::Done || (result.stop == DecodeStop::Incomplete && !streamEnded_);
        if (utf8) {
            encoding_ = CHCSVEncoding::UTF8;
            Log::line("unable to determine file encoding; assuming UTF8");
        } else {
            encoding_ = CHCSVEncoding::MacOSRoman;
            Log::line("unable to determine file encoding; assuming MacOSRoman");
        }
    }
    pendingBytes_.erase(pendingBytes_.begin(), pendingBytes_.begin() + static_cast<std::ptrdiff_t>(skip));
}

std::optional<ErrorValue> CHCSVParser::setDelimiter(std::string_view delimiter)
{
    auto refuse = [](std::string description) {
        return ErrorValue { std::string(CHCSVInvalidArgumentDomain), 0, std::move(description), {} };
    };
    if (started_ || parsed_)
        return refuse("You cannot set a delimiter after parsing has started");
    auto codePoints = utf8ToCodePoints(delimiter);
    const std::string invalid = std::string(delimiter) + " cannot be used as a delimiter";
    if (!codePoints || codePoints->empty() || composedEnd(*codePoints, 0) != codePoints->size())
        return refuse(invalid);
    const char32_t first = codePoints->front();
    if (isNewline(first) || first == U'#' || first == kQuote || first == kBackslash)
        return refuse(invalid);
    delimiterText_ = std::string(delimiter);
    delimiter_ = std::move(*codePoints);
    return std::nullopt;
}

void CHCSVParser::setChunkSize(std::size_t bytes)
{
    chunkSize_ = std::clamp<std::size_t>(bytes, 1, kMaxChunkSize);
}

void CHCSVParser::cancelParsing()
{
    state_ = 4;
    if (!error_)
        error_ = csvError(CHCSVErrorCodeParsingCancelled, "");
}

void CHCSVParser::fail(long code, std::string description, ValueMap userInfo)
{
    if (!error_)
        error_ = csvError(code, std::move(description), std::move(userInfo));
}

void CHCSVParser::setState(int state)
{
    if (state_ != 4)
        state_ = state;
}

void CHCSVParser::readBytes(std::size_t maxLength)
{
    const std::size_t old = pendingBytes_.size();
    pendingBytes_.resize(old + maxLength);
    std::ptrdiff_t count = -1;
    try {
        count = stream_->read(pendingBytes_.data() + old, maxLength);
    } catch (const std::exception& e) {
        pendingBytes_.resize(old);
        fail(CHCSVErrorCodeInvalidInput, e.what());
        return;
    } catch (...) {
        pendingBytes_.resize(old);
        fail(CHCSVErrorCodeInvalidInput, "unknown exception while reading the input stream");
        return;
    }
    if (count < 0 || static_cast<std::size_t>(count) > maxLength) {
        pendingBytes_.resize(old);
        const ErrorValue underlying = stream_->streamError();
        ValueMap info;
        info[std::string(CHCSVUnderlyingErrorKey)] = ValueMap { { "domain", underlying.domain },
            { "code", underlying.code }, { "description", underlying.description } };
        fail(CHCSVErrorCodeInvalidInput, "Unable to read from input stream", std::move(info));
        return;
    }
    pendingBytes_.resize(old + static_cast<std::size_t>(count));
    if (count == 0)
        streamEnded_ = true;
}

void CHCSVParser::decodePending()
{
    if (pendingBytes_.empty())
        return;
    const DecodeResult result = decode(encoding_, pendingBytes_.data(), pendingBytes_.size(), text_);
    pendingBytes_.erase(pendingBytes_.begin(), pendingBytes_.begin() + static_cast<std::ptrdiff_t>(result.consumed));
    if (result.stop == DecodeStop::Invalid || (result.stop == DecodeStop::Incomplete && streamEnded_))
        fail(CHCSVErrorCodeInvalidInput, "unable to interpret current chunk as a string");
}

void CHCSVParser::readChunk()
{
    if (streamEnded_ || error_)
        return;
    if (position_ >= kCompactThreshold) {
        text_.erase(0, position_);
        position_ = 0;
    }
    readBytes(chunkSize_);
    if (!error_)
        decodePending();
}

bool CHCSVParser::nextCharacter(std::size_t& begin, std::size_t& end)
{
    if (!streamEnded_ && position_ * 2 >= text_.size())
        readChunk();
    for (;;) {
        if (error_)
            return false;
        if (position_ >= text_.size()) {
            if (streamEnded_)
                return false;
            readChunk();
            continue;
        }
        const std::size_t e = composedEnd(text_, position_);
        // A character that reaches the end of the decoded text may go on in the next chunk (a mark,
        // the LF of a CR LF): look before deciding where it ends.
        if (e == text_.size() && !streamEnded_ && e - position_ < kMaxComposedLength) {
            readChunk();
            continue;
        }
        begin = position_;
        end = e;
        position_ = e;
        return true;
    }
}

bool CHCSVParser::isDelimiter(std::size_t begin, std::size_t end) const
{
    if (delimiter_.size() == 1)
        return text_[begin] == delimiter_[0];
    return std::u32string_view(text_).substr(begin, end - begin) == delimiter_;
}

void CHCSVParser::beginField()
{
    currentField_.clear();
    balancedQuotes_ = true;
    balancedEscapes_ = true;
    setState(2);
}

void CHCSVParser::finishField()
{
    std::u32string_view field(currentField_);
    while (!field.empty() && isNewline(field.front()))
        field.remove_prefix(1);
    while (!field.empty() && isNewline(field.back()))
        field.remove_suffix(1);
    if (!field.empty() && field.front() == kQuote && field.back() == kQuote)
        field = field.size() >= 2 ? field.substr(1, field.size() - 2) : std::u32string_view();
    if (field.starts_with(delimiter_))
        field.remove_prefix(delimiter_.size());
    while (!field.empty() && isWhitespaceOrNewline(field.front()))
        field.remove_prefix(1);
    while (!field.empty() && isWhitespaceOrNewline(field.back()))
        field.remove_suffix(1);

    // Doubled quotes first, then escapes: a backslash keeps the character after it.
    std::u32string& unquoted = fieldScratch_;
    unquoted.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        unquoted.push_back(field[i]);
        if (field[i] == kQuote && i + 1 < field.size() && field[i + 1] == kQuote)
            ++i;
    }
    std::string text;
    text.reserve(unquoted.size());
    for (std::size_t i = 0; i < unquoted.size(); ++i) {
        if (unquoted[i] == kBackslash && ++i >= unquoted.size())
            break;
        appendUtf8(text, unquoted[i]);
    }

    if (delegate_ && state_ != 4)
        delegate_->parserDidReadField(*this, text);
    currentField_.clear();
    setState(1);
}

void CHCSVParser::finishLine()
{
    if (delegate_ && state_ != 4)
        delegate_->parserDidEndLine(*this, currentLine_);
    setState(0);
}

void CHCSVParser::processCharacter(std::size_t begin, std::size_t end)
{
    const char32_t c = text_[begin];
    if (state_ == 0) {
        if (c == U'#' && end - begin == 1) {
            setState(3);
        } else {
            ++currentLine_;
            if (delegate_)
                delegate_->parserDidStartLine(*this, currentLine_);
            setState(1);
        }
    }
    if (state_ == 4)
        return;

    if (c == kQuote) {
        if (state_ == 2) {
            if (balancedEscapes_)
                balancedQuotes_ = !balancedQuotes_;
            else
                balancedEscapes_ = true; // an escaped quote
        } else if (state_ == 1) {
            beginField();
            balancedQuotes_ = false;
        }
    } else if (isDelimiter(begin, end)) {
        if (state_ == 2) {
            if (balancedEscapes_ && balancedQuotes_)
                finishField();
            else if (!balancedEscapes_)
                balancedEscapes_ = true; // an escaped delimiter
        } else if (state_ == 1) {
            beginField();
            finishField();
        }
    } else if (c == kBackslash) {
        if (state_ == 2) {
            balancedEscapes_ = !balancedEscapes_;
        } else if (state_ == 1) {
            beginField();
            balancedEscapes_ = false;
        }
    } else if (isNewline(c) && !isNewline(previous_)) {
        if (balancedQuotes_ && balancedEscapes_) {
            if (state_ == 3) {
                setState(0);
            } else {
                finishField();
                finishLine();
            }
        }
    } else {
        // Text right after a closing quote: the quoted field was not closed where it seemed.
        if (previous_ == kQuote && beforePrevious_ != kBackslash && balancedQuotes_ && balancedEscapes_) {
            fail(CHCSVErrorCodeInvalidFormat,
                "Invalid CSV format on line #" + std::to_string(currentLine_) + " immediately after \""
                    + toUtf8(currentField_) + "\"");
            return;
        }
        if (state_ != 3) {
            if (state_ == 1 || state_ == 0)
                beginField();
            setState(2);
            balancedEscapes_ = true;
        }
    }

    // The delimiter or line break that finished a field opens the next one's text; beginning or
    // finishing that field strips it again.
    if (state_ != 3 && state_ != 4)
        currentField_.append(text_, begin, end - begin);
}

bool CHCSVParser::parse()
{
    if (parsed_)
        return false;
    parsed_ = true;
    started_ = true;
    if (delegate_)
        delegate_->parserDidStartDocument(*this);
    if (!error_)
        decodePending(); // bytes already read to find the encoding

    std::size_t begin = 0;
    std::size_t end = 0;
    while (!error_ && state_ != 4 && nextCharacter(begin, end)) {
        processCharacter(begin, end);
        beforePrevious_ = previous_;
        previous_ = text_[begin];
    }

    if (!error_) {
        if (!currentField_.empty() && state_ == 2)
            finishField();
        if (state_ == 1)
            finishLine();
    }
    started_ = false;
    if (error_) {
        if (delegate_)
            delegate_->parserDidFailWithError(*this, *error_);
        return false;
    }
    if (delegate_)
        delegate_->parserDidEndDocument(*this);
    return true;
}

} // namespace norvane
