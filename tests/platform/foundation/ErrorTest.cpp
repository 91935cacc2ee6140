#include "platform/foundation/Error.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/foundation/Result.h"

namespace {

using plat::Dictionary;
using plat::Error;
using plat::ErrorPtr;
using plat::Value;

TEST(ErrorTest, LocalizedDescriptionFallsBackToGenericText) {
    const ErrorPtr bare = Error::make(plat::CocoaErrorDomain, 4);
    EXPECT_EQ(bare->localizedDescription(),
              "The operation couldn\u2019t be completed. (NSCocoaErrorDomain error 4.)");
    EXPECT_EQ(Error::make("SYN", -7)->localizedDescription(),
              "The operation couldn\u2019t be completed. (SYN error -7.)");
    // A description that is not a string does not count.
    EXPECT_EQ(Error::make("D", 1, {{plat::LocalizedDescriptionKey, Value(5)}})->localizedDescription(),
              "The operation couldn\u2019t be completed. (D error 1.)");
    EXPECT_EQ(Error::withDescription("D", 1, "Disk full")->localizedDescription(), "Disk full");
    EXPECT_FALSE(bare->localizedFailureReason().has_value());
    EXPECT_EQ(
        Error::make("D", 1, {{plat::LocalizedFailureReasonErrorKey, "Because"}})->localizedFailureReason(),
        "Because");
}

TEST(ErrorTest, DescriptionOmitsEmptyUserInfoAndListsEntriesInOrder) {
    EXPECT_EQ(Error::make("D", -1)->description(),
              "Error Domain=D Code=-1 \"The operation couldn\u2019t be completed. (D error -1.)\"");
    const ErrorPtr error =
        Error::make(plat::CocoaErrorDomain, 260,
                    {{plat::LocalizedDescriptionKey, "Missing"}, {plat::FilePathErrorKey, "/tmp/x"}});
    EXPECT_EQ(error->description(),
              "Error Domain=NSCocoaErrorDomain Code=260 \"Missing\" "
              "UserInfo={NSLocalizedDescription=Missing, NSFilePath=/tmp/x}");
    EXPECT_EQ(Value(error).description(), error->description());
}

TEST(ErrorTest, UnderlyingErrorPrintsItsAddressAndDescription) {
    const ErrorPtr posix = Error::withDescription(plat::POSIXErrorDomain, 2, "No such file or directory");
    const ErrorPtr error = Error::make(plat::CocoaErrorDomain, 4, {{plat::UnderlyingErrorKey, Value(posix)}});
    EXPECT_EQ(error->underlyingError(), posix);
    EXPECT_EQ(posix->underlyingError(), nullptr);
    EXPECT_TRUE(std::regex_match(
        error->description(),
        std::regex("Error Domain=NSCocoaErrorDomain Code=4 \".*\" "
                   "UserInfo=\\{NSUnderlyingError=0x[0-9a-f]+ \\{Error Domain=NSPOSIXErrorDomain "
                   "Code=2 \"No such file or directory\" UserInfo=\\{.*\\}\\}\\}")))
        << error->description();
}

TEST(ErrorTest, EqualityComparesDomainCodeAndUserInfo) {
    const ErrorPtr a = Error::withDescription("D", 1, "x");
    const ErrorPtr b = Error::withDescription("D", 1, "x");
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    EXPECT_EQ(Value(a), Value(b));
    EXPECT_FALSE(a->isEqual(*Error::withDescription("D", 1, "y")));
    EXPECT_FALSE(a->isEqual(*Error::withDescription("E", 1, "x")));
    EXPECT_FALSE(a->isEqual(*Error::withDescription("D", 2, "x")));
    EXPECT_EQ(a->className(), "NSError");
}

TEST(ErrorTest, ExceptionCarriesNameReasonAndUserInfo) {
    try {
        throw plat::Exception(plat::InvalidArgumentException, "bad policy", {{"policy", 3}});
    } catch (const std::exception& e) {
        const auto& ex = dynamic_cast<const plat::Exception&>(e);
        EXPECT_STREQ(e.what(), "bad policy");
        EXPECT_EQ(ex.name(), "NSInvalidArgumentException");
        EXPECT_EQ(ex.reason(), "bad policy");
        EXPECT_EQ(ex.userInfo().find("policy")->intValue(), 3);
    }
}

TEST(ErrorTest, ResultHoldsAValueOrANonNullError) {
    plat::Result<int> good(5);
    EXPECT_TRUE(good.ok());
    EXPECT_EQ(*good, 5);
    EXPECT_EQ(good.error(), nullptr);
    plat::Result<int> bad(Error::make("D", 1));
    EXPECT_FALSE(bad);
    EXPECT_EQ(bad.error()->code(), 1);
    EXPECT_EQ(bad.valueOr(9), 9);
    plat::Result<std::string> text(std::string("abc"));
    EXPECT_EQ(text->size(), 3u);
    EXPECT_EQ(std::move(text).value(), "abc");
}

}  // namespace
