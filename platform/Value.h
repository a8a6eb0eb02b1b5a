#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace norvane {

using Bytes = std::vector<std::uint8_t>;

// A plain data value: what option maps, notification user-info maps and archived "any value"
// fields hold. Integers are kept as 64-bit; the width a field is stored with is the writer's business.
class Value {
public:
    using List = std::vector<Value>;
    using Map = std::map<std::string, Value, std::less<>>;
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, List, Map>;

    Value() = default;
    Value(std::nullptr_t) { }
    Value(bool b)
        : storage_(b)
    { }
    Value(int i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(unsigned i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(long i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(long long i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(unsigned long i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(unsigned long long i)
        : storage_(static_cast<std::int64_t>(i))
    { }
    Value(double d)
        : storage_(d)
    { }
    Value(float f)
        : storage_(static_cast<double>(f))
    { }
    Value(const char* s)
        : storage_(std::string(s))
    { }
    Value(std::string s)
        : storage_(std::move(s))
    { }
    Value(Bytes b)
        : storage_(std::move(b))
    { }
    Value(List l)
        : storage_(std::move(l))
    { }
    Value(Map m)
        : storage_(std::move(m))
    { }

    bool isNull() const { return std::holds_alternative<std::monostate>(storage_); }
    bool isBool() const { return std::holds_alternative<bool>(storage_); }
    bool isInteger() const { return std::holds_alternative<std::int64_t>(storage_); }
    bool isDouble() const { return std::holds_alternative<double>(storage_); }
    bool isNumber() const { return isInteger() || isDouble() || isBool(); }
    bool isString() const { return std::holds_alternative<std::string>(storage_); }
    bool isBytes() const { return std::holds_alternative<Bytes>(storage_); }
    bool isList() const { return std::holds_alternative<List>(storage_); }
    bool isMap() const { return std::holds_alternative<Map>(storage_); }

    // Numeric reads convert between the numeric kinds (and from a decimal string, as a
    // number-valued option often arrives as text); anything else reads as 0.
    std::int64_t toInt64() const;
    double toDouble() const;
    bool toBool() const { return toInt64() != 0; }

    // Typed access: null when the value is of another kind.
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const Bytes* bytes() const { return std::get_if<Bytes>(&storage_); }
    const List* list() const { return std::get_if<List>(&storage_); }
    const Map* map() const { return std::get_if<Map>(&storage_); }
    List* list() { return std::get_if<List>(&storage_); }
    Map* map() { return std::get_if<Map>(&storage_); }

    // The string, or the fallback when the value is not a string.
    std::string stringOr(std::string fallback) const;
    // A member of a map value, or null.
    const Value& operator[](std::string_view key) const;

    const Storage& storage() const { return storage_; }
    friend bool operator==(const Value&, const Value&) = default;

private:
    Storage storage_;
};

using ValueMap = Value::Map;
using ValueList = Value::List;

} // namespace norvane
