// The integration stages on their own: batch bookkeeping, the property
// setter's rules, resolving objects, and what the insert, update and delete
// stages do with one batch of changes.
#include <map>
#include <random>
#include <set>
#include <stdexcept>

#include "platform/coredata/UUIDObject.h"
#include "platform/foundation/NotificationCenter.h"
#include "sync/eventstore/SYNErrors.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/IntegrationFixture.h"
#include "sync/integration/SYNDeleteStage.h"
#include "sync/integration/SYNUpdateStage.h"

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;

namespace integrationtest {
namespace {

// A URI as the event store of context keeps it, and back.
Value storedURI(const ManagedObjectContext& context, const std::string& uri) {
    return Value(SYNStoreURIs::forContext(context)->encode(uri));
}
std::optional<std::string> readURI(const ManagedObjectContext& context, const Value& stored) {
    return SYNStoreURIs::forContext(context)->decode(stored);
}

// A stage that exposes the object look-ups.
class ProbeStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::existingObjectsForIDs;
    using SYNIntegrationStage::fetchObjectsByGlobalIdStringByEntityNameForChanges;
    using SYNIntegrationStage::globalIdentifierStringsByEntityNameInObjectChanges;
    using SYNIntegrationStage::SYNIntegrationStage;

  protected:
    plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs&) override { return nullptr; }
};

// A stage that records its batches and fails the first call when asked.
class RecordingStage : public SYNIntegrationStage {
  public:
    using SYNIntegrationStage::SYNIntegrationStage;
    std::vector<std::size_t> sizes;
    bool failOnce = false;

  protected:
    plat::ErrorPtr applyChangeIDs(const SYNManagedObjectIDs& changeIDs) override {
        if (failOnce) {
            failOnce = false;
            return SYNMakeError(SYNErrorUnknown);
        }
        sizes.push_back(changeIDs.size());
        return nullptr;
    }
};

class SYNIntegrationStageTest : public IntegrationTest {
  protected:
    void SetUp() override {
        IntegrationTest::SetUp();
        machine = &addMachine("m");
        builder = std::make_shared<SYNEventBuilder>(machine->eventStore());
        ASSERT_TRUE(builder->makeNewEventOfType(SYNStoreModificationEventTypeMerge).ok());
        events = machine->eventStore()->managedObjectContext();
        target = machine->newContext();
        events->performBlockAndWait([&] {
            event = events->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value("remote"), "uniqueIdentifier");
            event->setValue(Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
        });
    }

    // An object of the target store with a global identifier row naming it.
    ManagedObjectPtr object(const std::string& entity, const std::string& gid) {
        auto made = target->insertNewObjectForEntityForName(entity);
        EXPECT_EQ(target->obtainPermanentIDsForObjects({made}), nullptr);
        events->performBlockAndWait([&] {
            row(gid, entity)
                ->setValue(storedURI(*events, SYNGlobalIdentifier::storeURIForObjectID(*made->objectID())),
                           "storeURI");
        });
        return made;
    }

    ManagedObjectPtr row(const std::string& gid, const std::string& entity) {
        auto found = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings({gid}, entity, *events);
        if (found.ok() && found->front()) {
            return found->front();
        }
        auto made = events->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        made->setValue(Value(gid), "globalIdentifier");
        made->setValue(Value(entity), "nameOfEntity");
        return made;
    }

    plat::coredata::ManagedObjectIDPtr change(const std::string& entity, const std::string& gid, int16_t type,
                                              const std::vector<SYNPropertyChangeValue>& values) {
        plat::coredata::ManagedObjectIDPtr id;
        events->performBlockAndWait([&] {
            auto made = events->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            made->setValue(Value(int64_t{type}), "type");
            made->setValue(Value(entity), "nameOfEntity");
            made->setObject(row(gid, entity), "globalIdentifier");
            made->setObject(event, "storeModificationEvent");
            SYNObjectChange::setPropertyChangeValues(*made, values);
            EXPECT_EQ(events->obtainPermanentIDsForObjects({made}), nullptr);
            id = made->objectID();
        });
        return id;
    }

    static SYNPropertyChangeValue attribute(const std::string& name, Value value) {
        SYNPropertyChangeValue change(SYNPropertyChangeTypeAttribute, name);
        change.setValue(std::move(value));
        return change;
    }

    static SYNPropertyChangeValue ordered(const std::string& name, std::set<std::string> added,
                                          std::map<int64_t, std::string> moved) {
        SYNPropertyChangeValue change(SYNPropertyChangeTypeOrderedToManyRelationship, name);
        change.setAddedIdentifiers(std::move(added));
        change.setMovedIdentifiersByIndex(std::move(moved));
        return change;
    }

    SYNRelationshipList relationships(const std::string& entity, const std::string& name) {
        auto model = target->persistentStoreCoordinator()->managedObjectModel();
        return {model->entityForName(entity)->relationshipNamed(name)};
    }

    plat::ErrorPtr update(const SYNManagedObjectIDs& ids, std::optional<SYNRelationshipList> relationships,
                          bool attributes = true) {
        SYNUpdateStage stage(builder, ids, target, 0);
        stage.setUpdatesAttributes(attributes);
        stage.setRelationshipsToUpdate(std::move(relationships));
        return stage.applyNextBatchOfChanges();
    }

    std::vector<std::string> names(const ManagedObjectPtr& owner, const std::string& key) {
        std::vector<std::string> result;
        for (const auto& member : owner->objectsForKey(key)) {
            result.push_back(*member->valueForKey("label").asString());
        }
        return result;
    }

    // A cache holding the records of those changes.
    std::shared_ptr<SYNChangeRecordCache> cacheOf(const SYNManagedObjectIDs& ids) {
        auto cache = std::make_shared<SYNChangeRecordCache>();
        events->performBlockAndWait([&] {
            SYNManagedObjects changes;
            for (const auto& id : ids) {
                changes.push_back(*events->existingObjectWithID(id));
            }
            auto records = SYNChangeRecord::fromChanges(changes, *events);
            ASSERT_TRUE(records.ok());
            for (auto& record : *records) {
                cache->add(std::move(record));
            }
        });
        return cache;
    }

    Machine* machine = nullptr;
    std::shared_ptr<SYNEventBuilder> builder;
    std::shared_ptr<ManagedObjectContext> events;
    std::shared_ptr<ManagedObjectContext> target;
    ManagedObjectPtr event;
};

TEST_F(SYNIntegrationStageTest, CutsChangesIntoBatchesAndRetriesAFailedOne) {
    struct Case {
        std::size_t changes;
        uint64_t batchSize;
        std::vector<std::size_t> batches;
    };
    const std::vector<Case> cases = {
        {250, 100, {100, 100, 50}}, {5, 0, {5}}, {0, 10, {}}, {4, 2, {2, 2}}, {1, 3, {1}}};
    auto entity = SYNEventStoreModel()->entityForName(SYNObjectChangeEntityName);
    for (const auto& c : cases) {
        SYNManagedObjectIDs ids;
        for (std::size_t i = 0; i < c.changes; ++i) {
            ids.push_back(plat::coredata::ManagedObjectID::makeTemporary(entity));
        }
        RecordingStage stage(builder, ids, target, c.batchSize);
        EXPECT_EQ(stage.numberOfBatchesRemaining(), c.batches.size());
        if (c.batches.empty()) {
            EXPECT_EQ(stage.firstIndexOfNextBatch(), SYNIntegrationStage::NotFound);
            EXPECT_FALSE(stage.nextBatchChangeIDs());
        }
        stage.failOnce = c.changes > 0;
        if (c.changes > 0) {
            EXPECT_TRUE(stage.applyNextBatchOfChanges());  // failed: the same batch again
            EXPECT_EQ(stage.numberOfBatchesRemaining(), c.batches.size());
        }
        while (stage.numberOfBatchesRemaining() > 0) {
            ASSERT_EQ(stage.applyNextBatchOfChanges(), nullptr);
        }
        EXPECT_EQ(stage.applyNextBatchOfChanges(), nullptr);  // nothing left: success, no work
        EXPECT_EQ(stage.sizes, c.batches) << c.changes << " changes, batch size " << c.batchSize;
    }
}

