#include "platform/security/AES.h"

#include <gtest/gtest.h>

#include <thread>

namespace plat::security {
namespace {

Data bytes(std::initializer_list<uint8_t> list) {
    return Data(std::vector<uint8_t>(list));
}

TEST(AESTest, KnownVectorAndRoundTrip) {
    // NIST SP 800-38A F.2.5, first block, followed by one block of padding.
    Data key = *Data::fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    Data iv = *Data::fromHex("000102030405060708090a0b0c0d0e0f");
    Data plain = *Data::fromHex("6bc1bee22e409f96e93d7e117393172a");
    auto cipher = aes256CBCEncrypt(key, iv, plain);
    ASSERT_TRUE(cipher);
    ASSERT_EQ(cipher->length(), 32u);
    EXPECT_EQ(cipher->hexString().substr(0, 32), "f58c4c04d6e5f1ba779eabfb5f7bfbd6");
    EXPECT_EQ(aes256CBCDecrypt(key, iv, *cipher), plain);

    auto empty = aes256CBCEncrypt(key, iv, Data());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->length(), 16u);
    EXPECT_EQ(aes256CBCDecrypt(key, iv, *empty), Data());
}

TEST(AESTest, RefusesBadLengthsAndPadding) {
    Data key(std::vector<uint8_t>(32, 7));
    Data iv(std::vector<uint8_t>(16, 1));
    auto cipher = *aes256CBCEncrypt(key, iv, Data::fromString("secret token"));
    EXPECT_FALSE(aes256CBCEncrypt(bytes({1, 2}), iv, cipher));
    EXPECT_FALSE(aes256CBCDecrypt(key, bytes({1}), cipher));
    EXPECT_FALSE(aes256CBCDecrypt(key, iv, Data()));
    Data truncated(cipher.bytes(), cipher.length() - 1);
    EXPECT_FALSE(aes256CBCDecrypt(key, iv, truncated));
    Data otherKey(std::vector<uint8_t>(32, 8));
    // A wrong key gives bad padding in all but ~1/256 of cases; this input is one of the others.
    auto wrong = aes256CBCDecrypt(otherKey, iv, cipher);
    EXPECT_TRUE(!wrong || *wrong != Data::fromString("secret token"));
}

// Each thread keeps one cipher context from call to call. Whatever ran on the
// thread before (either direction, other keys, a failed decryption), every
// result must be what a thread that never used AES gets.
TEST(AESTest, ResultsDoNotDependOnWhatRanBeforeOnTheThread) {
    const Data key1(std::vector<uint8_t>(32, 7));
    const Data key2(std::vector<uint8_t>(32, 9));
    const Data iv1(std::vector<uint8_t>(16, 1));
    const Data iv2(std::vector<uint8_t>(16, 2));
    const Data plain = Data::fromString("a target token of some length");
    const Data empty;
    const Data cipher1 = *aes256CBCEncrypt(key1, iv1, plain);
    const Data cipher2 = *aes256CBCEncrypt(key2, iv2, plain);
    Data badPadding = cipher1;
    badPadding.mutableVector().back() ^= 0x55;
    struct Step {
        bool encrypt;
        const Data* key;
        const Data* iv;
        const Data* input;
    };
    const Step steps[] = {
        {true, &key1, &iv1, &plain},       {false, &key1, &iv1, &cipher1}, {false, &key2, &iv1, &cipher1},
        {false, &key1, &iv1, &badPadding}, {true, &key2, &iv2, &plain},    {false, &key2, &iv2, &cipher2},
        {true, &key1, &iv1, &empty},       {false, &key1, &iv2, &cipher1}, {true, &key2, &iv1, &cipher2},
        {false, &key1, &iv1, &cipher1},    {true, &key1, &iv1, &plain},
    };
    auto apply = [](const Step& step) {
        return step.encrypt ? aes256CBCEncrypt(*step.key, *step.iv, *step.input)
                            : aes256CBCDecrypt(*step.key, *step.iv, *step.input);
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        std::optional<Data> fresh;
        std::thread([&] { fresh = apply(steps[i]); }).join();
        EXPECT_EQ(apply(steps[i]), fresh) << "step " << i;
    }
    EXPECT_EQ(aes256CBCDecrypt(key1, iv1, cipher1), plain);
    EXPECT_EQ(aes256CBCDecrypt(key1, iv1, badPadding), std::nullopt);
}

TEST(AESTest, RandomBytesDiffer) {
    auto a = randomBytes(32);
    auto b = randomBytes(32);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->length(), 32u);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(randomBytes(0)->length(), 0u);
}

}  // namespace
}  // namespace plat::security
