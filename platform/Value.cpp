#include "platform/Value.h"

#include <charconv>

namespace norvane {

std::int64_t Value::toInt64() const
{
    if (auto* i = std::get_if<std::int64_t>(&storage_))
        return *i;
    if (auto* d = std::get_if<double>(&storage_)) {
        // Out-of-range doubles would be undefined behaviour to cast; clamp them.
        if (*d != *d)
            return 0;
        if (*d >= 9.2e18)
            return INT64_MAX;
        if (*d <= -9.2e18)
            return INT64_MIN;
        return static_cast<std::int64_t>(*d);
    }
    if (auto* b = std::get_if<bool>(&storage_))
        return *b ? 1 : 0;
    if (auto* s = std::get_if<std::string>(&storage_)) {
        std::int64_t out = 0;
        const char* begin = s->data();
        while (begin != s->data() + s->size() && (*begin == ' ' || *begin == '+'))
            ++begin;
        std::from_chars(begin, s->data() + s->size(), out);
        return out;
    }
    return 0;
}

double Value::toDouble() const
{
    if (auto* d = std::get_if<double>(&storage_))
        return *d;
    if (auto* i = std::get_if<std::int64_t>(&storage_))
        return static_cast<double>(*i);
    if (auto* b = std::get_if<bool>(&storage_))
        return *b ? 1.0 : 0.0;
    if (auto* s = std::get_if<std::string>(&storage_)) {
        double out = 0;
        std::from_chars(s->data(), s->data() + s->size(), out);
        return out;
    }
    return 0;
}

std::string Value::stringOr(std::string fallback) const
{
    if (auto* s = std::get_if<std::string>(&storage_))
        return *s;
    return fallback;
}

const Value& Value::operator[](std::string_view key) const
{
    static const Value null;
    if (auto* m = std::get_if<Map>(&storage_)) {
        auto it = m->find(key);
        if (it != m->end())
            return it->second;
    }
    return null;
}

} // namespace norvane