TEST_F(SYNIntegrationStageTest, TheSetterWritesOnlyWhatChangesAndSurvivesThrowingObservers) {
    auto item = target->insertNewObjectForEntityForName("Item");
    int writes = 0;
    item->addObserver("label", [&](auto&, auto) { ++writes; });
    item->addObserver("blob", [&](auto&, auto) { ++writes; });
    struct Case {
        const char* key;
        Value value;
        int writes;
    };
    const std::string large(SYNMaximumInlineDataLength + 1, 'x');
    const std::string edge(SYNMaximumInlineDataLength, 'x');
    const std::vector<Case> cases = {
        {"label", Value(), 0},                              // nil over nil
        {"label", Value("a"), 1},                           // value over nil
        {"label", Value("a"), 0},                           // equal string
        {"blob", Value(plat::Data::fromString(edge)), 1},   // new data
        {"blob", Value(plat::Data::fromString(edge)), 0},   // equal, not large
        {"blob", Value(plat::Data::fromString(large)), 1},  // new large data
        {"blob", Value(plat::Data::fromString(large)), 1},  // equal large data is still written
    };
    for (const auto& c : cases) {
        writes = 0;
        SYNIntegrationStage::setValueForKey(c.value, c.key, *item);
        EXPECT_EQ(writes, c.writes) << c.key << " " << c.value.description().substr(0, 20);
    }
    item->addObserver("label", [](auto&, auto) { throw std::runtime_error("observer failed"); });
    EXPECT_NO_THROW(SYNIntegrationStage::setValueForKey(Value("b"), "label", *item));
    SYNIntegrationStage::setValueForKey(Value(int64_t{7}), "i32", *item);
    EXPECT_EQ(item->valueForKey("i32"), Value(int64_t{7}));
}

TEST_F(SYNIntegrationStageTest, InsertsAdoptExistingObjectsAndRecordNewOnes) {
    auto existing = object("Item", "present-1");
    auto circle = object("Circle", "present-2");  // sub-entity objects are adopted by a Shape insert
    events->performBlockAndWait([&] {
        row("gone", "Item")->setValue(storedURI(*events, "x-objectstore://nowhere/Item/p99"), "storeURI");
    });
    auto ids = SYNManagedObjectIDs{change("Item", "present-1", SYNObjectChangeTypeInsert, {}),
                                   change("Item", "missing", SYNObjectChangeTypeInsert, {}),
                                   change("Item", "gone", SYNObjectChangeTypeInsert, {})};
    SYNInsertStage stage(builder, ids, target, 0);
    EXPECT_FALSE(stage.insertedObjectIDs());
    ASSERT_EQ(stage.applyNextBatchOfChanges(), nullptr);
    ASSERT_TRUE(stage.insertedObjectIDs());
    EXPECT_EQ(stage.insertedObjectIDs()->size(), 3u);
    EXPECT_TRUE(stage.insertedObjectIDs()->count(existing->objectID()));
    EXPECT_EQ(target->insertedObjects().size(), 4u);  // two made here, beside the two of the set-up
    events->performBlockAndWait([&] {
        EXPECT_EQ(readURI(*events, row("present-1", "Item")->valueForKey("storeURI")),
                  SYNGlobalIdentifier::storeURIForObjectID(*existing->objectID()));
        for (const char* gid : {"missing", "gone"}) {
            auto uri = readURI(*events, row(gid, "Item")->valueForKey("storeURI"));
            ASSERT_TRUE(uri);
            auto id = target->persistentStoreCoordinator()->managedObjectIDForURIRepresentation(*uri);
            EXPECT_TRUE(id && stage.insertedObjectIDs()->count(id)) << gid;
        }
    });
    SYNInsertStage shapes(builder, {change("Shape", "present-2", SYNObjectChangeTypeInsert, {})}, target, 0);
    events->performBlockAndWait([&] {
        row("present-2", "Shape")->setValue(row("present-2", "Circle")->valueForKey("storeURI"), "storeURI");
    });
    ASSERT_EQ(shapes.applyNextBatchOfChanges(), nullptr);
    EXPECT_TRUE(shapes.insertedObjectIDs()->count(circle->objectID()));
    EXPECT_EQ(target->insertedObjects().size(), 4u);
}

// A join inserts every object of the cloud in one unbatched stage: the
// identifier rows that get store URIs are saved a stretch at a time rather
// than all held by the event store's context until the entity's save.
TEST_F(SYNIntegrationStageTest, AnUnbatchedInsertSavesItsStoreURIsAStretchAtATime) {
    constexpr std::size_t kStretch = SYNInsertStage::kStoreURIsPerSave;
    constexpr int kInserts = static_cast<int>(2 * kStretch + 1000);
    SYNManagedObjectIDs ids;
    events->performBlockAndWait([&] {
        event->setValue(Value(int64_t{1}), "globalCount");
        event->setValue(Value(0.0), "timestamp");
        std::vector<ManagedObjectPtr> made;
        for (int i = 0; i < kInserts; ++i) {
            auto identifier = events->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            identifier->setValue(Value("joined-" + std::to_string(i)), "globalIdentifier");
            identifier->setValue(Value("Item"), "nameOfEntity");
            auto insert = events->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            insert->setValue(Value(int64_t{SYNObjectChangeTypeInsert}), "type");
            insert->setValue(Value("Item"), "nameOfEntity");
            insert->setObject(identifier, "globalIdentifier");
            insert->setObject(event, "storeModificationEvent");
            made.push_back(insert);
        }
        ASSERT_EQ(events->obtainPermanentIDsForObjects(made), nullptr);
        for (const auto& insert : made) {
            ids.push_back(insert->objectID());
        }
    });
    if (auto saved = builder->saveAndReset()) {
        FAIL() << saved->description();
    }
    std::vector<std::size_t> updatedPerSave;
    auto observer = plat::NotificationCenter::defaultCenter().addObserverForName(
        plat::coredata::ManagedObjectContextDidSaveNotification, events, [&](const plat::Notification& note) {
            const Value* updated = note.userInfo.find(plat::coredata::UpdatedObjectsKey);
            updatedPerSave.push_back(updated ? updated->count() : 0);
        });
    SYNInsertStage stage(builder, ids, target, 0);
    const plat::ErrorPtr error = stage.applyNextBatchOfChanges();
    plat::NotificationCenter::defaultCenter().removeObserver(observer);
    ASSERT_EQ(error, nullptr);
    ASSERT_TRUE(stage.insertedObjectIDs());
    EXPECT_EQ(stage.insertedObjectIDs()->size(), static_cast<std::size_t>(kInserts));
    // Two full stretches saved; the rest is left for the caller's save.
    EXPECT_EQ(updatedPerSave.size(), 2u);
    for (std::size_t count : updatedPerSave) {
        EXPECT_LE(count, kStretch);
    }
    events->performBlockAndWait([&] { EXPECT_LT(events->registeredObjects().size(), kStretch); });
    ASSERT_EQ(builder->saveAndReset(), nullptr);
    events->performBlockAndWait([&] {
        plat::coredata::FetchRequest request(SYNGlobalIdentifierEntityName);
        auto rows = events->executeFetchRequest(request);
        ASSERT_TRUE(rows.ok());
        std::set<std::string> uris;
        for (const auto& identifier : *rows) {
            auto uri = readURI(*events, identifier->valueForKey("storeURI"));
            ASSERT_TRUE(uri);
            auto id = target->persistentStoreCoordinator()->managedObjectIDForURIRepresentation(*uri);
            EXPECT_TRUE(id && stage.insertedObjectIDs()->count(id)) << *uri;
            uris.insert(*uri);
        }
        EXPECT_EQ(uris.size(), static_cast<std::size_t>(kInserts));
    });
}

