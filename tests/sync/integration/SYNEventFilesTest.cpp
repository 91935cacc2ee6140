// Event export and import through JSON files and binary store files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include "EventFileFixture.h"
#include "KeyedArchiveRows.h"
#include "platform/coredata/BinaryStore.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUIDObject.h"
#include "support/FaultFileEnvironment.h"
#include "sync/eventstore/SYNStoreIdentifiers.h"
#include "sync/integration/SYNBinaryEventFiles.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;

template <class Export>
std::vector<std::string> exportEvent(
    const std::shared_ptr<SYNEventStore>& store, const plat::coredata::ManagedObjectIDPtr& id,
    plat::ErrorPtr* error = nullptr,
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model = nullptr) {
    auto operation = std::make_shared<Export>(store, id, model ? model : applicationModel());
    run(operation);
    if (error) {
        *error = operation->error();
    } else {
        EXPECT_EQ(operation->error(), nullptr);
    }
    return operation->filePaths();
}

template <class Import>
std::shared_ptr<Import> importEvent(const std::shared_ptr<SYNEventStore>& store,
                                    const std::vector<std::string>& paths) {
    auto operation = std::make_shared<Import>(store, paths);
    run(operation);
    return operation;
}

// The event exported as a binary store file or as JSON files.
std::vector<std::string> exportEventAs(
    bool binary, const std::shared_ptr<SYNEventStore>& store, const plat::coredata::ManagedObjectIDPtr& id,
    plat::ErrorPtr* error = nullptr,
    std::shared_ptr<const plat::coredata::ManagedObjectModel> model = nullptr) {
    return binary ? exportEvent<SYNPersistentStoreEventExport>(store, id, error, std::move(model))
                  : exportEvent<SYNJSONEventExport>(store, id, error, std::move(model));
}

// The files imported as a binary store file or as JSON files.
std::shared_ptr<SYNEventImport> importEventAs(bool binary, const std::shared_ptr<SYNEventStore>& store,
                                              const std::vector<std::string>& paths) {
    return binary ? std::shared_ptr<SYNEventImport>(importEvent<SYNPersistentStoreEventImport>(store, paths))
                  : std::shared_ptr<SYNEventImport>(importEvent<SYNJSONEventImport>(store, paths));
}

class SYNEventFilesTest : public EventFileTest {};

TEST_F(SYNEventFilesTest, JSONAndBinaryRoundTripsGiveTheSameEvent) {
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "json");
        const std::string uid = binary ? "EVB" : "EVJ";
        auto id = writeEvent(source, uid, SYNStoreModificationEventTypeSave, 12, binary ? 6 : 5, 50);
        auto files = exportEventAs(binary, source, id);
        ASSERT_EQ(files.size(), 1u);
        auto import = importEventAs(binary, destination, files);
        ASSERT_EQ(import->error(), nullptr);
        ASSERT_TRUE(import->eventID());
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid));
    }
}

TEST_F(SYNEventFilesTest, BaselinesArriveToBeConsolidated) {
    auto id = writeEvent(source, "BASE", SYNStoreModificationEventTypeBaseline, 2, 1, 2);
    auto import = importEvent<SYNJSONEventImport>(destination, exportEvent<SYNJSONEventExport>(source, id));
    ASSERT_EQ(import->error(), nullptr);
    inContext(destination, [&](auto& context) {
        auto event = context.existingObjectWithID(import->eventID());
        ASSERT_TRUE(event.ok());
        EXPECT_EQ(SYNStoreModificationEvent::type(**event),
                  SYNStoreModificationEventTypeBaselineConsolidating);
    });
}

// What the inserts of an event record of the revision of their values.
std::map<std::string, std::optional<SYNRevision>> valuesRevisions(
    const std::shared_ptr<SYNEventStore>& store, const plat::coredata::ManagedObjectIDPtr& id) {
    return inContext(store, [&](plat::coredata::ManagedObjectContext& context) {
        std::map<std::string, std::optional<SYNRevision>> recorded;
        auto event = context.existingObjectWithID(id);
        EXPECT_TRUE(event.ok());
        if (event.ok()) {
            for (const auto& change : (*event)->objectsForKey("objectChanges")) {
                recorded[*SYNObjectChange::globalIdentifierString(*change)] =
                    SYNObjectChange::valuesRevision(*change);
            }
        }
        return recorded;
    });
}

