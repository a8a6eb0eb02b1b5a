#include "server/StoreFixture.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <iterator>
#include <thread>

using namespace norvane::server;
using namespace norvane::server::testing;

namespace {

std::string md5Of(const std::string& bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_md5(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < size; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0f];
    }
    return text;
}

class ServerStoreUpload : public StoreFixture {
protected:
    // Sends one chunk of `whole` as the HTTP layer does: the bytes from `offset`, `length` long, in
    // pieces of at most `piece` bytes.
    StoreResult<UploadSession> chunk(const std::vector<std::string>& path, const std::string& whole,
        std::int64_t offset, std::size_t length, const std::string& md5 = {}, const User* as = nullptr,
        std::size_t piece = SIZE_MAX)
    {
        const std::string bytes = whole.substr(static_cast<std::size_t>(offset), length);
        std::size_t at = 0;
        auto source = [&](char* buffer, std::size_t capacity) -> long {
            const std::size_t count = std::min({ capacity, piece, bytes.size() - at });
            std::copy_n(bytes.data() + at, count, buffer);
            at += count;
            return static_cast<long>(count);
        };
        return store->appendChunk(as ? *as : alice, mine(alice), path, key(path), md5.empty() ? md5Of(whole) : md5,
            static_cast<std::int64_t>(whole.size()), offset, source, {});
    }

    static std::string key(const std::vector<std::string>& path) { return "/FILE/" + path.front() + "/" + path.back(); }

    std::vector<fs::path> parts()
    {
        std::vector<fs::path> found;
        for (const auto& item : fs::directory_iterator(dir / "uploads"))
            found.push_back(item.path());
        return found;
    }
};

const std::string kWhole = "0123456789abcdefghijklmnopqrstuvwxyz";

} // namespace

TEST_F(ServerStoreUpload, ChunksResumeAcrossARestartAndCompleteIntoAFile)
{
    const std::vector<std::string> path = { "Memo", "big.bin" };
    auto first = chunk(path, kWhole, 0, 10);
    ASSERT_TRUE(first) << first.failure().detail;
    EXPECT_EQ(first->received, 10);
    EXPECT_EQ(store->lookup(mine(alice), path).failure().error, StoreError::NotFound);

    reopen();
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of(kWhole)), 10);
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of("other")), 0);
    EXPECT_EQ(store->uploadOffset(bob.id, key(path), md5Of(kWhole)), 0);

    // A chunk that does not continue the session is told where it does.
    auto mismatch = chunk(path, kWhole, 20, 5);
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.failure().error, StoreError::OffsetMismatch);
    EXPECT_EQ(mismatch.failure().offset, 10);
    EXPECT_EQ(chunk(path, kWhole, 5, 5).failure().offset, 10);

    ASSERT_EQ(chunk(path, kWhole, 10, 20)->received, 30);
    auto last = chunk(path, kWhole, 30, 6);
    ASSERT_TRUE(last) << last.failure().detail;
    EXPECT_EQ(last->received, 36);

    const Entry file = get(mine(alice), path);
    EXPECT_EQ(file.size, 36);
    EXPECT_EQ(file.md5, md5Of(kWhole));
    EXPECT_EQ(content(file), kWhole);
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of(kWhole)), 0);
    EXPECT_TRUE(parts().empty());
}

TEST_F(ServerStoreUpload, ThePartFileDecidesTheOffsetAtOpenUnlessItHoldsTheWholeFile)
{
    const std::vector<std::string> path = { "Memo", "torn.bin" };
    ASSERT_TRUE(chunk(path, kWhole, 0, 12));
    ASSERT_EQ(parts().size(), 1u);
    const fs::path part = parts().front();
    {
        // A chunk that was synced (and so acknowledged) whose record did not reach the disk.
        std::ofstream synced(part, std::ios::binary | std::ios::app);
        synced << kWhole.substr(12, 8);
    }
    // A leftover without any session goes.
    std::ofstream(dir / "uploads" / "stray.part") << "x";
    reopen();
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of(kWhole)), 20);
    EXPECT_EQ(parts().size(), 1u);
    ASSERT_TRUE(chunk(path, kWhole, 20, 16));
    EXPECT_EQ(content(get(mine(alice), path)), kWhole);

    // The last chunk's bytes all written but the chunk never completed: it is sent again.
    const std::vector<std::string> last = { "Memo", "last.bin" };
    ASSERT_TRUE(chunk(last, kWhole, 0, 20));
    std::ofstream(parts().front(), std::ios::binary | std::ios::app) << kWhole.substr(20);
    reopen();
    EXPECT_EQ(store->uploadOffset(alice.id, key(last), md5Of(kWhole)), 20);
    ASSERT_TRUE(chunk(last, kWhole, 20, 16));
    EXPECT_EQ(content(get(mine(alice), last)), kWhole);

    // A session that had all its bytes recorded when the process ended, before the file appeared,
    // can take no further chunk: it starts again from nothing.
    const std::vector<std::string> other = { "Memo", "unfinished.bin" };
    ASSERT_TRUE(chunk(other, kWhole, 0, 20));
    std::ofstream(parts().front(), std::ios::binary | std::ios::app) << kWhole.substr(20);
    sql("UPDATE uploads SET received = size");
    reopen();
    EXPECT_EQ(store->uploadOffset(alice.id, key(other), md5Of(kWhole)), 0);
    EXPECT_TRUE(parts().empty());
    ASSERT_TRUE(chunk(other, kWhole, 0, 36));
}

