#include "server/demo/DemoSeed.h"

#include "formats/HttpDate.h"
#include "formats/MD5DigestString.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <span>

namespace norvane::server {

namespace {

constexpr std::int64_t kGiB = 1024LL * 1024 * 1024;
constexpr std::size_t kChunk = 1024 * 1024;
constexpr std::size_t kPasswordLength = 12;
// Letters and digits that cannot be mistaken for each other (no 0/O/o, 1/l/I).
constexpr std::string_view kPasswordAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";

std::optional<std::string> randomPassword()
{
    // Bytes at or above the largest multiple of the alphabet size are dropped, so that every
    // character is equally likely.
    const unsigned limit = 256 - 256 % kPasswordAlphabet.size();
    std::string password;
    while (password.size() < kPasswordLength) {
        unsigned char bytes[32];
        if (RAND_bytes(bytes, sizeof bytes) != 1)
            return std::nullopt;
        for (unsigned char byte : bytes)
            if (byte < limit && password.size() < kPasswordLength)
                password += kPasswordAlphabet[byte % kPasswordAlphabet.size()];
    }
    return password;
}

std::map<std::string, std::string> policyHeaders(bool savePassword)
{
    return {
        { "X-Zel-Usecache", "1" },
        { "x-zel-auto-logout", "0" },
        { "x-zel-use-save-password", savePassword ? "1" : "0" },
        { "x-zel-use-change-password", "1" },
        { "x-zel-enable-pdf-viewer", "1" },
        { "x-zel-enable-local-download", "1" },
        { "x-zel-disableWebDownload", "0" },
        { "x-zel-file-web-publish-max-day", "30" },
        { "x-zel-file-web-publish-max-count", "100" },
        { "x-zel-file-web-publish-init-day", "7" },
        { "x-zel-file-web-publish-init-count", "10" },
        { "x-zel-file-web-publish-max-file-size", "2048" },
    };
}

const std::string kRoadmap = "Roadmap\n\n"
                             "Q1  new brochure, photo shoot for the cover\n"
                             "Q2  customer survey; move the archive into Public\n"
                             "Q3  trade fair in Osaka\n"
                             "Q4  review and plans for next year\n";
const std::string kBudget = "\"Item\",\"Quarter\",\"Amount\"\r\n"
                            "\"Printing\",\"Q1\",\"1200\"\r\n"
                            "\"Photography\",\"Q1\",\"800\"\r\n"
                            "\"Trade fair\",\"Q3\",\"5400\"\r\n";
const std::string kHouseRules = "House rules for the Public folder\n\n"
                                "1. Everyone may add files here; please name them clearly.\n"
                                "2. Do not put personal or confidential files here.\n"
                                "3. Files older than a year are archived by the managers.\n";
const std::string kNoticeName = "\xe3\x81\x8a\xe7\x9f\xa5\xe3\x82\x89\xe3\x81\x9b.txt";
const std::string kNotice
    = "\xe6\x9d\xa5\xe9\x80\xb1\xe3\x81\xae\xe9\x87\x91\xe6\x9b\x9c\xe6\x97\xa5\xe3\x81\xaf\xe3\x82\xaa\xe3\x83\x95"
      "\xe3\x82\xa3\xe3\x82\xb9\xe3\x81\xae\xe5\xa4\xa7\xe6\x8e\x83\xe9\x99\xa4\xe3\x81\xa7\xe3\x81\x99\xe3\x80\x82\n";
const std::string kWelcome = "Welcome to Norvane Demo. The guide in your folder shows what to try first. "
                             "\xe3\x82\x88\xe3\x81\x86\xe3\x81\x93\xe3\x81\x9d\xef\xbc\x81";

// The seed as a script: every step after the first failure is skipped, and the failure is what
// seedDemo returns.
class Seeder {
public:
    Seeder(ServerStore& store, const DemoSeedOptions& options)
        : store_(store)
        , options_(options)
        , now_(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                   .count())
    { }

    const std::optional<StoreFailure>& failure() const { return failure_; }

    template <typename T> std::optional<T> take(StoreResult<T> result)
    {
        if (failure_)
            return std::nullopt;
        if (!result) {
            failure_ = result.failure();
            return std::nullopt;
        }
        return std::move(result.value());
    }

