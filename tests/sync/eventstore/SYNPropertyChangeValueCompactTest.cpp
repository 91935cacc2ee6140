// The event store's compact stored form of change values: every shape reads
// back as its keyed archive does, lists it cannot hold keep the keyed
// archive, damaged bytes fail cleanly, and rows of both forms live side by
// side in one store file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <random>

#include "platform/coredata/ManagedObjectContext.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/coredata/SQLiteStore.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/foundation/Text.h"
#include "platform/foundation/URL.h"
#include "support/TempDir.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNPropertyChangeValue.h"

namespace {

using plat::Value;

SYNPropertyChangeValue attributeChange(const std::string& name, std::optional<Value> value) {
    SYNPropertyChangeValue change(SYNPropertyChangeTypeAttribute, name);
    change.setValue(std::move(value));
    return change;
}

// One value of every shape the compact form holds.
std::vector<SYNPropertyChangeValue> everyShape() {
    std::vector<SYNPropertyChangeValue> shapes;
    shapes.push_back(attributeChange("nil", std::nullopt));
    shapes.push_back(attributeChange("null", Value()));
    shapes.push_back(attributeChange("yes", Value(true)));
    shapes.push_back(attributeChange("no", Value(false)));
    for (int64_t i :
         {int64_t{0}, int64_t{-1}, int64_t{63}, int64_t{-64}, int64_t{300}, INT64_MAX, INT64_MIN}) {
        shapes.push_back(attributeChange("int", Value(i)));
    }
    shapes.push_back(attributeChange("unsigned", Value(uint64_t{INT64_MAX})));
    for (double d : {0.0, -2.5, 1e300, std::numeric_limits<double>::infinity()}) {
        shapes.push_back(attributeChange("real", Value(d)));
    }
    for (const char* text :
         {"", "plain",
          "Gr\xC3\xBC\xC3\x9F"
          "e \xE2\x82\xAC",
          "3F2504E0-4F89-11D3-9A0C-0305E82C3301", "3f2504e0-4f89-11d3-9a0c-0305e82c3301",
          "3F2504E0-4F89-11D3-9A0C-0305E82C330G", "3F2504E0+4F89-11D3-9A0C-0305E82C3301"}) {
        shapes.push_back(attributeChange("text", Value(std::string(text))));
    }
    shapes.push_back(attributeChange("data", Value(plat::Data())));
    shapes.push_back(attributeChange("data", Value(plat::Data("\0\x01\xFF bytes", 9))));
    shapes.push_back(attributeChange("when", Value(plat::Date(-1234.5))));

    SYNPropertyChangeValue file(SYNPropertyChangeTypeAttribute, "photo");
    file.setFilename("0C26FC35-4D21-4A51-A749-FE2AA597F267");
    shapes.push_back(file);
    SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "folder");
    toOne.setRelatedIdentifier("000378E2-F28A-47F8-8AF1-A0B3EA8376E8");
    shapes.push_back(toOne);
    SYNPropertyChangeValue emptyToOne(SYNPropertyChangeTypeToOneRelationship, "parent");
    shapes.push_back(emptyToOne);
    SYNPropertyChangeValue toMany(SYNPropertyChangeTypeToManyRelationship, "items");
    toMany.setAddedIdentifiers({"A", "000378E2-F28A-47F8-8AF1-A0B3EA8376E8", "\xC3\xA9t\xC3\xA9"});
    toMany.setRemovedIdentifiers({"Z"});
    shapes.push_back(toMany);
    SYNPropertyChangeValue ordered(SYNPropertyChangeTypeOrderedToManyRelationship, "tasks");
    ordered.setAddedIdentifiers({"B", "C"});
    ordered.setMovedIdentifiersByIndex({{0, "C"}, {1, "A"}, {200, "B"}});
    shapes.push_back(ordered);
    return shapes;
}

// The values the keyed archive of a list reads back as.
plat::Value throughKeyedArchive(const std::vector<SYNPropertyChangeValue>& values) {
    auto archive = SYNArchivePropertyChangeValues(values);
    EXPECT_TRUE(archive.ok());
    auto read = SYNUnarchiveSharedPropertyChangeValues(*archive);
    EXPECT_TRUE(read.ok());
    return read.ok() ? *read : Value();
}