// A copy of a JSON value without the members named `key`.
Value withoutMember(const Value& value, const std::string& key) {
    if (const auto* dictionary = value.asDictionary()) {
        plat::Dictionary copy;
        for (const auto& [name, member] : *dictionary) {
            if (name != key) {
                copy.set(name, withoutMember(member, key));
            }
        }
        return Value(std::move(copy));
    }
    if (const auto* array = value.asArray()) {
        plat::Array copy;
        for (const auto& member : *array) {
            copy.push_back(withoutMember(member, key));
        }
        return Value(std::move(copy));
    }
    return value;
}

// The inserts of a baseline carry the revision of the save that last set
// them through both kinds of file; files written before it was recorded
// (JSON without the member, binary files of the older event-store model)
// are read with it unrecorded.
TEST_F(SYNEventFilesTest, BaselineValuesRevisionsTravelAndOlderFilesReadAsUnrecorded) {
    const std::map<std::string, std::optional<SYNRevision>> expected{{"R1", SYNRevision{"OTHER-STORE", 3}},
                                                                     {"U1", std::nullopt}};
    const std::map<std::string, std::optional<SYNRevision>> unrecorded{{"R1", std::nullopt},
                                                                       {"U1", std::nullopt}};
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "json");
        const std::string uid = binary ? "BASEB" : "BASEJ";
        auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event = writer.event(uid, SYNStoreModificationEventTypeBaseline, 3,
                                      SYNRevision{storeID(source), 2}, revisions({{"OTHER-STORE", 4}}));
            writer.insert(event, "R1", {attribute("name", Value("recorded"))}, {"OTHER-STORE", 3});
            writer.change(event, "U1", SYNObjectChangeTypeInsert, {attribute("name", Value("unrecorded"))});
            EXPECT_EQ(context.save(), nullptr);
            return event->objectID();
        });
        auto files = exportEventAs(binary, source, id);
        ASSERT_EQ(files.size(), 1u);
        auto import = importEventAs(binary, destination, files);
        ASSERT_EQ(import->error(), nullptr);
        EXPECT_EQ(valuesRevisions(destination, import->eventID()), expected);
        inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
            context.deleteObject(context.objectWithID(import->eventID()));
            EXPECT_EQ(context.save(), nullptr);
        });
    }

    // A JSON file written before: the same file without the member.
    auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        auto event =
            SYNStoreModificationEvent::fetchStoreModificationEventWithUniqueIdentifier("BASEJ", context);
        return (*event)->objectID();
    });
    auto files = exportEvent<SYNJSONEventExport>(source, id);
    ASSERT_EQ(files.size(), 1u);
    auto json = plat::JSONSerialization::JSONObjectWithContentsOfFile(files[0]);
    ASSERT_TRUE(json.ok());
    ASSERT_EQ(
        plat::JSONSerialization::writeJSONObjectToFile(withoutMember(*json, "valuesRevision"), files[0]),
        nullptr);
    auto jsonImport = importEvent<SYNJSONEventImport>(destination, files);
    ASSERT_EQ(jsonImport->error(), nullptr);
    EXPECT_EQ(valuesRevisions(destination, jsonImport->eventID()), unrecorded);

    // A binary file of the older model.
    const std::string path = (root / "older.binary").string();
    {
        plat::coredata::BinaryStore::registerStoreType();
        auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(
            SYNEventStoreModelWithoutValuesRevisions());
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        ASSERT_TRUE(
            coordinator
                ->addPersistentStore(plat::coredata::BinaryStoreType, "", plat::URL::fileURLWithPath(path))
                .ok());
        auto context =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        EventWriter writer(*context);
        auto event = writer.event("OLDER", SYNStoreModificationEventTypeBaseline, 3, SYNRevision{"X", 2});
        writer.change(event, "R1", SYNObjectChangeTypeInsert, {attribute("name", Value("older"))});
        writer.change(event, "U1", SYNObjectChangeTypeInsert, {attribute("name", Value("older"))});
        ASSERT_EQ(context->save(), nullptr);
    }
    auto binaryImport = importEvent<SYNPersistentStoreEventImport>(destination, {path});
    ASSERT_EQ(binaryImport->error(), nullptr);
    EXPECT_EQ(valuesRevisions(destination, binaryImport->eventID()), unrecorded);
}

