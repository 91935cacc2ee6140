#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace plat {
namespace {

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

TEST(UUIDTest, RandomUUIDsAreVersion4InUpperCaseGroups) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        UUID uuid;
        std::string text = uuid.UUIDString();
        ASSERT_EQ(text.size(), 36u);
        for (std::size_t k = 0; k < text.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(text[k], '-');
            } else {
                EXPECT_TRUE(isUpperHex(text[k])) << text;
            }
        }
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(UUID::fromString(text), uuid);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_NE(UUID::random(), UUID::random());
}

TEST(UUIDTest, TextIsEachBytesTwoUpperCaseDigitsInFiveGroups) {
    auto expectedText = [](const UUID::Bytes& bytes) {
        std::string text;
        char digits[3];
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i == 4 || i == 6 || i == 8 || i == 10)
                text += '-';
            std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
            text += digits;
        }
        return text;
    };
    std::vector<UUID::Bytes> cases;
    cases.push_back(UUID::Bytes{});
    UUID::Bytes ones;
    ones.fill(0xFF);
    cases.push_back(ones);
    UUID::Bytes counting;
    for (std::size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<uint8_t>(i * 17 + 9);
    cases.push_back(counting);
    for (int i = 0; i < 500; ++i)
        cases.push_back(UUID().bytes());
    for (const auto& bytes : cases) {
        const std::string text = UUID::fromBytes(bytes).UUIDString();
        EXPECT_EQ(text, expectedText(bytes));
        EXPECT_EQ(UUID::fromString(text), UUID::fromBytes(bytes));
    }
}

TEST(UUIDTest, ParsesEitherCaseIntoTheSameBytes) {
    auto upper = UUID::fromString("0F8FAD5B-D9CB-469F-A165-70867728950E");
    auto mixed = UUID::fromString("0f8fAD5b-d9cb-469F-a165-70867728950e");
    ASSERT_TRUE(upper && mixed);
    EXPECT_EQ(*upper, *mixed);
    EXPECT_EQ(upper->bytes()[0], 0x0F);
    EXPECT_EQ(upper->bytes()[15], 0x0E);
    EXPECT_EQ(mixed->UUIDString(), "0F8FAD5B-D9CB-469F-A165-70867728950E");
    // Any bytes are accepted, not only version 4.
    EXPECT_EQ(UUID::fromString("00000000-0000-0000-0000-000000000000")->bytes(), UUID::Bytes{});
}

TEST(UUIDTest, RefusesWrongLengthsHyphensAndCharacters) {
    for (const char* bad : {"", "0F8FAD5B-D9CB-469F-A165-70867728950",
                            "0F8FAD5B-D9CB-469F-A165-70867728950E0", "0F8FAD5BD9CB-469F-A165-70867728950E0",
                            "0F8FAD5B-D9CB-469F-A16570867728950E0", "0F8FAD5B_D9CB_469F_A165_70867728950E",
                            "0F8FAD5G-D9CB-469F-A165-70867728950E", "{F8FAD5B-D9CB-469F-A165-70867728950E}",
                            " F8FAD5B-D9CB-469F-A165-70867728950E", "0F8FAD5B-D9CB-469F-A165-7086772895+E"}) {
        EXPECT_EQ(UUID::fromString(bad), std::nullopt) << bad;
    }
}

TEST(UUIDTest, ComparesAndHashesByBytes) {
    UUID::Bytes low{}, high{};
    high[0] = 1;
    UUID a = UUID::fromBytes(low), b = UUID::fromBytes(high);
    EXPECT_LT(a, b);
    EXPECT_EQ(a, UUID::fromBytes(low));
    std::unordered_set<UUID> set{a, b, UUID::fromBytes(low)};
    EXPECT_EQ(set.size(), 2u);
    EXPECT_EQ(a.hash(), UUID::fromBytes(low).hash());
}

}  // namespace
}  // namespace plat