void expectSameValues(const Value& got, const Value& expected) {
    ASSERT_TRUE(got.asArray() && expected.asArray());
    ASSERT_EQ(got.asArray()->size(), expected.asArray()->size());
    for (std::size_t i = 0; i < got.asArray()->size(); ++i) {
        auto a = (*got.asArray())[i].asObjectOf<SYNPropertyChangeValue>();
        auto b = (*expected.asArray())[i].asObjectOf<SYNPropertyChangeValue>();
        ASSERT_TRUE(a && b);
        SCOPED_TRACE(b->description());
        EXPECT_TRUE(a->isEqual(*b)) << a->description();
        // Equal values of another kind would still change what is written.
        ASSERT_EQ(a->value().has_value(), b->value().has_value());
        if (a->value()) {
            EXPECT_EQ(a->value()->kind(), b->value()->kind());
        }
    }
}

TEST(SYNPropertyChangeValueCompactTest, EveryShapeReadsBackAsItsKeyedArchiveDoes) {
    const auto shapes = everyShape();
    for (const auto& shape : shapes) {
        const std::vector<SYNPropertyChangeValue> one{shape};
        auto compact = SYNWriteCompactPropertyChangeValues(one);
        ASSERT_TRUE(compact) << shape.description();
        EXPECT_TRUE(SYNIsCompactPropertyChangeValues(compact->view()));
        auto read = SYNUnarchiveSharedPropertyChangeValues(*compact);
        ASSERT_TRUE(read.ok()) << shape.description();
        expectSameValues(*read, throughKeyedArchive(one));
    }
    // All at once, through the stored attribute's transformer and back.
    plat::Array items;
    for (const auto& shape : shapes) {
        items.emplace_back(std::make_shared<const SYNPropertyChangeValue>(shape));
    }
    SYNEventStoreModel();
    auto stored = plat::coredata::encodeTransformable(Value(items), SYNPropertyChangeValuesTransformerName);
    ASSERT_TRUE(stored.ok());
    EXPECT_TRUE(SYNIsCompactPropertyChangeValues(stored->view()));
    EXPECT_LT(stored->length(), SYNArchivePropertyChangeValues(shapes)->length() / 3);
    auto read = plat::coredata::decodeTransformable(stored->view(), SYNPropertyChangeValuesTransformerName);
    ASSERT_TRUE(read.ok());
    expectSameValues(*read, throughKeyedArchive(shapes));
    // An empty list, and a nil attribute, are stored as an empty list.
    for (const Value& empty : {Value(plat::Array()), Value()}) {
        auto none = plat::coredata::encodeTransformable(empty, SYNPropertyChangeValuesTransformerName);
        ASSERT_TRUE(none.ok());
        auto back = SYNUnarchiveSharedPropertyChangeValues(*none);
        ASSERT_TRUE(back.ok());
        EXPECT_TRUE(back->asArray() && back->asArray()->empty());
    }
}

TEST(SYNPropertyChangeValueCompactTest, ListsItCannotHoldKeepTheKeyedArchive) {
    SYNEventStoreModel();
    std::vector<std::pair<std::string, SYNPropertyChangeValue>> others;
    others.emplace_back("unknown type", SYNPropertyChangeValue(7, "odd"));
    others.emplace_back("wide unsigned", attributeChange("big", Value(uint64_t{INT64_MAX} + 1)));
    others.emplace_back("array value", attributeChange("list", Value(plat::Array{Value(1)})));
    SYNPropertyChangeValue negative(SYNPropertyChangeTypeOrderedToManyRelationship, "tasks");
    negative.setMovedIdentifiersByIndex({{-1, "A"}});
    others.emplace_back("negative index", negative);
    for (const auto& [what, change] : others) {
        SCOPED_TRACE(what);
        const std::vector<SYNPropertyChangeValue> list{attributeChange("plain", Value(1)), change};
        EXPECT_FALSE(SYNWriteCompactPropertyChangeValues(list));
        plat::Array items{Value(std::make_shared<const SYNPropertyChangeValue>(list[0])),
                          Value(std::make_shared<const SYNPropertyChangeValue>(change))};
        auto stored =
            plat::coredata::encodeTransformable(Value(items), SYNPropertyChangeValuesTransformerName);
        if (!stored.ok()) {
            continue;  // what the keyed archiver refuses stays refused
        }
        EXPECT_EQ(stored->view().substr(0, 8), "bplist00");
        if (what == "negative index") {
            continue;  // the keyed archive's decimal keys read back only indexes from 0
        }
        auto read = SYNUnarchiveSharedPropertyChangeValues(*stored);
        ASSERT_TRUE(read.ok());
        EXPECT_EQ(read->asArray()->size(), 2u);
    }
    // Text that is not UTF-8 is refused as the keyed archiver refuses it.
    const std::vector<SYNPropertyChangeValue> bad{attributeChange("t", Value(std::string("\xFF\xFE")))};
    EXPECT_FALSE(SYNWriteCompactPropertyChangeValues(bad));
    EXPECT_EQ(SYNArchivePropertyChangeValues(bad).ok(),
              plat::coredata::encodeTransformable(
                  Value(plat::Array{Value(std::make_shared<const SYNPropertyChangeValue>(bad[0]))}),
                  SYNPropertyChangeValuesTransformerName)
                  .ok());
    // Not a list of change values: an error, as before.
    EXPECT_FALSE(plat::coredata::encodeTransformable(Value(plat::Array{Value(3)}),
                                                     SYNPropertyChangeValuesTransformerName)
                     .ok());
}

