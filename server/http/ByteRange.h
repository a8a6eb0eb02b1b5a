#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvane::server {

// One byte range as a client asks for it: "bytes=a-b", "bytes=a-", "bytes=-n", or the connection
// probe's bare "a-b" / "a-". Several ranges in one header are not served (the whole body is).
struct ByteRangeRequest {
    std::uint64_t first = 0;
    std::optional<std::uint64_t> last; // none: to the end
    bool suffix = false; // "-n": the last `first` bytes
};

// Nothing for a header that names no single well-formed range (such a header is ignored). Numbers
// too large for 64 bits are held at the largest value.
std::optional<ByteRangeRequest> parseByteRange(std::string_view header);

// What to answer for a body of `size` bytes.
struct RangeAnswer {
    enum class Kind { Whole, Partial, Unsatisfiable };
    Kind kind = Kind::Whole;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// No range: the whole body (200). A range that starts at or after the end: 416, except that an
// empty body is answered whole. Otherwise 206 with the end held at size - 1.
RangeAnswer resolveByteRange(const std::optional<ByteRangeRequest>& range, std::uint64_t size);

// "bytes a-e/size" for a partial answer, "bytes */size" for an unsatisfiable one.
std::string contentRangeValue(const RangeAnswer& answer, std::uint64_t size);

// "a-b" of "x-zel-file-write-range": both numbers present, a <= b.
struct WriteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::uint64_t length() const { return last - first + 1; }
};
std::optional<WriteRange> parseWriteRange(std::string_view header);

// A whole decimal number without sign or blanks that fits in 63 bits.
std::optional<std::int64_t> parseDecimal(std::string_view text);

} // namespace norvane::server
