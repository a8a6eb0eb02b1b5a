#pragma once

// The operations as the windows call them, with a real data manager as their environment (its
// settings file in the test's own NORVANE_HOME) and the suite's norvane-server behind it. Alerts
// land in the contract fixture's recording presenter; callbacks arrive on the run-loop main queue,
// which the test turns while it waits.

#include "CloudServiceSDKForMac/CloudService/CloudServiceConstants.h"
#include "app/logic/StorageServiceLogic.h"
#include "app/state/AppDataManager.h"
#include "app/state/NorvaneEntity.h"
#include "e2e/ContractTest.h"
#include "platform/RunLoop.h"
#include "platform/Strings.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <tuple>

namespace norvane::testing {

class OperationsTest : public ContractTest {
protected:
    void SetUp() override
    {
        ContractTest::SetUp();
        AppDataManager::Dependencies deps;
        deps.mainQueue = MainQueue::shared();
        deps.watchReachability = false;
        deps.preferredLocale = [] { return std::string("en_US.UTF-8"); };
        // No proxy of the test machine may stand between the client and the loopback server.
        deps.systemProxies
            = [](const std::string&) -> std::optional<std::vector<ProxyEntry>> { return std::vector<ProxyEntry> {}; };
        manager_ = AppDataManager::create(std::move(deps));
        ServerProcess& target = server();
        ConfigInfo& config = manager_->configDefine();
        config.setServerIP("127.0.0.1");
        config.setServerPort(target.port());
        config.setLoginServerIP("127.0.0.1");
        config.setLoginServerPort(target.port());
        config.setUseHttps(target.tls() ? 1 : 0);
        if (target.tls())
            config.setPinnedPublicKey("127.0.0.1", target.port(), target.pin());
        config.save();
        OperationEnvironment::setShared(manager_);
    }

    void TearDown() override
    {
        OperationEnvironment::setShared(nullptr);
        manager_.reset();
        Strings::reload();
        ContractTest::TearDown();
    }

    ConfigInfo& config() { return manager_->configDefine(); }

    // Turns the main loop, where callbacks land, until `done` holds.
    static void pumpUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            RunLoop::current()->runFor(0.002);
        ASSERT_TRUE(done()) << "no callback";
    }

    // Starts an operation with a result callback and waits for the result.
    static std::int32_t await(const std::function<void(StorageServiceLogic::ResultCallback)>& start)
    {
        std::optional<std::int32_t> result;
        start([&](std::int32_t r) { result = r; });
        pumpUntil([&] { return result.has_value(); });
        return result.value_or(-1);
    }

    // Starts an operation whose callback takes (A...) and waits for the values it was given.
    template <class... A, class Start> static std::tuple<std::decay_t<A>...> collect(Start start)
    {
        std::optional<std::tuple<std::decay_t<A>...>> got;
        start([&](A... values) { got.emplace(values...); });
        pumpUntil([&] { return got.has_value(); });
        return got.value_or(std::tuple<std::decay_t<A>...> {});
    }

    // Puts the account in the settings, as the login window does, and signs in with it. A member
    // signed in before signs out first: the service takes a login while signed in as done.
    std::int32_t signInAs(const Account& account, bool autoLogin = false)
    {
        if (signedIn_) {
            EXPECT_EQ(await([](auto done) { StorageServiceLogic::commonLogout(std::move(done)); }), ResultSuccess);
        }
        config().setCompanyCode(account.company);
        config().setUserName(account.user);
        config().setUserPass(account.password);
        manager_->setDeviceID(account.device);
        const std::int32_t result
            = await([autoLogin](auto done) { StorageServiceLogic::commonLogin(autoLogin, std::move(done)); });
        signedIn_ = result == ResultSuccess;
        return result;
    }

    // The entries of a folder as the windows see them (filtered, typed), by display name.
    std::map<std::string, std::shared_ptr<fileInformation>> listed(const std::string& folderKey)
    {
        auto folder = std::make_shared<fileInformation>();
        folder->uk = folderKey;
        folder->fileType = 1;
        EXPECT_EQ(await([&](auto done) { StorageServiceLogic::getFolderInfo(folder, true, {}, std::move(done)); }),
            ResultSuccess)
            << "listing of " << folderKey;
        std::map<std::string, std::shared_ptr<fileInformation>> byName;
        for (const auto& entry : folder->childrens)
            byName[entry->displayName.value_or("")] = entry;
        return byName;
    }

    // A new file uploaded by the operations into a server folder (raw key), from a local copy.
    std::int32_t uploadInto(const std::string& folderKey, const std::string& name, const Bytes& content,
        const Value& editpermission = Value())
    {
        const std::filesystem::path dir = home_ / ("up-" + std::to_string(++uploads_));
        std::filesystem::create_directories(dir);
        EXPECT_TRUE(FileSystem::writeFileAtomically(dir / name, content));
        // A drop names its folder in the file form of the area: "/FOLDER/a" holds "/FILE/a/<name>".
        std::string fileForm = folderKey;
        if (fileForm.starts_with("/SHAREFOLDER"))
            fileForm.replace(0, 12, "/SHAREFILE");
        else if (fileForm.starts_with("/FOLDER"))
            fileForm.replace(0, 7, "/FILE");
        const std::vector<StorageServiceLogic::UploadItem> items { { (dir / name).string(), fileForm, std::nullopt } };
        return await([&](auto done) { StorageServiceLogic::uploadFiles(items, editpermission, std::move(done)); });
    }

    // The content of a listed file as the operations download it into memory.
    Bytes fetch(const std::string& folderKey, const std::string& name)
    {
        auto entries = listed(folderKey);
        auto found = entries.find(name);
        if (found == entries.end()) {
            ADD_FAILURE() << name << " is not listed in " << folderKey;
            return {};
        }
        auto data = std::make_shared<Bytes>();
        const fileInformation entry = *found->second;
        EXPECT_EQ(await([&](auto done) {
            StorageServiceLogic::downloadFile(
                data, entry.uk.value_or(""), entry.fileSize, entry.timestamp, {}, false, std::move(done));
        }),
            ResultSuccess)
            << "download of " << name;
        return *data;
    }

    std::vector<Alert> shown() const { return alerts->alerts(); }
    static Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
    // A local file with its folders.
    static bool writeFile(const std::filesystem::path& path, const Bytes& content)
    {
        std::filesystem::create_directories(path.parent_path());
        return FileSystem::writeFileAtomically(path, content);
    }

    std::shared_ptr<AppDataManager> manager_;

private:
    int uploads_ = 0;
    bool signedIn_ = false;
};

// Every regular file below root by its path relative to it, with its content.
inline std::map<std::string, std::string> treeContent(const std::filesystem::path& root)
{
    std::map<std::string, std::string> files;
    for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
        if (!item.is_regular_file())
            continue;
        std::ifstream in(item.path(), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        files[std::filesystem::relative(item.path(), root).string()] = content.str();
    }
    return files;
}

} // namespace norvane::testing
