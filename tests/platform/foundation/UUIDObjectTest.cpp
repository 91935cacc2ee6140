#include "platform/foundation/UUIDObject.h"

#include <gtest/gtest.h>

#include "platform/foundation/KeyedArchiver.h"

namespace plat {
namespace {

TEST(UUIDObjectTest, ArchivesAndUnarchivesInsideOtherValues) {
    const auto uuid = *UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    Value value(Array{UUIDObject::make(uuid), Value(Dictionary{{"id", UUIDObject::make(uuid)}})});
    auto archived = KeyedArchiver::archivedDataWithRootObject(value);
    ASSERT_TRUE(archived) << archived.error()->description();
    auto back = KeyedUnarchiver::unarchivedObjectWithData(*archived);
    ASSERT_TRUE(back) << back.error()->description();
    ASSERT_TRUE(back->has_value());
    EXPECT_EQ(**back, value);
    EXPECT_EQ((*back)->at(0)->asObjectOf<UUIDObject>()->uuid(), uuid);
    EXPECT_EQ(UUIDObject::make(uuid).description(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");

    // Secure decoding accepts the class by its archived name.
    auto secure = KeyedUnarchiver::unarchivedObjectOfClasses({"NSUUID"}, *archived);
    ASSERT_TRUE(secure) << secure.error()->description();
}

// A Coding object that writes what an NSUUID archive holds, with any bytes.
class FakeUUID : public Coding {
  public:
    explicit FakeUUID(Data bytes) : bytes_(std::move(bytes)) {}
    std::string className() const override { return "NSUUID"; }
    void encodeWithCoder(KeyedArchiver& coder) const override {
        coder.encodeObject(Value(bytes_), "NS.uuidbytes");
    }

  private:
    Data bytes_;
};

TEST(UUIDObjectTest, ArchivesWithoutSixteenBytesAreRefused) {
    for (std::size_t length : {0u, 15u, 17u}) {
        auto archived = KeyedArchiver::archivedDataWithRootObject(
            Value(std::make_shared<const FakeUUID>(Data(std::vector<uint8_t>(length, 1)))));
        ASSERT_TRUE(archived);
        EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectWithData(*archived)) << length;
    }
}

}  // namespace
}  // namespace plat
