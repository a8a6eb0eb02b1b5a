#pragma once

#include "platform/ErrorValue.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvane {

// Errors of the CSV reader carry this domain and one of the codes below.
inline constexpr std::string_view CHCSVErrorDomain = "CHCSVErrorDomain";
// setDelimiter refusals: an invalid argument, reported as a value (code 0) instead of thrown.
inline constexpr std::string_view CHCSVInvalidArgumentDomain = "CHCSVInvalidArgument";
// Key of ErrorValue::userInfo holding the stream's own error (a map: domain, code, description).
inline constexpr std::string_view CHCSVUnderlyingErrorKey = "underlyingError";

enum CHCSVErrorCode : long {
    CHCSVErrorCodeInvalidInput = 1, // cannot open, read or decode the input
    CHCSVErrorCodeInvalidFormat = 2, // malformed CSV
    CHCSVErrorCodeParsingCancelled = 3, // cancelParsing() was called
};

// Text encodings the reader decodes. SystemDefault is the platform's default, UTF-8 here; a parser
// reports the resolved encoding, never SystemDefault.
enum class CHCSVEncoding { UTF8, UTF16LE, UTF16BE, UTF32LE, UTF32BE, MacOSRoman, SystemDefault };

// A source of bytes. read() fills up to maxLength bytes and returns how many it wrote, 0 at the end
// of the input, or a negative number on failure (streamError() then says why). It may throw; the
// parser turns the exception into an error value.
class CHCSVInputStream {
public:
    virtual ~CHCSVInputStream() = default;
    virtual std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    virtual ErrorValue streamError() const { return {}; }
};

// Bytes held in memory.
class CHCSVMemoryInputStream final : public CHCSVInputStream {
public:
    explicit CHCSVMemoryInputStream(std::vector<std::uint8_t> bytes)
        : bytes_(std::move(bytes))
    { }
    explicit CHCSVMemoryInputStream(std::string_view bytes)
        : bytes_(bytes.begin(), bytes.end())
    { }
    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

// A file read through its descriptor; open() gives none when the file cannot be opened.
class CHCSVFileInputStream final : public CHCSVInputStream {
public:
    static std::unique_ptr<CHCSVFileInputStream> open(const std::string& path);
    ~CHCSVFileInputStream() override;
    CHCSVFileInputStream(const CHCSVFileInputStream&) = delete;
    CHCSVFileInputStream& operator=(const CHCSVFileInputStream&) = delete;

    std::ptrdiff_t read(std::uint8_t* buffer, std::size_t maxLength) override;
    ErrorValue streamError() const override { return error_; }

private:
    explicit CHCSVFileInputStream(int fd)
        : fd_(fd)
    { }
    int fd_;
    ErrorValue error_;
};

class CHCSVParser;

// Receives the parse as events; every operation is optional to override. Field texts are UTF-8.
// Line numbers count from 1.
class CHCSVParserDelegate {
public:
    virtual ~CHCSVParserDelegate() = default;
    virtual void parserDidStartDocument(CHCSVParser&) { }
    virtual void parserDidStartLine(CHCSVParser&, std::uint64_t /*lineNumber*/) { }
    virtual void parserDidReadField(CHCSVParser&, const std::string& /*field*/) { }
    virtual void parserDidEndLine(CHCSVParser&, std::uint64_t /*lineNumber*/) { }
    virtual void parserDidEndDocument(CHCSVParser&) { }
    virtual void parserDidFailWithError(CHCSVParser&, const ErrorValue&) { }
};

// Streaming CSV reader: reads its input in chunks, decodes it, and reports documents, lines and
// fields to its delegate. A parser parses once, synchronously, on the calling thread.
//
// Text is handled as composed character sequences: a base character with its combining marks
// (up to 32 code points, longer runs are split), and a carriage return followed by a line feed
// counts as one line break, so CRLF ends a line once.
class CHCSVParser {
public:
    static constexpr std::size_t defaultChunkSize = 2048;

