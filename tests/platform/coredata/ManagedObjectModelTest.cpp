#include "platform/coredata/ManagedObjectModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/JSONSerialization.h"
#include "support/TempDir.h"

namespace plat::coredata {
namespace {

// Item (abstract) <- Task; Task.calendar <-> Calendar.tasks.
std::shared_ptr<ManagedObjectModel> buildModel() {
    auto model = ManagedObjectModel::create();
    auto& item = model->addEntity("Item");
    item.setAbstract(true);
    item.addAttribute("uuid", AttributeType::String).optional(false).indexed(true);
    auto& task = model->addEntity("Task");
    task.setSuperentityName("Item");
    task.addAttribute("title", AttributeType::String);
    task.addAttribute("sortOrder", AttributeType::Integer16).setDefaultValue(Value(0));
    task.addAttribute("scratch", AttributeType::String).transient(true);
    task.addRelationship("calendar", "Calendar").inverse("tasks");
    auto& calendar = model->addEntity("Calendar");
    calendar.addAttribute("name", AttributeType::String);
    calendar.addRelationship("tasks", "Task").toMany().deleteRule(DeleteRule::Cascade);
    calendar.addRelationship("ordered", "Task").ordered();
    model->setVersionIdentifiers({"2"});
    return model;
}

TEST(ManagedObjectModelTest, FinalizeResolvesInheritanceInversesAndSlots) {
    auto model = buildModel();
    ASSERT_EQ(model->finalize(), nullptr);
    auto item = model->entityForName("Item");
    auto task = model->entityForName("Task");
    auto calendar = model->entityForName("Calendar");
    ASSERT_TRUE(item && task && calendar);
    EXPECT_EQ(model->entityForName("Nope"), nullptr);

    EXPECT_EQ(task->superentity(), item.get());
    ASSERT_EQ(item->subentities().size(), 1u);
    EXPECT_EQ(item->subentities()[0], task.get());
    EXPECT_EQ((std::vector<const EntityDescription*>{item.get(), task.get()}), item->selfAndDescendants());
    EXPECT_TRUE(task->isKindOfEntity(item.get()));
    EXPECT_FALSE(item->isKindOfEntity(task.get()));
    EXPECT_EQ(task->rootEntity(), item.get());

    // Inherited properties come first and keep their slot in the sub-entity.
    ASSERT_EQ(task->properties().size(), 5u);
    EXPECT_EQ(task->properties()[0]->name(), "uuid");
    EXPECT_EQ(task->propertyNamed("uuid"), item->propertyNamed("uuid"));
    EXPECT_EQ(task->propertyNamed("uuid")->index(), 0u);
    EXPECT_EQ(task->propertyNamed("calendar")->index(), 4u);
    EXPECT_TRUE(task->attributesByName().count("uuid"));
    EXPECT_EQ(task->relationshipsByName().size(), 1u);
    EXPECT_EQ(task->propertiesByName().size(), 5u);
    EXPECT_EQ(task->attributeNamed("calendar"), nullptr);

    // An inverse named on one side only links both sides.
    auto* toOne = task->relationshipNamed("calendar");
    auto* toMany = calendar->relationshipNamed("tasks");
    EXPECT_EQ(toOne->inverseRelationship(), toMany);
    EXPECT_EQ(toMany->inverseRelationship(), toOne);
    EXPECT_EQ(toOne->destinationEntity(), calendar.get());
    EXPECT_EQ(calendar->toManyCount(), 2u);
    EXPECT_EQ(calendar->relationshipNamed("ordered")->toManyIndex(), 1u);
    EXPECT_TRUE(calendar->relationshipNamed("ordered")->isToMany());
    EXPECT_EQ(toOne->deleteRule(), DeleteRule::Nullify);

    // Entities keep their model alive.
    std::weak_ptr<ManagedObjectModel> weak = model;
    model.reset();
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(task->managedObjectModel()->entityCount(), 3u);
}

TEST(ManagedObjectModelTest, FrozenModelRefusesChanges) {
    auto model = buildModel();
    ASSERT_EQ(model->finalize(), nullptr);
    EXPECT_EQ(model->finalize(), nullptr);
    EXPECT_THROW(model->addEntity("Late"), ModelException);
    auto& task = const_cast<EntityDescription&>(*model->entityNamed("Task"));
    EXPECT_THROW(task.addAttribute("late", AttributeType::String), ModelException);
    auto& title = const_cast<PropertyDescription&>(*task.propertyNamed("title"));
    EXPECT_THROW(title.setOptional(false), ModelException);
    EXPECT_THROW(model->setVersionIdentifiers({}), ModelException);
}

TEST(ManagedObjectModelTest, InvalidModelsAreRefusedWithAReason) {
    struct Case {
        const char* what;
        std::function<void(ManagedObjectModel&)> build;
    };
    const Case cases[] = {
        {"unknown super-entity", [](auto& m) { m.addEntity("A").setSuperentityName("Z"); }},
        {"form a cycle",
         [](auto& m) {
             m.addEntity("A").setSuperentityName("B");
             m.addEntity("B").setSuperentityName("A");
         }},
        {"unknown destination", [](auto& m) { m.addEntity("A").addRelationship("r", "Z"); }},
        {"unknown inverse",
         [](auto& m) {
             m.addEntity("A").addRelationship("r", "B").inverse("back");
             m.addEntity("B");
         }},
        {"does not point back",
         [](auto& m) {
             m.addEntity("A").addRelationship("r", "B").inverse("s");
             m.addEntity("B").addRelationship("s", "B");
         }},
        {"repeats an inherited",
         [](auto& m) {
             m.addEntity("A").addAttribute("x", AttributeType::String);
             m.addEntity("B").setSuperentityName("A").addAttribute("x", AttributeType::String);
         }},
    };
    for (const auto& c : cases) {
        auto model = ManagedObjectModel::create();
        c.build(*model);
        auto error = model->finalize();
        ASSERT_NE(error, nullptr) << c.what;
        EXPECT_EQ(error->code(), CoreDataError);
        EXPECT_NE(error->localizedDescription().find(c.what), std::string::npos)
            << error->localizedDescription();
        EXPECT_FALSE(model->isFrozen());
    }
    auto model = ManagedObjectModel::create();
    model->addEntity("A");
    EXPECT_THROW(model->addEntity("A"), ModelException);
    EXPECT_THROW(model->addEntity(""), ModelException);
}

TEST(ManagedObjectModelTest, VersionHashIsSHA256OfACanonicalDescription) {
    auto model = ManagedObjectModel::create();
    auto& e = model->addEntity("E");
    e.addAttribute("n", AttributeType::Integer64);
    e.addAttribute("t", AttributeType::String).transient(true);
    ASSERT_EQ(model->finalize(), nullptr);
    EXPECT_EQ(model->entityNamed("E")->versionHashInput(), "6:entity1:E1:00:0:9:attribute1:n1:10:3:300");
    // sha256 of the line above, computed independently.
    EXPECT_EQ(model->entityNamed("E")->versionHash().hexString(),
              "ad4519548e97c2f611deed9579fd7da8a0508e4353cf1437052b022b315c908d");
}

TEST(ManagedObjectModelTest, VersionHashFollowsStorageNotDecoration) {
    auto hashes = [](const std::function<void(ManagedObjectModel&)>& tweak) {
        auto model = buildModel();
        tweak(*model);
        EXPECT_EQ(model->finalize(), nullptr);
        return model->entityVersionHashesByName();
    };
    auto base = hashes([](auto&) {});
    EXPECT_EQ(base, hashes([](auto&) {}));  // deterministic
    EXPECT_EQ(base.size(), 3u);
    EXPECT_EQ(base.at("Task").length(), 32u);
    EXPECT_NE(base.at("Task"), base.at("Calendar"));
    // Decoration does not change the hash.
    auto decorated = hashes([](auto& m) {
        auto& task = const_cast<EntityDescription&>(*m.entityNamed("Task"));
        task.setUserInfo({{"SYNIgnoredKey", Value("YES")}});
        const_cast<PropertyDescription&>(*task.ownProperties()[0]).setIndexed(true);
        task.addAttribute("extraTransient", AttributeType::Date).transient(true);
    });
    EXPECT_EQ(base, decorated);
    // A stored change does, in the entity and in its sub-entities only.
    auto changed = hashes([](auto& m) {
        const_cast<EntityDescription&>(*m.entityNamed("Item")).addAttribute("added", AttributeType::Date);
    });
    EXPECT_NE(base.at("Item"), changed.at("Item"));
    EXPECT_NE(base.at("Task"), changed.at("Task"));
    EXPECT_EQ(base.at("Calendar"), changed.at("Calendar"));
    auto modified = hashes([](auto& m) {
        const_cast<EntityDescription&>(*m.entityNamed("Calendar")).setVersionHashModifier("v2");
    });
    EXPECT_NE(base.at("Calendar"), modified.at("Calendar"));
}

struct CoercionCase {
    AttributeType type;
    Value input;
    std::optional<Value> expected;  // nullopt: refused
    NumberType numberType = NumberType::None;
};

class CoercionTest : public ::testing::TestWithParam<CoercionCase> {};

TEST_P(CoercionTest, CoercesOrRefuses) {
    const auto& c = GetParam();
    auto result = coerceValue(c.input, c.type);
    ASSERT_EQ(result.has_value(), c.expected.has_value()) << c.input.description();
    if (!result)
        return;
    EXPECT_EQ(*result, *c.expected);
    if (c.numberType != NumberType::None) {
        EXPECT_EQ(result->numberType(), c.numberType);
    }
}

const auto kUUID = UUIDObject::make(*UUID::fromString("0F8FAD5B-D9CB-469F-A165-70867728950E"));
const auto kURL = Value(URLObject::make(*URL::URLWithString("https://example.com/a")));

INSTANTIATE_TEST_SUITE_P(
    Table, CoercionTest,
    ::testing::Values(
        CoercionCase{AttributeType::Integer16, Value(int64_t{12}), Value(12), NumberType::Int16},
        CoercionCase{AttributeType::Integer16, Value(40000), std::nullopt},
        CoercionCase{AttributeType::Integer16, Value(-32768), Value(-32768), NumberType::Int16},
        CoercionCase{AttributeType::Integer16, Value(true), Value(1), NumberType::Int16},
        CoercionCase{AttributeType::Integer32, Value(3.0), Value(3), NumberType::Int32},
        CoercionCase{AttributeType::Integer32, Value(2.5), std::nullopt},
        CoercionCase{AttributeType::Integer64, Value(uint64_t{1} << 63), std::nullopt},
        CoercionCase{AttributeType::Integer64, Value(9223372036854775808.0), std::nullopt},
        CoercionCase{AttributeType::Integer64, Value(Decimal::fromString("42")), Value(42),
                     NumberType::Int64},
        CoercionCase{AttributeType::Integer64, Value(std::nan("")), std::nullopt},
        CoercionCase{AttributeType::Integer64, Value("12"), std::nullopt},
        CoercionCase{AttributeType::Boolean, Value(1), Value(true), NumberType::Bool},
        CoercionCase{AttributeType::Boolean, Value(0.0), Value(false), NumberType::Bool},
        CoercionCase{AttributeType::Boolean, Value("YES"), std::nullopt},
        CoercionCase{AttributeType::Double, Value(7), Value(7.0), NumberType::Double},
        CoercionCase{AttributeType::Float, Value(0.5), Value(0.5f), NumberType::Float},
        CoercionCase{AttributeType::Decimal, Value(5), Value(Decimal::fromInt64(5)), NumberType::None},
        CoercionCase{AttributeType::String, Value("x"), Value("x")},
        CoercionCase{AttributeType::String, Value(1), std::nullopt},
        CoercionCase{AttributeType::Date, Value(Date(5)), Value(Date(5))},
        CoercionCase{AttributeType::Date, Value(5.0), std::nullopt},
        CoercionCase{AttributeType::BinaryData, Value(Data::fromString("ab")), Value(Data::fromString("ab"))},
        CoercionCase{AttributeType::UUID, kUUID, kUUID},
        CoercionCase{AttributeType::UUID, Value("0F8FAD5B-D9CB-469F-A165-70867728950E"), std::nullopt},
        CoercionCase{AttributeType::URI, kURL, kURL},
        CoercionCase{AttributeType::Transformable, Value(Array{Value(1)}), Value(Array{Value(1)})},
        CoercionCase{AttributeType::String, Value(), Value()}));

TEST(ManagedObjectModelTest, UserInfoReadsStringsAsThePlatformDoes) {
    Dictionary info{{"a", Value("YES")}, {"b", Value("no")}, {"c", Value("5")}, {"d", Value(7)}};
    EXPECT_TRUE(userInfoBool(info, "a"));
    EXPECT_FALSE(userInfoBool(info, "b", true));
    EXPECT_TRUE(userInfoBool(info, "missing", true));
    EXPECT_EQ(userInfoInteger(info, "c"), 5);
    EXPECT_EQ(userInfoInteger(info, "d"), 7);
    EXPECT_EQ(userInfoInteger(info, "missing", -1), -1);
}

TEST(ManagedObjectModelTest, JSONRoundTripKeepsEverything) {
    auto model = buildModel();
    auto& calendar = const_cast<EntityDescription&>(*model->entityNamed("Calendar"));
    calendar.addAttribute("created", AttributeType::Date).setDefaultValue(Value(Date(86400)));
    calendar.addAttribute("blob", AttributeType::BinaryData).setDefaultValue(Value(Data::fromString("hi")));
    calendar.addAttribute("id", AttributeType::UUID).setDefaultValue(kUUID);
    calendar.addAttribute("price", AttributeType::Decimal)
        .setDefaultValue(Value(Decimal::fromString("1.25")));
    calendar.addAttribute("values", AttributeType::Transformable).setValueTransformerName("T");
    calendar.setUserInfo({{"SYNMigrationPriorityKey", Value("5")}});
    ASSERT_EQ(model->finalize(), nullptr);
    auto text = JSONSerialization::stringWithJSONObject(model->JSONRepresentation());
    ASSERT_TRUE(text);
    auto json = JSONSerialization::JSONObjectWithString(*text);
    ASSERT_TRUE(json);
    auto loaded = ManagedObjectModel::modelFromJSON(*json);
    ASSERT_TRUE(loaded) << loaded.error()->description();
    EXPECT_EQ((*loaded)->entityVersionHashesByName(), model->entityVersionHashesByName());
    EXPECT_EQ((*loaded)->versionIdentifiers(), std::set<std::string>{"2"});
    auto* c = (*loaded)->entityNamed("Calendar");
    EXPECT_EQ(*c->attributeNamed("created")->defaultValue(), Value(Date(86400)));
    EXPECT_EQ(*c->attributeNamed("blob")->defaultValue(), Value(Data::fromString("hi")));
    EXPECT_EQ(*c->attributeNamed("id")->defaultValue(), kUUID);
    EXPECT_EQ(*c->attributeNamed("price")->defaultValue(), Value(Decimal::fromString("1.25")));
    EXPECT_EQ(c->attributeNamed("values")->valueTransformerName(), "T");
    EXPECT_EQ(userInfoInteger(c->userInfo(), "SYNMigrationPriorityKey"), 5);
    EXPECT_EQ(c->relationshipNamed("tasks")->deleteRule(), DeleteRule::Cascade);
    EXPECT_TRUE(c->relationshipNamed("ordered")->isOrdered());
    EXPECT_FALSE((*loaded)->entityNamed("Task")->attributeNamed("uuid")->isOptional());
    EXPECT_TRUE((*loaded)->entityNamed("Task")->attributeNamed("scratch")->isTransient());
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path) << text;
}

TEST(ManagedObjectModelTest, LoadsFilesAndBundlesAndRefusesBadOnes) {
    testsupport::TempDir dir;
    auto v1 =
        R"({"versionIdentifiers":["1"],"entities":[{"name":"A","attributes":[{"name":"x","type":"integer32"}]}]})";
    auto v2 =
        R"({"versionIdentifiers":["2"],"entities":[{"name":"A","attributes":[{"name":"x","type":"integer32"},{"name":"y","type":"string","default":"hi"}]}]})";
    std::filesystem::create_directory(dir / "Model.bundle");
    writeFile(dir / "Model.bundle" / "v1.json", v1);
    writeFile(dir / "Model.bundle" / "v2.json", v2);
    writeFile(dir / "Model.bundle" / "VersionInfo.json", R"({"currentVersion":"v2"})");

    auto current =
        ManagedObjectModel::modelWithContentsOfURL(URL::fileURLWithPath((dir / "Model.bundle").string()));
    ASSERT_TRUE(current) << current.error()->description();
    EXPECT_EQ((*current)->versionIdentifiers(), std::set<std::string>{"2"});
    EXPECT_EQ(*(*current)->entityNamed("A")->attributeNamed("y")->defaultValue(), Value("hi"));

    auto versions =
        ManagedObjectModel::modelVersionsAtURL(URL::fileURLWithPath((dir / "Model.bundle").string()));
    ASSERT_TRUE(versions);
    ASSERT_EQ(versions->size(), 2u);
    EXPECT_NE(versions->at("v1")->entityNamed("A")->versionHash(),
              versions->at("v2")->entityNamed("A")->versionHash());

    auto single = ManagedObjectModel::modelWithContentsOfURL(
        URL::fileURLWithPath((dir / "Model.bundle" / "v1.json").string()));
    ASSERT_TRUE(single);

    auto missing =
        ManagedObjectModel::modelWithContentsOfURL(URL::fileURLWithPath((dir / "none.json").string()));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error()->code(), FileReadNoSuchFileError);

