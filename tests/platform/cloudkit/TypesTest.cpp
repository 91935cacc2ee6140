// Value types: predicates, archiving, and the stored field form.
#include <gtest/gtest.h>

#include "platform/cloudkit/Types.h"
#include "platform/cloudkit/detail/FieldCodec.h"

namespace {

using namespace plat::cloudkit;
using plat::Value;

TEST(CloudKitPredicate, ParsesOnlyTheFormsTheSystemUses) {
    auto ref = Value(Reference::make(RecordID("dir"), ReferenceAction::DeleteSelf));
    struct Case {
        const char* format;
        Value argument;
        bool parses;
        plat::Dictionary fields;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"TRUEPREDICATE", Value(), true, {}, true},
        {"fileSize > 0", Value(), true, {{"fileSize", Value(3)}}, true},
        {"fileSize > 0", Value(), true, {{"fileSize", Value(0)}}, false},
        {"fileSize > 0", Value(), true, {}, false},
        {"fileSize > 0", Value(), true, {{"fileSize", Value("9")}}, false},
        // A reference matches by record ID whatever its action.
        {"directory = %@",
         ref,
         true,
         {{"directory", Value(Reference::make(RecordID("dir"), ReferenceAction::None))}},
         true},
        {"directory = %@",
         ref,
         true,
         {{"directory", Value(Reference::make(RecordID("other"), ReferenceAction::None))}},
         false},
        {"directory = %@", Value(), false, {}, false},
        {"a b = 1", Value(), false, {}, false},
        {"size >= 1", Value(), false, {}, false},
        {"fileSize > zero", Value(), false, {}, false},
    };
    for (const auto& c : cases) {
        auto p = Predicate::parse(c.format, c.argument);
        ASSERT_EQ(p.has_value(), c.parses) << c.format;
        if (p) {
            EXPECT_EQ(p->evaluate(c.fields), c.matches) << c.format;
        }
    }
}

TEST(CloudKitTypes, IdentifiersRecordsAndReferencesSurviveArchiving) {
    registerArchivableClasses();
    auto record = std::make_shared<Record>("SYNFileSystemNode", RecordID("n", RecordZoneID("z", "owner")));
    record->setRecordChangeTag("1-2");
    record->setObject("path", Value("/a"));
    record->setObject("fileSize", Value(uint64_t(1) << 63));
    record->setObject("directory", Value(Reference::make(RecordID("d", RecordZoneID("z", "owner")),
                                                         ReferenceAction::DeleteSelf)));
    record->setParent(Reference::make(RecordID("p", RecordZoneID("z", "owner")), ReferenceAction::None));
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(record));
    ASSERT_TRUE(data.ok());
    auto back = plat::KeyedUnarchiver::unarchivedObjectWithData(*data);
    ASSERT_TRUE(back.ok() && *back);
    auto restored = (*back)->asObjectOf<Record>();
    ASSERT_TRUE(restored);
    EXPECT_TRUE(restored->isEqual(*record));
    EXPECT_EQ(restored->recordID().zoneID().ownerName(), "owner");
    ASSERT_TRUE(restored->parent());
    EXPECT_EQ(restored->parent()->recordID().recordName(), "p");
    auto ref = restored->objectForKey("directory").asObjectOf<Reference>();
    ASSERT_TRUE(ref);
    EXPECT_EQ(ref->action(), ReferenceAction::DeleteSelf);
}

TEST(CloudKitFieldCodec, RoundTripsEveryStorableValueAndRejectsDamage) {
    plat::Dictionary fields{
        {"b", Value(true)},
        {"i", Value(int64_t(-5))},
        {"u", Value(uint64_t(1) << 63)},
        {"d", Value(2.5)},
        {"s", Value("text \xc3\xa9")},
        {"x", Value(plat::Data::fromString(std::string("\0\1", 2)))},
        {"t", Value(plat::Date(12.5))},
        {"a", Value(plat::Array{Value(1), Value("two")})},
        {"r", Value(Reference::make(RecordID("n", RecordZoneID("z")), ReferenceAction::DeleteSelf))},
        {"f", Value(Asset::make("abc"))},
    };
    auto blob = detail::encodeFields(fields);
    ASSERT_TRUE(blob);
    auto back = detail::decodeFields(*blob);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, fields);
    EXPECT_TRUE((*back->find("u")).isInteger());

    EXPECT_FALSE(detail::encodeFields({{"dict", Value(plat::Dictionary{})}}));
    for (std::size_t cut = 0; cut < blob->size(); ++cut)
        EXPECT_FALSE(detail::decodeFields(std::string_view(*blob).substr(0, cut))) << cut;
    EXPECT_FALSE(detail::decodeFields(*blob + "z"));
    EXPECT_FALSE(detail::decodeFields("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01"));
}

}  // namespace
