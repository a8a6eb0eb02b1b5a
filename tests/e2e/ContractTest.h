#pragma once

// The base of the contract suites: the command service and the REST adaptor against a real
// norvane-server, once over http and once over https with the server's pinned key. One server per
// scheme is shared by all tests of a suite; every test makes its own company and users, so that
// tests do not see each other's files, policies or print jobs.

#include "CloudServiceSDKForMac/ASIHTTP/Reachability.h"
#include "CloudServiceSDKForMac/CloudService/CloudService.h"
#include "CloudServiceSDKForMac/CloudService/CommandFactory.h"
#include "CloudServiceSDKForMac/CloudService/LocalStoreTestHome.h"
#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"
#include "CloudServiceSDKForMac/CloudService/StorageServiceConfig.h"
#include "CloudServiceSDKForMac/CloudService/TransferStopFlag.h"
#include "e2e/ServerProcess.h"
#include "platform/AlertPresenter.h"
#include "platform/FileSystem.h"
#include "platform/MainQueue.h"
#include "platform/NotificationCenter.h"
#include "support/FixedNetworkState.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace norvane::testing {

using test::HttpHeaders;
using test::HttpReply;
using test::httpRequest;
using test::ServerProcess;

inline constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;

enum class Scheme { Http, Https };

inline std::string schemeName(const ::testing::TestParamInfo<Scheme>& info)
{
    return info.param == Scheme::Http ? "http" : "https";
}

// How often the needle occurs in the text, not overlapping.
inline std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

// The REST adaptor with a look at what the service asks of it: where every upload chunk started
// and what became of it, what the status query answered, and a hook before each chunk, so that a
// test can break the server or the connection in the middle of a transfer.
class ObservedAdaptor : public RestStorageServiceAdaptor {
public:
    struct PutCall {
        std::string path;
        std::uint64_t offset = 0;
        std::size_t length = 0;
        std::int32_t result = 0;
    };
    struct StatusCall {
        std::string path;
        std::uint64_t offset = 0;
        std::int32_t result = 0;
    };

    std::function<void(std::size_t index, const std::string& path, std::uint64_t offset)> beforePut;
    std::function<void(const std::string& path, std::uint64_t start)> beforeGet;
    std::vector<PutCall> puts;
    std::vector<StatusCall> statusQueries;

    std::int32_t put(const std::string& path, std::uint64_t& uploadedDataLength, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, std::span<const std::uint8_t> dataMemory, const std::string& applicationType,
        std::int32_t postOrPut, ASIProgressDelegate* progressDelegate, const ValueMap& option) override
    {
        const std::uint64_t start = uploadedDataLength;
        if (beforePut)
            beforePut(puts.size(), path, start);
        const std::int32_t result = RestStorageServiceAdaptor::put(path, uploadedDataLength, fileTotalLength,
            fileMD5Info, dataMemory, applicationType, postOrPut, progressDelegate, option);
        puts.push_back({ path, start, dataMemory.size(), result });
        return result;
    }

    std::int32_t getCurrentPutStatus(const std::string& path, std::uint64_t fileTotalLength,
        const std::string& fileMD5Info, const std::string& applicationType, std::int32_t postOrPut,
        std::uint64_t& uploadedDataSize) override
    {
        const std::int32_t result = RestStorageServiceAdaptor::getCurrentPutStatus(
            path, fileTotalLength, fileMD5Info, applicationType, postOrPut, uploadedDataSize);
        statusQueries.push_back({ path, uploadedDataSize, result });
        return result;
    }

    std::int32_t get(const std::string& path, Bytes& dataMemory, const std::string& applicationType,
        std::uint64_t startPosition, std::uint64_t dataLength, ASIProgressDelegate* progressDelegate,
        std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize, const ValueMap& option,
        const std::optional<Date>& lastGetDate) override
    {
        if (beforeGet)
            beforeGet(path, startPosition);
        return RestStorageServiceAdaptor::get(path, dataMemory, applicationType, startPosition, dataLength,
            progressDelegate, targetTotalSize, totalFinishedSize, option, lastGetDate);
    }