TEST_F(SYNIntegrationStageTest, AnInsertOfAnEntityTheModelLacksFailsWithAnError) {
    SYNInsertStage stage(builder, {change("Vanished", "v", SYNObjectChangeTypeInsert, {})}, target, 0);
    auto error = stage.applyNextBatchOfChanges();
    ASSERT_TRUE(error);
    EXPECT_EQ(stage.numberOfBatchesRemaining(), 1u);
}

TEST_F(SYNIntegrationStageTest, AttributesAreWrittenButUnreadableValuesKeepTheCurrentOne) {
    auto item = object("Item", "i");
    item->setValue(Value("kept"), "code");
    plat::Data undecodable = plat::Data::fromString("\xFF oops");
    SYNPropertyChangeValue code(SYNPropertyChangeTypeAttribute, "code");
    code.setValue(Value(undecodable));
    SYNPropertyChangeValue file(SYNPropertyChangeTypeAttribute, "blob");
    file.setFilename("../../etc/passwd");
    auto id = change("Item", "i", SYNObjectChangeTypeUpdate,
                     {attribute("label", Value("new")), code, file, attribute("removedFromModel", Value(1)),
                      attribute("i32", Value(int64_t{5}))});
    item->setValue(Value(plat::Data::fromString("local")), "blob");
    ASSERT_EQ(update({id}, std::nullopt, false), nullptr);
    EXPECT_EQ(item->valueForKey("label"), Value());  // attributes off
    ASSERT_EQ(update({id}, std::nullopt), nullptr);
    EXPECT_EQ(item->valueForKey("label"), Value("new"));
    EXPECT_EQ(item->valueForKey("i32"), Value(int64_t{5}));
    EXPECT_EQ(item->valueForKey("code"), Value("kept"));
    EXPECT_EQ(item->valueForKey("blob"), Value(plat::Data::fromString("local")));
    // A recorded nil still clears.
    ASSERT_EQ(
        update({change("Item", "i", SYNObjectChangeTypeUpdate, {attribute("label", Value())})}, std::nullopt),
        nullptr);
    EXPECT_EQ(item->valueForKey("label"), Value());
}

// Attribute changes find their objects as the tables by identifier text
// would: later changes of one object win, a row without a store URI and a
// deleted object are skipped, and two rows with one identifier text both
// stand for the object of the first row named.
TEST_F(SYNIntegrationStageTest, AttributeChangesFindTheObjectsTheIdentifierTablesWould) {
    auto kept = object("Item", "kept");
    auto gone = object("Item", "gone");
    auto first = object("Item", "dup");
    auto second = target->insertNewObjectForEntityForName("Item");
    ASSERT_EQ(target->obtainPermanentIDsForObjects({second}), nullptr);
    ManagedObjectPtr secondRow;
    events->performBlockAndWait([&] {
        secondRow = events->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        secondRow->setValue(Value("dup"), "globalIdentifier");
        secondRow->setValue(Value("Item"), "nameOfEntity");
        secondRow->setValue(storedURI(*events, SYNGlobalIdentifier::storeURIForObjectID(*second->objectID())),
                            "storeURI");
    });
    target->deleteObject(gone);
    SYNManagedObjectIDs plain = {
        change("Item", "kept", SYNObjectChangeTypeUpdate, {attribute("label", Value("a"))}),
        change("Item", "kept", SYNObjectChangeTypeUpdate, {attribute("label", Value("b"))}),
        change("Item", "gone", SYNObjectChangeTypeUpdate, {attribute("label", Value("x"))}),
        change("Item", "nowhere", SYNObjectChangeTypeUpdate, {attribute("label", Value("y"))})};
    ASSERT_EQ(update(plain, std::nullopt), nullptr);
    EXPECT_EQ(kept->valueForKey("label"), Value("b"));
    EXPECT_EQ(gone->valueForKey("label"), Value());
    auto onFirst = change("Item", "dup", SYNObjectChangeTypeUpdate, {attribute("label", Value("one"))});
    auto onSecond = change("Item", "dup", SYNObjectChangeTypeUpdate, {attribute("label", Value("two"))});
    events->performBlockAndWait(
        [&] { (*events->existingObjectWithID(onSecond))->setObject(secondRow, "globalIdentifier"); });
    ASSERT_EQ(update({onFirst, onSecond}, std::nullopt), nullptr);
    EXPECT_EQ(first->valueForKey("label"), Value("two"));
    EXPECT_EQ(second->valueForKey("label"), Value());
}

TEST_F(SYNIntegrationStageTest, RelationshipsResolveAcrossSubEntitiesAndClearMissingTargets) {
    auto canvas = object("Canvas", "canvas");
    auto circle = object("Circle", "circle");
    auto shape = object("Shape", "shape");
    auto task = object("Task", "task");
    auto calendar = object("Calendar", "calendar");
    task->setObject(calendar, "calendar");

    SYNPropertyChangeValue shapes(SYNPropertyChangeTypeToManyRelationship, "shapes");
    shapes.setAddedIdentifiers({"circle", "shape", "unknown"});
    ASSERT_EQ(update({change("Canvas", "canvas", SYNObjectChangeTypeUpdate, {shapes})},
                     relationships("Canvas", "shapes")),
              nullptr);
    EXPECT_EQ(canvas->objectsForKey("shapes").size(), 2u);
    EXPECT_EQ(circle->objectForKey("canvas"), canvas);  // inverse kept

    // Added and removed in one change: removed.
    SYNPropertyChangeValue both(SYNPropertyChangeTypeToManyRelationship, "shapes");
    both.setAddedIdentifiers({"shape"});
    both.setRemovedIdentifiers({"shape"});
    ASSERT_EQ(update({change("Canvas", "canvas", SYNObjectChangeTypeUpdate, {both})},
                     relationships("Canvas", "shapes")),
              nullptr);
    EXPECT_EQ(canvas->objectsForKey("shapes"), std::vector<ManagedObjectPtr>{circle});

    // A to-one naming an object that is not here (deleted) is cleared; a
    // relationship left out of relationshipsToUpdate is not touched.
    SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "calendar");
    toOne.setRelatedIdentifier("deleted-calendar");
    auto id = change("Task", "task", SYNObjectChangeTypeUpdate, {toOne});
    ASSERT_EQ(update({id}, std::nullopt), nullptr);
    EXPECT_EQ(task->objectForKey("calendar"), calendar);
    ASSERT_EQ(update({id}, relationships("Task", "calendar")), nullptr);
    EXPECT_EQ(task->objectForKey("calendar"), nullptr);
    EXPECT_TRUE(calendar->objectsForKey("tasks").empty());
}

