#pragma once

#include "formats/Date.h"
#include "platform/Value.h"

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// The keyed archive in which commands, the batch queue and the cache index are stored.
//
// A record is a map from string keys to typed values; the file is CBOR (RFC 8949) whose top level
// is such a record holding the stored object under kArchiveRootKey. Values are stored as:
//   bool          CBOR true / false
//   int32, int64  CBOR integer
//   float, double CBOR float (a float is written in single precision)
//   string        CBOR text string; an absent string is not written at all, so that absent and
//                 empty read back as they were written
//   bytes         CBOR byte string
//   date          CBOR integer: nanoseconds since 1970-01-01 00:00:00 UTC
//   Value         the matching CBOR item (null, bool, integer, float, text, bytes, array, map)
//   record        CBOR map; a list of records is an array of maps
//
// Reading never throws. A missing key, or a value of another kind, reads as 0, false, an empty
// list or nothing. Numbers convert between integer, float and bool; a number outside the range of
// the type asked for is clamped to that range (NaN reads as 0), so a 32-bit read of a larger
// stored value gives INT32_MAX or INT32_MIN.
//
// Input is checked before it is decoded: items nested deeper than kArchiveMaxDepth, lengths
// beyond the end of the input, tags, indefinite lengths and trailing bytes make the whole input
// unreadable, so that corrupt or hostile files can neither exhaust the stack nor memory.

namespace norvane {

inline constexpr std::string_view kArchiveRootKey = "Data";
inline constexpr std::size_t kArchiveMaxDepth = 64;
inline constexpr std::uint64_t kArchiveMaxFileSize = std::uint64_t { 512 } << 20;

class KeyedArchiver;
class KeyedUnarchiver;

// A record type writes itself with `void encodeWithCoder(KeyedArchiver&) const` and reads itself
// with `static R initWithCoder(const KeyedUnarchiver&)`, where R is std::optional<T> or a smart
// pointer to T (empty when the stored record is unusable).
template <class T>
concept ArchivableRecord = requires(const T& record, KeyedArchiver& archiver)
{
    record.encodeWithCoder(archiver);
};

// Something that may hold a record: a pointer, a smart pointer or an optional.
template <class P>
concept ArchivableRecordHolder = !ArchivableRecord<P> && requires(const P& holder)
{
    static_cast<bool>(holder);
    *holder;
}
&&ArchivableRecord<std::remove_cvref_t<decltype(*std::declval<const P&>())>>;

template <class T>
concept UnarchivableRecord = requires(const KeyedUnarchiver& unarchiver)
{
    { T::initWithCoder(unarchiver) };
    static_cast<bool>(T::initWithCoder(unarchiver));
};

class KeyedArchiver {
public:
    KeyedArchiver();
    ~KeyedArchiver();
    KeyedArchiver(KeyedArchiver&&) noexcept;
    KeyedArchiver& operator=(KeyedArchiver&&) noexcept;
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    // Writing a key a second time replaces its value.
    void encodeBool(std::string_view key, bool value);
    void encodeInt32(std::string_view key, std::int32_t value);
    void encodeInt64(std::string_view key, std::int64_t value);
    void encodeFloat(std::string_view key, float value);
    void encodeDouble(std::string_view key, double value);
    void encodeString(std::string_view key, const std::optional<std::string>& value);
    void encodeBytes(std::string_view key, std::span<const std::uint8_t> value);
    void encodeDate(std::string_view key, const std::optional<Date>& value);
    void encodeValue(std::string_view key, const Value& value);
    void encodeStringList(std::string_view key, const std::vector<std::string>& values);
    void encodeRecord(std::string_view key, KeyedArchiver&& record);
    void encodeRecordList(std::string_view key, std::vector<KeyedArchiver>&& records);

    template <ArchivableRecord T> void encodeObject(std::string_view key, const T& record)
    {
        KeyedArchiver child;
        record.encodeWithCoder(child);
        encodeRecord(key, std::move(child));
    }

    // An empty holder writes no key.
    template <ArchivableRecordHolder P> void encodeObject(std::string_view key, const P& holder)
    {
        if (holder)
            encodeObject(key, *holder);
    }

