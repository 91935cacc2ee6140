// The export of a save event just stored writes the changes the save kept
// (SYNSavedEvent) instead of reading the rows back: the file must be the
// same, byte for byte, as the one read from the rows, and the kept changes
// must be refused whenever they may no longer be what the rows hold.
#include <fstream>
#include <iterator>

#include "MeshFixture.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/integration/SYNJSONEventFiles.h"
#include "sync/mesh/SYNSaveMonitor.h"

namespace meshtest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

// Item(title, count, ratio, flag, when, blob, blob2, price; folder to-one,
// tags to-many), Folder(name; items), Tag(name; items).
std::shared_ptr<plat::coredata::ManagedObjectModel> itemModel() {
    static auto model = [] {
        using plat::coredata::AttributeType;
        auto model = plat::coredata::ManagedObjectModel::create();
        auto& item = model->addEntity("Item");
        item.addAttribute("title", AttributeType::String);
        item.addAttribute("count", AttributeType::Integer64);
        item.addAttribute("ratio", AttributeType::Double);
        item.addAttribute("flag", AttributeType::Boolean);
        item.addAttribute("when", AttributeType::Date);
        item.addAttribute("blob", AttributeType::BinaryData);
        item.addAttribute("blob2", AttributeType::BinaryData);
        item.addAttribute("price", AttributeType::Decimal);
        item.addRelationship("folder", "Folder").inverse("items");
        item.addRelationship("tags", "Tag").inverse("items").toMany();
        auto& folder = model->addEntity("Folder");
        folder.addAttribute("name", AttributeType::String);
        folder.addRelationship("items", "Item").inverse("folder").toMany();
        auto& tag = model->addEntity("Tag");
        tag.addAttribute("name", AttributeType::String);
        tag.addRelationship("items", "Item").inverse("tags").toMany();
        EXPECT_EQ(model->finalize(), nullptr);
        return model;
    }();
    return model;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SavedEventExportTest : public MeshTest {
  protected:
    void SetUp() override {
        MeshTest::SetUp();
        auto config = configuration("a");
        config.managedObjectModel = itemModel();
        mesh = SYNPersistentStoreMesh::create(config);
        meshes.push_back(mesh);
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(itemModel());
        ASSERT_TRUE(coordinator
                        ->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                             plat::URL::fileURLWithPath(mesh->persistentStorePath()))
                        .ok());
        app = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        app->setPersistentStoreCoordinator(coordinator);
        stored = plat::NotificationCenter::defaultCenter().addObserverForName(
            SYNMonitoredManagedObjectContextSaveChangesWereStoredNotification, nullptr,
            [this](const plat::Notification&) { ++eventsStored; });
    }
    void TearDown() override {
        plat::NotificationCenter::defaultCenter().removeObserver(stored);
        MeshTest::TearDown();
    }

    ManagedObjectPtr insert(const char* entity, const std::string& name) {
        auto object = app->insertNewObjectForEntityForName(entity);
        object->setValue(Value(name), std::string(entity) == "Item" ? "title" : "name");
        return object;
    }

    // Saves the application's changes and waits for their event; its ID.
    ManagedObjectIDPtr saveAndStore() {
        const int before = eventsStored;
        EXPECT_EQ(app->save(), nullptr);
        EXPECT_TRUE(MainLoop::runUntil([&] { return eventsStored > before; }, 30));
        MainLoop::drain();
        ManagedObjectIDPtr id;
        auto context = events()->managedObjectContext();
        context->performBlockAndWait([&] {
            auto found = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
                std::vector<int16_t>{SYNStoreModificationEventTypeSave}, std::nullopt, *context);
            ASSERT_TRUE(found.ok());
            SYNStoreModificationEvent::sortInEventOrder(*found);
            ASSERT_FALSE(found->empty());
            id = found->back()->objectID();
        });
        return id;
    }

    const std::shared_ptr<SYNEventStore>& events() const { return mesh->eventStore(); }
    bool keeps(const ManagedObjectIDPtr& id) const { return id && events()->savedEvent()->keeps(*id); }

    // The bytes of the event's files, exported as the mesh does.
    std::string exported(const ManagedObjectIDPtr& id) {
        auto operation = std::make_shared<SYNJSONEventExport>(events(), id, itemModel());
        operation->start();
        EXPECT_EQ(operation->error(), nullptr);
        std::string bytes;
        for (const auto& path : operation->filePaths()) {
            bytes += contents(path);
            bytes += '\n';
        }
        return bytes;
    }

    // Exports the event with the changes its save kept, then reading the
    // rows: the same bytes; whether the first export took kept changes.
    bool exportsAlike(const ManagedObjectIDPtr& id) {
        const bool kept = keeps(id);
        const std::string handed = exported(id);
        EXPECT_FALSE(keeps(id)) << "the export takes what was kept";
        EXPECT_EQ(handed, exported(id));
        EXPECT_NE(handed.find("changesByEntity"), std::string::npos);
        return kept;
    }

    // Runs work in the event store's context and saves it.
    template <class F>
    void changeRows(F&& work) {
        auto context = events()->managedObjectContext();
        context->performBlockAndWait([&] {
            work(*context);
            EXPECT_EQ(context->save(), nullptr);
            context->reset();
        });
    }

    // The stored changes of an event.
    static std::vector<ManagedObjectPtr> changesOf(const ManagedObjectIDPtr& id,
                                                   ManagedObjectContext& context) {
        auto event = context.existingObjectWithID(id);
        EXPECT_TRUE(event.ok());
        return event.ok() ? (*event)->objectsForKey("objectChanges") : std::vector<ManagedObjectPtr>();
    }

    std::shared_ptr<SYNPersistentStoreMesh> mesh;
    std::shared_ptr<ManagedObjectContext> app;
    plat::ObserverToken stored;
    std::atomic<int> eventsStored{0};
};