TEST_F(ServerStoreUpload, AWrongDigestDropsTheSessionAndLeavesNoEntry)
{
    const std::vector<std::string> path = { "Memo", "bad.bin" };
    const std::string claimed = md5Of("something else");
    ASSERT_TRUE(chunk(path, kWhole, 0, 30, claimed));
    auto done = chunk(path, kWhole, 30, 6, claimed);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.failure().error, StoreError::DigestMismatch);
    EXPECT_EQ(store->lookup(mine(alice), path).failure().error, StoreError::NotFound);
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), claimed), 0);
    EXPECT_TRUE(parts().empty());
    EXPECT_EQ(filesIn(dir / "blobs"), 0u);
    EXPECT_EQ(chunk(path, kWhole, 0, 4, "not-a-digest").failure().error, StoreError::Invalid);
}

TEST_F(ServerStoreUpload, ChunksThatOverrunOrBreakOffChangeNothing)
{
    const std::vector<std::string> path = { "Memo", "x.bin" };
    ASSERT_TRUE(chunk(path, kWhole, 0, 10));
    // More bytes than the announced size are refused and not kept.
    auto source = [sent = false](char* buffer, std::size_t capacity) mutable -> long {
        if (sent)
            return 0;
        sent = true;
        std::fill_n(buffer, std::min<std::size_t>(capacity, 40), 'z');
        return 40;
    };
    EXPECT_EQ(
        store->appendChunk(alice, mine(alice), path, key(path), md5Of(kWhole), 36, 10, source, {}).failure().error,
        StoreError::Invalid);
    // A connection that breaks off mid-chunk.
    auto broken = [calls = 0](char* buffer, std::size_t) mutable -> long {
        if (++calls > 1)
            return -1;
        std::fill_n(buffer, 5, 'q');
        return 5;
    };
    EXPECT_EQ(
        store->appendChunk(alice, mine(alice), path, key(path), md5Of(kWhole), 36, 10, broken, {}).failure().error,
        StoreError::Io);
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of(kWhole)), 10);
    ASSERT_TRUE(chunk(path, kWhole, 10, 26));
    EXPECT_EQ(content(get(mine(alice), path)), kWhole);
}