// The entity names a relationship's members may have are made once per
// relationship within a batch: changes of several relationships and
// destinations in one batch each find their own members.
TEST_F(SYNIntegrationStageTest, ABatchOfSeveralRelationshipsFindsEachOnesMembers) {
    auto first = object("Canvas", "first");
    auto second = object("Canvas", "second");
    auto circle = object("Circle", "circle");
    auto shape = object("Shape", "shape");
    auto calendar = object("Calendar", "calendar");
    auto task = object("Task", "task");

    auto toOne = [](const std::string& name, const std::string& target) {
        SYNPropertyChangeValue value(SYNPropertyChangeTypeToOneRelationship, name);
        value.setRelatedIdentifier(target);
        return value;
    };
    SYNPropertyChangeValue shapes(SYNPropertyChangeTypeToManyRelationship, "shapes");
    shapes.setAddedIdentifiers({"circle", "calendar"});  // a calendar is never a shape
    auto list = relationships("Canvas", "shapes");
    for (const auto* relationship : relationships("Shape", "canvas")) {
        list.push_back(relationship);
    }
    for (const auto* relationship : relationships("Task", "calendar")) {
        list.push_back(relationship);
    }
    ASSERT_EQ(update({change("Canvas", "first", SYNObjectChangeTypeUpdate, {shapes}),
                      change("Shape", "shape", SYNObjectChangeTypeUpdate, {toOne("canvas", "second")}),
                      change("Task", "task", SYNObjectChangeTypeUpdate, {toOne("calendar", "calendar")}),
                      change("Shape", "shape", SYNObjectChangeTypeUpdate, {toOne("canvas", "circle")})},
                     list),
              nullptr);
    EXPECT_EQ(first->objectsForKey("shapes"), std::vector<ManagedObjectPtr>{circle});
    EXPECT_EQ(circle->objectForKey("canvas"), first);
    EXPECT_EQ(shape->objectForKey("canvas"), nullptr) << "a circle is no canvas: the last change clears";
    EXPECT_TRUE(second->objectsForKey("shapes").empty());
    EXPECT_EQ(task->objectForKey("calendar"), calendar);
}

TEST_F(SYNIntegrationStageTest, OrderedRelationshipsFollowTheIndexesOfTheChange) {
    auto playlist = object("Playlist", "playlist");
    std::map<std::string, ManagedObjectPtr> items;
    for (const char* gid : {"A", "B", "C", "D"}) {
        items[gid] = object("Item", gid);
        items[gid]->setValue(Value(gid), "label");
    }
    for (const char* gid : {"A", "B", "C"}) {
        playlist->mutableOrderedSetValueForKey("items").addObject(items[gid]);
    }
    struct Case {
        std::set<std::string> added;
        std::map<int64_t, std::string> moved;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        // Every member indexed: exactly that order.
        {{}, {{0, "C"}, {1, "A"}, {2, "B"}}, {"C", "A", "B"}},
        // Equal indexes: by identifier.
        {{}, {{0, "B"}, {1, "A"}}, {"B", "A", "C"}},
        // Members the change does not index follow, by identifier.
        {{"D"}, {{0, "D"}}, {"D", "A", "B", "C"}},
        {{}, {{5, "A"}, {2, "C"}}, {"C", "A", "B", "D"}},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(update({change("Playlist", "playlist", SYNObjectChangeTypeUpdate,
                                 {ordered("items", c.added, c.moved)})},
                         relationships("Playlist", "items")),
                  nullptr);
        EXPECT_EQ(names(playlist, "items"), c.expected);
    }
}

// An insert holds the whole object: applied to an object already here (a
// full integration after a rebase folded a removal this store had not
// merged), its to-many and ordered to-many relationships end with exactly
// the members it lists; an update only adds and removes.
TEST_F(SYNIntegrationStageTest, AnInsertGivesToManyRelationshipsExactlyItsMembers) {
    auto canvas = object("Canvas", "canvas");
    auto circle = object("Circle", "circle");
    auto shape = object("Shape", "shape");
    canvas->mutableSetValueForKey("shapes").addObject(circle);
    canvas->mutableSetValueForKey("shapes").addObject(shape);
    auto playlist = object("Playlist", "playlist");
    std::map<std::string, ManagedObjectPtr> items;
    for (const char* gid : {"A", "B", "C"}) {
        items[gid] = object("Item", gid);
        items[gid]->setValue(Value(gid), "label");
        playlist->mutableOrderedSetValueForKey("items").addObject(items[gid]);
    }

    SYNPropertyChangeValue shapes(SYNPropertyChangeTypeToManyRelationship, "shapes");
    shapes.setAddedIdentifiers({"circle"});
    ASSERT_EQ(update({change("Canvas", "canvas", SYNObjectChangeTypeUpdate, {shapes})},
                     relationships("Canvas", "shapes")),
              nullptr);
    EXPECT_EQ(canvas->objectsForKey("shapes").size(), 2u) << "an update only adds";
    ASSERT_EQ(update({change("Canvas", "canvas", SYNObjectChangeTypeInsert, {shapes})},
                     relationships("Canvas", "shapes")),
              nullptr);
    EXPECT_EQ(canvas->objectsForKey("shapes"), std::vector<ManagedObjectPtr>{circle});
    EXPECT_EQ(shape->objectForKey("canvas"), nullptr);

    auto listed = ordered("items", {"C", "A", "unknown"}, {{0, "C"}, {1, "A"}});
    ASSERT_EQ(update({change("Playlist", "playlist", SYNObjectChangeTypeUpdate, {listed})},
                     relationships("Playlist", "items")),
              nullptr);
    EXPECT_EQ(names(playlist, "items"), (std::vector<std::string>{"C", "A", "B"}));
    ASSERT_EQ(update({change("Playlist", "playlist", SYNObjectChangeTypeInsert, {listed})},
                     relationships("Playlist", "items")),
              nullptr);
    EXPECT_EQ(names(playlist, "items"), (std::vector<std::string>{"C", "A"}));
    EXPECT_EQ(items["B"]->objectForKey("playlist"), nullptr);
}

TEST_F(SYNIntegrationStageTest, DeletesEmptyRelationshipsThenDeleteAndSkipUnknownObjects) {
    auto canvas = object("Canvas", "canvas");
    std::vector<ManagedObjectPtr> shapes;
    for (int i = 0; i < 3; ++i) {
        shapes.push_back(object("Shape", "shape" + std::to_string(i)));
        canvas->mutableSetValueForKey("shapes").addObject(shapes.back());
    }
    auto task = object("Task", "task");
    task->setObject(object("Calendar", "calendar"), "calendar");
    SYNDeleteStage stage(builder,
                         {change("Canvas", "canvas", SYNObjectChangeTypeDelete, {}),
                          change("Task", "task", SYNObjectChangeTypeDelete, {}),
                          change("Task", "never-imported", SYNObjectChangeTypeDelete, {})},
                         target, 0);
    ASSERT_EQ(stage.applyNextBatchOfChanges(), nullptr);
    EXPECT_TRUE(canvas->isDeleted());
    EXPECT_TRUE(task->isDeleted());
    for (const auto& shape : shapes) {
        EXPECT_FALSE(shape->isDeleted());
        EXPECT_EQ(shape->objectForKey("canvas"), nullptr);
    }
    EXPECT_TRUE(objectWhere(*target, "Calendar", "name", Value()) != nullptr);

    SYNDeleteStage unknown(builder, {change("Vanished", "v", SYNObjectChangeTypeDelete, {})}, target, 0);
    EXPECT_TRUE(unknown.applyNextBatchOfChanges());
}

