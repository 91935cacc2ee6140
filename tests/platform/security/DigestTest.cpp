#include "platform/security/Digest.h"

#include <gtest/gtest.h>

#include <string>

namespace plat::security {
namespace {

struct Vector {
    std::string input;
    std::string md5;
    std::string sha256;
};

class DigestTest : public ::testing::TestWithParam<Vector> {};

TEST_P(DigestTest, MatchesTheStandardTestVectors) {
    const Vector& v = GetParam();
    EXPECT_EQ(hexDigest(md5(v.input), false), v.md5);
    EXPECT_EQ(hexDigest(sha256(v.input), false), v.sha256);
    EXPECT_EQ(md5(Data::fromString(v.input)), md5(v.input));
    EXPECT_EQ(sha256(Data::fromString(v.input)), sha256(v.input));
    EXPECT_EQ(md5(v.input).length(), MD5DigestLength);
    EXPECT_EQ(sha256(v.input).length(), SHA256DigestLength);
}

INSTANTIATE_TEST_SUITE_P(
    KnownAnswers, DigestTest,
    ::testing::Values(Vector{"", "d41d8cd98f00b204e9800998ecf8427e",
                             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                      Vector{"abc", "900150983cd24fb0d6963f7d28e17f72",
                             "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
                      Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0",
                             "f7846f55cf23e14eebeab5b4e1550cad5b509e3348fbc4efa3a1413d393cb650"},
                      Vector{std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
                             "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

TEST(HexDigestTest, WritesTwoDigitsPerByteInTheAskedCase) {
    const Data bytes(std::vector<uint8_t>{0x00, 0x0f, 0xa0, 0xff});
    EXPECT_EQ(hexDigest(bytes), "000FA0FF");
    EXPECT_EQ(hexDigest(bytes, false), "000fa0ff");
    EXPECT_EQ(hexDigest(Data()), "");
}

}  // namespace
}  // namespace plat::security