// The store of each change's values revision as a store holds it.
std::map<std::string, Value> storedValuesRevisionStores(const plat::coredata::ManagedObjectPtr& event) {
    std::map<std::string, Value> stored;
    for (const auto& change : event->objectsForKey("objectChanges")) {
        stored[*SYNObjectChange::globalIdentifierString(*change)] =
            change->valueForKey("valuesRevisionStore");
    }
    return stored;
}

// A baseline's rows name their stores by number in the event store; its
// files name every store in full for other machines (the JSON member, the
// binary file's rows), and an import numbers them in the destination's list.
TEST_F(SYNEventFilesTest, FilesHoldFullValuesRevisionsOfRowsStoredAsNumbers) {
    const std::string own = storeID(source);
    const std::map<std::string, std::optional<SYNRevision>> expected{
        {"OWN", SYNRevision{own, 2}}, {"THEIRS", SYNRevision{"OTHER-STORE", 3}}};
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "json");
        const std::string uid = binary ? "SHORTB" : "SHORTJ";
        auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event = writer.event(uid, SYNStoreModificationEventTypeBaseline, 3, SYNRevision{own, 2},
                                      revisions({{"OTHER-STORE", 4}}));
            writer.insert(event, "OWN", {attribute("name", Value("own"))}, {own, 2});
            writer.insert(event, "THEIRS", {attribute("name", Value("theirs"))}, {"OTHER-STORE", 3});
            EXPECT_EQ(context.save(), nullptr);
            auto numbers = SYNStoreIdentifiers::forContext(context);
            EXPECT_TRUE(numbers->isCompact());
            EXPECT_EQ(
                storedValuesRevisionStores(event),
                (std::map<std::string, Value>{{"OWN", Value(*numbers->encodeIfKnown(own))},
                                              {"THEIRS", Value(*numbers->encodeIfKnown("OTHER-STORE"))}}));
            return event->objectID();
        });
        auto files = exportEventAs(binary, source, id);
        ASSERT_EQ(files.size(), 1u);
        std::map<std::string, Value> inFile;
        if (binary) {
            plat::coredata::BinaryStore::registerStoreType();
            auto coordinator = plat::coredata::PersistentStoreCoordinator::create(
                std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel()));
            ASSERT_TRUE(
                coordinator
                    ->addPersistentStore(
                        plat::coredata::BinaryStoreType, "", plat::URL::fileURLWithPath(files[0]),
                        plat::Dictionary{{plat::coredata::ReadOnlyPersistentStoreOption, Value(true)}})
                    .ok());
            auto file =
                plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
            file->setPersistentStoreCoordinator(coordinator);
            auto events =
                file->executeFetchRequest(plat::coredata::FetchRequest(SYNStoreModificationEventEntityName));
            ASSERT_TRUE(events.ok());
            ASSERT_EQ(events->size(), 1u);
            inFile = storedValuesRevisionStores(events->front());
        } else {
            std::ifstream in(files[0]);
            const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            for (const std::string& store : {own, std::string("OTHER-STORE")}) {
                if (text.find(R"("valuesRevision":{"storeIdentifier":")" + store + "\"") !=
                    std::string::npos) {
                    inFile[store == own ? "OWN" : "THEIRS"] = Value(store);
                }
            }
            EXPECT_EQ(text.find(R"("storeIdentifier":"")"), std::string::npos);
        }
        EXPECT_EQ(inFile,
                  (std::map<std::string, Value>{{"OWN", Value(own)}, {"THEIRS", Value("OTHER-STORE")}}));
        auto import = importEventAs(binary, destination, files);
        ASSERT_EQ(import->error(), nullptr);
        EXPECT_EQ(valuesRevisions(destination, import->eventID()), expected);
        inContext(destination, [&](plat::coredata::ManagedObjectContext& context) {
            auto event = context.existingObjectWithID(import->eventID());
            ASSERT_TRUE(event.ok());
            auto numbers = SYNStoreIdentifiers::forContext(context);
            EXPECT_TRUE(numbers->isCompact());
            std::map<std::string, Value> decoded;
            for (const auto& [gid, stored] : storedValuesRevisionStores(*event)) {
                EXPECT_NE(stored.stringValue(), own) << gid;  // numbered, not full
                decoded[gid] = Value(numbers->decode(stored.stringValue()).value_or("?"));
            }
            EXPECT_EQ(decoded,
                      (std::map<std::string, Value>{{"OWN", Value(own)}, {"THEIRS", Value("OTHER-STORE")}}));
            context.deleteObject(*event);
            EXPECT_EQ(context.save(), nullptr);
        });
    }
}

