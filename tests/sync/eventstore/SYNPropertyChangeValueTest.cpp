#include "sync/eventstore/SYNPropertyChangeValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "platform/foundation/Error.h"

namespace {

using plat::Value;

SYNPropertyChangeValue orderedChange() {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeOrderedToManyRelationship, "tasks");
    change.setAddedIdentifiers({"B", "C"});
    change.setRemovedIdentifiers({"Z"});
    change.setMovedIdentifiersByIndex({{0, "C"}, {1, "A"}, {2, "B"}});
    return change;
}

TEST(SYNPropertyChangeValueTest, ANewValueHasOnlyItsTypeAndName) {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeToOneRelationship, "calendar");
    EXPECT_EQ(change.type(), 1);
    EXPECT_EQ(change.propertyName(), "calendar");
    EXPECT_FALSE(change.value());
    EXPECT_FALSE(change.filename());
    EXPECT_FALSE(change.relatedIdentifier());
    EXPECT_TRUE(change.addedIdentifiers().empty());
    EXPECT_TRUE(change.removedIdentifiers().empty());
    EXPECT_TRUE(change.movedIdentifiersByIndex().empty());
    EXPECT_EQ(change.eventStore(), nullptr);
    EXPECT_EQ(change.objectID(), nullptr);
}

TEST(SYNPropertyChangeValueTest, FieldsAreSettableByNameFromTheFormsEventFilesUse) {
    SYNPropertyChangeValue change(0, "x");
    EXPECT_TRUE(change.setValueForKey(Value(3), "type"));
    EXPECT_TRUE(change.setValueForKey(Value("tasks"), "propertyName"));
    EXPECT_TRUE(change.setValueForKey(Value("A-1"), "relatedIdentifier"));
    EXPECT_TRUE(change.setValueForKey(Value("ABC123"), "filename"));
    EXPECT_TRUE(
        change.setValueForKey(Value(plat::Array{Value("B"), Value("C"), Value("B")}), "addedIdentifiers"));
    EXPECT_TRUE(change.setValueForKey(Value(plat::Set{Value("Z")}), "removedIdentifiers"));
    EXPECT_TRUE(change.setValueForKey(
        Value(plat::Dictionary{{"2", Value("B")}, {"0", Value("C")}, {"10", Value("A")}}),
        "movedIdentifiersByIndex"));
    EXPECT_TRUE(change.setValueForKey(Value(), "value"));

    EXPECT_EQ(change.type(), SYNPropertyChangeTypeOrderedToManyRelationship);
    EXPECT_EQ(change.propertyName(), "tasks");
    EXPECT_EQ(change.relatedIdentifier(), "A-1");
    EXPECT_EQ(change.filename(), "ABC123");
    EXPECT_EQ(change.addedIdentifiers(), (std::set<std::string>{"B", "C"}));
    EXPECT_EQ(change.removedIdentifiers(), (std::set<std::string>{"Z"}));
    EXPECT_EQ(change.movedIdentifiersByIndex(),
              (std::map<int64_t, std::string>{{0, "C"}, {2, "B"}, {10, "A"}}));
    ASSERT_TRUE(change.value());
    EXPECT_TRUE(change.value()->isNull());  // the null object, not nil

    EXPECT_EQ(change.valueForKey("movedIdentifiersByIndex"),
              Value(plat::Dictionary{{"0", Value("C")}, {"2", Value("B")}, {"10", Value("A")}}));
    EXPECT_EQ(change.valueForKey("addedIdentifiers"), Value(plat::Set{Value("B"), Value("C")}));
    EXPECT_EQ(change.valueForKey("type"), Value(3));
    EXPECT_FALSE(change.valueForKey("eventStore"));

    // null and nil both empty a to-one target.
    EXPECT_TRUE(change.setValueForKey(Value(), "relatedIdentifier"));
    EXPECT_FALSE(change.relatedIdentifier());
    EXPECT_TRUE(change.setValueForKey(std::nullopt, "value"));
    EXPECT_FALSE(change.value());
}