plat::Data bytesOf(std::size_t length, uint8_t seed) {
    std::string bytes;
    bytes.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes.push_back(static_cast<char>(seed + i * 7));
    }
    return plat::Data(bytes.data(), bytes.size());
}

TEST_F(SavedEventExportTest, EverySortOfSaveExportsTheSameBytesWithTheKeptChangesAsFromTheRows) {
    auto home = insert("Folder", "home");
    auto work = insert("Folder", "work");
    auto red = insert("Tag", "red");
    auto blue = insert("Tag", "blue");
    ASSERT_EQ(app->save(), nullptr);
    ASSERT_EQ(enlist(mesh), nullptr);

    // Inserts of every kind of value kept, with a to-one and a to-many.
    std::vector<ManagedObjectPtr> items;
    for (int i = 0; i < 6; ++i) {
        auto item = insert("Item", i % 2 ? "caf\xC3\xA9 \xE2\x82\xAC " + std::to_string(i) : "plain \"q\"\n");
        item->setValue(Value(int64_t{i * 1000003 - 7}), "count");
        item->setValue(Value(i == 3 ? 0.1 + 0.2 : -1.5e300 * i), "ratio");
        item->setValue(Value(i % 3 == 0), "flag");
        item->setValue(Value(plat::Date(123456.789 * i)), "when");
        item->setValue(Value(bytesOf(40 + i, static_cast<uint8_t>(i))), "blob");
        item->setObject(i % 2 ? home : work, "folder");
        item->mutableSetValueForKey("tags").addObject(i % 3 ? red : blue);
        items.push_back(item);
    }
    auto id = saveAndStore();
    EXPECT_TRUE(exportsAlike(id));

    // Updates: attributes, a to-one moved (both folders' to-many change),
    // tags added and removed, a value set to none.
    items[0]->setValue(Value("renamed"), "title");
    items[1]->setValue(Value(), "when");
    items[2]->setObject(home, "folder");
    items[3]->setObject(nullptr, "folder");
    items[4]->mutableSetValueForKey("tags").addObject(blue);
    items[5]->mutableSetValueForKey("tags").removeObject(red);
    EXPECT_TRUE(exportsAlike(saveAndStore()));

    // A value large enough for a data file of its own.
    items[1]->setValue(Value(bytesOf(SYNMaximumInlineDataLength + 100, 9)), "blob");
    EXPECT_TRUE(exportsAlike(saveAndStore()));

    // Deletions, with what they leave of the other side's relationships.
    app->deleteObject(items[2]);
    app->deleteObject(blue);
    EXPECT_TRUE(exportsAlike(saveAndStore()));

    // Inserts, updates and deletions in one save, a new folder among them.
    auto spare = insert("Folder", "spare");
    auto added = insert("Item", "added");
    added->setObject(spare, "folder");
    items[0]->setObject(spare, "folder");
    items[4]->setValue(Value(int64_t{-1}), "count");
    app->deleteObject(items[5]);
    EXPECT_TRUE(exportsAlike(saveAndStore()));

    // Text the writer escapes or checks (slashes, backslashes, control
    // characters, DEL, quotes, text beyond ASCII) and text it writes as it
    // is, in values and in a new folder's name.
    items[4]->setValue(Value("a/b\\c \x01\x1f\x7f \"q\" \t/\xC3\xA9"), "title");
    items[3]->setValue(Value(std::string(300, 'x') + "/"), "title");
    insert("Folder", "sub/folder \\ \x02");
    items[1]->setValue(Value(0.0), "ratio");
    items[1]->setValue(Value(int64_t{INT64_MIN}), "count");
    EXPECT_TRUE(exportsAlike(saveAndStore()));

    // Kept nothing, and exported from the rows alike: two data files in one
    // change, and a value whose stored form is not the value itself.
    items[0]->setValue(Value(bytesOf(SYNMaximumInlineDataLength + 1, 1)), "blob");
    items[0]->setValue(Value(bytesOf(SYNMaximumInlineDataLength + 2, 2)), "blob2");
    EXPECT_FALSE(exportsAlike(saveAndStore()));
    items[4]->setValue(Value(plat::Decimal::fromString("12.50")), "price");
    EXPECT_FALSE(exportsAlike(saveAndStore()));
    // And once more a save that is kept.
    items[4]->setValue(Value("last"), "title");
    EXPECT_TRUE(exportsAlike(saveAndStore()));
}

