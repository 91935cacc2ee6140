#include "platform/coredata/UUIDObject.h"

#include <gtest/gtest.h>

#include "platform/coredata/ValueTransformer.h"

namespace plat::coredata {
namespace {

// Archiving itself is tested with foundation's UUIDObject; here only that
// unnamed transformables holding UUIDs go through the same archives.
TEST(UUIDObjectTest, UnnamedTransformablesHoldUUIDs) {
    const auto uuid = *UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    Value value(Array{UUIDObject::make(uuid), Value(Dictionary{{"id", UUIDObject::make(uuid)}})});
    auto stored = encodeTransformable(value, "");
    ASSERT_TRUE(stored);
    EXPECT_EQ(decodeTransformable(*stored, "").value(), value);
}

}  // namespace
}  // namespace plat::coredata