TEST(SYNPropertyChangeValueTest, WrongKindsAndUnknownKeysAreRefusedAndChangeNothing) {
    SYNPropertyChangeValue change = orderedChange();
    const SYNPropertyChangeValue before = change;
    const std::vector<std::pair<std::optional<Value>, std::string>> refused = {
        {Value("3"), "type"},
        {std::nullopt, "type"},
        {Value(5), "propertyName"},
        {Value(7), "relatedIdentifier"},
        {Value(plat::Array{Value("A"), Value(1)}), "addedIdentifiers"},
        {Value("A"), "removedIdentifiers"},
        {Value(plat::Dictionary{{"x", Value("A")}}), "movedIdentifiersByIndex"},
        {Value(plat::Dictionary{{"-1", Value("A")}}), "movedIdentifiersByIndex"},
        {Value(plat::Dictionary{{"1.5", Value("A")}}), "movedIdentifiersByIndex"},
        {Value(plat::Dictionary{{"", Value("A")}}), "movedIdentifiersByIndex"},
        {Value(plat::Dictionary{{"99999999999999999999", Value("A")}}), "movedIdentifiersByIndex"},
        {Value(plat::Dictionary{{"1", Value(2)}}), "movedIdentifiersByIndex"},
        {Value("x"), "eventStore"},
        {Value("x"), "noSuchField"},
    };
    for (const auto& [value, key] : refused) {
        EXPECT_FALSE(change.setValueForKey(value, key)) << key;
    }
    EXPECT_TRUE(change.isEqual(before));
}

TEST(SYNPropertyChangeValueTest, TheStoredFormKeepsEveryStoredFieldAndNoWorkingField) {
    std::vector<SYNPropertyChangeValue> values;
    const std::vector<std::optional<Value>> attributeValues = {
        Value("text"),
        Value(int16_t{-7}),
        Value(std::numeric_limits<int64_t>::max()),
        Value(2.5),
        Value(std::nan("")),
        Value(true),
        Value(plat::Date(12345.5)),
        Value(plat::Data::fromString("bytes")),
        Value(),
        std::nullopt,
    };
    for (const auto& attributeValue : attributeValues) {
        SYNPropertyChangeValue change(SYNPropertyChangeTypeAttribute, "attribute");
        change.setValue(attributeValue);
        values.push_back(change);
    }
    SYNPropertyChangeValue large(SYNPropertyChangeTypeAttribute, "image");
    large.setFilename("0123456789ABCDEF0123456789ABCDEF");
    values.push_back(large);
    SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "calendar");
    toOne.setRelatedIdentifier("CAL-1");
    toOne.setObjectID(std::make_shared<plat::Error>("Working", 1));
    values.push_back(toOne);
    values.push_back(orderedChange());

    auto data = SYNArchivePropertyChangeValues(values);
    ASSERT_TRUE(data.ok()) << data.error()->description();
    auto decoded = SYNUnarchivePropertyChangeValues(*data);
    ASSERT_TRUE(decoded.ok()) << decoded.error()->description();
    ASSERT_EQ(decoded->size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_TRUE((*decoded)[i].isEqual(values[i])) << i << ": " << (*decoded)[i].description();
    }
    EXPECT_FALSE((*decoded)[8].value() == std::nullopt);  // null stays the null object
    EXPECT_TRUE((*decoded)[8].value()->isNull());
    EXPECT_EQ((*decoded)[9].value(), std::nullopt);  // nil stays nil
    EXPECT_EQ((*decoded)[11].objectID(), nullptr);

    auto empty = SYNArchivePropertyChangeValues({});
    ASSERT_TRUE(empty.ok());
    auto none = SYNUnarchivePropertyChangeValues(*empty);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->empty());
}

