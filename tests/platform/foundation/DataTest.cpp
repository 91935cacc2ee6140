#include "platform/foundation/Data.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace plat {
namespace {

Data sequence(std::size_t length) {
    std::vector<uint8_t> bytes(length);
    std::iota(bytes.begin(), bytes.end(), uint8_t(0));
    return Data(std::move(bytes));
}

constexpr const char* kLine1 = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v";
constexpr const char* kLine2 = "MDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5f";
constexpr const char* kLine3 = "YGFiYw==";

TEST(DataTest, Base64BreaksLinesWithCrLfByDefaultAndNotAfterTheLastLine) {
    Data data = sequence(100);
    EXPECT_EQ(data.base64EncodedString(Data::Base64Encoding64CharacterLineLength),
              std::string(kLine1) + "\r\n" + kLine2 + "\r\n" + kLine3);
    EXPECT_EQ(data.base64EncodedString(), std::string(kLine1) + kLine2 + kLine3);
    // Line endings without a line length change nothing.
    EXPECT_EQ(data.base64EncodedString(Data::Base64EncodingEndLineWithLineFeed), data.base64EncodedString());
}

TEST(DataTest, Base64UsesOnlyTheRequestedLineEnding) {
    Data data = sequence(100);
    const unsigned lines = Data::Base64Encoding64CharacterLineLength;
    EXPECT_EQ(data.base64EncodedString(lines | Data::Base64EncodingEndLineWithCarriageReturn),
              std::string(kLine1) + "\r" + kLine2 + "\r" + kLine3);
    EXPECT_EQ(data.base64EncodedString(lines | Data::Base64EncodingEndLineWithLineFeed),
              std::string(kLine1) + "\n" + kLine2 + "\n" + kLine3);
    EXPECT_EQ(data.base64EncodedString(lines | Data::Base64EncodingEndLineWithCarriageReturn |
                                       Data::Base64EncodingEndLineWithLineFeed),
              std::string(kLine1) + "\r\n" + kLine2 + "\r\n" + kLine3);
}

TEST(DataTest, Base64LineBreaksAtExactLineBoundaries) {
    // 48 bytes fill one 64-character line exactly: no line ending at all.
    std::string full = sequence(48).base64EncodedString(Data::Base64Encoding64CharacterLineLength);
    EXPECT_EQ(full, kLine1);
    // One byte more starts a second line holding only the padded group.
    EXPECT_EQ(sequence(49).base64EncodedString(Data::Base64Encoding64CharacterLineLength),
              std::string(kLine1) + "\r\nMA==");
    EXPECT_EQ(sequence(58).base64EncodedString(Data::Base64Encoding76CharacterLineLength),
              std::string(kLine1) + "MDEyMzQ1Njc4\r\nOQ==");
    EXPECT_EQ(Data().base64EncodedString(Data::Base64Encoding64CharacterLineLength), "");
}

struct Base64Vector {
    const char* plain;
    const char* encoded;
};

class Base64PaddingTest : public testing::TestWithParam<Base64Vector> {};

TEST_P(Base64PaddingTest, EncodesAndDecodesStrictly) {
    Data plain = Data::fromString(GetParam().plain);
    EXPECT_EQ(plain.base64EncodedString(), GetParam().encoded);
    EXPECT_EQ(Data::fromBase64(GetParam().encoded), plain);
    EXPECT_EQ(Data::fromBase64(GetParam().encoded, Data::Base64DecodingIgnoreUnknownCharacters), plain);
}

INSTANTIATE_TEST_SUITE_P(LengthsZeroToFive, Base64PaddingTest,
                         testing::Values(Base64Vector{"", ""}, Base64Vector{"f", "Zg=="},
                                         Base64Vector{"fo", "Zm8="}, Base64Vector{"foo", "Zm9v"},
                                         Base64Vector{"foob", "Zm9vYg=="},
                                         Base64Vector{"fooba", "Zm9vYmE="}));

TEST(DataTest, StrictBase64RefusesJunkBadLengthsAndMisplacedPadding) {
    for (const char* bad : {"Zg", "Zg=", "Zm9vY", "Z===", "====", "=Zg=", "Zg==Zg==", "Zm9v\r\nYg==",
                            "Zm9v Yg==", "Zm9v\nYmFy", "Z@8=", "Zm9vYmFy\n", "Zm=v"}) {
        EXPECT_EQ(Data::fromBase64(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(Data::fromBase64(std::string("Zm\0v", 4)), std::nullopt);
    EXPECT_EQ(Data::fromBase64("\xC3\xA9\xC3\xA9"), std::nullopt);
}

TEST(DataTest, LenientBase64SkipsEverythingOutsideTheAlphabet) {
    const unsigned lenient = Data::Base64DecodingIgnoreUnknownCharacters;
    EXPECT_EQ(Data::fromBase64("Zm9v\r\nYmFy", lenient), Data::fromString("foobar"));
    EXPECT_EQ(Data::fromBase64(" Zm*9v\tY!mF\xC3\xA9y ", lenient), Data::fromString("foobar"));
    // Missing padding is accepted; "=" ends a group, so joined encodings decode.
    EXPECT_EQ(Data::fromBase64("Zm9vYg", lenient), Data::fromString("foob"));
    EXPECT_EQ(Data::fromBase64("Zg==Zm8=", lenient), Data::fromString("ffo"));
    EXPECT_EQ(Data::fromBase64("==Zg===", lenient), Data::fromString("f"));
    EXPECT_EQ(Data::fromBase64("!!\r\n", lenient), Data());
    // A group of one character cannot hold a byte.
    EXPECT_EQ(Data::fromBase64("Zm9vY", lenient), std::nullopt);
    EXPECT_EQ(Data::fromBase64("Z=m9v", lenient), std::nullopt);
}

// Clean runs of four characters are decoded a group at a time and everything
// else one character at a time: wherever a skipped character, a line break or
// a stray "=" falls, the two paths must meet with the same bytes.
TEST(DataTest, Base64DecodesTheSameWhereverTheCleanRunsBreak) {
    const unsigned lenient = Data::Base64DecodingIgnoreUnknownCharacters;
    for (std::size_t length = 0; length <= 11; ++length) {
        const Data plain = sequence(length);
        const std::string clean = plain.base64EncodedString();
        std::string unpadded = clean.substr(0, clean.find('='));
        EXPECT_EQ(Data::fromBase64(unpadded, lenient), plain) << unpadded;
        for (std::size_t at = 0; at <= unpadded.size(); ++at) {
            for (const char* junk : {"\r\n", " ", "\xC3\xA9", "!"}) {
                std::string text = clean;
                text.insert(at, junk);
                EXPECT_EQ(Data::fromBase64(text, lenient), plain) << text;
                EXPECT_EQ(Data::fromBase64(text), std::nullopt) << text;
            }
            if (at % 4 == 0 && at > 0 && at < unpadded.size()) {
                // "=" closing a whole group is harmless between groups.
                std::string text = clean;
                text.insert(at, "=");
                EXPECT_EQ(Data::fromBase64(text, lenient), plain) << text;
            }
        }
        for (std::size_t at = 0; at < unpadded.size(); ++at) {
            std::string text = clean;
            text[at] = '*';
            EXPECT_EQ(Data::fromBase64(text), std::nullopt) << text;
        }
    }
}

TEST(DataTest, LargeBase64RoundTripsInEveryForm) {
    std::vector<uint8_t> bytes(3 * 1024 * 1024 + 1);
    uint32_t state = 12345;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = uint8_t(state >> 24);
    }
    Data data(std::move(bytes));
    std::string plain = data.base64EncodedString();
    EXPECT_EQ(plain.size(), (data.length() + 2) / 3 * 4);
    EXPECT_EQ(Data::fromBase64(plain), data);
    std::string wrapped = data.base64EncodedString(Data::Base64Encoding76CharacterLineLength);
    EXPECT_EQ(Data::fromBase64(wrapped), std::nullopt);
    EXPECT_EQ(Data::fromBase64(wrapped, Data::Base64DecodingIgnoreUnknownCharacters), data);
}

TEST(DataTest, HexRoundTripsAndRefusesMalformedText) {
    Data data(std::vector<uint8_t>{0x00, 0x7f, 0x80, 0xab, 0xff});
    EXPECT_EQ(data.hexString(), "007f80abff");
    EXPECT_EQ(Data::fromHex("007F80abFF"), data);
    EXPECT_EQ(Data::fromHex(""), Data());
    EXPECT_EQ(Data::fromHex("abc"), std::nullopt);
    EXPECT_EQ(Data::fromHex("0g"), std::nullopt);
    EXPECT_EQ(Data::fromHex("-1"), std::nullopt);
}

TEST(DataTest, DescriptionShowsAllBytesUpTo24AndAnExcerptBeyond) {
    EXPECT_EQ(Data().description(), "{length = 0, bytes = 0x}");
    EXPECT_EQ(sequence(3).description(), "{length = 3, bytes = 0x000102}");
    EXPECT_EQ(sequence(24).description(),
              "{length = 24, bytes = 0x000102030405060708090a0b0c0d0e0f1011121314151617}");
    EXPECT_EQ(sequence(25).description(),
              "{length = 25, bytes = 0x00010203 04050607 08090a0b 0c0d0e0f ... 11121314 15161718 }");
    EXPECT_EQ(sequence(100).description(),
              "{length = 100, bytes = 0x00010203 04050607 08090a0b 0c0d0e0f ... 5c5d5e5f 60616263 }");
}

TEST(DataTest, AppendEqualityAndHash) {
    Data data = Data::fromString("ab");
    data.append(nullptr, 0);
    data.append(Data::fromString("cd"));
    data.append("e", 1);
    EXPECT_EQ(data, Data::fromString("abcde"));
    EXPECT_EQ(data.hash(), Data::fromString("abcde").hash());
    EXPECT_NE(data, Data::fromString("abcdf"));
    EXPECT_EQ(Data(nullptr, 0).length(), 0u);
    // Appending a buffer to itself, also when that grows it.
    Data twice = Data::fromString("xyz");
    twice.append(twice);
    twice.append(twice.bytes() + 1, 2);
    EXPECT_EQ(twice, Data::fromString("xyzxyzyz"));
}

}  // namespace
}  // namespace plat
