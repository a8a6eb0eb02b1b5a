#include "formats/HttpDate.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <random>

using namespace norvane;
using namespace std::chrono;

namespace {

// Sun, 06 Nov 1994 08:49:37 GMT
const Date kExample = Date { seconds { 784111777 } };

Date dateOf(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0)
{
    return sys_days { year { y } / m / d } + hours { hh } + minutes { mm } + seconds { ss };
}

// Switches TZ and the locale for one test and puts them back afterwards.
class ForeignEnvironment {
public:
    ForeignEnvironment()
    {
        if (const char* tz = std::getenv("TZ"))
            oldTz_ = tz;
        ::setenv("TZ", "Asia/Tokyo", 1);
        ::tzset();
        oldLocale_ = std::setlocale(LC_ALL, nullptr);
        for (const char* name : { "de_DE.UTF-8", "fr_FR.UTF-8", "ja_JP.UTF-8", "ru_RU.UTF-8", "de_DE", "fr_FR" }) {
            if (std::setlocale(LC_ALL, name)) {
                localeSwitched_ = true;
                break;
            }
        }
    }
    ~ForeignEnvironment()
    {
        std::setlocale(LC_ALL, oldLocale_.c_str());
        if (oldTz_)
            ::setenv("TZ", oldTz_->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    bool localeSwitched() const { return localeSwitched_; }

private:
    std::optional<std::string> oldTz_;
    std::string oldLocale_;
    bool localeSwitched_ = false;
};

} // namespace

TEST(HttpDate, WritesRfc1123InGmt)
{
    EXPECT_EQ(rfc1123String(kExample), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(rfc1123String(kExample + milliseconds { 999 }), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(rfc1123String(Date {}), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(rfc1123String(dateOf(2024, 2, 29, 23, 59, 59)), "Thu, 29 Feb 2024 23:59:59 GMT");
    // Before 1970 the fraction still rounds down, to the earlier second.
    EXPECT_EQ(rfc1123String(Date {} - milliseconds { 1 }), "Wed, 31 Dec 1969 23:59:59 GMT");
}

TEST(HttpDate, ParsesTheThreeForms)
{
    const Date now = dateOf(2025, 6, 1);
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 08:49:37 GMT", now), kExample);
    EXPECT_EQ(dateFromRFC1123("Sunday, 06-Nov-94 08:49:37 GMT", now), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun Nov  6 08:49:37 1994", now), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun Nov 6 08:49:37 1994", now), kExample);
    // Case of names, zone spellings, a four-digit year in the second form.
    EXPECT_EQ(dateFromRFC1123("sun, 06 NOV 1994 08:49:37 UTC", now), kExample);
    EXPECT_EQ(dateFromRFC1123("Sunday, 06-November-1994 08:49:37 UT", now), kExample);
    EXPECT_EQ(dateFromRFC1123("  Sun, 6 Nov 1994 8:49:37 GMT\r\n", now), kExample);
}

TEST(HttpDate, AppliesZoneOffsets)
{
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 17:49:37 +0900"), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 17:49:37 GMT+09:00"), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 03:19:37 -0530"), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 00:49:37 PST"), kExample);
    EXPECT_EQ(dateFromRFC1123("Sunday, 06-Nov-94 09:49:37 +01"), kExample);
}

TEST(HttpDate, TwoDigitYearsFollowTheWindowOfNow)
{
    const Date now = dateOf(2025, 6, 1);
    EXPECT_EQ(dateFromRFC1123("Monday, 01-Jan-45 00:00:00 GMT", now), dateOf(1945, 1, 1));
    EXPECT_EQ(dateFromRFC1123("Friday, 01-Jan-44 00:00:00 GMT", now), dateOf(2044, 1, 1));
    EXPECT_EQ(dateFromRFC1123("Saturday, 01-Jan-00 00:00:00 GMT", now), dateOf(2000, 1, 1));
    // Seventy years on, the same text means the next century.
    EXPECT_EQ(dateFromRFC1123("Monday, 01-Jan-45 00:00:00 GMT", dateOf(2095, 6, 1)), dateOf(2045, 1, 1));
}

TEST(HttpDate, RejectsBadText)
{
    for (const char* text : {
             "",
             "   ",
             "yesterday",
             "Sun, 06 Nov 1994 08:49:37",
             "Sun, 06 Nov 1994 08:49:37 GMT trailing",
             "Sun, 31 Feb 1994 08:49:37 GMT",
             "Sun, 29 Feb 1900 08:49:37 GMT",
             "Sun, 06 Nov 1994 24:00:00 GMT",
             "Sun, 06 Nov 1994 08:60:00 GMT",
             "Sun, 06 Nov 1994 08:49:37 XYZ",
             "Sun, 06 Nov 1994 08:49:37 +2500",
             "Sun, 06 Nov 1994 08:49:37 +090",
             "Sun, 006 Nov 1994 08:49:37 GMT",
             "Sun, 06 Nov 94 08:49:37 GMT",
             "Sunday, 06-Nov-994 08:49:37 GMT",
             "Xyz, 06 Nov 1994 08:49:37 GMT",
             "Sun 06 Nov 1994 08:49:37 GMT",
             "Sun Nov  6 08:49:37 1994 GMT",
             // Valid text, but beyond the range a Date can hold.
             "Fri, 31 Dec 9999 23:59:59 GMT",
             "Mon, 01 Jan 0001 00:00:00 GMT",
         }) {
        EXPECT_EQ(dateFromRFC1123(text), std::nullopt) << text;
    }
}

TEST(HttpDate, IgnoresLocaleAndTimeZone)
{
    ForeignEnvironment foreign;
    if (!foreign.localeSwitched())
        std::fprintf(stderr, "no non-English locale installed; checking the time zone only\n");
    EXPECT_EQ(rfc1123String(kExample), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(dateFromRFC1123("Sun, 06 Nov 1994 08:49:37 GMT"), kExample);
    EXPECT_EQ(dateFromRFC1123("Sun Nov  6 08:49:37 1994"), kExample);

    std::mt19937_64 random(7);
    for (int i = 0; i < 500; ++i) {
        const Date date { seconds { static_cast<std::int64_t>(random() % 4102444800) } }; // 1970..2100
        const std::string text = rfc1123String(date);
        ASSERT_EQ(dateFromRFC1123(text), date) << text;
    }
}