// Relationship and data-file fields are held apart from the others: copies
// and assignments take them along as copies of their own, and fields set and
// cleared again store exactly as fields never set.
TEST(SYNPropertyChangeValueTest, CopiesOwnTheirFieldsAndClearedFieldsStoreAsNeverSet) {
    SYNPropertyChangeValue original = orderedChange();
    original.setFilename("F");
    SYNPropertyChangeValue copy = original;
    EXPECT_TRUE(copy.isEqual(original));
    copy.setAddedIdentifiers({"Q"});
    copy.setFilename(std::nullopt);
    EXPECT_EQ(original.addedIdentifiers(), (std::set<std::string>{"B", "C"}));
    EXPECT_EQ(original.filename(), "F");
    SYNPropertyChangeValue assigned(SYNPropertyChangeTypeAttribute, "name");
    assigned = original;
    EXPECT_TRUE(assigned.isEqual(original));
    assigned = SYNPropertyChangeValue(SYNPropertyChangeTypeAttribute, "name");
    EXPECT_TRUE(assigned.movedIdentifiersByIndex().empty());
    EXPECT_FALSE(assigned.filename());

    SYNPropertyChangeValue plain(SYNPropertyChangeTypeAttribute, "name");
    plain.setValue(Value("text"));
    SYNPropertyChangeValue cleared = plain;
    cleared.setRelatedIdentifier("R");
    cleared.setMovedIdentifiersByIndex({{0, "R"}});
    cleared.setRelatedIdentifier(std::nullopt);
    cleared.setMovedIdentifiersByIndex({});
    EXPECT_TRUE(cleared.isEqual(plain));
    auto plainData = SYNArchivePropertyChangeValues({plain});
    auto clearedData = SYNArchivePropertyChangeValues({cleared});
    ASSERT_TRUE(plainData.ok() && clearedData.ok());
    EXPECT_EQ(*plainData, *clearedData);
}

// A stored value written field by field, as other writers may leave it.
class StoredFields : public plat::Coding {
  public:
    std::vector<std::pair<std::string, Value>> fields;
    std::string className() const override { return "SYNPropertyChangeValue"; }
    void encodeWithCoder(plat::KeyedArchiver& coder) const override {
        for (const auto& [key, value] : fields) {
            if (key == "type") {
                coder.encodeInt64(value.longLongValue(), key);
            } else {
                coder.encodeObject(value, key);
            }
        }
    }
};

// Optional fields are found whichever of the usual ones are missing.
TEST(SYNPropertyChangeValueTest, OptionalFieldsAreReadWhenUsualOnesAreMissing) {
    struct Case {
        std::vector<std::pair<std::string, Value>> fields;
        int64_t type;
        std::optional<std::string> filename;
        std::optional<std::string> related;
    };
    const std::vector<Case> cases = {
        {{{"propertyName", Value("image")}, {"filename", Value("F1")}}, 0, "F1", std::nullopt},
        {{{"propertyName", Value("a")}, {"type", Value(2)}, {"relatedIdentifier", Value("R")}},
         2,
         std::nullopt,
         "R"},
        {{{"propertyName", Value("a")}, {"value", Value(1)}, {"relatedIdentifier", Value("R")}},
         0,
         std::nullopt,
         "R"},
        {{{"propertyName", Value("a")}, {"type", Value(1)}, {"value", Value(1)}, {"filename", Value("F")}},
         1,
         "F",
         std::nullopt},
        {{{"propertyName", Value("a")}, {"type", Value(1)}, {"value", Value(1)}},
         1,
         std::nullopt,
         std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto stored = std::make_shared<StoredFields>();
        stored->fields = cases[i].fields;
        auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(plat::Array{Value(stored)}));
        ASSERT_TRUE(data.ok()) << i;
        auto decoded = SYNUnarchivePropertyChangeValues(*data);
        ASSERT_TRUE(decoded.ok()) << i << ": " << decoded.error()->description();
        ASSERT_EQ(decoded->size(), 1u) << i;
        const SYNPropertyChangeValue& v = (*decoded)[0];
        EXPECT_EQ(v.type(), cases[i].type) << i;
        EXPECT_EQ(v.filename(), cases[i].filename) << i;
        EXPECT_EQ(v.relatedIdentifier(), cases[i].related) << i;
    }
}

// The general unarchiver alone, for comparison with the quick reading.
std::optional<plat::Array> readInGeneral(const plat::Data& data) {
    SYNPropertyChangeValue::registerClass();
    auto root = plat::KeyedUnarchiver::unarchivedObjectWithData(data);
    if (!root.ok() || !*root || !(*root)->asArray()) {
        return std::nullopt;
    }
    for (const auto& item : *(*root)->asArray()) {
        if (!item.asObjectOf<SYNPropertyChangeValue>()) {
            return std::nullopt;
        }
    }
    return *(*root)->asArray();
}

