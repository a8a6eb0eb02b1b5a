#include "CloudServiceSDKForMac/ASIHTTP/GzipCodec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

using namespace norvane;
namespace fs = std::filesystem;

namespace {

Bytes randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

// Text-like data that compresses well, so that the output spans several deflate steps too.
Bytes wordyBytes(std::size_t size)
{
    static const std::string words = "alpha beta gamma delta epsilon zeta eta theta ";
    std::mt19937 rng(7);
    Bytes out;
    while (out.size() < size)
        out.push_back(static_cast<std::uint8_t>(words[rng() % words.size()]));
    return out;
}

Bytes zlibWrapped(const Bytes& data)
{
    uLongf length = compressBound(data.size());
    Bytes out(length);
    EXPECT_EQ(compress2(out.data(), &length, data.data(), data.size(), 6), Z_OK);
    out.resize(length);
    return out;
}

Bytes zlibWithDictionary(const Bytes& data, const std::string& dictionary)
{
    z_stream z {};
    EXPECT_EQ(deflateInit(&z, 6), Z_OK);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dictionary.data()), static_cast<uInt>(dictionary.size()));
    Bytes out(deflateBound(&z, data.size()) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Gzip of `zeros` zero bytes, built piece by piece so the test never holds the expansion itself.
Bytes gzipOfZeros(std::size_t zeros)
{
    z_stream z {};
    EXPECT_EQ(deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const Bytes block(1 << 20, 0);
    Bytes out;
    Bytes buffer(1 << 16);
    for (std::size_t left = zeros;;) {
        const std::size_t n = std::min(left, block.size());
        left -= n;
        z.next_in = const_cast<Bytef*>(block.data());
        z.avail_in = static_cast<uInt>(n);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        int rc;
        do {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            rc = deflate(&z, flush);
            out.insert(out.end(), buffer.begin(), buffer.end() - z.avail_out);
        } while (z.avail_out == 0);
        if (rc == Z_STREAM_END)
            break;
    }
    deflateEnd(&z);
    return out;
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class GzipFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path()
            / ("gzip-test-" + std::to_string(::getpid()) + "-"
                + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const Bytes& data) const
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    Bytes read(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    fs::path dir_;
};

const std::size_t sizes[] = { 0, 1, 16383, 16384, 16385, 1 << 20 };

} // namespace

TEST(GzipCodec, RoundTripsInMemoryAcrossChunkBoundaries)
{
    for (std::size_t size : sizes) {
        for (const Bytes& data : { randomBytes(size, static_cast<unsigned>(size)), wordyBytes(size) }) {
            const auto zipped = GzipCodec::compressData(data);
            ASSERT_TRUE(zipped) << size;
            ASSERT_GE(zipped->size(), 18u) << "a gzip header and trailer even for no data";
            EXPECT_EQ((*zipped)[0], 0x1f);
            EXPECT_EQ((*zipped)[1], 0x8b);
            GzipError why = GzipError::corrupt;
            const auto back = GzipCodec::uncompressZippedData(*zipped, GzipCodec::defaultMaxOutput, &why);
            ASSERT_TRUE(back) << size;
            EXPECT_EQ(*back, data) << size;
            EXPECT_EQ(why, GzipError::none);
        }
    }
}

TEST(GzipCodec, InflatesZlibWrappedBodiesAndEmptyInputAsItIs)
{
    const Bytes data = wordyBytes(50000);
    EXPECT_EQ(GzipCodec::uncompressZippedData(zlibWrapped(data)), data);
    const auto empty = GzipCodec::uncompressZippedData(Bytes {});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(GzipCodec, RefusesDamagedStreams)
{
    const Bytes data = wordyBytes(40000);
    const Bytes zipped = *GzipCodec::compressData(data);
    struct Case {
        const char* what;
        Bytes input;
        GzipError expected;
    };
    Bytes badCrc = zipped;
    badCrc[badCrc.size() - 6] ^= 0x01;
    Bytes badBody = zipped;
    badBody[zipped.size() / 2] ^= 0xff;
    const Case cases[] = {
        { "check sum", badCrc, GzipError::corrupt },
        { "body", badBody, GzipError::corrupt },
        { "not compressed", wordyBytes(100), GzipError::corrupt },
        { "cut short", Bytes(zipped.begin(), zipped.end() - 5), GzipError::truncated },
        { "header only", Bytes(zipped.begin(), zipped.begin() + 10), GzipError::truncated },
        { "garbage after", concat(zipped, { 'x', 'y' }), GzipError::trailingData },
        { "zero padding after", concat(zipped, Bytes(8, 0)), GzipError::trailingData },
        { "half a second member", concat(zipped, { 0x1f }), GzipError::truncated },
        { "dictionary", zlibWithDictionary(data, "alpha beta"), GzipError::needsDictionary },
    };
    for (const Case& c : cases) {
        GzipError why = GzipError::none;
        EXPECT_FALSE(GzipCodec::uncompressZippedData(c.input, GzipCodec::defaultMaxOutput, &why)) << c.what;
        EXPECT_EQ(why, c.expected) << c.what;
    }
}

TEST(GzipCodec, DecodesConcatenatedMembersAsOneBody)
{
    const Bytes first = randomBytes(20000, 1), second = wordyBytes(30000);
    const auto both
        = GzipCodec::uncompressZippedData(concat(*GzipCodec::compressData(first), *GzipCodec::compressData(second)));
    ASSERT_TRUE(both);
    EXPECT_EQ(*both, concat(first, second));
}

TEST(GzipCodec, BoundsTheExpansionOfABomb)
{
    const Bytes bomb = gzipOfZeros(std::size_t { 100 } << 20);
    ASSERT_LT(bomb.size(), 200u * 1024);
    GzipError why = GzipError::none;
    EXPECT_FALSE(GzipCodec::uncompressZippedData(bomb, 8u << 20, &why));
    EXPECT_EQ(why, GzipError::tooLarge);

    // The streaming inflater stops at the same bound, having produced no more than it.
    std::uint64_t received = 0;
    GzipInflater inflater(
        [&received](std::span<const std::uint8_t> piece) {
            received += piece.size();
            return true;
        },
        8u << 20);
    EXPECT_FALSE(inflater.feed(bomb));
    EXPECT_EQ(inflater.error(), GzipError::tooLarge);
    EXPECT_LE(received, 8u << 20);
    EXPECT_EQ(received, inflater.bytesOut());

    // The bound is inclusive: exactly that many bytes are fine, one more is not.
    const Bytes zeros = gzipOfZeros(100000);
    EXPECT_EQ(GzipCodec::uncompressZippedData(zeros, 100000), Bytes(100000, 0));
    EXPECT_FALSE(GzipCodec::uncompressZippedData(zeros, 99999, &why));
    EXPECT_EQ(why, GzipError::tooLarge);
}

TEST(GzipInflater, StreamingInPiecesMatchesTheWholeBody)
{
    const Bytes data = concat(wordyBytes(300000), randomBytes(70000, 3));
    const Bytes zipped = concat(*GzipCodec::compressData(data), *GzipCodec::compressData(wordyBytes(1000)));
    const Bytes whole = *GzipCodec::uncompressZippedData(zipped);
    for (std::size_t step : { std::size_t { 1 }, std::size_t { 7 }, std::size_t { 4096 }, zipped.size() }) {
        Bytes out;
        GzipInflater inflater([&out](std::span<const std::uint8_t> piece) {
            out.insert(out.end(), piece.begin(), piece.end());
            return true;
        });
        for (std::size_t at = 0; at < zipped.size(); at += step)
            ASSERT_TRUE(inflater.feed(std::span(zipped).subspan(at, std::min(step, zipped.size() - at)))) << step;
        EXPECT_TRUE(inflater.finish()) << step;
        EXPECT_EQ(out, whole) << step;
        EXPECT_EQ(inflater.bytesOut(), whole.size());
    }
}

TEST(GzipInflater, ReportsUnfinishedStreamsAndRefusedOutput)
{
    const Bytes zipped = *GzipCodec::compressData(wordyBytes(100000));
    const auto keep = [](std::span<const std::uint8_t>) { return true; };

    GzipInflater nothing(keep);
    EXPECT_FALSE(nothing.finish());
    EXPECT_EQ(nothing.error(), GzipError::truncated);

    GzipInflater cut(keep);
    EXPECT_TRUE(cut.feed(std::span(zipped).first(zipped.size() - 1)));
    EXPECT_FALSE(cut.finish());
    EXPECT_EQ(cut.resultCode(), Z_DATA_ERROR);

    int calls = 0;
    GzipInflater refused([&calls](std::span<const std::uint8_t>) { return ++calls < 2; });
    EXPECT_FALSE(refused.feed(zipped));
    EXPECT_EQ(refused.error(), GzipError::outputRejected);
    EXPECT_EQ(refused.resultCode(), Z_ERRNO);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(refused.feed(zipped)) << "a failed inflater stays failed";
    EXPECT_EQ(calls, 2);
}

TEST_F(GzipFiles, RoundTripsFileToFileReadableByGzip)
{
    for (std::size_t size : sizes) {
        const Bytes data = randomBytes(size, static_cast<unsigned>(size) + 11);
        write("plain", data);
        ASSERT_EQ(GzipCodec::compressDataFromFile(path("plain"), path("plain.gz")), 0) << size;

        // An independent reader of the file agrees with what was written.
        gzFile gz = gzopen(path("plain.gz").c_str(), "rb");
        ASSERT_NE(gz, nullptr);
        Bytes viaZlib(size + 1);
        const int n = gzread(gz, viaZlib.data(), static_cast<unsigned>(viaZlib.size()));
        gzclose(gz);
        ASSERT_EQ(n, static_cast<int>(size));
        viaZlib.resize(size);
        EXPECT_EQ(viaZlib, data);

        ASSERT_EQ(GzipCodec::uncompressZippedDataFromFile(path("plain.gz"), path("back")), 0) << size;
        EXPECT_EQ(read("back"), data) << size;
    }
}

TEST_F(GzipFiles, FileResultCodes)
{
    const Bytes zipped = *GzipCodec::compressData(wordyBytes(100000));
    Bytes corrupt = zipped;
    corrupt[zipped.size() / 2] ^= 0xff;
    struct Case {
        const char* what;
        Bytes input;
        int expected;
    };
    const Case cases[] = {
        { "truncated", Bytes(zipped.begin(), zipped.end() - 20), -3 },
        { "empty", Bytes {}, -3 },
        { "corrupt", corrupt, -3 },
        { "trailing garbage", concat(zipped, { '!' }), -3 },
        { "dictionary", zlibWithDictionary(wordyBytes(1000), "gamma"), -3 },
    };
    for (const Case& c : cases) {
        write("in.gz", c.input);
        EXPECT_EQ(GzipCodec::uncompressZippedDataFromFile(path("in.gz"), path("out")), c.expected) << c.what;
        EXPECT_FALSE(fs::exists(path("out"))) << c.what << ": a failed result is not left behind";
    }

    write("in.gz", zipped);
    EXPECT_EQ(GzipCodec::uncompressZippedDataFromFile(path("missing.gz"), path("out")), -1);
    EXPECT_EQ(GzipCodec::uncompressZippedDataFromFile(path("in.gz"), path("no-such-dir/out")), -1);
    EXPECT_EQ(GzipCodec::uncompressZippedDataFromFile(path("in.gz"), path("in.gz")), -1);
    EXPECT_EQ(read("in.gz"), zipped) << "decompressing onto the source must not destroy it";
    EXPECT_EQ(GzipCodec::compressDataFromFile(path("missing"), path("out.gz")), -1);
    EXPECT_EQ(GzipCodec::compressDataFromFile(path("in.gz"), path("no-such-dir/out.gz")), -1);
}