TEST_F(SYNIntegrationStageTest, ACachedInsertHandsItsNewObjectToTheUpdateAfterIt) {
    auto existing = object("Item", "old");
    const SYNManagedObjectIDs ids{
        change("Item", "fresh", SYNObjectChangeTypeInsert, {}),
        change("Item", "fresh", SYNObjectChangeTypeUpdate, {attribute("label", Value("made"))}),
        change("Item", "old", SYNObjectChangeTypeUpdate, {attribute("label", Value("changed"))})};
    auto cache = cacheOf(ids);
    ASSERT_FALSE(cache->find(ids[1])->storeURI);
    SYNInsertStage insert(builder, {ids[0]}, target, 0);
    insert.setChangeRecordCache(cache);
    ASSERT_EQ(insert.applyNextBatchOfChanges(), nullptr);
    // Every record of the row sees the URI written to it.
    ASSERT_TRUE(cache->find(ids[1])->storeURI);
    events->performBlockAndWait([&] {
        EXPECT_EQ(readURI(*events, row("fresh", "Item")->valueForKey("storeURI")),
                  cache->find(ids[1])->storeURI);
    });
    SYNUpdateStage update(builder, {ids[1], ids[2]}, target, 0);
    update.setChangeRecordCache(cache);
    update.setUpdatesAttributes(true);
    ASSERT_EQ(update.applyNextBatchOfChanges(), nullptr);
    EXPECT_TRUE(objectWhere(*target, "Item", "label", Value("made")) != nullptr);
    EXPECT_EQ(existing->valueForKey("label"), Value("changed"));
}

TEST_F(SYNIntegrationStageTest, AStageLoadsWhatItsCacheLacks) {
    auto first = object("Item", "a");
    auto second = object("Item", "b");
    const SYNManagedObjectIDs ids{
        change("Item", "a", SYNObjectChangeTypeUpdate, {attribute("label", Value("A"))}),
        change("Item", "b", SYNObjectChangeTypeUpdate, {attribute("label", Value("B"))})};
    auto partial = cacheOf({ids[0]});
    auto cleared = cacheOf(ids);
    cleared->clear();
    EXPECT_TRUE(cleared->empty());
    for (const auto& cache : {partial, cleared}) {
        first->setValue(Value(), "label");
        second->setValue(Value(), "label");
        SYNUpdateStage update(builder, ids, target, 0);
        update.setChangeRecordCache(cache);
        update.setUpdatesAttributes(true);
        ASSERT_EQ(update.applyNextBatchOfChanges(), nullptr);
        EXPECT_EQ(first->valueForKey("label"), Value("A"));
        EXPECT_EQ(second->valueForKey("label"), Value("B"));
    }
    // Deletes and inserts take their records the same way.
    SYNDeleteStage remove(builder, {change("Item", "b", SYNObjectChangeTypeDelete, {})}, target, 0);
    remove.setChangeRecordCache(partial);
    ASSERT_EQ(remove.applyNextBatchOfChanges(), nullptr);
    EXPECT_TRUE(second->isDeleted());
}

// Records read without their values (as the integrator reads an entity's
// changes up front) get them when a stage loads them: from the stored rows,
// or from the context where a change is unsaved there; the update stage
// applies them a stretch at a time, in order.
TEST_F(SYNIntegrationStageTest, RecordsReadWithoutValuesGetThemWhenAStageLoadsThem) {
    auto first = object("Item", "a");
    auto second = object("Item", "b");
    SYNManagedObjectIDs ids;
    // More than one stretch of updates of one object: the last one wins.
    for (int i = 0; i < 2100; ++i) {
        ids.push_back(change("Item", "a", SYNObjectChangeTypeUpdate,
                             {attribute("label", Value("a" + std::to_string(i)))}));
    }
    ids.push_back(change("Item", "b", SYNObjectChangeTypeUpdate, {attribute("label", Value("stored"))}));
    events->performBlockAndWait([&] {
        event->setValue(Value(int64_t{2}), "globalCount");
        event->setValue(Value(1.0), "timestamp");
        auto saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
    });
    auto cache = std::make_shared<SYNChangeRecordCache>();
    events->performBlockAndWait([&] {
        plat::Array list;
        for (const auto& id : ids) {
            list.push_back(Value(plat::ObjectPtr(id)));
        }
        plat::coredata::FetchRequest request(SYNObjectChangeEntityName);
        request.predicate = plat::coredata::Predicate::selfIn(Value(list));
        auto stored = SYNChangeRecord::fetchStored(request, *events, nullptr, false);
        ASSERT_TRUE(stored.ok());
        ASSERT_TRUE(*stored);
        ASSERT_EQ((*stored)->size(), ids.size());
        for (auto& record : **stored) {
            EXPECT_FALSE(record.valuesRead);
            EXPECT_TRUE(record.values.empty());
            cache->add(std::move(record));
        }
    });
    for (bool unsaved : {false, true}) {
        SCOPED_TRACE(unsaved ? "a change unsaved in the context" : "stored rows");
        if (unsaved) {
            // The context shows other values than the stored row holds.
            events->performBlockAndWait([&] {
                SYNObjectChange::setPropertyChangeValues(**events->existingObjectWithID(ids.back()),
                                                         {attribute("label", Value("unsaved"))});
            });
        }
        first->setValue(Value(), "label");
        second->setValue(Value(), "label");
        SYNUpdateStage update(builder, ids, target, 0);
        update.setChangeRecordCache(cache);
        update.setUpdatesAttributes(true);
        ASSERT_EQ(update.applyNextBatchOfChanges(), nullptr);
        EXPECT_EQ(first->valueForKey("label"), Value("a2099"));
        EXPECT_EQ(second->valueForKey("label"), Value(unsaved ? "unsaved" : "stored"));
        // The cache keeps its records without values.
        EXPECT_FALSE(cache->find(ids.back())->valuesRead);
    }
}