    // Runs a store call only while nothing has failed.
    template <typename F> void step(F call)
    {
        if (!failure_)
            take(call());
    }

    void fail(std::string detail)
    {
        if (!failure_)
            failure_ = storeFailure(StoreError::Io, std::move(detail));
    }

    std::optional<Company> company(
        const std::string& code, const std::string& name, bool requireDevice, bool savePassword)
    {
        Company company;
        company.code = code;
        company.name = name;
        company.requireDevice = requireDevice;
        company.maxFileSize = 2 * kGiB;
        company.quota = 10 * kGiB;
        company.policyHeaders = policyHeaders(savePassword);
        company.informationSeq = "1";
        company.informationText = kWelcome;
        return failure_ ? std::nullopt : take(store_.createCompany(company));
    }

    std::optional<User> user(const Company& company, const std::string& login, const std::string& fullName,
        std::vector<DemoAccount>& accounts, const std::string& deviceId = {})
    {
        if (failure_)
            return std::nullopt;
        auto password = randomPassword();
        if (!password) {
            fail("no random bytes for a password");
            return std::nullopt;
        }
        auto made = take(store_.createUser(company.id, login, fullName, *password));
        if (made && !deviceId.empty())
            take(store_.registerDevice(made->id, deviceId));
        if (made && !failure_)
            accounts.push_back({ company.code, login, *password, deviceId });
        return failure_ ? std::nullopt : made;
    }

    const std::string& photo(int index)
    {
        auto& slot = photos_[static_cast<std::size_t>(index % DemoAssets::kPhotoCount)];
        if (slot.empty() && !failure_) {
            auto made = DemoAssets::photo(index, options_.photoWidth, options_.photoHeight);
            if (made)
                slot = std::move(*made);
            else
                fail("demo photo " + std::to_string(index) + " could not be made");
        }
        return slot;
    }