// Whenever the quick reading takes an archive, its values are exactly those
// the general unarchiver reads from it.
void expectSameAsGeneral(const plat::Data& data, const std::string& trace, bool& plain) {
    auto quick = SYNReadPlainPropertyChangeValues(data);
    plain = quick.has_value();
    // Read from bytes in place (as a stored row's are), the same archive
    // takes the same way to the same values.
    auto inPlace = SYNReadPlainPropertyChangeValues(data.view());
    ASSERT_EQ(inPlace.has_value(), plain) << trace;
    if (inPlace) {
        EXPECT_EQ(inPlace->description(), quick->description()) << trace;
    }
    if (!quick) {
        return;
    }
    auto general = readInGeneral(data);
    ASSERT_TRUE(general) << trace;
    const plat::Array* items = quick->asArray();
    ASSERT_TRUE(items) << trace;
    ASSERT_EQ(items->size(), general->size()) << trace;
    for (std::size_t i = 0; i < items->size(); ++i) {
        auto a = (*items)[i].asObjectOf<SYNPropertyChangeValue>();
        auto b = (*general)[i].asObjectOf<SYNPropertyChangeValue>();
        ASSERT_TRUE(a && b) << trace;
        EXPECT_TRUE(a->isEqual(*b)) << trace << ": " << a->description() << " vs " << b->description();
        ASSERT_EQ(a->value().has_value(), b->value().has_value()) << trace;
        if (a->value()) {
            EXPECT_EQ(a->value()->description(), b->value()->description()) << trace;
            EXPECT_EQ(a->value()->isString(), b->value()->isString()) << trace;
            EXPECT_EQ(a->value()->isData(), b->value()->isData()) << trace;
            EXPECT_EQ(a->value()->isNumber(), b->value()->isNumber()) << trace;
        }
    }
}