TEST_F(SYNEventFilesTest, FilesSplitBetweenFullBatchesOfOneEntity) {
    // 45 Person changes (42 inserts, U1, D1 and RICH) and one Pet, in batches of 20:
    // files close after the first and second batch, the last 5 changes and the
    // Pet go into a third file.
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "json");
        const std::string uid = binary ? "SPLITB" : "SPLITJ";
        auto id = writeEvent(source, uid, SYNStoreModificationEventTypeSave, 30, binary ? 31 : 30, 42);
        auto files = exportEventAs(binary, source, id, nullptr, smallBatchModel());
        ASSERT_EQ(files.size(), 3u);
        if (!binary) {
            std::vector<std::size_t> counts;
            for (const auto& file : files) {
                auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(file);
                ASSERT_TRUE(object.ok());
                counts.push_back(object->find("changesByEntity")->find("Person")->count());
                EXPECT_EQ(object->find("uniqueIdentifier") != nullptr, file == files.front());
            }
            EXPECT_EQ(counts, (std::vector<std::size_t>{20, 20, 5}));
            // Within an entity, changes are ordered by global identifier.
            auto first = plat::JSONSerialization::JSONObjectWithContentsOfFile(files[0]);
            auto people = first->find("changesByEntity")->find("Person")->asArray();
            EXPECT_TRUE(std::is_sorted(people->begin(), people->end(), [](const Value& a, const Value& b) {
                return *a.find("globalIdentifier")->asString() < *b.find("globalIdentifier")->asString();
            }));
        }
        auto import = importEventAs(binary, destination, files);
        ASSERT_EQ(import->error(), nullptr);
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid));
    }
}

TEST_F(SYNEventFilesTest, AnEntityOfExactlyOneBatchAndOfOneMoreSplitAtTheBatch) {
    // An event whose changes (with the Pet) fit in the smallest batch is read
    // in one fetch; an entity whose changes fit in one batch in one fetch of
    // its own; one change more and it is read by batches. Persons: the inserts
    // plus U1, D1 and RICH.
    struct Case {
        std::size_t inserts;
        std::vector<std::size_t> persons;  // per file
    };
    for (const Case& c : {Case{16, {19}}, Case{17, {20}}, Case{18, {20, 1}}}) {
        SCOPED_TRACE(std::to_string(c.inserts) + " inserts");
        const std::string uid = "EDGE" + std::to_string(c.inserts);
        auto id = writeEvent(source, uid, SYNStoreModificationEventTypeSave, 40, 40 + c.inserts, c.inserts);
        auto files = exportEvent<SYNJSONEventExport>(source, id, nullptr, smallBatchModel());
        std::vector<std::size_t> persons;
        std::vector<std::string> identifiers;
        for (const auto& file : files) {
            auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(file);
            ASSERT_TRUE(object.ok());
            const Value* people = object->find("changesByEntity")->find("Person");
            persons.push_back(people->count());
            for (const auto& person : *people->asArray()) {
                identifiers.push_back(*person.find("globalIdentifier")->asString());
            }
        }
        EXPECT_EQ(persons, c.persons);
        EXPECT_TRUE(std::is_sorted(identifiers.begin(), identifiers.end()));
        auto import = importEvent<SYNJSONEventImport>(destination, files);
        ASSERT_EQ(import->error(), nullptr);
        EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid));
    }
}