TEST(SYNPropertyChangeValueCompactTest, DamagedOrTruncatedBytesFailWithoutCrashing) {
    auto compact = SYNWriteCompactPropertyChangeValues(everyShape());
    ASSERT_TRUE(compact);
    const std::string whole(compact->view());
    // Every truncation is an error, never a shorter list.
    for (std::size_t n = 0; n < whole.size(); ++n) {
        EXPECT_FALSE(SYNUnarchiveSharedPropertyChangeValues(std::string_view(whole.data(), n)).ok()) << n;
    }
    EXPECT_FALSE(SYNUnarchiveSharedPropertyChangeValues(whole + "x").ok());
    // Counts far beyond the bytes, and a varint of more than 64 bits.
    for (const std::string& wild :
         {std::string("\x00\x01\xFF\xFF\xFF\xFF\x0F", 7),
          std::string("\x00\x01\x01\x00\xFF\xFF\xFF\xFF\x0F", 9),
          std::string("\x00\x01\x01\x02\x01\x00\x00\x05\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", 18),
          std::string("\x00\x01\x01\x04\x02xx\x09", 8)}) {
        auto read = SYNUnarchiveSharedPropertyChangeValues(wild);
        EXPECT_FALSE(read.ok());
    }
    // Random damage: single bytes changed, and random tails after the magic.
    std::mt19937 random(1234);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes = whole;
        if (round % 2 == 0) {
            for (int k = 0; k < 1 + round % 5; ++k) {
                bytes[2 + random() % (bytes.size() - 2)] = static_cast<char>(random());
            }
        } else {
            bytes.resize(2 + random() % 64);
            for (std::size_t i = 2; i < bytes.size(); ++i) {
                bytes[i] = static_cast<char>(random() % 4 == 0 ? random() % 8 : random());
            }
        }
        auto read = SYNUnarchiveSharedPropertyChangeValues(bytes);
        if (read.ok()) {
            ASSERT_TRUE(read->asArray());
        }
    }
}

// Rows of both forms in one store file on disk: new rows are compact, rows
// written as keyed archives (by an older version) read as they always did.
TEST(SYNPropertyChangeValueCompactTest, CompactAndKeyedArchiveRowsReadSideBySideFromOneStoreFile) {
    testsupport::TempDir root;
    const std::string path = root.str() + "/events.sqlite";
    auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel());
    const auto shapes = everyShape();
    auto open = [&] {
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        EXPECT_TRUE(
            coordinator
                ->addPersistentStore(plat::coredata::SQLiteStoreType, "", plat::URL::fileURLWithPath(path))
                .ok());
        auto context =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        return context;
    };
    {
        auto context = open();
        for (const auto& shape : shapes) {
            auto change = context->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            change->setValue(Value(int64_t{0}), "type");
            change->setValue(Value(shape.propertyName()), "nameOfEntity");
            change->setValue(Value(plat::Array{Value(std::make_shared<const SYNPropertyChangeValue>(shape))}),
                             "propertyChangeValues");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    // Every other row rewritten as the keyed archive an older version wrote.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* rows = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT Z_PK, ZPROPERTYCHANGEVALUES FROM Z_SYNOBJECTCHANGE ORDER BY Z_PK", -1,
                           &rows, nullptr),
        SQLITE_OK);
    std::vector<std::pair<int64_t, std::string>> stored;
    while (sqlite3_step(rows) == SQLITE_ROW) {
        stored.emplace_back(sqlite3_column_int64(rows, 0),
                            std::string(static_cast<const char*>(sqlite3_column_blob(rows, 1)),
                                        static_cast<std::size_t>(sqlite3_column_bytes(rows, 1))));
    }
    sqlite3_finalize(rows);
    ASSERT_EQ(stored.size(), shapes.size());
    sqlite3_stmt* update = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = ? WHERE Z_PK = ?",
                                 -1, &update, nullptr),
              SQLITE_OK);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_TRUE(SYNIsCompactPropertyChangeValues(stored[i].second)) << i;
        if (i % 2 == 1) {
            auto values = SYNUnarchivePropertyChangeValues(
                plat::Data(stored[i].second.data(), stored[i].second.size()));
            ASSERT_TRUE(values.ok());
            auto archive = SYNArchivePropertyChangeValues(*values);
            ASSERT_TRUE(archive.ok());
            sqlite3_bind_blob(update, 1, archive->bytes(), static_cast<int>(archive->length()),
                              SQLITE_TRANSIENT);
            sqlite3_bind_int64(update, 2, stored[i].first);
            EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
            sqlite3_reset(update);
        }
    }
    sqlite3_finalize(update);
    sqlite3_close(db);

    auto context = open();
    auto changes = context->executeFetchRequest(plat::coredata::FetchRequest(SYNObjectChangeEntityName));
    ASSERT_TRUE(changes.ok());
    ASSERT_EQ(changes->size(), shapes.size());
    std::size_t matched = 0;
    for (const auto& change : *changes) {
        const Value values = change->valueForKey("propertyChangeValues");
        ASSERT_TRUE(values.asArray() && values.asArray()->size() == 1u);
        auto read = values.asArray()->front().asObjectOf<SYNPropertyChangeValue>();
        ASSERT_TRUE(read);
        for (const auto& shape : shapes) {
            if (read->isEqual(shape)) {
                ++matched;
                break;
            }
        }
    }
    EXPECT_EQ(matched, shapes.size());
}