// Each write of what the kept changes stand for, made after the event's
// save, makes the export read the rows: the file then holds what was written.
TEST_F(SavedEventExportTest, KeptChangesAreRefusedOnceTheRowsMayDifferFromThem) {
    auto folder = insert("Folder", "folder");
    ASSERT_EQ(app->save(), nullptr);
    ASSERT_EQ(enlist(mesh), nullptr);
    int round = 0;
    auto save = [&] {
        auto item = insert("Item", "item " + std::to_string(++round));
        item->setObject(folder, "folder");
        auto id = saveAndStore();
        EXPECT_TRUE(keeps(id));
        return id;
    };
    // The first attribute value of the first change of the event.
    auto firstValue = [&](ManagedObjectContext& context, const ManagedObjectIDPtr& id) {
        auto changes = changesOf(id, context);
        for (const auto& change : changes) {
            if (*change->valueForKey("nameOfEntity").asString() == "Item") {
                return change;
            }
        }
        return ManagedObjectPtr();
    };

    {  // A kept change's values rewritten.
        auto id = save();
        changeRows([&](ManagedObjectContext& context) {
            auto change = firstValue(context, id);
            SYNPropertyChangeValue title(SYNPropertyChangeTypeAttribute, "title");
            title.setValue(Value("rewritten"));
            SYNObjectChange::setPropertyChangeValues(*change, std::vector<SYNPropertyChangeValue>{title});
        });
        EXPECT_FALSE(keeps(id));
        EXPECT_NE(exported(id).find("rewritten"), std::string::npos);
    }
    {  // The identifier text of a kept change's record rewritten.
        auto id = save();
        changeRows([&](ManagedObjectContext& context) {
            firstValue(context, id)
                ->objectForKey("globalIdentifier")
                ->setValue(Value("NEW-ID"), "globalIdentifier");
        });
        EXPECT_FALSE(keeps(id));
        EXPECT_NE(exported(id).find("\"NEW-ID\""), std::string::npos);
    }
    {  // A change added to the event.
        auto id = save();
        changeRows([&](ManagedObjectContext& context) {
            auto event = context.existingObjectWithID(id);
            auto record = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            record->setValue(Value("ADDED-ID"), "globalIdentifier");
            record->setValue(Value("Item"), "nameOfEntity");
            auto change = context.insertNewObjectForEntityForName(SYNObjectChangeEntityName);
            change->setValue(Value("Item"), "nameOfEntity");
            change->setValue(Value(int64_t{SYNObjectChangeTypeDelete}), "type");
            change->setObject(record, "globalIdentifier");
            change->setObject(*event, "storeModificationEvent");
        });
        EXPECT_FALSE(keeps(id));
        EXPECT_NE(exported(id).find("\"ADDED-ID\""), std::string::npos);
    }
    {  // A data file given to a kept change.
        auto id = save();
        changeRows([&](ManagedObjectContext& context) {
            auto file = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
            file->setValue(Value("added-file"), "filename");
            file->setObject(firstValue(context, id), "objectChange");
        });
        EXPECT_FALSE(keeps(id));
        EXPECT_NE(exported(id).find("\"added-file\""), std::string::npos);
    }
    {  // The event's own revision renumbered: kept, but not for that revision.
        auto id = save();
        changeRows([&](ManagedObjectContext& context) {
            auto event = context.existingObjectWithID(id);
            (*event)->objectForKey("eventRevision")->setValue(Value(int64_t{9999}), "revisionNumber");
        });
        EXPECT_TRUE(keeps(id));
        const std::string bytes = exported(id);
        EXPECT_TRUE(keeps(id)) << "refused, not taken";
        EXPECT_NE(bytes.find("9999"), std::string::npos);
        events()->savedEvent()->forget();
        EXPECT_EQ(bytes, exported(id));
    }
    {  // Unsaved changes in the event store's context.
        auto id = save();
        auto context = events()->managedObjectContext();
        context->performBlockAndWait([&] {
            context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName)
                ->setValue(Value("UNSAVED"), "globalIdentifier");
        });
        (void)exported(id);
        EXPECT_TRUE(keeps(id)) << "refused, not taken";
        context->performBlockAndWait([&] { context->reset(); });
        EXPECT_TRUE(exportsAlike(id));
    }
    {  // Another event exported first: what is kept waits for its own.
        auto first = save();
        events()->savedEvent()->forget();
        auto second = save();
        (void)exported(first);
        EXPECT_TRUE(keeps(second));
        EXPECT_TRUE(exportsAlike(second));
    }
    {  // A save through another coordinator on the same store file.
        auto id = save();
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(
            std::const_pointer_cast<plat::coredata::ManagedObjectModel>(
                events()->managedObjectContext()->persistentStoreCoordinator()->managedObjectModel()));
        ASSERT_TRUE(coordinator
                        ->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                             plat::URL::fileURLWithPath(events()->pathToStoreFile()))
                        .ok());
        auto other = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(coordinator);
        auto record = other->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(Value("ELSEWHERE"), "globalIdentifier");
        record->setValue(Value("Item"), "nameOfEntity");
        ASSERT_EQ(other->save(), nullptr);
        EXPECT_FALSE(keeps(id));
        EXPECT_EQ(exported(id), exported(id));
    }
    {  // The event deleted: the export fails as it always did.
        auto id = save();
        changeRows(
            [&](ManagedObjectContext& context) { context.deleteObject(*context.existingObjectWithID(id)); });
        EXPECT_FALSE(keeps(id));
        auto operation = std::make_shared<SYNJSONEventExport>(events(), id, itemModel());
        operation->start();
        EXPECT_NE(operation->error(), nullptr);
    }
}

}  // namespace
}  // namespace meshtest