// Records read from the stored rows equal those read through the context's
// objects, change by change, and the stored path declines where the rows
// would not show what the context does.
TEST_F(SYNIntegrationStageTest, StoredRecordsEqualRecordsOfObjects) {
    struct Case {
        const char* what;
        std::string entity, gid;
        int16_t type;
        std::vector<SYNPropertyChangeValue> values;
        bool hasRow = true;
    };
    SYNPropertyChangeValue toOne(SYNPropertyChangeTypeToOneRelationship, "calendar");
    toOne.setRelatedIdentifier("cal-1");
    SYNPropertyChangeValue toMany(SYNPropertyChangeTypeToManyRelationship, "tasks");
    toMany.setAddedIdentifiers({"t-1", "t-2"});
    toMany.setRemovedIdentifiers({"t-3"});
    const std::vector<Case> cases = {
        {"insert with attributes",
         "Item",
         "fresh",
         SYNObjectChangeTypeInsert,
         {attribute("label", Value("new")), attribute("i64", Value(int64_t{7}))}},
        {"update of a stored object",
         "Item",
         "stored",
         SYNObjectChangeTypeUpdate,
         {attribute("label", Value("changed"))}},
        {"second change of the same row",
         "Item",
         "stored",
         SYNObjectChangeTypeUpdate,
         {attribute("flag", Value(true))}},
        {"delete without values", "Item", "gone", SYNObjectChangeTypeDelete, {}},
        {"to-one relationship", "Task", "task", SYNObjectChangeTypeUpdate, {toOne}},
        {"to-many relationship", "Calendar", "cal-1", SYNObjectChangeTypeUpdate, {toMany}},
        {"ordered relationship",
         "Playlist",
         "list",
         SYNObjectChangeTypeUpdate,
         {ordered("items", {"a"}, {{0, "a"}})}},
        {"row naming another entity", "Task", "stored", SYNObjectChangeTypeUpdate, {}},
        {"no identifier row", "Item", "", SYNObjectChangeTypeUpdate, {attribute("label", Value("x"))}, false},
    };
    object("Item", "stored");  // a row with a store URI
    SYNManagedObjectIDs ids;
    for (const auto& c : cases) {
        if (c.hasRow) {
            ids.push_back(change(c.entity, c.gid, c.type, c.values));
            continue;
        }
        events->performBlockAndWait([&] {
            auto made = events->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            made->setValue(Value(int64_t{c.type}), "type");
            made->setValue(Value(c.entity), "nameOfEntity");
            made->setObject(event, "storeModificationEvent");
            SYNObjectChange::setPropertyChangeValues(*made, c.values);
            EXPECT_EQ(events->obtainPermanentIDsForObjects({made}), nullptr);
            ids.push_back(made->objectID());
        });
    }
    // "row naming another entity" reuses the Item row of "stored".
    events->performBlockAndWait([&] {
        auto reused = *events->existingObjectWithID(ids[7]);
        reused->setObject(row("stored", "Item"), "globalIdentifier");
    });

    plat::Array list;
    for (const auto& id : ids) {
        list.push_back(Value(plat::ObjectPtr(id)));
    }
    plat::coredata::FetchRequest request(SYNObjectChangeEntityName);
    request.predicate = plat::coredata::Predicate::selfIn(Value(list));
    events->performBlockAndWait([&] {
        // Unsaved changes and identifier rows: the stored rows would miss them.
        auto declined = SYNChangeRecord::fetchStored(request, *events);
        ASSERT_TRUE(declined.ok());
        EXPECT_FALSE(*declined);
        event->setValue(Value(int64_t{2}), "globalCount");
        event->setValue(Value(1.0), "timestamp");
        auto saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
        // An unsaved change of another entity does not matter.
        event->setValue(Value(int64_t{42}), "globalCount");
    });
    auto expected = cacheOf(ids);
    events->performBlockAndWait([&] {
        std::vector<plat::coredata::ManagedObjectIDPtr> eventIDs;
        auto stored = SYNChangeRecord::fetchStored(request, *events, &eventIDs);
        ASSERT_TRUE(stored.ok());
        ASSERT_TRUE(*stored);
        ASSERT_EQ((*stored)->size(), ids.size());
        ASSERT_EQ(eventIDs.size(), ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const SYNChangeRecord& got = (**stored)[i];
            const SYNChangeRecord* want = expected->find(got.changeID);
            ASSERT_NE(want, nullptr);
            std::size_t index = std::find_if(ids.begin(), ids.end(),
                                             [&](const auto& id) { return id->isEqualID(*got.changeID); }) -
                                ids.begin();
            SCOPED_TRACE(cases.at(index).what);
            EXPECT_TRUE(eventIDs[i] && eventIDs[i]->isEqualID(*event->objectID()));
            EXPECT_EQ(got.type, want->type);
            EXPECT_EQ(got.entityName, want->entityName);
            EXPECT_EQ(!got.globalIdentifierID, !want->globalIdentifierID);
            if (got.globalIdentifierID && want->globalIdentifierID) {
                EXPECT_TRUE(got.globalIdentifierID->isEqualID(*want->globalIdentifierID));
            }
            EXPECT_EQ(got.globalIdentifier, want->globalIdentifier);
            EXPECT_EQ(got.globalIdentifierEntityName, want->globalIdentifierEntityName);
            EXPECT_EQ(got.storeURI, want->storeURI);
            ASSERT_EQ(got.values.size(), want->values.size());
            for (std::size_t v = 0; v < got.values.size(); ++v) {
                EXPECT_TRUE(got.values[v]->isEqual(*want->values[v]));
            }
        }
        // A stored change that a context holds changed is left to the context.
        (*events->existingObjectWithID(ids[0]))->setValue(Value(int64_t{SYNObjectChangeTypeDelete}), "type");
        auto declined = SYNChangeRecord::fetchStored(request, *events);
        ASSERT_TRUE(declined.ok());
        EXPECT_FALSE(*declined);
    });
}

// Changes read ahead and their identifier rows read later (as the
// integrator reads a merge's changes once and each entity's rows when it
// comes to it): the identifier rows are as they are at the second read, the
// records then equal those read at once, and the second read declines,
// leaving the records as they were, while an identifier row is unsaved.
TEST_F(SYNIntegrationStageTest, IdentifierRowsReadLaterAreThoseOfThatMoment) {
    auto stored = object("Item", "stored");
    const SYNManagedObjectIDs ids{
        change("Item", "stored", SYNObjectChangeTypeUpdate, {attribute("label", Value("a"))}),
        change("Item", "stored", SYNObjectChangeTypeUpdate, {attribute("label", Value("b"))}),
        change("Task", "fresh", SYNObjectChangeTypeInsert, {attribute("title", Value("t"))}),
        change("Item", "gone", SYNObjectChangeTypeDelete, {})};
    events->performBlockAndWait([&] {
        event->setValue(Value(int64_t{2}), "globalCount");
        event->setValue(Value(1.0), "timestamp");
        auto saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
    });
    plat::Array list;
    for (const auto& id : ids) {
        list.push_back(Value(plat::ObjectPtr(id)));
    }
    plat::coredata::FetchRequest request(SYNObjectChangeEntityName);
    request.predicate = plat::coredata::Predicate::selfIn(Value(list));
    const std::string written = "x-test://store/Task/p77";
    events->performBlockAndWait([&] {
        std::vector<plat::coredata::ManagedObjectIDPtr> eventIDs;
        auto ahead = SYNChangeRecord::fetchStoredChanges(request, *events, &eventIDs);
        ASSERT_TRUE(ahead.ok());
        ASSERT_TRUE(*ahead);
        auto records = std::move(**ahead);
        ASSERT_EQ(records.size(), ids.size());
        ASSERT_EQ(eventIDs.size(), ids.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_TRUE(eventIDs[i] && eventIDs[i]->isEqualID(*event->objectID()));
            EXPECT_TRUE(records[i].globalIdentifierID);
            EXPECT_FALSE(records[i].globalIdentifier);
            EXPECT_FALSE(records[i].storeURI);
            EXPECT_TRUE(records[i].valuesRead);
        }
        // An identifier row written after the changes were read, unsaved:
        // declined, nothing filled in.
        row("fresh", "Task")->setValue(storedURI(*events, written), "storeURI");
        auto declined = SYNChangeRecord::readStoredIdentifierRows(records, *events);
        ASSERT_TRUE(declined.ok());
        EXPECT_FALSE(*declined);
        for (const auto& record : records) {
            EXPECT_FALSE(record.globalIdentifier);
        }
        auto saved = events->save();
        ASSERT_EQ(saved, nullptr) << saved->description();
        auto read = SYNChangeRecord::readStoredIdentifierRows(records, *events);
        ASSERT_TRUE(read.ok());
        EXPECT_TRUE(*read);
        auto atOnce = SYNChangeRecord::fetchStored(request, *events);
        ASSERT_TRUE(atOnce.ok());
        ASSERT_TRUE(*atOnce);
        ASSERT_EQ((*atOnce)->size(), records.size());
        for (std::size_t i = 0; i < records.size(); ++i) {
            const auto& got = records[i];
            const auto& want = (**atOnce)[i];
            EXPECT_TRUE(got.changeID->isEqualID(*want.changeID));
            EXPECT_EQ(got.type, want.type);
            EXPECT_EQ(got.entityName, want.entityName);
            EXPECT_EQ(got.globalIdentifier, want.globalIdentifier);
            EXPECT_EQ(got.globalIdentifierEntityName, want.globalIdentifierEntityName);
            EXPECT_EQ(got.storeURI, want.storeURI);
            ASSERT_EQ(got.values.size(), want.values.size());
            for (std::size_t v = 0; v < got.values.size(); ++v) {
                EXPECT_TRUE(got.values[v]->isEqual(*want.values[v]));
            }
        }
        // Both changes of one row take its strings; the row written since
        // the changes were read shows its new store URI.
        EXPECT_EQ(records[0].storeURI, SYNGlobalIdentifier::storeURIForObjectID(*stored->objectID()));
        EXPECT_EQ(records[1].storeURI, records[0].storeURI);
        EXPECT_EQ(records[2].globalIdentifier, std::optional<std::string>("fresh"));
        EXPECT_EQ(records[2].storeURI, std::optional<std::string>(written));
        EXPECT_EQ(records[3].globalIdentifierEntityName, "Item");
        EXPECT_FALSE(records[3].storeURI);
    });
}

