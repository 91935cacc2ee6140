// The stages' look-up of existing objects by ID: the objects the context does
// not hold filled are fetched with one query where that pays, and the answer
// must be the one reading each of them by its ID gives, whatever the
// context holds (faults, filled objects, unsaved changes, deletions) and
// whatever another coordinator saved meanwhile. Both run on real stores on
// disk, in two contexts brought to the same state.
#include <map>
#include <string>

#include "platform/coredata/CoreDataErrors.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNIntegrationStage.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

namespace integrationtest {
namespace {

class LookupStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::existingObjectsForIDs;
    using SYNIntegrationStage::fetchesUnknownObjects;
    using SYNIntegrationStage::ObjectsByID;
    using SYNIntegrationStage::SYNIntegrationStage;

  protected:
    plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs&) override { return nullptr; }
};

// What a context shows of an object: its entity, its name or label, and
// whether it has unsaved changes.
std::string describe(const ManagedObjectPtr& object) {
    const std::string key = object->entity()->attributeNamed("label") ? "label" : "name";
    const Value value = object->valueForKey(key);
    return object->entity()->name() + "|" + (value.asString() ? *value.asString() : "-") +
           (object->hasChanges() ? "|changed" : "");
}

// The answer of a look-up, keyed by the object's name or label (unique in
// these stores), so that two contexts' answers compare.
std::map<std::string, std::string> answerOf(const LookupStage::ObjectsByID& found) {
    std::map<std::string, std::string> answer;
    for (const auto& [id, object] : found) {
        EXPECT_TRUE(id->isEqual(*object->objectID()));
        answer.emplace(describe(object), object->objectID()->isTemporaryID() ? "temporary" : "stored");
    }
    return answer;
}

// The look-up read one object at a time, as the stages did before: the
// reference the fetched answer is held to.
std::map<std::string, std::string> readOneByOne(ManagedObjectContext& context,
                                                const std::vector<ManagedObjectIDPtr>& ids,
                                                const plat::coredata::EntityDescription& entity,
                                                bool includesSubentities) {
    LookupStage::ObjectsByID found;
    for (const auto& id : ids) {
        auto object = context.existingObjectWithID(id);
        if (!object.ok()) {
            EXPECT_EQ(object.error()->code(), plat::coredata::ManagedObjectReferentialIntegrityError);
            continue;
        }
        const auto& candidate = **object;
        const bool kind =
            includesSubentities ? candidate.entity()->isKindOfEntity(&entity) : candidate.entity() == &entity;
        if (kind && !candidate.isDeleted() && !candidate.isInvalidated()) {
            found.emplace(id, *object);
        }
    }
    return answerOf(found);
}

enum class State { NothingHeld, FaultsAndFilled, UnsavedChanges, UnsavedChangesManyObjects };

class SYNExistingObjectsLookupTest : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        machine = &addMachine("m");
        builder = std::make_shared<SYNEventBuilder>(machine->eventStore());
        auto context = machine->newContext();
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < kItems; ++i) {
            auto item = context->insertNewObjectForEntityForName("Item");
            item->setValue(Value("item " + std::to_string(i)), "label");
            made.push_back(item);
        }
        for (int i = 0; i < 4; ++i) {
            auto shape = context->insertNewObjectForEntityForName("Shape");
            shape->setValue(Value("shape " + std::to_string(i)), "name");
            made.push_back(shape);
        }
        for (int i = 0; i < 3; ++i) {
            auto circle = context->insertNewObjectForEntityForName("Circle");
            circle->setValue(Value("circle " + std::to_string(i)), "name");
            made.push_back(circle);
        }
        auto calendar = context->insertNewObjectForEntityForName("Calendar");
        calendar->setValue(Value("calendar"), "name");
        made.push_back(calendar);
        auto gone = context->insertNewObjectForEntityForName("Item");
        gone->setValue(Value("gone"), "label");
        made.push_back(gone);
        ASSERT_EQ(context->save(), nullptr);
        for (const auto& object : made) {
            uris.emplace(describe(object), object->objectID()->URIRepresentation().absoluteString());
        }
        context->deleteObject(gone);
        ASSERT_EQ(context->save(), nullptr);
    }

    ManagedObjectIDPtr idOf(ManagedObjectContext& context, const std::string& description) {
        auto id =
            context.persistentStoreCoordinator()->managedObjectIDForURIRepresentation(uris.at(description));
        EXPECT_TRUE(id) << description;
        return id;
    }
    ManagedObjectIDPtr item(ManagedObjectContext& context, int i) {
        return idOf(context, "Item|item " + std::to_string(i));
    }

    // Brings a context to the state; returns the IDs the look-up is asked
    // for in it (the same objects in every context).
    std::vector<ManagedObjectIDPtr> prepare(ManagedObjectContext& context, State state) {
        std::vector<ManagedObjectIDPtr> ids;
        for (int i = 0; i < 12; ++i) {
            ids.push_back(item(context, i));
        }
        ids.push_back(item(context, 6));  // twice
        for (const char* name :
             {"Shape|shape 0", "Shape|shape 1", "Shape|shape 2", "Shape|shape 3", "Circle|circle 0",
              "Circle|circle 1", "Circle|circle 2", "Calendar|calendar", "Item|gone"}) {
            ids.push_back(idOf(context, name));
        }
        // An ID no object of this context was ever given.
        ids.push_back(plat::coredata::ManagedObjectID::makeTemporary(
            context.persistentStoreCoordinator()->managedObjectModel()->entityForName("Item")));
        if (state == State::NothingHeld) {
            return ids;
        }
        for (int i = 0; i < 4; ++i) {
            context.objectWithID(item(context, i));  // faults
        }
        context.objectWithID(idOf(context, "Circle|circle 0"));
        for (int i = 4; i < 6; ++i) {
            EXPECT_TRUE(context.existingObjectWithID(item(context, i)).ok());  // filled
        }
        if (state == State::FaultsAndFilled) {
            return ids;
        }
        (*context.existingObjectWithID(item(context, 4)))->setValue(Value("mine"), "label");
        context.deleteObject(context.objectWithID(item(context, 1)));           // a deleted fault
        context.deleteObject(*context.existingObjectWithID(item(context, 5)));  // a deleted object
        auto added = context.insertNewObjectForEntityForName("Item");
        added->setValue(Value("added"), "label");
        ids.push_back(added->objectID());
        if (state == State::UnsavedChangesManyObjects) {
            for (int i = 12; i < kItems; ++i) {
                context.objectWithID(item(context, i));
            }
        }
        return ids;
    }

    // Another coordinator changes and deletes objects the contexts hold as
    // faults and filled, after they were brought to their state.
    void changeElsewhere() {
        auto other = machine->newContext();
        (*other->existingObjectWithID(item(*other, 2)))->setValue(Value("item 2 renamed"), "label");
        (*other->existingObjectWithID(item(*other, 4)))->setValue(Value("item 4 renamed"), "label");
        other->deleteObject(*other->existingObjectWithID(item(*other, 3)));
        other->deleteObject(*other->existingObjectWithID(idOf(*other, "Circle|circle 1")));
        ASSERT_EQ(other->save(), nullptr);
    }

    static constexpr int kItems = 400;
    Machine* machine = nullptr;
    std::shared_ptr<SYNEventBuilder> builder;
    std::map<std::string, std::string> uris;  // by description of the saved objects
};

