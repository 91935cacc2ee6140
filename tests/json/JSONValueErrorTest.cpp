#include "json/JSONValueError.h"

#include <gtest/gtest.h>

#include "json/JSON.h"

namespace json {
namespace {

TEST(JSONValueErrorTest, RawValuesMapToCasesAndNothingElse) {
    EXPECT_EQ(JSONValueErrorFromRawValue(901), JSONValueError::WrongType);
    EXPECT_EQ(JSONValueErrorFromRawValue(999), JSONValueError::UnsupportedType);
    EXPECT_EQ(JSONValueErrorFromRawValue(490), JSONValueError::InvalidJSON);
    EXPECT_EQ(JSONValueErrorFromRawValue(0), std::nullopt);
    EXPECT_EQ(JSONValueErrorFromRawValue(903), std::nullopt);
    EXPECT_EQ(rawValue(JSONValueError::NotExist), 500);

    EXPECT_EQ(TypeFromRawValue(0), Type::Number);
    EXPECT_EQ(TypeFromRawValue(6), Type::Unknown);
    EXPECT_EQ(TypeFromRawValue(7), std::nullopt);
    EXPECT_EQ(TypeFromRawValue(-1), std::nullopt);
}

TEST(JSONValueErrorTest, ErrorObjectCarriesCodeAndMessage) {
    plat::ErrorPtr e = makeError(JSONValueError::ElementTooDeep);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->domain(), JSONValueErrorDomain);
    EXPECT_EQ(e->code(), 902);
    EXPECT_EQ(e->localizedDescription(),
              "Element too deep. Increase maxObjectDepth and make sure there is no reference loop.");
    EXPECT_EQ(e->userInfo().size(), 1u);
    EXPECT_EQ(JSONValueErrorFromError(e), JSONValueError::ElementTooDeep);
    EXPECT_EQ(JSONValueErrorFromError(plat::Error::make("other", 902)), std::nullopt);
    EXPECT_EQ(JSONValueErrorFromError(nullptr), std::nullopt);
    // The subscript failure keeps the merge wording.
    EXPECT_STREQ(message(JSONValueError::WrongType),
                 "Couldn't merge, because the JSONs differ in type on top level.");
}

}  // namespace
}  // namespace json