    std::int32_t getInto(const std::string& path, ChunkSink& sink, std::uint64_t& received,
        const std::string& applicationType, std::uint64_t startPosition, std::uint64_t dataLength,
        ASIProgressDelegate* progressDelegate, std::uint64_t targetTotalSize, std::uint64_t totalFinishedSize,
        const ValueMap& option, const std::optional<Date>& lastGetDate) override
    {
        if (beforeGet)
            beforeGet(path, startPosition);
        return RestStorageServiceAdaptor::getInto(path, sink, received, applicationType, startPosition, dataLength,
            progressDelegate, targetTotalSize, totalFinishedSize, option, lastGetDate);
    }
};

// One company member: the parts of the login text and the name the server shows.
struct Account {
    std::string company;
    std::string user;
    std::string password;
    std::string device;
    std::string fullName;

    std::string loginText() const { return company + "," + user + "," + password + "," + device; }
};

// A command service over its own adaptor, as one user's client.
struct Client {
    std::unique_ptr<CloudService> service;
    ObservedAdaptor* adaptor = nullptr; // owned by the service
    Account account;

    CloudServiceCommandPtr run(const CloudServiceCommandPtr& command) const
    {
        service->doCommand(ExecuteModeSync, command);
        return command;
    }
};

class ContractTest : public LocalStoreTestHome, public ::testing::WithParamInterface<Scheme> {
protected:
    // The suite's servers stop here; one that does not end cleanly on SIGTERM (a crash, a
    // sanitizer report, a hang) fails the suite with its log.
    static void TearDownTestSuite()
    {
        for (auto& [scheme, process] : sharedServers()) {
            if (!process || !process->running())
                continue;
            process->stop();
            EXPECT_EQ(process->lastExitStatus(), 0)
                << "norvane-server over " << (scheme == Scheme::Http ? "http" : "https") << " ended badly:\n"
                << process->log();
        }
        sharedServers().clear();
    }

    void SetUp() override
    {
        LocalStoreTestHome::SetUp();
        CurrentNetworkStatus::setStateSource(std::make_shared<test::FixedNetworkState>());
        MainQueue::setShared(std::make_shared<RunLoopMainQueue>());
        AlertPresenter::setShared(alerts);
        // A 416 answer makes the adaptor wait seconds before it resumes; the server's answers are
        // what is under test here, not the waiting.
        RestStorageServiceAdaptor::setBackoffSleeper([](std::chrono::seconds) {});
        RestStorageServiceAdaptor::resetUploadBackoffDelay();
        transferStopFlag = false;
    }

    void TearDown() override
    {
        clients_.clear();
        RestStorageServiceAdaptor::setBackoffSleeper({});
        RestStorageServiceAdaptor::resetUploadBackoffDelay();
        AlertPresenter::setShared(nullptr);
        MainQueue::setShared(nullptr);
        CurrentNetworkStatus::setStateSource(nullptr);
        LocalStoreTestHome::TearDown();
    }

    // The server of this suite for the test's scheme, started on first use.
    ServerProcess& server()
    {
        auto& slot = sharedServers()[GetParam()];
        if (!slot || !slot->running()) {
            ServerProcess::Options options;
            options.tls = GetParam() == Scheme::Https;
            slot = std::make_unique<ServerProcess>(options);
            if (!slot->start())
                ADD_FAILURE() << "norvane-server did not start: " << slot->error();
        }
        return *slot;
    }

    StorageServiceConfig configFor(const ServerProcess& target) const
    {
        StorageServiceConfig config;
        config.connectUrl = target.url();
        config.loginIP = "127.0.0.1";
        config.loginPort = target.port();
        config.useHttps = target.tls();
        config.sslValidate = true;
        config.pinnedPublicKey = target.pin();
        config.maxUploadSize = kMiB;
        config.maxDownloadSize = kMiB;
        config.baseUUID = "E2E-BASE-UUID";
        adjustConfig(config);
        return config;
    }