// The cache reads the keys of store URIs whose store and entity it already
// knows; every URI must still name what the coordinator's own parse names.
TEST_F(SYNIntegrationStageTest, CachedStoreURIsNameWhatTheCoordinatorNames) {
    auto coordinator = target->persistentStoreCoordinator();
    const std::string item = SYNGlobalIdentifier::storeURIForObjectID(*object("Item", "i")->objectID());
    const std::string task = SYNGlobalIdentifier::storeURIForObjectID(*object("Task", "t")->objectID());
    const std::string itemPrefix = item.substr(0, item.rfind('/'));
    const std::string taskPrefix = task.substr(0, task.rfind('/'));
    const std::vector<std::string> uris = {
        item,  // learns the Item prefix
        itemPrefix + "/p1",
        itemPrefix + "/p0042",
        itemPrefix + "/p9223372036854775807",
        itemPrefix + "/p9223372036854775808",  // beyond any key
        itemPrefix + "/p",
        itemPrefix + "/p12a",
        itemPrefix + "/p-3",
        itemPrefix + "/p+3",
        itemPrefix + "/t5",
        itemPrefix + "/p5?x",
        itemPrefix + "/p5#x",
        itemPrefix + "/p5/p6",
        taskPrefix + "/p7",  // before the Task prefix is known
        task,
        taskPrefix + "/p8",
        "x-objectstore://unknown-store/Item/p1",
        "x-objectstore:///Item/t1",
        "not a uri",
        "",
    };
    SYNChangeRecordCache cache;
    for (int round = 0; round < 2; ++round) {
        for (const auto& uri : uris) {
            SCOPED_TRACE(uri);
            auto expected = coordinator->managedObjectIDForURIRepresentation(uri);
            auto got = cache.objectIDForStoreURI(uri, *coordinator);
            ASSERT_EQ(!got, !expected);
            if (got) {
                EXPECT_TRUE(got->isEqualID(*expected));
            }
        }
    }
}

// Store URIs written one after another, the part before the key reused,
// equal the full form whatever the entity, store, key length or kind of ID.
TEST_F(SYNIntegrationStageTest, StoreURIsWrittenInTurnEqualTheFullForm) {
    auto coordinator = target->persistentStoreCoordinator();
    auto item = object("Item", "i")->objectID();
    auto task = object("Task", "t")->objectID();
    auto store = coordinator->persistentStoreForIdentifier(item->storeIdentifier());
    ASSERT_TRUE(store);
    auto keyed = [&](const plat::coredata::ManagedObjectIDPtr& like, int64_t key) {
        return store->objectIDFor(like->entity(), key);
    };
    auto unsaved = target->insertNewObjectForEntityForName("Item")->objectID();
    ASSERT_TRUE(unsaved->isTemporaryID());
    const std::vector<plat::coredata::ManagedObjectIDPtr> ids = {
        item,           keyed(item, 1),         keyed(item, 10), keyed(item, 9), keyed(item, 123456789),
        task,           keyed(task, 7),         unsaved,         keyed(item, 3), keyed(task, 1000000),
        keyed(item, 0), keyed(item, INT64_MAX),
    };
    SYNStoreURIWriter writer;
    for (int round = 0; round < 2; ++round) {
        for (const auto& id : ids) {
            SCOPED_TRACE(id->description());
            EXPECT_EQ(writer.storeURIForObjectID(*id), SYNGlobalIdentifier::storeURIForObjectID(*id));
        }
    }
}

// Whether events hold changes, with the changes stored or still unsaved.
TEST_F(SYNIntegrationStageTest, EventsHaveChangesWhenAnyOfThemHoldsOne) {
    ManagedObjectPtr empty;
    events->performBlockAndWait([&] {
        empty = events->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
        empty->setValue(Value("empty"), "uniqueIdentifier");
        empty->setValue(Value(int64_t{SYNStoreModificationEventTypeSave}), "type");
    });
    change("Item", "a", SYNObjectChangeTypeUpdate, {attribute("label", Value("A"))});
    for (bool saved : {false, true}) {
        events->performBlockAndWait([&] {
            if (saved) {
                for (const auto& held : {event, empty}) {
                    held->setValue(Value(int64_t{3}), "globalCount");
                    held->setValue(Value(1.0), "timestamp");
                }
                ASSERT_EQ(events->save(), nullptr);
            }
            const std::vector<std::pair<SYNManagedObjects, bool>> cases = {
                {{}, false}, {{empty}, false}, {{event}, true}, {{empty, event}, true}};
            for (const auto& [list, expected] : cases) {
                auto any = SYNObjectChange::storeModificationEventsHaveObjectChanges(list, *events);
                ASSERT_TRUE(any.ok());
                EXPECT_EQ(*any, expected) << list.size() << " events, saved " << saved;
            }
        });
    }
}

// Caches that share the URI forms learnt by earlier caches, on other
// coordinators (another one over the same store, one over another machine's
// store), name what each coordinator names, whichever cache learnt a form.
TEST_F(SYNIntegrationStageTest, StoreURIFormsKeptAcrossCachesNameWhatEachCoordinatorNames) {
    const std::string item = SYNGlobalIdentifier::storeURIForObjectID(*object("Item", "i")->objectID());
    const std::string task = SYNGlobalIdentifier::storeURIForObjectID(*object("Task", "t")->objectID());
    ASSERT_EQ(target->save(), nullptr);
    Machine& other = addMachine("other");
    auto elsewhere = other.newContext();
    auto otherItem = elsewhere->insertNewObjectForEntityForName("Item");
    ASSERT_EQ(elsewhere->save(), nullptr);
    const std::string foreign = SYNGlobalIdentifier::storeURIForObjectID(*otherItem->objectID());
    auto prefixOf = [](const std::string& uri) { return uri.substr(0, uri.rfind('/')); };
    const std::vector<std::string> uris = {
        item,
        prefixOf(item) + "/p1",
        prefixOf(item) + "/p77",
        prefixOf(item) + "/p12a",
        prefixOf(item) + "/t5",
        task,
        prefixOf(task) + "/p3",
        foreign,
        prefixOf(foreign) + "/p2",
        prefixOf(foreign) + "/p-2",
    };
    const std::vector<std::shared_ptr<plat::coredata::PersistentStoreCoordinator>> coordinators = {
        target->persistentStoreCoordinator(), machine->newContext()->persistentStoreCoordinator(),
        elsewhere->persistentStoreCoordinator(), machine->newContext()->persistentStoreCoordinator()};
    auto forms = std::make_shared<SYNStoreURIForms>();
    for (std::size_t turn = 0; turn < coordinators.size(); ++turn) {
        const auto& coordinator = *coordinators[turn];
        SYNChangeRecordCache cache(forms);
        for (int round = 0; round < 2; ++round) {
            // Forward, then backward: forms learnt by one cache first met in
            // the middle of another's list.
            for (std::size_t n = 0; n < uris.size(); ++n) {
                const std::string& uri = uris[(turn + round) % 2 == 0 ? n : uris.size() - 1 - n];
                SCOPED_TRACE(std::to_string(turn) + " " + uri);
                auto expected = coordinator.managedObjectIDForURIRepresentation(uri);
                auto got = cache.objectIDForStoreURI(uri, coordinator);
                ASSERT_EQ(!got, !expected);
                if (got) {
                    EXPECT_TRUE(got->isEqualID(*expected));
                    EXPECT_EQ(got->entity(), expected->entity());
                    EXPECT_EQ(coordinator.persistentStoreForIdentifier(got->storeIdentifier()),
                              coordinator.persistentStoreForIdentifier(expected->storeIdentifier()));
                }
            }
        }
    }
}