TEST(SYNPropertyChangeValueTest, PlainArchivesAreReadQuicklyToTheSameValues) {
    auto attribute = [](const char* name, std::optional<Value> value, int64_t type = 0) {
        SYNPropertyChangeValue change(type, name);
        change.setValue(std::move(value));
        return change;
    };
    SYNPropertyChangeValue related(SYNPropertyChangeTypeToOneRelationship, "calendar");
    related.setRelatedIdentifier("C1");
    SYNPropertyChangeValue file(SYNPropertyChangeTypeAttribute, "image");
    file.setFilename("F1");
    SYNPropertyChangeValue emptied(SYNPropertyChangeTypeToOneRelationship, "calendar");
    SYNPropertyChangeValue members(SYNPropertyChangeTypeToManyRelationship, "items");
    members.setAddedIdentifiers({"I1", "I2", "I3"});
    members.setRemovedIdentifiers({"I9"});
    SYNPropertyChangeValue removedOnly(SYNPropertyChangeTypeToManyRelationship, "items");
    removedOnly.setRemovedIdentifiers({"I4", "I5"});
    SYNPropertyChangeValue foreignMember(SYNPropertyChangeTypeToManyRelationship, "items");
    foreignMember.setAddedIdentifiers({"I1", "caf\u00e9"});
    SYNPropertyChangeValue foreignTarget(SYNPropertyChangeTypeToOneRelationship, "calendar");
    foreignTarget.setRelatedIdentifier("\u65e5");
    const std::vector<std::pair<std::vector<SYNPropertyChangeValue>, bool>> cases = {
        // The plain forms: text, numbers, data, nil and no value at all.
        {{attribute("name", Value("updated 7")), attribute("count", Value(int64_t{7}))}, true},
        {{attribute("name", Value("")), attribute("count", Value(int64_t{-1}))}, true},
        {{attribute("big", Value(INT64_MAX)), attribute("byte", Value(int64_t{200}))}, true},
        {{attribute("small", Value(INT64_MIN)), attribute("score", Value(0.5))}, true},
        {{attribute("nan", Value(std::nan(""))), attribute("huge", Value(1e300))}, true},
        {{attribute("blob", Value(plat::Data::fromString("bytes"))), attribute("empty", Value(plat::Data()))},
         true},
        {{attribute("none", std::nullopt), attribute("typed", Value("x"), 5)}, true},
        {{}, true},
        // Others go the general way.
        {{attribute("name", Value("caf\u00e9 \u65e5\u672c"))}, false},
        {{attribute("flag", Value(true))}, false},
        {{attribute("when", Value(plat::Date(1000.5)))}, false},
        {{attribute("null", Value())}, false},
        {{attribute("list", Value(plat::Array{Value(1)}))}, false},
        // Relationship changes and data file names, as saves store them.
        {{attribute("name", Value("a")), related}, true},
        {{file}, true},
        {{related, emptied, members, removedOnly}, true},
        {{members, attribute("count", Value(int64_t{3}))}, true},
        // Others go the general way.
        {{orderedChange()}, false},
        {{foreignMember}, false},
        {{foreignTarget}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto data = SYNArchivePropertyChangeValues(cases[i].first);
        ASSERT_TRUE(data.ok()) << i;
        bool plain = false;
        expectSameAsGeneral(*data, "case " + std::to_string(i), plain);
        EXPECT_EQ(plain, cases[i].second) << i;
        // Either way, bytes read in place decode as their copy does.
        auto shared = SYNUnarchiveSharedPropertyChangeValues(*data);
        auto sharedInPlace = SYNUnarchiveSharedPropertyChangeValues(data->view());
        ASSERT_TRUE(shared.ok() && sharedInPlace.ok()) << i;
        EXPECT_EQ(sharedInPlace->description(), shared->description()) << i;
        // Every byte damaged in turn, and every length cut short: what the
        // quick reading takes, the general way reads alike.
        for (std::size_t at = 0; at < data->length(); ++at) {
            for (uint8_t mask : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
                plat::Data damaged = *data;
                damaged.mutableVector()[at] ^= mask;
                expectSameAsGeneral(damaged, "case " + std::to_string(i) + " byte " + std::to_string(at),
                                    plain);
            }
            plat::Data cut = *data;
            cut.mutableVector().resize(at);
            expectSameAsGeneral(cut, "case " + std::to_string(i) + " cut " + std::to_string(at), plain);
        }
    }
    // Fields written by other writers: repeated names, a type that is not a
    // whole number, an inline value.
    const std::vector<std::vector<std::pair<std::string, Value>>> foreign = {
        {{"propertyName", Value("a")}, {"type", Value(0.5)}, {"value", Value(1)}},
        {{"propertyName", Value("a")}, {"value", Value(1)}, {"value", Value(2)}},
        {{"value", Value(1)}},
        // Relationship fields of other kinds: null, nil, an array, numbers.
        {{"propertyName", Value("a")}, {"relatedIdentifier", Value()}},
        {{"propertyName", Value("a")}, {"relatedIdentifier", Value(7)}},
        {{"propertyName", Value("a")}, {"filename", Value()}},
        {{"propertyName", Value("a")}, {"addedIdentifiers", Value(plat::Array{Value("I1")})}},
        {{"propertyName", Value("a")}, {"addedIdentifiers", Value(plat::Set{Value("I1"), Value(2)})}},
        {{"propertyName", Value("a")}, {"removedIdentifiers", Value()}},
        {{"propertyName", Value("a")}, {"removedIdentifiers", Value(plat::Set{})}},
        {{"propertyName", Value("a")}, {"addedIdentifiers", Value(plat::Dictionary{})}},
    };
    for (std::size_t i = 0; i < foreign.size(); ++i) {
        auto stored = std::make_shared<StoredFields>();
        stored->fields = foreign[i];
        auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(plat::Array{Value(stored)}));
        ASSERT_TRUE(data.ok()) << i;
        bool plain = false;
        expectSameAsGeneral(*data, "foreign " + std::to_string(i), plain);
    }
    // One value listed twice is read the general way (it is one object there).
    SYNPropertyChangeValue::registerClass();
    auto shared = std::make_shared<const SYNPropertyChangeValue>(attribute("name", Value("a")));
    auto twice =
        plat::KeyedArchiver::archivedDataWithRootObject(Value(plat::Array{Value(shared), Value(shared)}));
    ASSERT_TRUE(twice.ok());
    bool plain = true;
    expectSameAsGeneral(*twice, "twice", plain);
    EXPECT_FALSE(plain);
    EXPECT_TRUE(SYNUnarchiveSharedPropertyChangeValues(*twice).ok());
}

