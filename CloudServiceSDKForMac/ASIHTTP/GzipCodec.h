#pragma once

#include "platform/Value.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace norvane {

// Why a decompression did not produce a result.
enum class GzipError {
    none,
    corrupt, // the data is not a zlib or gzip stream, or its check sum is wrong
    truncated, // the input ended before the compressed stream did
    needsDictionary, // a zlib stream that was compressed with a preset dictionary
    trailingData, // bytes after the end of the stream that are not another gzip member
    tooLarge, // the output would pass the caller's bound
    outputRejected, // the output receiver refused the bytes (a write failed)
    resource, // zlib could not allocate its state
};

// Decompresses a zlib or gzip stream piece by piece, handing the output to a receiver as it is
// produced, so that a download can be inflated into a file without being held in memory.
//
// Several gzip members in a row decode as one output (what gzip itself does with concatenated
// files). Anything else after the end of the stream is an error: a body with garbage behind its
// check sum is not trusted. Once an error has happened every later call fails at once.
class GzipInflater {
public:
    // Receives each piece of output; returning false stops the decompression (outputRejected).
    using Receiver = std::function<bool(std::span<const std::uint8_t>)>;

    // maxOutput: the most bytes the stream may expand to; 0 means no bound.
    explicit GzipInflater(Receiver receiver, std::uint64_t maxOutput = 0);
    ~GzipInflater();
    GzipInflater(const GzipInflater&) = delete;
    GzipInflater& operator=(const GzipInflater&) = delete;

    // Decompresses one piece of input. False once anything went wrong (see error()).
    bool feed(std::span<const std::uint8_t> input);
    // True when the input fed so far was one or more complete streams and nothing failed. An
    // input of no bytes at all is not a stream (truncated).
    bool finish();

    GzipError error() const { return error_; }
    // The zlib result code for the failure, in the codec's file result vocabulary (Z_DATA_ERROR
    // for corrupt, truncated, dictionary and trailing input; Z_ERRNO for a refused output).
    int resultCode() const;
    std::uint64_t bytesOut() const { return bytesOut_; }

private:
    struct Stream;

    bool fail(GzipError error, int code);

    Receiver receiver_;
    std::uint64_t maxOutput_;
    std::unique_ptr<Stream> stream_;
    std::uint64_t bytesOut_ = 0;
    bool sawInput_ = false;
    bool memberEnded_ = false;
    GzipError error_ = GzipError::none;
    int code_ = 0;
};

// The gzip codec of HTTP bodies and downloaded files: deflate with a gzip wrapper (window bits
// 31, memory level 8, default level and strategy); inflate accepting gzip or zlib (window bits 47).
class GzipCodec {
public:
    static constexpr std::size_t chunkSize = 16384;
    // What an in-memory decompression may expand to unless the caller says otherwise.
    static constexpr std::uint64_t defaultMaxOutput = std::uint64_t { 256 } * 1024 * 1024;

    // The gzip form of the bytes; none only when zlib cannot run at all.
    static std::optional<Bytes> compressData(std::span<const std::uint8_t> bytes);
    // Gzips the file at source into destination. 0 on success, -1 when a file cannot be read or
    // written, else the zlib error.
    static int compressDataFromFile(const std::string& source, const std::string& destination);

    // Decompresses a whole body in memory. An empty input is returned as it is. None on any
    // error, including an output that would pass maxOutput (a small body may expand a
    // thousandfold); *why (when given) tells which.
    static std::optional<Bytes> uncompressZippedData(
        std::span<const std::uint8_t> bytes, std::uint64_t maxOutput = defaultMaxOutput, GzipError* why = nullptr);
    // Decompresses the file at source into destination. 0 on success, -1 on a read or write
    // error, -3 when the input is corrupt, ends before the stream does or needs a dictionary,
    // else the zlib error. A failed decompression leaves no destination file behind.
    static int uncompressZippedDataFromFile(const std::string& source, const std::string& destination);
};

} // namespace norvane
