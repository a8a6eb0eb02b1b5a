#include "server/demo/DemoAssets.h"
#include "server/demo/DemoSeed.h"
#include "server/media/PdfPage.h"
#include "server/media/Thumbnail.h"

#include "formats/MD5DigestString.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <stdlib.h>
#include <string>
#include <unistd.h>

namespace norvane::server {
namespace {

namespace fs = std::filesystem;

class DemoTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        // Memory-backed when the machine has it: the store syncs every upload.
        const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string pattern = (base / "norvane-demo-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(DemoTest, PdfCrossReferencesPointAtTheirObjectsAndEveryPageRenders)
{
    const std::string pdf = DemoAssets::guidePdf();
    const std::size_t startxref = pdf.rfind("startxref\n");
    ASSERT_NE(startxref, std::string::npos);
    const std::size_t xref = std::stoul(pdf.substr(startxref + 10));
    ASSERT_EQ(pdf.compare(xref, 5, "xref\n"), 0);
    std::size_t line = pdf.find('\n', pdf.find('\n', xref) + 1) + 1; // past "xref" and "0 N"
    const int objects = std::stoi(pdf.substr(pdf.find(' ', xref) + 1));
    EXPECT_EQ(objects, 5 + 2 * DemoAssets::kGuidePages + 1);
    for (int id = 1; id < objects; ++id) {
        line += 20; // every entry is exactly 20 bytes
        const std::size_t offset = std::stoul(pdf.substr(line, 10));
        EXPECT_EQ(pdf.compare(offset, std::to_string(id).size() + 6, std::to_string(id) + " 0 obj"), 0) << id;
    }

    const fs::path file = dir / "guide.pdf";
    std::ofstream(file, std::ios::binary) << pdf;
    auto count = PdfPage::count(file);
    ASSERT_TRUE(count.ok());
    EXPECT_EQ(count.value(), DemoAssets::kGuidePages);
    for (int page = 1; page <= count.value(); ++page) {
        auto image = PdfPage::render(file, page, 300);
        ASSERT_TRUE(image.ok()) << image.failure().detail;
        // The page image is itself a picture the thumbnail decoder reads.
        EXPECT_TRUE(Thumbnail::fromMemory(image->bytes, 10, 10).ok());
    }
}

TEST_F(DemoTest, PhotosAreDistinctPicturesOfTheAskedSizeAndMemosAreText)
{
    std::set<std::string> photos;
    std::set<std::string> names;
    for (int i = 0; i < DemoAssets::kPhotoCount; ++i) {
        auto photo = DemoAssets::photo(i, 96, 64);
        ASSERT_TRUE(photo.has_value());
        auto decoded = Thumbnail::fromMemory(*photo, 2048, 2048);
        ASSERT_TRUE(decoded.ok());
        EXPECT_EQ(decoded->width, 96);
        EXPECT_EQ(decoded->height, 64);
        photos.insert(*photo);
        names.insert(DemoAssets::photoName(i));
    }
    EXPECT_EQ(photos.size(), static_cast<std::size_t>(DemoAssets::kPhotoCount));
    EXPECT_EQ(names.size(), static_cast<std::size_t>(DemoAssets::kPhotoCount));
    EXPECT_FALSE(DemoAssets::photo(0, 8, 64).has_value());
    EXPECT_FALSE(DemoAssets::photo(0, 64, 5000).has_value());

    bool japanese = false;
    for (const auto& memo : DemoAssets::memos()) {
        EXPECT_FALSE(memo.bytes.empty());
        japanese = japanese || static_cast<unsigned char>(memo.name[0]) >= 0xe3;
    }
    EXPECT_TRUE(japanese);
}

TEST_F(DemoTest, SeedMakesWorkingAccountsAndContentOnceOnly)
{
    auto opened = ServerStore::open(dir / "data");
    ASSERT_TRUE(opened.ok()) << opened.failure().detail;
    ServerStore& store = *opened.value();
    auto seeded = seedDemo(store, { 64, 48 });
    ASSERT_TRUE(seeded.ok()) << seeded.failure().detail;
    const auto accounts = seeded.value();
    ASSERT_EQ(accounts.size(), 3u);

    std::set<std::string> passwords;
    for (const auto& account : accounts) {
        auto company = store.companyByCode(account.companyCode);
        ASSERT_TRUE(company.ok()) << account.companyCode;
        auto user = store.userByLogin(company->id, account.login);
        ASSERT_TRUE(user.ok()) << account.login;
        EXPECT_TRUE(store.checkPassword(user.value(), account.password));
        EXPECT_EQ(account.password.size(), 12u);
        passwords.insert(account.password);
        EXPECT_EQ(company->requireDevice, !account.deviceId.empty());
        if (!account.deviceId.empty()) {
            EXPECT_TRUE(store.isDeviceRegistered(user->id, account.deviceId));
        }
    }
    EXPECT_EQ(passwords.size(), accounts.size());
    auto someone = store.userByLogin(store.companyByCode(accounts[0].companyCode)->id, accounts[0].login);
    EXPECT_FALSE(store.checkPassword(someone.value(), accounts[1].password));

    auto demo = store.companyByCode("demo");
    ASSERT_TRUE(demo.ok());
    EXPECT_EQ(demo->policyHeaders.at("x-zel-enable-pdf-viewer"), "1");
    auto manager = store.userByLogin(demo->id, "manager").value();
    auto member = store.userByLogin(demo->id, "member").value();

    auto photos = store.lookup(store.personalArea(manager), { "Photos" });
    ASSERT_TRUE(photos.ok());
    EXPECT_EQ(store.children(photos.value()).value().size(), static_cast<std::size_t>(DemoAssets::kPhotoCount));
    auto guide = store.lookup(store.personalArea(member), { "Norvane Guide.pdf" });
    ASSERT_TRUE(guide.ok());
    const std::string pdf = DemoAssets::guidePdf();
    EXPECT_EQ(guide->md5, MD5DigestString(std::span(reinterpret_cast<const std::uint8_t*>(pdf.data()), pdf.size())));
    EXPECT_EQ(PdfPage::count(store.blobPath(guide->blobId)).value(), DemoAssets::kGuidePages);

    const AreaRef shared = store.sharedArea(member);
    auto roadmap = store.lookup(shared, { "Projects", "Roadmap.txt" });
    ASSERT_TRUE(roadmap.ok());
    EXPECT_EQ(roadmap->lockUserId, "manager");
    EXPECT_FALSE(store.rightsOf(member, roadmap.value()).canChange);
    auto rules = store.lookup(shared, { "Public", "House rules.txt" });
    ASSERT_TRUE(rules.ok());
    EXPECT_TRUE(rules->readOnly);
    EXPECT_TRUE(store.rightsOf(manager, rules.value()).canChange);
    EXPECT_TRUE(store.lookup(shared, { "Projects", "Design", "Cover.jpg" }).ok());

    const std::int64_t used = store.usedBytes(manager.id);
    EXPECT_GT(used, 0);
    auto again = seedDemo(store, { 64, 48 });
    ASSERT_TRUE(again.ok());
    EXPECT_TRUE(again.value().empty());
    EXPECT_EQ(store.usedBytes(manager.id), used);
    for (const auto& account : accounts)
        if (account.login == "manager") {
            EXPECT_TRUE(store.checkPassword(manager, account.password));
        }
    EXPECT_EQ(store.children(photos.value()).value().size(), static_cast<std::size_t>(DemoAssets::kPhotoCount));
}

} // namespace
} // namespace norvane::server