// Many objects of a context with unsaved changes: objects deleted in the
// context and objects of other entities are left out, unsaved ones kept.
TEST_F(SYNIntegrationStageTest, ManyObjectsAreFoundInAContextWithUnsavedChanges) {
    std::vector<plat::coredata::ManagedObjectIDPtr> ids;
    for (int i = 0; i < 100; ++i) {
        auto item = target->insertNewObjectForEntityForName("Item");
        item->setValue(Value("item " + std::to_string(i)), "label");
    }
    auto other = target->insertNewObjectForEntityForName("Calendar");
    ASSERT_EQ(target->save(), nullptr);
    for (const auto& object : target->registeredObjects()) {
        if (object != other) {
            ids.push_back(object->objectID());
        }
    }
    ids.push_back(other->objectID());
    target->reset();
    auto unsaved = target->insertNewObjectForEntityForName("Item");
    ASSERT_EQ(target->obtainPermanentIDsForObjects({unsaved}), nullptr);
    ids.push_back(unsaved->objectID());
    auto deleted = target->objectWithID(ids.front());
    target->deleteObject(deleted);
    ProbeStage stage(builder, {}, target, 0);
    const auto& item = *target->persistentStoreCoordinator()->managedObjectModel()->entityForName("Item");
    auto found = stage.existingObjectsForIDs(ids, item, false);
    ASSERT_TRUE(found.ok());
    EXPECT_EQ(found->size(), 100u);  // 100 items, less the deleted one, plus the unsaved one
    EXPECT_FALSE(found->count(deleted->objectID()));
    EXPECT_FALSE(found->count(other->objectID()));
    EXPECT_TRUE(found->count(unsaved->objectID()));
}

// The tables by identifier text hold, for every identifier the changes name,
// the object a look-up of each one alone finds: through the store URI of the
// first change of that entity whose own row it is (even when the event
// store's row names another object), else through the event store's row.
// Changes of two entities come mixed, identifiers repeat, rows lack store
// URIs or are missing, objects are deleted; batches of every size around
// the short lists' limit.
TEST_F(SYNIntegrationStageTest, IdentifierTablesHoldWhatEachIdentifierLooksUpAlone) {
    std::mt19937 random(14207);
    std::vector<std::pair<std::string, std::string>> pool;  // (entity, gid)
    std::map<std::string, std::string> uriOf;               // gid -> the row's store URI
    for (int i = 0; i < 40; ++i) {
        const std::string entity = i % 4 == 0 ? "Calendar" : "Task";
        const std::string gid = entity + "-" + std::to_string(i);
        auto made = object(entity, gid);
        uriOf[gid] = SYNGlobalIdentifier::storeURIForObjectID(*made->objectID());
        pool.emplace_back(entity, gid);
        if (i % 9 == 5) {
            target->deleteObject(made);
        }
    }
    events->performBlockAndWait([&] {
        for (const char* gid : {"Task-unnamed", "Calendar-unnamed"}) {
            row(gid, gid[0] == 'T' ? "Task" : "Calendar");  // a row without a store URI
        }
    });
    pool.emplace_back("Task", "Task-unnamed");
    pool.emplace_back("Calendar", "Calendar-unnamed");
    pool.emplace_back("Task", "Task-nowhere");  // no row at all
    auto pick = [&](const std::string& entity) {
        for (;;) {
            const auto& [e, gid] = pool[random() % pool.size()];
            if (e == entity) {
                return gid;
            }
        }
    };
    ProbeStage stage(builder, {}, target, 0);
    const auto coordinator = target->persistentStoreCoordinator();
    for (std::size_t count : {0u, 1u, 2u, 7u, 15u, 16u, 17u, 33u, 80u}) {
        SYNChangeRecords records;
        for (std::size_t i = 0; i < count; ++i) {
            SYNChangeRecord record;
            record.type = SYNObjectChangeTypeUpdate;
            record.entityName = random() % 5 == 0 ? "Calendar" : "Task";
            record.globalIdentifier = pick(record.entityName);
            // Now and then the row names another entity: not an own row then.
            record.globalIdentifierEntityName = random() % 11 == 0 ? "Other" : record.entityName;
            auto uri = uriOf.find(*record.globalIdentifier);
            if (uri != uriOf.end() && random() % 7 != 0) {
                record.storeURI = uri->second;
            } else if (random() % 2 == 0) {
                // An own record whose store URI is another object's.
                auto other = uriOf.find(pick(record.entityName));
                if (other != uriOf.end()) {
                    record.storeURI = other->second;
                }
            }
            if (record.entityName == "Task") {
                SYNPropertyChangeValue calendar(SYNPropertyChangeTypeToOneRelationship, "calendar");
                calendar.setRelatedIdentifier(pick("Calendar"));
                record.values.push_back(std::make_shared<SYNPropertyChangeValue>(std::move(calendar)));
                if (random() % 2 == 0) {
                    SYNPropertyChangeValue parent(SYNPropertyChangeTypeToOneRelationship, "parent");
                    parent.setRelatedIdentifier(pick("Task"));
                    record.values.push_back(std::make_shared<SYNPropertyChangeValue>(std::move(parent)));
                }
            }
            records.push_back(std::move(record));
        }
        auto tables = stage.fetchObjectsByGlobalIdStringByEntityNameForChanges(records, nullptr);
        ASSERT_TRUE(tables.ok()) << count;
        // Each identifier alone.
        std::map<std::string, std::map<std::string, ManagedObjectPtr>> expected;
        for (const auto& listing :
             stage.globalIdentifierStringsByEntityNameInObjectChanges(records, nullptr)) {
            // (Named, not bound: the lambdas below use it.)
            const std::string& entity = listing.first;
            for (std::string_view listed : listing.second) {
                const std::string gid(listed);
                std::optional<std::string> uri;
                auto own = std::find_if(records.begin(), records.end(), [&](const SYNChangeRecord& record) {
                    return record.entityName == entity && record.globalIdentifierEntityName == entity &&
                           record.globalIdentifier == gid;
                });
                if (own != records.end()) {
                    uri = own->storeURI;
                } else {
                    events->performBlockAndWait([&] {
                        auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(
                            {gid}, entity, *events);
                        ASSERT_TRUE(rows.ok());
                        if (rows->front()) {
                            uri = readURI(*events, rows->front()->valueForKey("storeURI"));
                        }
                    });
                }
                if (!uri) {
                    continue;
                }
                auto id = coordinator->managedObjectIDForURIRepresentation(*uri);
                if (!id) {
                    continue;
                }
                auto found = target->existingObjectWithID(id);
                if (found.ok() && *found && !(*found)->isDeleted() && (*found)->entity()->name() == entity) {
                    expected[entity][gid] = *found;
                }
            }
        }
        std::map<std::string, std::map<std::string, ManagedObjectPtr>> got;
        for (const auto& [entity, table] : *tables) {
            for (const auto& [gid, found] : table) {
                got[entity][gid] = found;
            }
            if (got[entity].empty()) {
                got.erase(entity);
            }
        }
        EXPECT_EQ(got, expected) << count << " changes";
    }
}

}  // namespace
}  // namespace integrationtest