    // Construction. Without an encoding the first bytes are inspected (byte order marks, then a UTF-8
    // check with Mac OS Roman as the fallback) and encoding() tells what was found. A stream that
    // cannot be opened gives none and the code 1 error "Unable to open file for reading" in *error.
    static std::unique_ptr<CHCSVParser> fromStream(std::unique_ptr<CHCSVInputStream> stream,
        std::optional<CHCSVEncoding> encoding = std::nullopt, ErrorValue* error = nullptr);
    static std::unique_ptr<CHCSVParser> fromFile(
        const std::string& path, std::optional<CHCSVEncoding> encoding = std::nullopt, ErrorValue* error = nullptr);
    // The UTF-8 text is converted to the given encoding and read back as a byte stream. Text that the
    // encoding cannot represent counts as a stream that cannot be opened; invalid UTF-8 read as UTF-8
    // fails at parse time as undecodable (both code 1).
    static std::unique_ptr<CHCSVParser> fromString(
        std::string_view text, CHCSVEncoding encoding = CHCSVEncoding::UTF8, ErrorValue* error = nullptr);

    ~CHCSVParser();
    CHCSVParser(const CHCSVParser&) = delete;
    CHCSVParser& operator=(const CHCSVParser&) = delete;

    CHCSVEncoding encoding() const { return encoding_; }

    // One character (composed sequence) other than a line break, "#", a quote or a backslash; only
    // before parse() starts. Gives the refusal as an error value (nothing changes then).
    std::optional<ErrorValue> setDelimiter(std::string_view delimiter);
    const std::string& delimiter() const { return delimiterText_; }
    // Bytes per read, kept between 1 and 64 MiB so that a read always makes progress.
    void setChunkSize(std::size_t bytes);
    std::size_t chunkSize() const { return chunkSize_; }
    // Not owned; may be null.
    void setParserDelegate(CHCSVParserDelegate* delegate) { delegate_ = delegate; }

    // Parses the whole input: document start, lines and fields, then document end (returns true) or
    // failure (returns false, error() holds it). A second call does nothing and returns false.
    bool parse();
    // From a delegate callback: stops after the current character with the code 3 error.
    void cancelParsing();

    const std::optional<ErrorValue>& error() const { return error_; }
    std::uint64_t currentLine() const { return currentLine_; }

private:
    CHCSVParser(std::unique_ptr<CHCSVInputStream> stream, std::optional<CHCSVEncoding> encoding);

    void detectEncoding();
    void readBytes(std::size_t maxLength);
    void decodePending();
    void readChunk();
    bool nextCharacter(std::size_t& begin, std::size_t& end);
    void processCharacter(std::size_t begin, std::size_t end);
    bool isDelimiter(std::size_t begin, std::size_t end) const;
    void beginField();
    void finishField();
    void finishLine();
    void setState(int state);
    void fail(long code, std::string description, ValueMap userInfo = {});

    std::unique_ptr<CHCSVInputStream> stream_;
    CHCSVEncoding encoding_ = CHCSVEncoding::UTF8;
    std::size_t chunkSize_ = defaultChunkSize;
    std::vector<std::uint8_t> pendingBytes_; // read but not yet decoded
    std::u32string text_; // decoded code points; the consumed head is dropped now and then
    std::size_t position_ = 0; // read position in text_
    bool streamEnded_ = false;

    std::string delimiterText_ = ",";
    std::u32string delimiter_ = U",";

    std::uint64_t currentLine_ = 0;
    std::u32string currentField_;
    std::u32string fieldScratch_; // reused while finishing a field
    bool balancedQuotes_ = true;
    bool balancedEscapes_ = true;
    int state_ = 0; // 0 line start, 1 between fields, 2 in a field, 3 comment line, 4 cancelled
    char32_t previous_ = 0; // first code points of the two characters before the current one
    char32_t beforePrevious_ = 0;
    bool started_ = false;
    bool parsed_ = false;
    std::optional<ErrorValue> error_;
    CHCSVParserDelegate* delegate_ = nullptr;
};

} // namespace norvane