// The body arrives in pieces of a few KiB that the store gathers into larger writes: every
// acknowledged byte must be in the part file all the same, whatever offset a chunk starts at.
TEST_F(ServerStoreUpload, ChunksInOddPiecesAtOddOffsetsAreOnDiskWhenAcknowledged)
{
    const std::vector<std::string> path = { "Memo", "odd.bin" };
    std::string whole(700'001, '\0');
    for (std::size_t i = 0; i < whole.size(); ++i)
        whole[i] = static_cast<char>((i * 7919) % 251);
    auto partHolds = [&](std::size_t length) {
        EXPECT_EQ(parts().size(), 1u);
        std::ifstream file(parts().front(), std::ios::binary);
        const std::string held { std::istreambuf_iterator<char>(file), {} };
        EXPECT_EQ(held.size(), length);
        EXPECT_TRUE(held == whole.substr(0, length)) << "the part file differs from the bytes sent";
    };
    ASSERT_EQ(chunk(path, whole, 0, 300'001, {}, nullptr, 4093)->received, 300'001);
    partHolds(300'001);
    // A chunk that breaks off after crossing the grid leaves the session where it was.
    std::size_t sent = 0;
    auto breaksOff = [&](char* buffer, std::size_t) -> long {
        if (sent >= 200'000)
            return -1;
        const std::size_t count = 5'000;
        std::copy_n(whole.data() + 300'001 + sent, count, buffer);
        sent += count;
        return static_cast<long>(count);
    };
    EXPECT_EQ(store
                  ->appendChunk(alice, mine(alice), path, key(path), md5Of(whole),
                      static_cast<std::int64_t>(whole.size()), 300'001, breaksOff, {})
                  .failure()
                  .error,
        StoreError::Io);
    EXPECT_EQ(store->uploadOffset(alice.id, key(path), md5Of(whole)), 300'001);
    ASSERT_EQ(chunk(path, whole, 300'001, 262'143, {}, nullptr, 1)->received, 562'144);
    partHolds(562'144);
    // After a restart the digest of the bytes before comes from the part file.
    reopen();
    auto last = chunk(path, whole, 562'144, whole.size() - 562'144, {}, nullptr, 65'536);
    ASSERT_TRUE(last) << last.failure().detail;
    EXPECT_TRUE(content(get(mine(alice), path)) == whole) << "the stored file differs from the upload";
}

TEST_F(ServerStoreUpload, ACompletedUploadReplacesContentAndFreesTheOldBlob)
{
    const std::vector<std::string> path = { "Memo", "doc.txt" };
    const Entry first = put(alice, mine(alice), path, "first version");
    const fs::path oldBlob = store->blobPath(first.blobId);
    ASSERT_TRUE(fs::exists(oldBlob));
    ASSERT_TRUE(store->copy(alice, mine(alice), path, mine(alice), { "Photos" }, false, {}));

    ASSERT_TRUE(chunk(path, kWhole, 0, 36));
    const Entry second = get(mine(alice), path);
    EXPECT_EQ(second.id, first.id);
    EXPECT_EQ(content(second), kWhole);
    EXPECT_GT(std::stoll(second.timestamp), std::stoll(first.timestamp));
    // The copy still holds the old content.
    EXPECT_TRUE(fs::exists(oldBlob));
    EXPECT_EQ(content(get(mine(alice), { "Photos", "doc.txt" })), "first version");

    put(alice, mine(alice), { "Photos", "doc.txt" }, "replaced too");
    EXPECT_FALSE(fs::exists(oldBlob));
    EXPECT_EQ(filesIn(dir / "blobs"), 2u);

    // A content file that nothing refers to does not survive a restart.
    const fs::path orphan = dir / "blobs" / "ab" / ("ab" + std::string(38, '0'));
    fs::create_directories(orphan.parent_path());
    std::ofstream(orphan) << "lost";
    reopen();
    EXPECT_FALSE(fs::exists(orphan));
    EXPECT_EQ(content(get(mine(alice), path)), kWhole);
}

TEST_F(ServerStoreUpload, TargetsLimitsAndQuota)
{
    Company limited = company;
    limited.maxFileSize = 60;
    limited.quota = 100;
    ASSERT_TRUE(store->updateCompany(limited));

    EXPECT_EQ(
        store->checkUpload(alice, mine(alice), { "Memo", "new" }, 10, true).failure().error, StoreError::NotFound);
    EXPECT_EQ(
        store->checkUpload(alice, mine(alice), { "Nope", "new" }, 10, false).failure().error, StoreError::NotFound);
    EXPECT_EQ(store->checkUpload(alice, mine(alice), { "Memo" }, 10, false).failure().error, StoreError::NotAFile);
    EXPECT_EQ(
        store->checkUpload(alice, mine(alice), { "Memo", "big" }, 61, false).failure().error, StoreError::TooLarge);
    EXPECT_TRUE(store->checkUpload(alice, mine(alice), { "Memo", "big" }, 60, false));

    put(alice, mine(alice), { "Memo", "fifty" }, std::string(50, 'a'));
    put(alice, shared(), { "Team", "thirty" }, std::string(30, 'b'));
    put(bob, shared(), { "Team", "bobs" }, std::string(40, 'c'));
    EXPECT_EQ(store->usedBytes(alice.id), 80);
    EXPECT_EQ(store->usedBytes(bob.id), 40);
    EXPECT_EQ(store->checkUpload(alice, mine(alice), { "Memo", "more" }, 21, false).failure().error,
        StoreError::QuotaExceeded);
    EXPECT_TRUE(store->checkUpload(alice, mine(alice), { "Memo", "more" }, 20, false));
    // Replacing counts only the difference.
    EXPECT_TRUE(store->checkUpload(alice, mine(alice), { "Memo", "fifty" }, 60, true));
    EXPECT_EQ(
        store->copy(alice, mine(alice), { "Memo", "fifty" }, mine(alice), { "Photos" }, false, {}).failure().error,
        StoreError::QuotaExceeded);
    EXPECT_EQ(store->putFile(alice, mine(alice), { "Memo", "more" }, std::string(21, 'd')).failure().error,
        StoreError::QuotaExceeded);
    EXPECT_EQ(store->usedBytes(alice.id), 80);
}

TEST_F(ServerStoreUpload, AChunkInFlightHoldsItsSessionButNotTheStore)
{
    const std::vector<std::string> path = { "Memo", "slow.bin" };
    std::promise<void> inside;
    std::promise<void> release;
    auto go = release.get_future();
    std::thread slow([&] {
        bool first = true;
        auto source = [&](char* buffer, std::size_t) -> long {
            if (!first)
                return 0;
            first = false;
            inside.set_value();
            go.wait();
            std::copy_n(kWhole.data(), 10, buffer);
            return 10;
        };
        auto result
            = store->appendChunk(alice, mine(alice), path, key(path), md5Of(kWhole), 36, 0, source, EntryMeta {});
        EXPECT_EQ(result->received, 10);
    });
    inside.get_future().wait();
    // While the bytes trickle in, the same session refuses a second writer; everything else goes on.
    auto second = chunk(path, kWhole, 0, 10);
    EXPECT_EQ(second.failure().error, StoreError::OffsetMismatch);
    EXPECT_EQ(second.failure().offset, 0);
    EXPECT_TRUE(store->createFolder(bob, mine(bob), { "Memo", "meanwhile" }, {}));
    put(bob, mine(bob), { "Memo", "other.bin" }, "unrelated");
    release.set_value();
    slow.join();
    ASSERT_TRUE(chunk(path, kWhole, 10, 26));
    EXPECT_EQ(content(get(mine(alice), path)), kWhole);
}