    // Records, or holders of records; empty holders are left out of the list.
    template <std::ranges::input_range R> void encodeObjectList(std::string_view key, const R& records)
    {
        std::vector<KeyedArchiver> children;
        for (const auto& element : records) {
            using Element = std::remove_cvref_t<decltype(element)>;
            KeyedArchiver child;
            if constexpr (ArchivableRecord<Element>) {
                element.encodeWithCoder(child);
            } else {
                static_assert(ArchivableRecordHolder<Element>, "not a record or a holder of one");
                if (!element)
                    continue;
                (*element).encodeWithCoder(child);
            }
            children.push_back(std::move(child));
        }
        encodeRecordList(key, std::move(children));
    }

private:
    friend std::optional<Bytes> archiveToData(const KeyedArchiver& archive);

    struct Impl;
    Impl& impl();
    std::unique_ptr<Impl> impl_;
};

namespace archive_detail {
// The element type of a decoded list: optionals are unwrapped, pointers stay pointers.
template <class R> struct ListElement {
    using type = R;
    static R take(R&& decoded) { return std::move(decoded); }
};
template <class U> struct ListElement<std::optional<U>> {
    using type = U;
    static U take(std::optional<U>&& decoded) { return std::move(*decoded); }
};
} // namespace archive_detail

// A read-only view of one record of a decoded archive. Copies are cheap and share the decoded
// document, which lives as long as any view of it.
class KeyedUnarchiver {
public:
    bool containsValueForKey(std::string_view key) const;
    bool decodeBool(std::string_view key) const;
    std::int32_t decodeInt32(std::string_view key) const;
    std::int64_t decodeInt64(std::string_view key) const;
    float decodeFloat(std::string_view key) const;
    double decodeDouble(std::string_view key) const;
    std::optional<std::string> decodeString(std::string_view key) const;
    std::optional<Bytes> decodeBytes(std::string_view key) const;
    std::optional<Date> decodeDate(std::string_view key) const;
    // Whatever is stored, as a plain value (records read as maps); null when the key is missing.
    Value decodeValue(std::string_view key) const;
    // The strings of a list; other elements are skipped.
    std::vector<std::string> decodeStringList(std::string_view key) const;
    std::optional<KeyedUnarchiver> decodeRecord(std::string_view key) const;
    // The records of a list; other elements are skipped.
    std::vector<KeyedUnarchiver> decodeRecordList(std::string_view key) const;

    template <UnarchivableRecord T>
    auto decodeObject(std::string_view key) const -> decltype(T::initWithCoder(std::declval<const KeyedUnarchiver&>()))
    {
        using Result = decltype(T::initWithCoder(std::declval<const KeyedUnarchiver&>()));
        auto record = decodeRecord(key);
        if (!record)
            return Result {};
        return T::initWithCoder(*record);
    }

    // The records of a list that decode; the others are left out.
    template <UnarchivableRecord T> auto decodeObjectList(std::string_view key) const
    {
        using Result = decltype(T::initWithCoder(std::declval<const KeyedUnarchiver&>()));
        using Element = archive_detail::ListElement<Result>;
        std::vector<typename Element::type> out;
        for (const auto& record : decodeRecordList(key)) {
            if (auto decoded = T::initWithCoder(record))
                out.push_back(Element::take(std::move(decoded)));
        }
        return out;
    }

private:
    friend std::optional<KeyedUnarchiver> unarchiveFromData(std::span<const std::uint8_t> data);

    // Points at a map node inside a decoded document and keeps that document alive.
    explicit KeyedUnarchiver(std::shared_ptr<const void> node);
    std::shared_ptr<const void> node_;
};

// The archive's bytes; nothing when the archive could not be read back (nested too deeply).
std::optional<Bytes> archiveToData(const KeyedArchiver& archive);

// The top-level record; nothing for empty, truncated, corrupt or hostile input, for a top level
// that is not a map, and for one without kArchiveRootKey.
std::optional<KeyedUnarchiver> unarchiveFromData(std::span<const std::uint8_t> data);

// Writes atomically (see FileSystem::writeFileAtomically); a new file is readable by its owner
// only, since commands carry credentials. False when nothing was written.
bool writeArchiveFile(const std::filesystem::path& path, const KeyedArchiver& archive);

// Nothing for a missing, empty, unreadable, oversized (kArchiveMaxFileSize) or corrupt file.
std::optional<KeyedUnarchiver> readArchiveFile(const std::filesystem::path& path);

} // namespace norvane