// Whether a text is an upper-case UUID, the only text the compact form packs
// into 16 bytes, checked character by character.
bool isUpperCaseUUIDText(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string uuidText(std::mt19937_64& random) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 36; ++i) {
        text += (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : kDigits[random() % 16];
    }
    return text;
}

TEST(SYNPropertyChangeValueCompactTest, UUIDTextsArePackedExactlyWhenTheyReadBackTheSame) {
    // A packed UUID takes 17 bytes (a zero length and its 16 bytes), its text
    // 37 (length and characters): the written length tells which was taken.
    auto lengthOf = [](const SYNPropertyChangeValue& change) -> std::optional<std::size_t> {
        auto compact = SYNWriteCompactPropertyChangeValues(std::vector<SYNPropertyChangeValue>{change});
        return compact ? std::optional<std::size_t>(compact->length()) : std::nullopt;
    };
    const auto packed =
        lengthOf(attributeChange("text", Value(std::string("00000000-0000-0000-0000-000000000000"))));
    ASSERT_TRUE(packed);
    auto check = [&](const std::string& text) {
        SCOPED_TRACE(text);
        const std::vector<SYNPropertyChangeValue> one{attributeChange("text", Value(text))};
        auto compact = SYNWriteCompactPropertyChangeValues(one);
        if (!plat::text::isValidUTF8(text)) {
            EXPECT_FALSE(compact);
            return;
        }
        ASSERT_TRUE(compact);
        EXPECT_EQ(compact->length(), *packed + (isUpperCaseUUIDText(text) ? 0 : 20));
        auto read = SYNUnarchiveSharedPropertyChangeValues(*compact);
        ASSERT_TRUE(read.ok());
        expectSameValues(*read, throughKeyedArchive(one));
        if (::testing::Test::HasFailure()) {
            FAIL() << "stopping at the first text that differs";
        }
    };
    std::mt19937_64 random(20261209);
    const std::string base = uuidText(random);
    // Every character of a UUID replaced by every byte: digits of both
    // cases, the characters next to the digits' ranges, dashes moved, bytes
    // that are not UTF-8 on their own.
    for (std::size_t at = 0; at < base.size() && !::testing::Test::HasFailure(); ++at) {
        for (int byte = 0; byte < 256 && !::testing::Test::HasFailure(); ++byte) {
            std::string text = base;
            text[at] = static_cast<char>(byte);
            check(text);
        }
    }
    // Many UUIDs, in upper and lower case, as a to-one's and a to-many's
    // identifiers too.
    for (int i = 0; i < 500 && !::testing::Test::HasFailure(); ++i) {
        const std::string upper = uuidText(random);
        std::string lower = upper;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
        check(upper);
        check(lower);
        SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "folder");
        toOne.setRelatedIdentifier(upper);
        SYNPropertyChangeValue toMany(SYNPropertyChangeTypeToManyRelationship, "items");
        toMany.setAddedIdentifiers({upper, lower});
        toMany.setRemovedIdentifiers({uuidText(random)});
        const std::vector<SYNPropertyChangeValue> links{toOne, toMany};
        auto compact = SYNWriteCompactPropertyChangeValues(links);
        ASSERT_TRUE(compact);
        auto read = SYNUnarchiveSharedPropertyChangeValues(*compact);
        ASSERT_TRUE(read.ok());
        expectSameValues(*read, throughKeyedArchive(links));
    }
}

}  // namespace
