#include "formats/KeyedArchive.h"

#include "platform/FileSystem.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace norvane {

namespace {

// Written in insertion order so that a record's keys appear in the file as the record wrote
// them; read into sorted maps for fast lookup.
using WriteNode = nlohmann::ordered_json;
using ReadNode = nlohmann::json;

// Walks the CBOR items without recursion and without allocating more than one counter per open
// container, and says whether the decoder may be given the input: exactly one item, every
// length within the input, containers nested at most maxDepth deep, and only the kinds of item
// this archive writes (no tags, no indefinite lengths, no simple values but false, true, null).
bool isAcceptableCbor(std::span<const std::uint8_t> data, std::size_t maxDepth)
{
    std::vector<std::uint64_t> openItems; // items still expected by each open container
    const std::size_t size = data.size();
    std::size_t pos = 0;
    for (;;) {
        if (pos >= size)
            return false;
        const std::uint8_t initial = data[pos++];
        const unsigned major = initial >> 5;
        const unsigned info = initial & 0x1f;
        std::uint64_t argument = info;
        if (info >= 24) {
            if (info > 27)
                return false;
            const std::size_t length = std::size_t { 1 } << (info - 24);
            if (size - pos < length)
                return false;
            argument = 0;
            for (std::size_t i = 0; i < length; ++i)
                argument = (argument << 8) | data[pos++];
        }
        const std::uint64_t remaining = size - pos;
        switch (major) {
        case 0:
        case 1:
            break;
        case 2:
        case 3:
            if (argument > remaining)
                return false;
            pos += static_cast<std::size_t>(argument);
            break;
        case 4:
        case 5: {
            // Every item takes at least one byte, so a count beyond the rest of the input is a
            // lie; refusing it also bounds what the decoder may try to reserve.
            const std::uint64_t items = major == 5 ? (argument > remaining / 2 ? UINT64_MAX : argument * 2) : argument;
            if (items > remaining)
                return false;
            if (items > 0) {
                if (openItems.size() >= maxDepth)
                    return false;
                openItems.push_back(items);
                continue;
            }
            break;
        }
        case 6:
            return false;
        default:
            if (info != 20 && info != 21 && info != 22 && info != 25 && info != 26 && info != 27)
                return false;
            break;
        }
        // An item is complete: close every container that it completes.
        while (!openItems.empty()) {
            if (--openItems.back() > 0)
                break;
            openItems.pop_back();
        }
        if (openItems.empty())
            return pos == size;
    }
}

WriteNode toNode(const Value& value)
{
    const auto& storage = value.storage();
    if (std::holds_alternative<bool>(storage))
        return std::get<bool>(storage);
    if (std::holds_alternative<std::int64_t>(storage))
        return std::get<std::int64_t>(storage);
    if (std::holds_alternative<double>(storage))
        return std::get<double>(storage);
    if (const auto* text = value.string())
        return *text;
    if (const auto* bytes = value.bytes())
        return WriteNode::binary(*bytes);
    if (const auto* list = value.list()) {
        WriteNode array = WriteNode::array();
        for (const auto& element : *list)
            array.push_back(toNode(element));
        return array;
    }
    if (const auto* map = value.map()) {
        WriteNode object = WriteNode::object();
        for (const auto& [key, element] : *map)
            object[key] = toNode(element);
        return object;
    }
    return nullptr;
}

// Depth is bounded by the check done before decoding, so this recursion is too.
Value toValue(const ReadNode& node)
{
    switch (node.type()) {
    case ReadNode::value_t::boolean:
        return node.get<bool>();
    case ReadNode::value_t::number_integer:
        return node.get<std::int64_t>();
    case ReadNode::value_t::number_unsigned: {
        const auto number = node.get<std::uint64_t>();
        return static_cast<std::int64_t>(std::min<std::uint64_t>(number, INT64_MAX));
    }
    case ReadNode::value_t::number_float:
        return node.get<double>();
    case ReadNode::value_t::string:
        return node.get_ref<const std::string&>();
    case ReadNode::value_t::binary:
        return Bytes(node.get_binary().begin(), node.get_binary().end());
    case ReadNode::value_t::array: {
        ValueList list;
        list.reserve(node.size());
        for (const auto& element : node)
            list.push_back(toValue(element));
        return list;
    }
    case ReadNode::value_t::object: {
        ValueMap map;
        for (const auto& [key, element] : node.items())
            map.emplace(key, toValue(element));
        return map;
    }
    default:
        return {};
    }
}

std::int64_t clampToInt64(double number)
{
    if (std::isnan(number))
        return 0;
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (number >= 9223372036854775808.0)
        return INT64_MAX;
    if (number <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<std::int64_t>(number);
}

std::optional<std::int64_t> integerOf(const ReadNode& node)
{
    switch (node.type()) {
    case ReadNode::value_t::number_integer:
        return node.get<std::int64_t>();
    case ReadNode::value_t::number_unsigned:
        return static_cast<std::int64_t>(std::min<std::uint64_t>(node.get<std::uint64_t>(), INT64_MAX));
    case ReadNode::value_t::number_float:
        return clampToInt64(node.get<double>());
    case ReadNode::value_t::boolean:
        return node.get<bool>() ? 1 : 0;
    default:
        return std::nullopt;
    }
}

std::optional<double> realOf(const ReadNode& node)
{
    switch (node.type()) {
    case ReadNode::value_t::number_integer:
        return static_cast<double>(node.get<std::int64_t>());
    case ReadNode::value_t::number_unsigned:
        return static_cast<double>(node.get<std::uint64_t>());
    case ReadNode::value_t::number_float:
        return node.get<double>();
    case ReadNode::value_t::boolean:
        return node.get<bool>() ? 1.0 : 0.0;
    default:
        return std::nullopt;
    }
}

const ReadNode& nodeOf(const std::shared_ptr<const void>& node)
{
    return *static_cast<const ReadNode*>(node.get());
}

} // namespace

// ---- writing

struct KeyedArchiver::Impl {
    WriteNode object = WriteNode::object();