TEST(SYNPropertyChangeValueTest, DamagedOrForeignStoredFormsFailWithoutCrashing) {
    auto good = SYNArchivePropertyChangeValues({orderedChange()});
    ASSERT_TRUE(good.ok());
    std::vector<plat::Data> bad = {plat::Data(), plat::Data::fromString("not an archive")};
    plat::Data truncated = *good;
    truncated.mutableVector().resize(truncated.length() / 2);
    bad.push_back(truncated);
    plat::Data flipped = *good;
    for (std::size_t i = 8; i < flipped.length(); i += 7) {
        flipped.mutableVector()[i] ^= 0x5a;
    }
    bad.push_back(flipped);
    bad.push_back(*plat::KeyedArchiver::archivedDataWithRootObject(Value("a string root")));
    bad.push_back(*plat::KeyedArchiver::archivedDataWithRootObject(Value(plat::Array{Value(1)})));
    for (std::size_t i = 0; i < bad.size(); ++i) {
        EXPECT_FALSE(SYNUnarchivePropertyChangeValues(bad[i]).ok()) << i;
    }
}

}  // namespace

namespace {

// The general archiver's bytes for values, each archived as an object of its own.
plat::Data generalArchive(const std::vector<SYNPropertyChangeValue>& values) {
    plat::Array items;
    for (const auto& value : values) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(value));
    }
    auto data = plat::KeyedArchiver::archivedDataWithRootObject(Value(std::move(items)));
    EXPECT_TRUE(data.ok());
    return data.ok() ? *data : plat::Data();
}

// Values of every shape, their texts drawn from a small pool so that names,
// values, identifiers and the archive's own keys meet.
std::vector<SYNPropertyChangeValue> randomValues(std::mt19937& random, std::size_t maxCount) {
    static const std::vector<std::string> texts = {"name",
                                                   "type",
                                                   "value",
                                                   "root",
                                                   "$null",
                                                   "$class",
                                                   "NSObject",
                                                   "NSSet",
                                                   "NSArray",
                                                   "items",
                                                   "SYNPropertyChangeValue",
                                                   "NS.objects",
                                                   "$classes",
                                                   "$version",
                                                   "NSKeyedArchiver",
                                                   "relatedIdentifier",
                                                   "NS.time",
                                                   "NSDate",
                                                   "NSNull",
                                                   "",
                                                   "I1",
                                                   "I2",
                                                   "fourteen chars",
                                                   "fifteen chars!!",
                                                   std::string(300, 'x'),
                                                   "caf\u00e9"};
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    // Mostly ASCII: one text in 40 is not.
    auto text = [&] { return pick(40) == 0 ? texts.back() : texts[pick(texts.size() - 1)]; };
    auto value = [&]() -> std::optional<Value> {
        switch (pick(12)) {
            case 0:
                return std::nullopt;
            case 1:
                return Value();
            case 2:
                return Value(pick(2) == 0);
            case 3:
                return Value(static_cast<int64_t>(random()) - (int64_t{1} << 31));
            case 4:
                return Value(pick(2) ? INT64_MIN : INT64_MAX);
            case 5:
                return Value(uint64_t{1} << 63 | random());
            case 6:
                return Value(pick(3) == 0 ? std::nan("") : static_cast<double>(random()) / 7.0);
            case 7: {
                const std::string bytes(pick(3) == 0 ? 300 : pick(20), 'd');
                return Value(plat::Data(bytes.data(), bytes.size()));
            }
            case 8:
                return Value(plat::Date(static_cast<double>(random()) / 3.0));
            case 9:
                return Value(static_cast<int64_t>(pick(70000)));
            default:
                return Value(text());
        }
    };
    std::vector<SYNPropertyChangeValue> values;
    const std::size_t count = pick(maxCount + 1);
    for (std::size_t i = 0; i < count; ++i) {
        SYNPropertyChangeValue change(static_cast<int64_t>(pick(5)) - 1, text());
        switch (pick(4)) {
            case 0:
                change.setValue(value());
                break;
            case 1:
                change.setRelatedIdentifier(pick(3) ? std::optional<std::string>(text()) : std::nullopt);
                break;
            case 2: {
                std::set<std::string> added, removed;
                for (std::size_t n = pick(20); n > 0; --n) {
                    added.insert(text());
                }
                for (std::size_t n = pick(4); n > 0; --n) {
                    removed.insert(text());
                }
                change.setAddedIdentifiers(added);
                change.setRemovedIdentifiers(removed);
                break;
            }
            default:
                change.setFilename(text());
                change.setValue(value());
                break;
        }
        values.push_back(std::move(change));
    }
    return values;
}

}  // namespace

