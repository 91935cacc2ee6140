#include "sync/eventstore/SYNDataAdditions.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

plat::Data bytes(std::size_t count, uint32_t seed = 1) {
    std::mt19937 random(seed);
    std::vector<uint8_t> out(count);
    for (auto& b : out) {
        b = static_cast<uint8_t>(random());
    }
    return plat::Data(std::move(out));
}

TEST(SYNDataAdditionsTest, Base64BreaksLinesAfterSixtyFourCharactersButNotAfterTheLast) {
    EXPECT_EQ(syn_base64EncodedString(plat::Data()), "");
    EXPECT_EQ(syn_base64EncodedString(plat::Data::fromString("A")), "QQ==");

    std::string exactLine = syn_base64EncodedString(bytes(48));
    EXPECT_EQ(exactLine.size(), 64u);
    EXPECT_EQ(exactLine.find('\r'), std::string::npos);

    std::string twoLines = syn_base64EncodedString(bytes(49));
    ASSERT_EQ(twoLines.size(), 64u + 2 + 4);
    EXPECT_EQ(twoLines.substr(64, 2), "\r\n");
    EXPECT_EQ(twoLines.substr(66 + 2), "==");

    std::string twoFullLines = syn_base64EncodedString(bytes(96));
    EXPECT_EQ(twoFullLines.size(), 64u + 2 + 64);
    EXPECT_NE(twoFullLines.substr(twoFullLines.size() - 2), "\r\n");
}

TEST(SYNDataAdditionsTest, Base64DecodingSkipsForeignCharactersAndRoundTrips) {
    EXPECT_EQ(syn_dataWithBase64EncodedString("QU JD\r\n"), plat::Data::fromString("ABC"));
    EXPECT_EQ(syn_dataWithBase64EncodedString("Q!U@J#D$"), plat::Data::fromString("ABC"));
    EXPECT_EQ(syn_dataWithBase64EncodedString("QUI"), plat::Data::fromString("AB"));  // missing padding
    EXPECT_EQ(syn_dataWithBase64EncodedString(""), plat::Data());
    EXPECT_EQ(syn_dataWithBase64EncodedString("\r\n \t"), plat::Data());
    EXPECT_FALSE(syn_dataWithBase64EncodedString("QUJDQ"));  // a group of one character
    for (std::size_t size : {0u, 1u, 2u, 3u, 47u, 48u, 49u, 64u, 65u, 200u, 1000u}) {
        plat::Data original = bytes(size, static_cast<uint32_t>(size) + 7);
        EXPECT_EQ(syn_dataWithBase64EncodedString(syn_base64EncodedString(original)), original) << size;
    }
}

TEST(SYNDataAdditionsTest, Md5ChecksumIsThirtyTwoUpperCaseHexDigits) {
    EXPECT_EQ(syn_md5Checksum(plat::Data()), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(syn_md5Checksum(plat::Data::fromString("abc")), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(syn_md5Checksum(bytes(10001)).size(), 32u);
}

}  // namespace