TEST_F(SYNEventFilesTest, SmallEntitiesShareOneFileAndEmptyEventsHaveEmptyArrays) {
    auto id = writeEvent(source, "EMPTY", SYNStoreModificationEventTypeSave, 1, 1, 0);
    inContext(source, [&](auto& context) {
        auto event = *context.existingObjectWithID(id);
        for (const auto& change : event->objectsForKey("objectChanges")) {
            context.deleteObject(change);
        }
        ASSERT_EQ(context.save(), nullptr);
    });
    auto files = exportEvent<SYNJSONEventExport>(source, id);
    ASSERT_EQ(files.size(), 1u);
    auto object = plat::JSONSerialization::JSONObjectWithContentsOfFile(files[0]);
    EXPECT_EQ(object->find("changesByEntity")->find("Person")->count(), 0u);
    EXPECT_EQ(object->find("changesByEntity")->find("Pet")->count(), 0u);
    EXPECT_EQ(object->find("changesByEntity")->find("Note"), nullptr) << "ignored entities are left out";
    auto import = importEvent<SYNJSONEventImport>(destination, files);
    ASSERT_EQ(import->error(), nullptr);
    EXPECT_EQ(describeEvent(destination, "EMPTY"), describeEvent(source, "EMPTY"));
}

TEST_F(SYNEventFilesTest, SecondExportRemovesTheFilesOfTheFirst) {
    auto id = writeEvent(source, "E", SYNStoreModificationEventTypeSave, 1, 1, 1);
    auto first = exportEvent<SYNJSONEventExport>(source, id);
    ASSERT_TRUE(std::filesystem::exists(first[0]));
    auto second = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
    EXPECT_FALSE(std::filesystem::exists(first[0]));
}

