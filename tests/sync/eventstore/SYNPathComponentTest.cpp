#include "sync/eventstore/SYNPathComponent.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SYNPathComponentTest, OnlySingleEntriesInsideTheDirectoryAreAccepted) {
    using namespace std::string_literals;
    const std::vector<std::pair<std::string, bool>> cases = {
        {"0123456789ABCDEF0123456789ABCDEF", true},
        {"main", true},
        {"12_STORE_7.synevent", true},
        {"...", true},
        {".hidden", true},
        {"name with blanks", true},
        {std::string(255, 'x'), true},
        {"", false},
        {".", false},
        {"..", false},
        {"../secret", false},
        {"a/b", false},
        {"/", false},
        {"/etc/passwd", false},
        {"trailing/", false},
        {"nul\0inside"s, false},
        {"\0"s, false},
        {std::string(256, 'x'), false},
    };
    for (const auto& [name, valid] : cases) {
        EXPECT_EQ(SYNIsValidPathComponent(name), valid) << "'" << name << "'";
        EXPECT_EQ(SYNPathByAppendingPathComponent("/data", name).has_value(), valid) << "'" << name << "'";
    }
    EXPECT_EQ(SYNPathByAppendingPathComponent("/root/data", "file"), "/root/data/file");
    EXPECT_EQ(SYNPathByAppendingPathComponent("/root/data/", "file"), "/root/data/file");
    EXPECT_EQ(SYNPathByAppendingPathComponent("", "file"), "file");
}

}  // namespace
