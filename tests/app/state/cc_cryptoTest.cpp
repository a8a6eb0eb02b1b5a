#include "app/state/cc_crypto.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

using namespace norvane;

namespace {

using Block = std::array<std::uint8_t, 16>;

constexpr Block kKey { 0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6, 0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c };
constexpr Block kIv { 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f };

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

std::optional<Bytes> run(std::uint32_t op, const Bytes& input)
{
    cc_crypto cipher(op, kKey, kIv);
    return cipher.CCCrypto(input);
}

} // namespace

TEST(cc_crypto, MatchesTheAesCbcReferenceVectorAndPadsAWholeBlock)
{
    // First block of the CBC-AES128 example of NIST SP 800-38A.
    const Bytes plain { 0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96, 0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17,
        0x2a };
    const Bytes expected { 0x76, 0x49, 0xab, 0xac, 0x81, 0x19, 0xb2, 0x46, 0xce, 0xe9, 0x8e, 0x9b, 0x12, 0xe9, 0x19,
        0x7d };
    cc_crypto cipher(cc_crypto::kCCEncrypt, kKey, kIv);
    auto sealed = cipher.CCCrypto(plain);
    ASSERT_TRUE(sealed);
    ASSERT_EQ(sealed->size(), 32u);
    EXPECT_EQ(Bytes(sealed->begin(), sealed->begin() + 16), expected);
    EXPECT_EQ(cipher.CLen(), 32u);

    EXPECT_EQ(run(cc_crypto::kCCEncrypt, {})->size(), 16u);
    EXPECT_EQ(run(cc_crypto::kCCEncrypt, bytesOf(std::string(15, 'a')))->size(), 16u);
}

TEST(cc_crypto, DecryptionGivesTheBytesBackAlsoForNonAsciiText)
{
    for (std::string_view text : { "", "secret", "パスワード🔑 ümlaut", "exactly16bytes!!" }) {
        auto sealed = run(cc_crypto::kCCEncrypt, bytesOf(text));
        ASSERT_TRUE(sealed);
        cc_crypto decipher(cc_crypto::kCCDecrypt, kKey, kIv);
        auto opened = decipher.CCCrypto(*sealed);
        ASSERT_TRUE(opened) << text;
        EXPECT_EQ(std::string(opened->begin(), opened->end()), text);
        EXPECT_EQ(decipher.CLen(), text.size());
    }
}

TEST(cc_crypto, RefusedInputGivesNothingAndKeepsTheLastLength)
{
    auto sealed = run(cc_crypto::kCCEncrypt, bytesOf("exactly16bytes!!"));
    ASSERT_TRUE(sealed);
    cc_crypto decipher(cc_crypto::kCCDecrypt, kKey, kIv);
    ASSERT_TRUE(decipher.CCCrypto(*sealed));
    ASSERT_EQ(decipher.CLen(), 16u);

    // In CBC a byte of one cipher block flips the same byte of the next plaintext block: here the
    // last pad byte (16) becomes 16 ^ 0x55, which no valid padding holds.
    Bytes badPadding = *sealed;
    badPadding[15] ^= 0x55;
    EXPECT_FALSE(decipher.CCCrypto(badPadding));
    EXPECT_FALSE(decipher.CCCrypto(Bytes(15, 0))); // not a whole block
    EXPECT_FALSE(decipher.CCCrypto({}));
    EXPECT_EQ(decipher.CLen(), 16u);

    cc_crypto unknownDirection(7, kKey, kIv);
    EXPECT_FALSE(unknownDirection.CCCrypto(bytesOf("x")));
}