    // What a suite changes in its clients' settings (a proxy, say).
    virtual void adjustConfig(StorageServiceConfig&) const { }

    // A client of the server that has not logged in yet.
    Client& newClient(const Account& account, ServerProcess* target = nullptr)
    {
        auto adaptor = std::make_unique<ObservedAdaptor>();
        adaptor->initWithConfig(configFor(target ? *target : server()));
        auto client = std::make_unique<Client>();
        client->adaptor = adaptor.get();
        client->service = std::make_unique<CloudService>(std::move(adaptor));
        client->account = account;
        clients_.push_back(std::move(client));
        return *clients_.back();
    }

    // A client that has connected and logged in; the test fails when either step does.
    Client& loggedIn(const Account& account, ServerProcess* target = nullptr)
    {
        Client& client = newClient(account, target);
        auto connect = client.run(CommandFactory::makeConnectCommand());
        EXPECT_EQ(connect->commandRes, ResultSuccess) << "connect to " << (target ? *target : server()).url();
        auto login = client.run(CommandFactory::makeLoginCommand(account.loginText()));
        EXPECT_EQ(login->commandRes, ResultSuccess) << "login of " << account.user;
        return client;
    }

    // A new company of the test's own, with `users` members (logins "<tag>1", "<tag>2", ...); the
    // settings of spec apply, its code is made here.
    std::vector<Account> newCompany(const std::string& tag, std::size_t users, ServerProcess::CompanySpec spec = {},
        ServerProcess* target = nullptr)
    {
        ServerProcess& s = target ? *target : server();
        static std::atomic<int> sequence { 0 };
        const std::string code = "C" + std::to_string(::getpid()) + "x" + std::to_string(++sequence) + tag;
        spec.code = code;
        expectControlOk(s.createCompany(spec), "company " + code);
        std::vector<Account> accounts;
        for (std::size_t i = 1; i <= users; ++i) {
            const std::string login = tag + std::to_string(i);
            Account account { code, login, "pw-" + login, deviceId(code, i),
                "Member " + tag + " " + std::to_string(i) };
            expectControlOk(s.createUser(code, account.user, account.password, account.fullName), "user " + login);
            accounts.push_back(account);
        }
        return accounts;
    }

    static void expectControlOk(const HttpReply& reply, const std::string& what)
    {
        EXPECT_TRUE(reply.status >= 200 && reply.status < 300)
            << "control request for " << what << ": status " << reply.status << " " << reply.error << " " << reply.body;
    }

    // "dc09" and 32 upper-case hex digits, as a client's device identifier looks.
    static std::string deviceId(const std::string& tag, std::size_t index)
    {
        std::string id = "dc09";
        std::uint64_t h = std::hash<std::string> {}(tag + std::to_string(index));
        for (int i = 0; i < 32; ++i, h = h * 6364136223846793005ULL + 1442695040888963407ULL)
            id += "0123456789ABCDEF"[(h >> 60) & 15];
        return id;
    }

    // Content without a pattern that a server could get right by accident; the same on every run.
    static Bytes randomBytes(std::size_t size, std::uint64_t seed = 1)
    {
        Bytes out(size);
        std::mt19937_64 generator(seed * 1000003 + size);
        for (std::size_t i = 0; i < size; ++i)
            out[i] = static_cast<std::uint8_t>(generator() >> 56);
        return out;
    }

    std::string writeLocal(const std::string& name, const Bytes& content)
    {
        const auto path = home_ / name;
        EXPECT_TRUE(FileSystem::writeFileAtomically(path, content)) << path;
        return path.string();
    }

    static CloudServiceCommandPtr makeFolder(const std::string& folderPath)
    {
        auto command = CommandFactory::makePutCommand("", folderPath, std::make_shared<Bytes>());
        command->applicationType = "folder";
        command->postOrPut = 1;
        command->inputParameter->cmdOption[kOptionCmdType] = kOptionValueMakeFolder;
        return command;
    }