    void set(std::string_view key, WriteNode value) { object[std::string(key)] = std::move(value); }
};

KeyedArchiver::KeyedArchiver()
    : impl_(std::make_unique<Impl>())
{ }

KeyedArchiver::~KeyedArchiver() = default;
KeyedArchiver::KeyedArchiver(KeyedArchiver&&) noexcept = default;
KeyedArchiver& KeyedArchiver::operator=(KeyedArchiver&&) noexcept = default;

KeyedArchiver::Impl& KeyedArchiver::impl()
{
    // A moved-from archiver starts over as an empty record rather than failing.
    if (!impl_)
        impl_ = std::make_unique<Impl>();
    return *impl_;
}

void KeyedArchiver::encodeBool(std::string_view key, bool value)
{
    impl().set(key, value);
}

void KeyedArchiver::encodeInt32(std::string_view key, std::int32_t value)
{
    impl().set(key, static_cast<std::int64_t>(value));
}

void KeyedArchiver::encodeInt64(std::string_view key, std::int64_t value)
{
    impl().set(key, value);
}

void KeyedArchiver::encodeFloat(std::string_view key, float value)
{
    // Every float is exactly a double, and the CBOR writer stores such doubles in single precision.
    impl().set(key, static_cast<double>(value));
}

void KeyedArchiver::encodeDouble(std::string_view key, double value)
{
    impl().set(key, value);
}

void KeyedArchiver::encodeString(std::string_view key, const std::optional<std::string>& value)
{
    if (value)
        impl().set(key, *value);
}

void KeyedArchiver::encodeBytes(std::string_view key, std::span<const std::uint8_t> value)
{
    impl().set(key, WriteNode::binary(std::vector<std::uint8_t>(value.begin(), value.end())));
}

void KeyedArchiver::encodeDate(std::string_view key, const std::optional<Date>& value)
{
    if (value) {
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(value->time_since_epoch());
        impl().set(key, static_cast<std::int64_t>(nanoseconds.count()));
    }
}

void KeyedArchiver::encodeValue(std::string_view key, const Value& value)
{
    impl().set(key, toNode(value));
}

void KeyedArchiver::encodeStringList(std::string_view key, const std::vector<std::string>& values)
{
    WriteNode array = WriteNode::array();
    for (const auto& value : values)
        array.push_back(value);
    impl().set(key, std::move(array));
}

void KeyedArchiver::encodeRecord(std::string_view key, KeyedArchiver&& record)
{
    impl().set(key, std::move(record.impl().object));
    record.impl_.reset();
}

void KeyedArchiver::encodeRecordList(std::string_view key, std::vector<KeyedArchiver>&& records)
{
    WriteNode array = WriteNode::array();
    for (auto& record : records) {
        array.push_back(std::move(record.impl().object));
        record.impl_.reset();
    }
    impl().set(key, std::move(array));
}

std::optional<Bytes> archiveToData(const KeyedArchiver& archive)
{
    try {
        Bytes out;
        if (archive.impl_)
            WriteNode::to_cbor(archive.impl_->object, out);
        else
            WriteNode::to_cbor(WriteNode::object(), out);
        // What could not be read back is not worth writing.
        if (!isAcceptableCbor(out, kArchiveMaxDepth))
            return std::nullopt;
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

bool writeArchiveFile(const std::filesystem::path& path, const KeyedArchiver& archive)
{
    const auto data = archiveToData(archive);
    return data && FileSystem::writeFileAtomically(path, *data);
}

// ---- reading

KeyedUnarchiver::KeyedUnarchiver(std::shared_ptr<const void> node)
    : node_(std::move(node))
{ }

namespace {

const ReadNode* find(const std::shared_ptr<const void>& node, std::string_view key)
{
    const ReadNode& object = nodeOf(node);
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

} // namespace

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const
{
    return find(node_, key) != nullptr;
}

bool KeyedUnarchiver::decodeBool(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    if (!node)
        return false;
    const double number = realOf(*node).value_or(0.0);
    return number != 0.0 && !std::isnan(number);
}

std::int32_t KeyedUnarchiver::decodeInt32(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    const std::int64_t value = node ? integerOf(*node).value_or(0) : 0;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    return node ? integerOf(*node).value_or(0) : 0;
}

float KeyedUnarchiver::decodeFloat(std::string_view key) const
{
    const double value = decodeDouble(key);
    // Converting a double beyond the float range is undefined; such values read as infinity.
    if (value > std::numeric_limits<float>::max())
        return std::numeric_limits<float>::infinity();
    if (value < std::numeric_limits<float>::lowest())
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

double KeyedUnarchiver::decodeDouble(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    return node ? realOf(*node).value_or(0.0) : 0.0;
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_string())
        return std::nullopt;
    return node->get<std::string>();
}

std::optional<Bytes> KeyedUnarchiver::decodeBytes(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_binary())
        return std::nullopt;
    return Bytes(node->get_binary().begin(), node->get_binary().end());
}

std::optional<Date> KeyedUnarchiver::decodeDate(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_number_integer())
        return std::nullopt;
    if (node->is_number_unsigned() && node->get<std::uint64_t>() > INT64_MAX)
        return std::nullopt;
    const std::chrono::nanoseconds sinceEpoch { node->get<std::int64_t>() };
    // Date's own unit is nanoseconds or coarser here, so the conversion cannot overflow.
    return Date { std::chrono::duration_cast<Date::duration>(sinceEpoch) };
}

Value KeyedUnarchiver::decodeValue(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    return node ? toValue(*node) : Value {};
}

std::vector<std::string> KeyedUnarchiver::decodeStringList(std::string_view key) const
{
    std::vector<std::string> out;
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_array())
        return out;
    for (const auto& element : *node) {
        if (element.is_string())
            out.push_back(element.get<std::string>());
    }
    return out;
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::decodeRecord(std::string_view key) const
{
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_object())
        return std::nullopt;
    return KeyedUnarchiver(std::shared_ptr<const void>(node_, node));
}

std::vector<KeyedUnarchiver> KeyedUnarchiver::decodeRecordList(std::string_view key) const
{
    std::vector<KeyedUnarchiver> out;
    const ReadNode* node = find(node_, key);
    if (!node || !node->is_array())
        return out;
    for (const auto& element : *node) {
        if (element.is_object())
            out.push_back(KeyedUnarchiver(std::shared_ptr<const void>(node_, &element)));
    }
    return out;
}

std::optional<KeyedUnarchiver> unarchiveFromData(std::span<const std::uint8_t> data)
{
    if (!isAcceptableCbor(data, kArchiveMaxDepth))
        return std::nullopt;
    try {
        auto document = std::make_shared<ReadNode>(ReadNode::from_cbor(data.begin(), data.end(), true, false));
        if (!document->is_object() || !document->contains(kArchiveRootKey))
            return std::nullopt;
        return KeyedUnarchiver(std::shared_ptr<const void>(std::move(document)));
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<KeyedUnarchiver> readArchiveFile(const std::filesystem::path& path)
{
    const auto data = FileSystem::readFile(path, kArchiveMaxFileSize);
    if (!data)
        return std::nullopt;
    return unarchiveFromData(*data);
}

} // namespace norvane
