#include "CloudServiceSDKForMac/CloudService/StorageServiceConfig.h"

#include <gtest/gtest.h>

#include <chrono>

namespace norvane {
namespace {

TEST(StorageServiceConfigTest, NewConfigurationCarriesTheOfflineDefaultsAndExpiresTwoHoursLater)
{
    auto before = std::chrono::system_clock::now();
    StorageServiceConfig config;
    auto after = std::chrono::system_clock::now();

    EXPECT_EQ(config.disableOffline, 0);
    EXPECT_EQ(config.disableOfflineMyFolder, 1);
    EXPECT_EQ(config.disableOfflineShareFolder, 1);
    EXPECT_EQ(config.disableUsecacheExpire, 2);
    EXPECT_GE(config.disapperTimeMyFolder, before + std::chrono::hours(2));
    EXPECT_LE(config.disapperTimeMyFolder, after + std::chrono::hours(2));
    EXPECT_FALSE(config.useHttps);
    EXPECT_FALSE(config.sslValidate);
    EXPECT_TRUE(config.pinnedPublicKey.empty());
    EXPECT_EQ(config.adapterInfo, nullptr);
}

TEST(StorageServiceConfigTest, SchemeAndAuthenticationUrlFollowUseHttps)
{
    StorageServiceConfig config;
    config.loginIP = "login.example";
    config.loginPort = 8443;
    config.sslValidate = true;
    EXPECT_EQ(config.httpType(), "http");
    EXPECT_EQ(config.authenticationUrl(), "http://login.example:8443");
    config.useHttps = true;
    EXPECT_EQ(config.httpType(), "https");
    EXPECT_EQ(config.authenticationUrl(), "https://login.example:8443");
}

} // namespace
} // namespace norvane
