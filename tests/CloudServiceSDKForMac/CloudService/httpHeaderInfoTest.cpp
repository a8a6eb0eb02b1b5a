#include "CloudServiceSDKForMac/CloudService/httpHeaderInfo.h"

#include "support/ScriptedHttpServer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ctime>

namespace norvane {
namespace {

TEST(httpHeaderInfoTest, FollowsDeviceIdNotificationsOnlyWhileAliveAndOnlyWithAnIdentifier)
{
    NotificationCenter center;
    auto info = std::make_unique<httpHeaderInfo>("BASE-UUID", center);
    EXPECT_EQ(info->deviceId(), "BASE-UUID");
    EXPECT_EQ(info->theNewDeviceId(), "");

    center.post(kNotificationDeviceIdUpdated, nullptr, { { kDeviceIdUserInfoKey, "dc09AAAA" } });
    EXPECT_EQ(info->theNewDeviceId(), "dc09AAAA");

    // A notification without an identifier text does not wipe the one in use.
    center.post(kNotificationDeviceIdUpdated);
    center.post(kNotificationDeviceIdUpdated, nullptr, { { kDeviceIdUserInfoKey, 42 } });
    EXPECT_EQ(info->theNewDeviceId(), "dc09AAAA");

    // Once destroyed, the record is no longer called (a dangling callback would show under ASan).
    info.reset();
    center.post(kNotificationDeviceIdUpdated, nullptr, { { kDeviceIdUserInfoKey, "dc09BBBB" } });
}

TEST(httpHeaderInfoTest, DeviceIdIsPrefixAndUpperCaseDigestOfUuidLocalTimeAndClientName)
{
    // 2024-03-05 06:07:08 local time.
    std::tm local {};
    local.tm_year = 124;
    local.tm_mon = 2;
    local.tm_mday = 5;
    local.tm_hour = 6;
    local.tm_min = 7;
    local.tm_sec = 8;
    local.tm_isdst = -1;
    auto when = std::chrono::system_clock::from_time_t(std::mktime(&local));

    std::string id = httpHeaderInfo::makeDeviceId("dc09", "1F2E3D4C-UUID", when);
    ASSERT_EQ(id.size(), 36u);
    EXPECT_EQ(id.substr(0, 4), "dc09");
    std::string expected = test::md5Hex("1F2E3D4C-UUID20240305060708NorvaneClient");
    for (char& c : expected)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(id.substr(4), expected);

    // A different second gives a different identifier; non-ASCII seeds are hashed as UTF-8.
    EXPECT_NE(httpHeaderInfo::makeDeviceId("dc09", "1F2E3D4C-UUID", when + std::chrono::seconds(1)), id);
    EXPECT_EQ(httpHeaderInfo::makeDeviceId("dc09", "端末", when).size(), 36u);
}

} // namespace
} // namespace norvane