// The folder itself stays (a new one costs new inodes and a directory
// sync per export); what it held goes, hidden leftovers of a killed write
// included.
TEST_F(SYNEventFilesTest, AnExportEmptiesTheExportFolderButKeepsIt) {
    auto id = writeEvent(source, "K", SYNStoreModificationEventTypeSave, 1, 1, 1);
    auto first = exportEvent<SYNJSONEventExport>(source, id);
    ASSERT_EQ(first.size(), 1u);
    const auto folder = std::filesystem::path(first[0]).parent_path();
    std::ofstream(folder / ".left.tmp-ABCDEF") << "{";
    struct stat before {};
    ASSERT_EQ(::stat(folder.c_str(), &before), 0);
    auto second = exportEvent<SYNJSONEventExport>(source, id);
    ASSERT_EQ(second.size(), 1u);
    struct stat after {};
    ASSERT_EQ(::stat(folder.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(std::filesystem::exists(first[0]));
    EXPECT_FALSE(std::filesystem::exists(folder / ".left.tmp-ABCDEF"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    auto import = importEvent<SYNJSONEventImport>(destination, second);
    ASSERT_EQ(import->error(), nullptr);
    EXPECT_EQ(describeEvent(destination, "K"), describeEvent(source, "K"));
}

TEST(SYNJSONValueTest, ValuesRoundTripThroughTheirJSONForm) {
    const auto uuid = plat::UUID::fromString("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").value();
    std::vector<uint8_t> bytes(100);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7);
    }
    struct Case {
        Value value;
        std::string json;
    } cases[] = {
        {Value(plat::Decimal::fromString("12.345")), R"(["decimal","12.345"])"},
        {Value(plat::Date::fromTimeIntervalSince1970(1000000000.5)), R"(["date",1000000000500])"},
        {plat::UUIDObject::make(uuid), R"(["uuid","E621E1F8-C36C-495A-93FC-0C247A3E6E5F"])"},
        {Value(std::nan("")), R"(["number","nan"])"},
        {Value(HUGE_VAL), R"(["number","+inf"])"},
        {Value(-HUGE_VAL), R"(["number","-inf"])"},
        {Value(int64_t{9223372036854775807}), "9223372036854775807"},
        {Value(2.5), "2.5"},
        {Value(true), "true"},
        {Value("text"), R"("text")"},
        {Value(plat::Data(bytes)), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.description());
        auto json = SYNJSONEventExport::JSONValueFromCoreDataValue(c.value);
        auto text = plat::JSONSerialization::stringWithJSONObject(json, plat::JSONWritingFragmentsAllowed);
        ASSERT_TRUE(text.ok());
        if (!c.json.empty()) {
            EXPECT_EQ(*text, c.json);
        } else {
            EXPECT_NE(text->find("\\r\\n"), std::string::npos) << "base64 lines break after 64 characters";
        }
        auto parsed = plat::JSONSerialization::JSONObjectWithString(*text, plat::JSONWritingFragmentsAllowed);
        ASSERT_TRUE(parsed.ok());
        auto back = SYNJSONEventImport::coreDataValueFromJSONValue(*parsed);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(*back, c.value);
        EXPECT_EQ(back->kind(), c.value.kind());
    }
    auto unknown = plat::JSONSerialization::JSONObjectWithString(std::string(R"(["number","big"])"));
    EXPECT_FALSE(SYNJSONEventImport::coreDataValueFromJSONValue(*unknown).has_value());
    auto other = plat::JSONSerialization::JSONObjectWithString(std::string(R"(["other",[1,2]])"));
    EXPECT_EQ(*SYNJSONEventImport::coreDataValueFromJSONValue(*other),
              Value(plat::Array{Value(1), Value(2)}));
}

class SYNJSONImportFailureTest : public EventFileTest {
  protected:
    std::string write(const std::string& name, const std::string& text) {
        const auto path = root.str() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
};

TEST_F(SYNJSONImportFailureTest, BadFilesLeaveNoEventBehind) {
    auto id = writeEvent(source, "GOOD", SYNStoreModificationEventTypeSave, 30, 30, 43);
    auto files = exportEvent<SYNJSONEventExport>(source, id, nullptr, smallBatchModel());
    ASSERT_EQ(files.size(), 3u);
    const std::string header =
        R"({"globalCount":1,"type":200,"timestamp":"1","uniqueIdentifier":"U","storeIdentifier":"S",)"
        R"("revisionsByStoreIdentifier":{"S":1},"changesByEntity":)";
    struct Case {
        const char* what;
        std::vector<std::string> paths;
    } cases[] = {
        {"second of three does not parse", {files[0], write("garbage", "{not json"), files[2]}},
        {"missing file", {files[0], root.str() + "/none"}},
        {"unknown property key",
         {files[0], write("k", R"({"changesByEntity":{"Person":[{"type":100,)"
                               R"("globalIdentifier":"Z","properties":[{"type":0,)"
                               R"("propertyName":"n","bogus":1}]}]}})")}},
        {"short tagged value",
         {write("t", header + R"({"Person":[{"type":100,"globalIdentifier":"Z",)"
                              R"("properties":[{"type":0,"propertyName":"n","value":["date"]}]}]}})")}},
        {"changes not an object", {write("c", header + "[1]}")}},
        {"properties not an array",
         {write("p", header + R"({"Person":[{"type":100,"globalIdentifier":"Z","properties":3}]}})")}},
        {"unknown event type",
         {write("ty", R"({"globalCount":1,"type":0,"uniqueIdentifier":"U","storeIdentifier":"S",)"
                      R"("revisionsByStoreIdentifier":{"S":1},"changesByEntity":{}})")}},
        {"no own revision",
         {write("r", R"({"globalCount":1,"type":200,"uniqueIdentifier":"U","storeIdentifier":"S",)"
                     R"("revisionsByStoreIdentifier":{},"changesByEntity":{}})")}},
        {"top level array", {write("a", "[]")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto import = importEvent<SYNJSONEventImport>(destination, c.paths);
        EXPECT_NE(import->error(), nullptr);
        EXPECT_EQ(import->eventID(), nullptr);
        EXPECT_EQ(countEvents(destination), 0u);
    }
    auto malformed = importEvent<SYNJSONEventImport>(destination, cases[2].paths);
    EXPECT_EQ(malformed->error()->code(), SYNErrorExceptionRaised);

    auto empty = importEvent<SYNJSONEventImport>(destination, {});
    EXPECT_EQ(empty->error(), nullptr);
    EXPECT_EQ(empty->eventID(), nullptr);
}

TEST_F(SYNJSONImportFailureTest, PropertyNamedOnlyByNameReadsBack) {
    auto path = write(
        "n", R"({"globalCount":1,"type":200,"timestamp":"1.5","uniqueIdentifier":"U","storeIdentifier":"S",)"
             R"("revisionsByStoreIdentifier":{"S":1,"T":4},"changesByEntity":{"Person":[{"type":100,)"
             R"("globalIdentifier":"Z","properties":[{"type":0,"name":"age","value":3}]}]}})");
    auto import = importEvent<SYNJSONEventImport>(destination, {path});
    ASSERT_EQ(import->error(), nullptr);
    auto text = describeEvent(destination, "U");
    EXPECT_NE(text.find("age"), std::string::npos) << text;
    EXPECT_NE(text.find("T: 4"), std::string::npos) << text;
}

TEST_F(SYNEventFilesTest, ObjectIDValuesCannotBeWritten) {
    auto id = writeEvent(source, "OID", SYNStoreModificationEventTypeSave, 1, 1, 0);
    try {
        SYNJSONEventExport::JSONValueFromCoreDataValue(Value(plat::ObjectPtr(id)));
        FAIL() << "an object ID was written";
    } catch (const SYNException& exception) {
        EXPECT_EQ(exception.reason(), "ObjectID type is not supported");
    }
}

TEST_F(SYNEventFilesTest, ExportOfAVanishedEventFails) {
    auto id = writeEvent(source, "GONE", SYNStoreModificationEventTypeSave, 1, 1, 0);
    inContext(source, [&](auto& context) {
        context.deleteObject(*context.existingObjectWithID(id));
        ASSERT_EQ(context.save(), nullptr);
    });
    for (bool binary : {false, true}) {
        plat::ErrorPtr error;
        auto files = exportEventAs(binary, source, id, &error);
        EXPECT_NE(error, nullptr);
        EXPECT_TRUE(files.empty());
    }
}

TEST_F(SYNEventFilesTest, BinaryFileWithTwoEventsIsRefused) {
    auto first = writeEvent(source, "ONE", SYNStoreModificationEventTypeSave, 1, 1, 1);
    auto files = exportEvent<SYNPersistentStoreEventExport>(source, first);
    ASSERT_EQ(files.size(), 1u);
    // Put a second event into the file.
    {
        plat::coredata::BinaryStore::registerStoreType();
        auto model = std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel());
        auto coordinator = plat::coredata::PersistentStoreCoordinator::create(model);
        ASSERT_TRUE(coordinator
                        ->addPersistentStore(plat::coredata::BinaryStoreType, "",
                                             plat::URL::fileURLWithPath(files[0]))
                        .ok());
        auto context =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(coordinator);
        EventWriter(*context).event("TWO", SYNStoreModificationEventTypeSave, 2, SYNRevision{"X", 1});
        ASSERT_EQ(context->save(), nullptr);
    }
    auto import = importEvent<SYNPersistentStoreEventImport>(destination, files);
    ASSERT_NE(import->error(), nullptr);
    EXPECT_EQ(import->error()->code(), SYNErrorIncompleteEventData);
    EXPECT_NE(import->error()->localizedDescription().find("Events found"), std::string::npos);
    EXPECT_EQ(countEvents(destination), 0u);
}

TEST_F(SYNEventFilesTest, BinaryImportReusesKnownGlobalIdentifiers) {
    auto id = writeEvent(source, "G1", SYNStoreModificationEventTypeSave, 1, 1, 2);
    auto otherID = writeEvent(source, "G2", SYNStoreModificationEventTypeSave, 2, 2, 2);
    for (const auto& event : {id, otherID}) {
        auto import = importEvent<SYNPersistentStoreEventImport>(
            destination, exportEvent<SYNPersistentStoreEventExport>(source, event));
        ASSERT_EQ(import->error(), nullptr);
    }
    inContext(destination, [&](auto& context) {
        auto records =
            context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(records.ok());
        // P000000, P000001, U1, D1, RICH and PET1 once each.
        EXPECT_EQ(records->size(), 6u);
        for (const auto& record : *records) {
            EXPECT_TRUE(record->valueForKey("storeURI").isNull()) << "store URIs are this machine's own";
        }
    });
}

}  // namespace

namespace {

using namespace integrationtest;

class SYNEventFileWriteFailureTest : public EventFileTest {};

// Fails every file write after the first n, for n in steps of 3 (binary) or
// every n (JSON, whose files take two writes each) up to past the end of an
// export: the export either fails with an error and hands out no files, or
// succeeds with every file, which import to the original event. Never a
// success with a file missing, never a failure without an error.
TEST_F(SYNEventFileWriteFailureTest, AnExportIsCompleteOrFailsWithAnError) {
    for (bool binary : {false, true}) {
        const std::string uid = binary ? "WB" : "WJ";
        auto id = writeEvent(source, uid, SYNStoreModificationEventTypeSave, 30, binary ? 31 : 30, 42);
        std::size_t failures = 0;
        for (std::size_t n = 0;; n += binary ? 3 : 1) {
            SCOPED_TRACE(std::string(binary ? "binary" : "json") + " after " + std::to_string(n) + " calls");
            plat::ErrorPtr error;
            std::vector<std::string> files;
            {
                testsupport::FaultFileEnvironment environment;
                environment.cutPowerAfter(n);
                files =
                    binary ? exportEvent<SYNPersistentStoreEventExport>(source, id, &error, smallBatchModel())
                           : exportEvent<SYNJSONEventExport>(source, id, &error, smallBatchModel());
            }
            if (error) {
                ++failures;
                EXPECT_TRUE(files.empty());
                continue;
            }
            ASSERT_EQ(files.size(), 3u);
            auto import = importEventAs(binary, destination, files);
            ASSERT_EQ(import->error(), nullptr);
            EXPECT_EQ(describeEvent(destination, uid), describeEvent(source, uid));
            break;
        }
        EXPECT_GT(failures, 2u) << "writes of several files were cut";
    }
}

// An event whose changes hold keyed archives (as older versions stored
// them) exports to the very same files as when they hold the compact form;
// damaged rows fail the export, so the rows are read from the file.
TEST_F(SYNEventFilesTest, AnEventOfKeyedArchivedValuesExportsAsACompactOne) {
    auto id = writeEvent(source, "EVK", SYNStoreModificationEventTypeSave, 12, 5, 30);
    auto contents = [](const std::vector<std::string>& paths) {
        std::vector<std::string> texts;
        for (const auto& path : paths) {
            std::ifstream in(path, std::ios::binary);
            texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return texts;
    };
    auto forget = [&] {
        inContext(source, [](plat::coredata::ManagedObjectContext& context) { context.reset(); });
    };
    const auto compact = contents(exportEvent<SYNJSONEventExport>(source, id));
    ASSERT_FALSE(compact.empty());
    const std::string path = source->pathToStoreFile();
    execOnStoreFile(path, "CREATE TABLE saved AS SELECT Z_PK, ZPROPERTYCHANGEVALUES FROM Z_SYNOBJECTCHANGE");
    execOnStoreFile(path, "UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = x'000105'");
    forget();
    plat::ErrorPtr error;
    exportEvent<SYNJSONEventExport>(source, id, &error);
    EXPECT_TRUE(error);
    execOnStoreFile(
        path,
        "UPDATE Z_SYNOBJECTCHANGE SET ZPROPERTYCHANGEVALUES = (SELECT ZPROPERTYCHANGEVALUES FROM saved "
        "WHERE saved.Z_PK = Z_SYNOBJECTCHANGE.Z_PK); DROP TABLE saved");
    EXPECT_GT(rewriteChangeValuesAsKeyedArchives(path), 0);
    forget();
    EXPECT_EQ(contents(exportEvent<SYNJSONEventExport>(source, id)), compact);
}

// Binary event files go to other machines: their change values are keyed
// archives, as every version reads them, whatever the event store keeps.
TEST_F(SYNEventFilesTest, BinaryEventFilesKeepKeyedArchivedValues) {
    auto id = writeEvent(source, "EVF", SYNStoreModificationEventTypeSave, 12, 5, 30);
    EXPECT_GT(
        execOnStoreFile(source->pathToStoreFile(),
                        "SELECT count(*) FROM Z_SYNOBJECTCHANGE WHERE substr(ZPROPERTYCHANGEVALUES, 1, 2) = "
                        "x'0001'"),
        0);
    auto files = exportEvent<SYNPersistentStoreEventExport>(source, id);
    ASSERT_FALSE(files.empty());
    // One keyed archive per change, each naming its archiver.
    std::size_t archives = 0;
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        for (auto at = bytes.find("NSKeyedArchiver"); at != std::string::npos;
             at = bytes.find("NSKeyedArchiver", at + 1)) {
            ++archives;
        }
    }
    EXPECT_GE(archives, 30u);
    EXPECT_FALSE(SYNKeyedArchivedStoredValuesScope::isActive());
    auto import = importEvent<SYNPersistentStoreEventImport>(destination, files);
    ASSERT_EQ(import->error(), nullptr);
    EXPECT_EQ(describeEvent(destination, "EVF"), describeEvent(source, "EVF"));
}

}  // namespace
