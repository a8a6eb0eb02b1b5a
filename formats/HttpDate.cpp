#include "formats/HttpDate.h"

#include <array>
#include <cstdint>
#include <cstdio>

// Everything here is plain arithmetic on the proleptic Gregorian calendar in UTC: no strftime,
// strptime, mktime or localtime, so neither the locale nor TZ can change a result.

namespace norvane {

namespace {

using namespace std::chrono;

constexpr std::array<std::string_view, 7> kShortWeekdays = { "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat" };
constexpr std::array<std::string_view, 7> kLongWeekdays
    = { "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday" };
constexpr std::array<std::string_view, 12> kShortMonths
    = { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
constexpr std::array<std::string_view, 12> kLongMonths = { "January", "February", "March", "April", "May", "June",
    "July", "August", "September", "October", "November", "December" };

struct ZoneName {
    std::string_view name;
    int offsetHours;
    bool mayTakeOffset; // "GMT+0900" and the like
};
constexpr std::array<ZoneName, 12> kZones = { { { "GMT", 0, true }, { "UTC", 0, true }, { "UT", 0, true },
    { "Z", 0, false }, { "EST", -5, false }, { "EDT", -4, false }, { "CST", -6, false }, { "CDT", -5, false },
    { "MST", -7, false }, { "MDT", -6, false }, { "PST", -8, false }, { "PDT", -7, false } } };

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The fields one parse form collects.
struct Fields {
    int year = 0;
    int month = 0; // 1-12
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int offsetSeconds = 0; // east of Greenwich
};

class Cursor {
public:
    explicit Cursor(std::string_view text)
        : text_(text)
    { }

    bool atEnd() const { return pos_ == text_.size(); }

    // A space of the pattern: one or more blanks.
    bool blanks()
    {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && isBlank(text_[pos_]))
            ++pos_;
        return pos_ > start;
    }

    bool literal(char c)
    {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    // minDigits to maxDigits decimal digits, not followed by a further digit.
    bool number(int minDigits, int maxDigits, int& out, int* digitCount = nullptr)
    {
        int count = 0;
        int value = 0;
        while (count < maxDigits && pos_ < text_.size() && isDigit(text_[pos_])) {
            value = value * 10 + (text_[pos_] - '0');
            ++pos_;
            ++count;
        }
        if (count < minDigits || (pos_ < text_.size() && isDigit(text_[pos_])))
            return false;
        out = value;
        if (digitCount)
            *digitCount = count;
        return true;
    }

    // One of the names, long forms tried before short ones; the index of the match.
    template <std::size_t N>
    bool name(
        const std::array<std::string_view, N>& longNames, const std::array<std::string_view, N>& shortNames, int& index)
    {
        for (const auto* names : { &longNames, &shortNames }) {
            for (std::size_t i = 0; i < N; ++i) {
                const std::string_view candidate = (*names)[i];
                if (equalsIgnoringCase(text_.substr(pos_, candidate.size()), candidate)) {
                    pos_ += candidate.size();
                    index = static_cast<int>(i);
                    return true;
                }
            }
        }
        return false;
    }

    // A zone name, a numeric offset, or a name followed by an offset.
    bool zone(int& offsetSeconds)
    {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && isLetter(text_[pos_]))
            ++pos_;
        const std::string_view letters = text_.substr(start, pos_ - start);
        offsetSeconds = 0;
        bool mayTakeOffset = true;
        if (!letters.empty()) {
            const ZoneName* found = nullptr;
            for (const auto& zoneName : kZones) {
                if (equalsIgnoringCase(letters, zoneName.name))
                    found = &zoneName;
            }
            if (!found)
                return false;
            offsetSeconds = found->offsetHours * 3600;
            mayTakeOffset = found->mayTakeOffset;
            if (pos_ == text_.size() || (text_[pos_] != '+' && text_[pos_] != '-'))
                return true;
        }
        if (!mayTakeOffset || pos_ == text_.size() || (text_[pos_] != '+' && text_[pos_] != '-'))
            return false;
        const int sign = text_[pos_] == '-' ? -1 : 1;
        ++pos_;
        int hours = 0;
        int minutes = 0;
        int hourDigits = 0;
        // "+0900" is read as four digits, "+09:00", "+09" and "+9" as hours with optional minutes.
        const std::size_t digitsStart = pos_;
        int all = 0;
        int allDigits = 0;
        if (number(1, 4, all, &allDigits) && allDigits == 4) {
            hours = all / 100;
            minutes = all % 100;
        } else {
            pos_ = digitsStart;
            if (!number(1, 2, hours, &hourDigits))
                return false;
            if (literal(':') && !number(2, 2, minutes))
                return false;
        }
        if (hours > 23 || minutes > 59)
            return false;
        offsetSeconds = sign * (hours * 3600 + minutes * 60);
        return true;
    }

    bool time(Fields& f)
    {
        return number(1, 2, f.hour) && literal(':') && number(1, 2, f.minute) && literal(':') && number(1, 2, f.second);
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// A two-digit year lies in [reference - 80, reference + 20).
int expandTwoDigitYear(int twoDigits, int referenceYear)
{
    const int start = referenceYear - 80;
    int year = start - start % 100 + twoDigits;
    if (year < start)
        year += 100;
    return year;
}

bool parseRfc1123(std::string_view text, Fields& f)
{
    Cursor c(text);
    int weekday = 0;
    int month = 0;
    if (!(c.name(kLongWeekdays, kShortWeekdays, weekday) && c.literal(',') && c.blanks() && c.number(1, 2, f.day)
            && c.blanks() && c.name(kLongMonths, kShortMonths, month) && c.blanks() && c.number(4, 4, f.year)
            && c.blanks() && c.time(f) && c.blanks() && c.zone(f.offsetSeconds) && c.atEnd()))
        return false;
    f.month = month + 1;
    return true;
}

bool parseRfc850(std::string_view text, int referenceYear, Fields& f)
{
    Cursor c(text);
    int weekday = 0;
    int month = 0;
    int yearDigits = 0;
    if (!(c.name(kLongWeekdays, kShortWeekdays, weekday) && c.literal(',') && c.blanks() && c.number(1, 2, f.day)
            && c.literal('-') && c.name(kLongMonths, kShortMonths, month) && c.literal('-')
            && c.number(2, 4, f.year, &yearDigits) && c.blanks() && c.time(f) && c.blanks() && c.zone(f.offsetSeconds)
            && c.atEnd()))
        return false;
    if (yearDigits == 3)
        return false;
    if (yearDigits == 2)
        f.year = expandTwoDigitYear(f.year, referenceYear);
    f.month = month + 1;
    return true;
}

bool parseAsctime(std::string_view text, Fields& f)
{
    Cursor c(text);
    int weekday = 0;
    int month = 0;
    if (!(c.name(kLongWeekdays, kShortWeekdays, weekday) && c.blanks() && c.name(kLongMonths, kShortMonths, month)
            && c.blanks() && c.number(1, 2, f.day) && c.blanks() && c.time(f) && c.blanks() && c.number(4, 4, f.year)
            && c.atEnd()))
        return false;
    f.month = month + 1;
    f.offsetSeconds = 0;
    return true;
}

std::optional<Date> toDate(const Fields& f)
{
    // A leap second (60) is accepted and lands on the first second of the next minute.
    if (f.hour > 23 || f.minute > 59 || f.second > 60)
        return std::nullopt;
    const year_month_day ymd { year { f.year }, month { static_cast<unsigned>(f.month) },
        day { static_cast<unsigned>(f.day) } };
    if (!ymd.ok())
        return std::nullopt;
    const std::int64_t daysSinceEpoch = sys_days { ymd }.time_since_epoch().count();
    const std::int64_t secondsSinceEpoch
        = daysSinceEpoch * 86400 + f.hour * 3600 + f.minute * 60 + f.second - f.offsetSeconds;
    // Date counts in a fine unit; years far from 1970 do not fit and must not overflow.
    const auto limit = floor<seconds>(Date::duration::max()).count();
    if (secondsSinceEpoch > limit || secondsSinceEpoch < -limit)
        return std::nullopt;
    return Date { duration_cast<Date::duration>(seconds { secondsSinceEpoch }) };
}

std::string_view trimBlanks(std::string_view text)
{
    while (!text.empty() && (isBlank(text.front()) || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::string rfc1123String(Date date)
{
    const auto secondsPoint = floor<seconds>(date);
    const auto dayPoint = floor<days>(secondsPoint);
    const year_month_day ymd { dayPoint };
    const hh_mm_ss<seconds> time { secondsPoint - dayPoint };
    const weekday wd { dayPoint };
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02u %s %04d %02d:%02d:%02d GMT", kShortWeekdays[wd.c_encoding()].data(),
        static_cast<unsigned>(ymd.day()), kShortMonths[static_cast<unsigned>(ymd.month()) - 1].data(),
        static_cast<int>(ymd.year()), static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()));
    return buffer;
}

std::optional<Date> dateFromRFC1123(std::string_view text)
{
    return dateFromRFC1123(text, system_clock::now());
}

std::optional<Date> dateFromRFC1123(std::string_view text, Date now)
{
    text = trimBlanks(text);
    if (text.empty())
        return std::nullopt;
    const int referenceYear = static_cast<int>(year_month_day { floor<days>(now) }.year());
    Fields f;
    if (parseRfc1123(text, f))
        return toDate(f);
    f = {};
    if (parseRfc850(text, referenceYear, f))
        return toDate(f);
    f = {};
    if (parseAsctime(text, f))
        return toDate(f);
    return std::nullopt;
}

} // namespace norvane
