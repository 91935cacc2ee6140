#include "platform/foundation/Object.h"

#include <gtest/gtest.h>

namespace {

class Widget : public plat::Object {
  public:
    std::string className() const override { return "Widget"; }
};

TEST(ObjectTest, DefaultDescriptionNamesClassAndAddressAndIdentityIsEquality) {
    auto a = std::make_shared<Widget>();
    auto b = std::make_shared<Widget>();
    EXPECT_EQ(a->description().rfind("<Widget: 0x", 0), 0u);
    EXPECT_EQ(a->description().back(), '>');
    EXPECT_TRUE(a->isEqual(*a));
    EXPECT_FALSE(a->isEqual(*b));
}

}  // namespace