TEST(SYNPropertyChangeValueTest, PlainValuesAreWrittenQuicklyToTheGeneralArchiversBytes) {
    SYNPropertyChangeValue::registerClass();
    std::mt19937 random(37);
    std::size_t quick = 0;
    for (int round = 0; round < 3000; ++round) {
        // Now and then enough values for two-byte references and offsets.
        const auto values = randomValues(random, round % 100 == 0 ? 400 : 6);
        const std::string trace = "round " + std::to_string(round);
        const plat::Data general = generalArchive(values);
        auto written = SYNWritePlainPropertyChangeValues(values);
        if (written) {
            ++quick;
            ASSERT_EQ(written->view(), general.view()) << trace;
        }
        // Through either entry, the archive is the general one.
        auto archived = SYNArchivePropertyChangeValues(values);
        ASSERT_TRUE(archived.ok()) << trace;
        ASSERT_EQ(archived->view(), general.view()) << trace;
        plat::Array items;
        for (const auto& value : values) {
            items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(value));
        }
        auto fromItems = SYNArchivePropertyChangeValueItems(items);
        ASSERT_TRUE(fromItems.ok()) << trace;
        ASSERT_EQ(fromItems->view(), general.view()) << trace;
    }
    // Most shapes are plain.
    EXPECT_GT(quick, 1500u);

    // The plain shapes of saves and event files are written quickly.
    SYNPropertyChangeValue name(SYNPropertyChangeTypeAttribute, "name");
    name.setValue(Value("renamed"));
    SYNPropertyChangeValue folder(SYNPropertyChangeTypeToOneRelationship, "folder");
    folder.setRelatedIdentifier("F2");
    SYNPropertyChangeValue items(SYNPropertyChangeTypeToManyRelationship, "items");
    items.setAddedIdentifiers({"I1", "I2"});
    items.setRemovedIdentifiers({"I3"});
    for (const auto& values :
         std::vector<std::vector<SYNPropertyChangeValue>>{{}, {name}, {folder}, {items}}) {
        auto written = SYNWritePlainPropertyChangeValues(values);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->view(), generalArchive(values).view());
    }
    // Ordered indexes, other value kinds and text other than ASCII go the
    // general way.
    SYNPropertyChangeValue decimal(SYNPropertyChangeTypeAttribute, "amount");
    decimal.setValue(Value(plat::Array{Value(1)}));
    SYNPropertyChangeValue foreign(SYNPropertyChangeTypeAttribute, "caf\u00e9");
    for (const auto& value : {orderedChange(), decimal, foreign}) {
        EXPECT_FALSE(SYNWritePlainPropertyChangeValues(std::vector<SYNPropertyChangeValue>{value}));
    }

    // One object listed twice is archived as two copies, as the stored
    // attribute always was; items that are not change values still fail.
    auto shared = std::make_shared<const SYNPropertyChangeValue>(name);
    auto twice = SYNArchivePropertyChangeValueItems(plat::Array{Value(shared), Value(shared)});
    ASSERT_TRUE(twice.ok());
    EXPECT_EQ(twice->view(), generalArchive({name, name}).view());
    EXPECT_FALSE(SYNArchivePropertyChangeValueItems(plat::Array{Value(shared), Value("text")}).ok());
}