struct LookupCase {
    State state;
    const char* entity;
    bool includesSubentities;
};

class SYNExistingObjectsLookupCaseTest : public SYNExistingObjectsLookupTest,
                                         public ::testing::WithParamInterface<LookupCase> {};

TEST_P(SYNExistingObjectsLookupCaseTest, TheFetchFindsWhatReadingEachObjectFinds) {
    const LookupCase& lookup = GetParam();
    auto fetching = machine->newContext();
    auto reading = machine->newContext();
    const auto fetchingIDs = prepare(*fetching, lookup.state);
    const auto readingIDs = prepare(*reading, lookup.state);
    changeElsewhere();

    LookupStage stage(builder, {}, fetching, 0);
    // The fetch is what the look-up does here, but where the context holds
    // many objects for the few it lacks.
    EXPECT_EQ(stage.fetchesUnknownObjects(20), lookup.state != State::UnsavedChangesManyObjects);
    EXPECT_FALSE(stage.fetchesUnknownObjects(1));
    const auto& entity =
        *fetching->persistentStoreCoordinator()->managedObjectModel()->entityForName(lookup.entity);
    auto found = stage.existingObjectsForIDs(fetchingIDs, entity, lookup.includesSubentities);
    ASSERT_TRUE(found.ok()) << found.error()->description();
    const auto& readEntity =
        *reading->persistentStoreCoordinator()->managedObjectModel()->entityForName(lookup.entity);
    const auto expected = readOneByOne(*reading, readingIDs, readEntity, lookup.includesSubentities);
    EXPECT_EQ(answerOf(*found), expected);
    if (std::string(lookup.entity) == "Item") {
        const bool changed =
            lookup.state == State::UnsavedChanges || lookup.state == State::UnsavedChangesManyObjects;
        // The context's unsaved value wins over the one saved elsewhere.
        EXPECT_EQ(expected.count("Item|mine|changed"), changed ? 1u : 0u);
        // An object the context held filled keeps what it read.
        EXPECT_EQ(expected.count("Item|item 4 renamed"), lookup.state == State::NothingHeld ? 1u : 0u);
        EXPECT_EQ(expected.count("Item|added|changed"), changed ? 1u : 0u);
        // A fault takes what was saved elsewhere since.
        EXPECT_EQ(expected.count("Item|item 2 renamed"), 1u);
        EXPECT_FALSE(expected.count("Item|item 3"));
        EXPECT_FALSE(expected.count("Item|gone"));
    }
}

std::vector<LookupCase> lookupCases() {
    std::vector<LookupCase> cases;
    for (State state : {State::NothingHeld, State::FaultsAndFilled, State::UnsavedChanges,
                        State::UnsavedChangesManyObjects}) {
        for (const auto& [entity, subentities] : std::vector<std::pair<const char*, bool>>{
                 {"Item", false}, {"Shape", true}, {"Shape", false}, {"Circle", false}}) {
            cases.push_back({state, entity, subentities});
        }
    }
    return cases;
}

std::string lookupCaseName(const ::testing::TestParamInfo<LookupCase>& info) {
    static const char* const states[] = {"NothingHeld", "FaultsAndFilled", "UnsavedChanges",
                                         "UnsavedChangesManyObjects"};
    return std::string(states[static_cast<int>(info.param.state)]) + "_" + info.param.entity +
           (info.param.includesSubentities ? "AndSubentities" : "");
}

INSTANTIATE_TEST_SUITE_P(States, SYNExistingObjectsLookupCaseTest, ::testing::ValuesIn(lookupCases()),
                         lookupCaseName);

}  // namespace
}  // namespace integrationtest