    // A file uploaded by `user` the way a client sends it: the target checked first, then the
    // bytes in chunks, the last of which makes the file visible once its MD5 matches.
    void upload(const User& user, const AreaRef& area, const std::vector<std::string>& path, const std::string& bytes,
        int daysAgo, int editPermission = 0)
    {
        if (failure_)
            return;
        auto md5 = MD5DigestString(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        if (!md5) {
            fail("no MD5 digest");
            return;
        }
        std::string pathText = area.area == Area::Personal ? "/FILE" : "/SHAREFILE";
        for (const auto& component : path)
            pathText += "/" + component;
        const auto size = static_cast<std::int64_t>(bytes.size());
        if (!take(store_.checkUpload(user, area, path, size, false)))
            return;

        const std::int64_t when = now_ - std::int64_t { daysAgo } * 86400;
        EntryMeta meta;
        meta.creationDate = rfc1123String(Date { std::chrono::seconds { when } });
        meta.modifiedAt = when;
        meta.editPermission = editPermission;
        meta.deviceId = kDemoDeviceId;

        std::int64_t offset = store_.uploadOffset(user.id, pathText, *md5);
        do {
            const std::size_t end = std::min(bytes.size(), static_cast<std::size_t>(offset) + kChunk);
            std::size_t at = static_cast<std::size_t>(offset);
            auto source = [&](char* buffer, std::size_t capacity) -> long {
                const std::size_t count = std::min(capacity, end - at);
                std::memcpy(buffer, bytes.data() + at, count);
                at += count;
                return static_cast<long>(count);
            };
            auto session = take(store_.appendChunk(user, area, path, pathText, *md5, size, offset, source, meta));
            if (!session)
                return;
            if (session->received <= offset && size > 0) {
                fail("upload of " + pathText + " made no progress");
                return;
            }
            offset = session->received;
        } while (offset < size);
    }

    void folder(const User& user, const AreaRef& area, const std::vector<std::string>& path)
    {
        EntryMeta meta;
        meta.deviceId = kDemoDeviceId;
        if (!failure_)
            take(store_.createFolder(user, area, path, meta));
    }

    // Photos, memos and the guide in a user's personal area.
    void personal(const User& user, const std::vector<int>& photos, const std::vector<std::size_t>& memos)
    {
        const AreaRef area = store_.personalArea(user);
        int age = 40;
        for (int index : photos)
            upload(user, area, { "Photos", DemoAssets::photoName(index) }, photo(index), age -= 3);
        const auto texts = DemoAssets::memos();
        for (std::size_t index : memos)
            if (index < texts.size())
                upload(user, area, { "Memo", texts[index].name }, texts[index].bytes, age -= 2);
        upload(user, area, { "Norvane Guide.pdf" }, guide(), 1);
    }

    const std::string& guide()
    {
        if (guide_.empty())
            guide_ = DemoAssets::guidePdf();
        return guide_;
    }

private:
    ServerStore& store_;
    const DemoSeedOptions& options_;
    std::int64_t now_;
    std::array<std::string, DemoAssets::kPhotoCount> photos_;
    std::string guide_;
    std::optional<StoreFailure> failure_;
};

// True when some company exists already (the store offers no listing: the demo codes and the
// first id that a fresh database hands out are looked up).
StoreResult<bool> hasCompanies(ServerStore& store)
{
    for (const char* code : { kDemoCompanyCode, kSecureCompanyCode }) {
        auto found = store.companyByCode(code);
        if (found)
            return true;
        if (found.failure().error != StoreError::NotFound)
            return found.failure();
    }
    auto first = store.companyById(1);
    if (first)
        return true;
    if (first.failure().error != StoreError::NotFound)
        return first.failure();
    return false;
}

} // namespace

StoreResult<std::vector<DemoAccount>> seedDemo(ServerStore& store, const DemoSeedOptions& options)
{
    auto existing = hasCompanies(store);
    if (!existing)
        return existing.failure();
    std::vector<DemoAccount> accounts;
    if (existing.value())
        return accounts;

    Seeder seed(store, options);
    auto demo = seed.company(kDemoCompanyCode, "Norvane Demo", false, true);
    auto manager = demo ? seed.user(*demo, "manager", "Mana Kanri", accounts) : std::nullopt;
    auto member = demo ? seed.user(*demo, "member", "Menba Ichiro", accounts) : std::nullopt;
    if (manager && member) {
        seed.personal(*manager, { 0, 1, 2, 3 }, { 0, 1, 2, 3 });
        seed.personal(*member, { 1, 3 }, { 0, 3 });

        const AreaRef shared = store.sharedArea(*manager);
        seed.step([&] { return store.createSharedFolder(demo->id, "Projects", { manager->id }); });
        seed.step([&] { return store.createSharedFolder(demo->id, "Public", { manager->id }); });
        // Everyone may add to Public and to the design folder; the rest of Projects is the
        // manager's.
        seed.step([&] { return store.setEditPermission(*manager, shared, { "Projects" }, 0); });
        seed.step([&] { return store.setEditPermission(*manager, shared, { "Public" }, 1); });
        seed.folder(*manager, shared, { "Projects", "Design" });
        seed.step([&] { return store.setEditPermission(*manager, shared, { "Projects", "Design" }, 1); });

        seed.upload(*manager, shared, { "Projects", "Roadmap.txt" }, kRoadmap, 12);
        seed.step([&] { return store.setLock(*manager, shared, { "Projects", "Roadmap.txt" }, true); });
        seed.upload(*manager, shared, { "Projects", "Budget.csv" }, kBudget, 9);
        seed.upload(*manager, shared, { "Projects", "Design", "Brochure.pdf" }, seed.guide(), 5);
        seed.upload(*member, shared, { "Projects", "Design", "Cover.jpg" }, seed.photo(0), 4, 1);
        seed.upload(*manager, shared, { "Public", "House rules.txt" }, kHouseRules, 30);
        seed.step([&] { return store.setReadOnly(shared, { "Public", "House rules.txt" }, true); });
        seed.upload(*member, shared, { "Public", "Team outing.jpg" }, seed.photo(2), 3, 1);
        seed.upload(*member, shared, { "Public", kNoticeName }, kNotice, 2, 1);
    }

    auto secure = seed.company(kSecureCompanyCode, "Norvane Secure", true, false);
    auto staff = secure ? seed.user(*secure, "staff", "Sachi Mamori", accounts, kDemoDeviceId) : std::nullopt;
    if (staff)
        seed.personal(*staff, { 2 }, { 1 });

    if (seed.failure())
        return *seed.failure();
    return accounts;
}

} // namespace norvane::server