    const char* bad[] = {
        "not json",
        "[1]",
        R"({"entities":[{"attributes":[]}]})",
        R"({"entities":[{"name":"A","attributes":[{"name":"x","type":"int"}]}]})",
        R"({"entities":[{"name":"A","attributes":[{"name":"x","type":"integer16","default":70000}]}]})",
        R"({"entities":[{"name":"A","relationships":[{"name":"r","destination":"A","deleteRule":"explode"}]}]})",
        R"({"entities":[{"name":"A","relationships":[{"name":"r","destination":"B"}]}]})",
        R"({"entities":[{"name":"A","abstract":"yes"}]})",
        R"({"entities":[{"name":"A"},{"name":"A"}]})",
    };
    for (const char* text : bad) {
        writeFile(dir / "bad.json", text);
        auto result =
            ManagedObjectModel::modelWithContentsOfURL(URL::fileURLWithPath((dir / "bad.json").string()));
        ASSERT_FALSE(result) << text;
        EXPECT_EQ(result.error()->code(), FileReadCorruptFileError) << text;
        EXPECT_TRUE(result.error()->userInfo().find(DebugDescriptionErrorKey)) << text;
    }
    writeFile(dir / "Model.bundle" / "VersionInfo.json", R"({"currentVersion":"../x"})");
    EXPECT_FALSE(
        ManagedObjectModel::modelWithContentsOfURL(URL::fileURLWithPath((dir / "Model.bundle").string())));
}

}  // namespace
}  // namespace plat::coredata