    // An upload of a local file: POST creates, PUT replaces.
    static CloudServiceCommandPtr putFile(const std::string& local, const std::string& remote, bool create = true)
    {
        auto command = CommandFactory::makePutCommand(local, remote, nullptr);
        command->applicationType = "file";
        command->postOrPut = create ? 1 : 0;
        return command;
    }

    static CloudServiceCommandPtr putMemory(const Bytes& content, const std::string& remote, bool create = true)
    {
        auto command = CommandFactory::makePutCommand("", remote, std::make_shared<Bytes>(content));
        command->applicationType = "file";
        command->postOrPut = create ? 1 : 0;
        return command;
    }

    static CloudServiceCommandPtr getMemory(const std::string& remote)
    {
        auto command = CommandFactory::makeGetCommand("", remote, std::make_shared<Bytes>());
        command->applicationType = "file";
        return command;
    }

    static CloudServiceCommandPtr getFile(const std::string& local, const std::string& remote)
    {
        auto command = CommandFactory::makeGetCommand(local, remote, nullptr);
        command->applicationType = "file";
        return command;
    }

    // The listing of a folder (records by name); the test fails when the listing does.
    static std::map<std::string, fileInformation> listing(const Client& client, const std::string& folder)
    {
        auto ls = client.run(CommandFactory::makeLsCommand(folder));
        EXPECT_EQ(ls->commandRes, ResultSuccess) << "ls " << folder;
        std::map<std::string, fileInformation> byName;
        for (const auto& entry : *ls->outputParameter->fileInfo)
            byName[entry->displayName.value_or("")] = *entry;
        return byName;
    }

    // The content as the service downloads it into memory; empty with a failure when it cannot.
    static Bytes download(const Client& client, const std::string& remote)
    {
        auto get = client.run(getMemory(remote));
        EXPECT_EQ(get->commandRes, ResultSuccess) << "get " << remote;
        return get->outputParameter->memoryData ? *get->outputParameter->memoryData : Bytes();
    }

    // The value of the storage requests' Authorization header for a logged-in client.
    static std::string authorization(const Client& client)
    {
        return client.adaptor->headerInfo()->acountInfo().authorizationValue();
    }

    // A plain request of the fixture's own with the client's session, for what no command reads.
    HttpReply raw(const Client& client, const std::string& method, const std::string& path, HttpHeaders headers = {},
        const std::string& body = {})
    {
        headers.emplace_back("Authorization", authorization(client));
        headers.emplace_back("X-Device-Id", client.account.device);
        return server().request(method, path, headers, body);
    }

    std::shared_ptr<RecordingAlertPresenter> alerts = std::make_shared<RecordingAlertPresenter>();

private:
    static std::map<Scheme, std::unique_ptr<ServerProcess>>& sharedServers()
    {
        static std::map<Scheme, std::unique_ptr<ServerProcess>> servers;
        return servers;
    }

    std::vector<std::unique_ptr<Client>> clients_;
};

// Every notification of the given names posted while it lives, in order.
class NotificationLog {
public:
    explicit NotificationLog(const std::vector<std::string>& names)
    {
        for (const auto& name : names)
            tokens_.push_back(NotificationCenter::defaultCenter().addObserver(
                name, nullptr, [this](const Notification& n) { seen.push_back(n); }));
    }
    // The value under key of the last notification of that name; none when it was not posted.
    std::optional<std::string> last(const std::string& name, const std::string& key) const
    {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it) {
            if (it->name != name)
                continue;
            auto found = it->userInfo.find(key);
            if (found == it->userInfo.end() || !found->second.string())
                return std::string();
            return *found->second.string();
        }
        return std::nullopt;
    }
    std::vector<Notification> seen;

private:
    std::vector<ObserverToken> tokens_;
};

} // namespace norvane::testing
