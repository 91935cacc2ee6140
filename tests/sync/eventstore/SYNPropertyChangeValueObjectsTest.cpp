#include <gtest/gtest.h>

#include "EventStoreFixture.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::AttributeType;

class ReversingTransformer : public plat::coredata::ValueTransformer {
  public:
    plat::Result<plat::Data> transformedValue(const Value& value) const override {
        std::string text = value.stringValue();
        return plat::Data::fromString(std::string(text.rbegin(), text.rend()));
    }
    plat::Result<Value> reverseTransformedValue(const plat::Data& data) const override {
        if (data.length() == 0) {
            return SYNMakeError(SYNErrorUnknown, "empty");
        }
        std::string text(reinterpret_cast<const char*>(data.bytes()), data.length());
        return Value(std::string(text.rbegin(), text.rend()));
    }
};

std::shared_ptr<plat::coredata::ManagedObjectModel> readerModel() {
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& thing = model->addEntity("Thing");
    thing.addAttribute("blob", AttributeType::BinaryData);
    thing.addAttribute("count", AttributeType::Integer16);
    thing.addAttribute("tag", AttributeType::UUID);
    thing.addAttribute("link", AttributeType::URI);
    thing.addAttribute("archived", AttributeType::Transformable);
    thing.addAttribute("reversed", AttributeType::Transformable)
        .setValueTransformerName("ReversingTransformer");
    thing.addAttribute("unregistered", AttributeType::Transformable)
        .setValueTransformerName("NoSuchTransformer");
    EXPECT_EQ(model->finalize(), nullptr);
    return model;
}

using SYNAttributeReaderTest = EventStoreTest;

TEST_F(SYNAttributeReaderTest, ValuesNullsAndUnavailableValuesAreToldApart) {
    plat::coredata::ValueTransformer::setValueTransformer(std::make_shared<ReversingTransformer>(),
                                                          "ReversingTransformer");
    auto model = readerModel();
    const auto& thing = *model->entityNamed("Thing");
    auto read = [&](const SYNPropertyChangeValue& value) {
        return value.attributeValueForAttributeDescription(*thing.attributeNamed(value.propertyName()));
    };
    auto stored = [&](const char* name, Value value) {
        auto change = attribute(
            name, *SYNPropertyChangeValue::storedAttributeValue(value, *thing.attributeNamed(name)));
        change.setEventStore(store);
        return change;
    };

    EXPECT_EQ(read(attribute("count", Value())), Value());
    EXPECT_EQ(read(SYNPropertyChangeValue(SYNPropertyChangeTypeAttribute, "count")), Value());
    EXPECT_EQ(read(attribute("count", Value(int64_t{7}))), Value(int64_t{7}));
    EXPECT_EQ(read(attribute("count", Value(int64_t{1} << 40))), std::nullopt);  // does not fit
    EXPECT_EQ(read(attribute("count", Value("seven"))), std::nullopt);

    auto uuid = plat::UUID::random();
    EXPECT_EQ(read(stored("tag", plat::coredata::UUIDObject::make(uuid))),
              plat::coredata::UUIDObject::make(uuid));
    auto url = *plat::URL::URLWithString("https://example.invalid/a");
    EXPECT_EQ(read(stored("link", Value(plat::URLObject::make(url)))), Value(plat::URLObject::make(url)));
    EXPECT_EQ(read(stored("reversed", Value("abc"))), Value("abc"));
    EXPECT_EQ(stored("reversed", Value("abc")).value(), Value(plat::Data::fromString("cba")));
    plat::Array list{Value(1), Value("two")};
    EXPECT_EQ(read(stored("archived", Value(list))), Value(list));
    // Failing, missing or unreadable stored forms never come back as values.
    EXPECT_EQ(read(attribute("reversed", Value(plat::Data()))), std::nullopt);
    EXPECT_EQ(read(attribute("unregistered", Value(plat::Data::fromString("x")))), std::nullopt);
    EXPECT_EQ(read(attribute("archived", Value(plat::Data::fromString("not an archive")))), std::nullopt);
    EXPECT_EQ(read(attribute("reversed", Value("not data"))), std::nullopt);

    // Values in data files, from "data" and from "newdata".
    auto inData = *store->storeDataFile(plat::Data::fromString("in data"));
    std::filesystem::create_directories(root / "download");
    { std::ofstream(root / "download" / "ARRIVED") << "just arrived"; }
    ASSERT_TRUE(store->importDataFile((root / "download" / "ARRIVED").string()));
    for (auto [name, expected] :
         {std::pair<std::string, std::optional<Value>>{inData, Value(plat::Data::fromString("in data"))},
          {"ARRIVED", Value(plat::Data::fromString("just arrived"))},
          {"MISSING", std::nullopt},
          {"../store.plist", std::nullopt}}) {
        SYNPropertyChangeValue file(SYNPropertyChangeTypeAttribute, "blob");
        file.setFilename(name);
        file.setEventStore(store);
        EXPECT_EQ(read(file), expected) << name;
        file.setEventStore(nullptr);
        EXPECT_EQ(read(file), std::nullopt) << name;
    }
    plat::coredata::ValueTransformer::setValueTransformer(nullptr, "ReversingTransformer");
}

}  // namespace
}  // namespace eventstoretest
