#include "sync/integration/IntegrationFixture.h"

#include <algorithm>
#include <random>

#include "platform/coredata/UUIDObject.h"
#include "platform/coredata/ValueTransformer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Decimal.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/UUID.h"
#include "sync/eventstore/SYNDataAdditions.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNModelAdditions.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"

using plat::Value;
using plat::coredata::AttributeType;
using plat::coredata::ConcurrencyType;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::PersistentStoreCoordinator;
using plat::coredata::Predicate;

namespace integrationtest {

namespace {

class CodeTransformer : public plat::coredata::ValueTransformer {
  public:
    plat::Result<plat::Data> transformedValue(const Value& value) const override {
        if (!value.asString()) {
            return plat::Error::make("Test", 1);
        }
        return plat::Data::fromString(*value.asString());
    }
    plat::Result<Value> reverseTransformedValue(const plat::Data& data) const override {
        if (data.length() > 0 && data.bytes()[0] == 0xFF) {
            return plat::Error::make("Test", 2);
        }
        return Value(std::string(data.view()));
    }
};

}  // namespace

std::shared_ptr<plat::coredata::ManagedObjectModel> makeFixtureModel(int64_t taskBatchSize) {
    plat::coredata::ValueTransformer::setValueTransformer(std::make_shared<CodeTransformer>(),
                                                          kCodeTransformerName);
    auto model = plat::coredata::ManagedObjectModel::create();
    auto& calendar = model->addEntity("Calendar");
    calendar.setUserInfo({{SYNMigrationPriorityKey, Value(10)}});
    calendar.addAttribute("name", AttributeType::String);
    calendar.addRelationship("tasks", "Task").inverse("calendar").toMany();

    auto& task = model->addEntity("Task");
    task.setUserInfo({{SYNMigrationBatchSizeKey, Value(taskBatchSize)}});
    task.addAttribute("title", AttributeType::String);
    task.addAttribute("done", AttributeType::Boolean);
    task.addRelationship("calendar", "Calendar").inverse("tasks");
    task.addRelationship("parent", "Task").inverse("subtasks");
    task.addRelationship("subtasks", "Task").inverse("parent").toMany();

    auto& playlist = model->addEntity("Playlist");
    playlist.setUserInfo({{SYNMigrationPriorityKey, Value(5)}});
    playlist.addAttribute("name", AttributeType::String);
    playlist.addRelationship("items", "Item").inverse("playlist").ordered();

    auto& item = model->addEntity("Item");
    item.addAttribute("i16", AttributeType::Integer16);
    item.addAttribute("i32", AttributeType::Integer32);
    item.addAttribute("i64", AttributeType::Integer64);
    item.addAttribute("decimal", AttributeType::Decimal);
    item.addAttribute("real", AttributeType::Double);
    item.addAttribute("ratio", AttributeType::Float);
    item.addAttribute("label", AttributeType::String);
    item.addAttribute("flag", AttributeType::Boolean);
    item.addAttribute("when", AttributeType::Date);
    item.addAttribute("blob", AttributeType::BinaryData);
    item.addAttribute("tag", AttributeType::UUID);
    item.addAttribute("link", AttributeType::URI);
    item.addAttribute("extra", AttributeType::Transformable);
    item.addAttribute("code", AttributeType::Transformable).setValueTransformerName(kCodeTransformerName);
    item.addAttribute("note", AttributeType::String).setUserInfo({{SYNIgnoredKey, Value(true)}});
    item.addRelationship("playlist", "Playlist").inverse("items");

    auto& canvas = model->addEntity("Canvas");
    canvas.setUserInfo({{SYNMigrationPriorityKey, Value(5)}});
    canvas.addAttribute("name", AttributeType::String);
    canvas.addRelationship("shapes", "Shape").inverse("canvas").toMany();

    auto& shape = model->addEntity("Shape");
    shape.addAttribute("name", AttributeType::String);
    shape.addRelationship("canvas", "Canvas").inverse("shapes");
    auto& circle = model->addEntity("Circle");
    circle.setSuperentityName("Shape");
    circle.addAttribute("radius", AttributeType::Double);

    auto& scratch = model->addEntity("Scratch");
    scratch.setUserInfo({{SYNIgnoredKey, Value("YES")}});
    scratch.addAttribute("text", AttributeType::String);
    return model;
}

Machine::Machine(const std::filesystem::path& root, const std::string& name, bool openExisting,
                 int64_t taskBatchSize)
    : name_(name),
      dir_(root / name),
      model_(makeFixtureModel(taskBatchSize)),
      storeURL_(plat::URL::fileURLWithPath((root / name / "app.sqlite").string())) {
    std::filesystem::create_directories(dir_);
    if (openExisting) {
        eventStore_ = SYNEventStore::create("mesh", (dir_ / "events").string());
        EXPECT_TRUE(eventStore_ && eventStore_->managedObjectContext());
    } else {
        hardware_ = plat::UUID::random().UUIDString();
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(hardware_);
        eventStore_ = SYNEventStore::create("mesh", (dir_ / "events").string());
        EXPECT_TRUE(eventStore_);
        EXPECT_EQ(eventStore_->prepareNewEventStore(), nullptr);
        plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
    }
    integrator_ = SYNEventIntegrator::create(storeURL_, model_, eventStore_);
    integrator_->setMesh(mesh);
    // Creates the application store file.
    auto context = newContext();
    EXPECT_TRUE(context);
}

Machine::~Machine() {
    integrator_.reset();
    if (eventStore_) {
        eventStore_->dismantle();
    }
}

std::shared_ptr<ManagedObjectContext> Machine::newContext() const {
    auto coordinator = PersistentStoreCoordinator::create(model_);
    auto added = coordinator->addPersistentStore(plat::coredata::SQLiteStoreType, "", storeURL_);
    EXPECT_TRUE(added.ok()) << (added.ok() ? "" : added.error()->description());
    if (!added.ok()) {
        return nullptr;
    }
    auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
    context->setPersistentStoreCoordinator(coordinator);
    return context;
}

plat::ErrorPtr Machine::recordSave(const std::function<void(ManagedObjectContext&)>& edit) {
    auto context = newContext();
    edit(*context);
    context->processPendingChanges();
    if (!context->hasChanges()) {
        return nullptr;
    }
    SYNEventBuilder builder(eventStore_);
    auto revision = builder.makeNewEventOfType(SYNStoreModificationEventTypeSave);
    if (!revision.ok()) {
        return revision.error();
    }
    if (auto error = builder.addChangesForUnsavedManagedObjectContext(*context)) {
        return error;
    }
    if (auto error = builder.checkUniquenessOfGlobalIdentifiers()) {
        return error;
    }
    if (auto error = builder.finalizeNewEvent()) {
        return error;
    }
    if (auto error = builder.saveAndReset()) {
        return error;
    }
    return context->save();
}

plat::ErrorPtr Machine::merge() {
    bool done = false;
    plat::ErrorPtr result;
    integrator_->mergeEventsWithCompletion([&](plat::ErrorPtr error) {
        result = std::move(error);
        done = true;
    });
    EXPECT_TRUE(plat::dispatch::MainLoop::runUntil([&] { return done; }, 120.0));
    return result;
}

std::string Machine::makeEmptyBaseline(const std::vector<std::string>& stores) {
    SYNEventBuilder builder(eventStore_);
    EXPECT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeBaseline).ok());
    builder.performBlockAndWait([&] {
        SYNRevisionSet others;
        for (const auto& store : stores) {
            if (store != storeIdentifier()) {
                others.setRevisionNumber(store, -1);
            }
        }
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*builder.event(), others);
    });
    EXPECT_EQ(builder.finalizeNewEvent(), nullptr);
    EXPECT_EQ(builder.saveAndReset(), nullptr);
    auto identifier = eventStore_->currentBaselineIdentifier();
    EXPECT_TRUE(identifier);
    adoptBaseline(*identifier);
    return *identifier;
}

void Machine::adoptBaseline(const std::string& identifier) {
    eventStore_->setIdentifierOfBaselineUsedToConstructStore(identifier);
    eventStore_->setNeedsFullIntegration(false);
}

namespace {

std::string describe(const Value& value) {
    if (value.isData()) {
        return "data(" + std::to_string(value.asData()->length()) + "," + syn_md5Checksum(*value.asData()) +
               ")";
    }
    return value.description();
}

}  // namespace

std::vector<std::string> Machine::dump() const {
    std::map<std::string, std::string> identifiers;  // store URI -> global identifier
    auto eventContext = eventStore_->managedObjectContext();
    eventContext->performBlockAndWait([&] {
        auto rows = eventContext->executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(rows.ok());
        auto storeURIs = SYNStoreURIs::forContext(*eventContext);
        for (const auto& row : *rows) {
            if (auto uri = storeURIs->decode(row->valueForKey("storeURI"))) {
                identifiers[*uri] = *row->valueForKey("globalIdentifier").asString();
            }
        }
    });
    auto nameOf = [&](const ManagedObjectPtr& object) {
        if (!object) {
            return std::string("nil");
        }
        auto found = identifiers.find(SYNGlobalIdentifier::storeURIForObjectID(*object->objectID()));
        return found == identifiers.end()
                   ? "?" + SYNGlobalIdentifier::storeURIForObjectID(*object->objectID())
                   : found->second;
    };
    auto context = newContext();
    std::vector<std::string> lines;
    for (const auto* entity : syn_entitiesOrderedByMigrationPriority(*model_)) {
        FetchRequest request(entity->name());
        request.includesSubentities = false;
        auto objects = context->executeFetchRequest(request);
        EXPECT_TRUE(objects.ok());
        if (!objects.ok()) {
            continue;
        }
        for (const auto& object : *objects) {
            std::string line = entity->name() + " " + nameOf(object) + " {";
            for (const auto& [key, attribute] : entity->attributesByName()) {
                if (attribute->userInfo().find(SYNIgnoredKey)) {
                    continue;
                }
                line += key + "=" + describe(object->valueForKey(key)) + "; ";
            }
            for (const auto& [key, relationship] : entity->relationshipsByName()) {
                line += key + "=";
                if (!relationship->isToMany()) {
                    line += nameOf(object->objectForKey(key));
                } else {
                    std::vector<std::string> names;
                    for (const auto& member : object->objectsForKey(key)) {
                        names.push_back(nameOf(member));
                    }
                    if (!relationship->isOrdered()) {
                        std::sort(names.begin(), names.end());
                    }
                    line += "[";
                    for (const auto& name : names) {
                        line += name + ",";
                    }
                    line += "]";
                }
                line += "; ";
            }
            lines.push_back(line + "}");
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::set<std::pair<std::string, int64_t>> Machine::revisions() const {
    std::set<std::pair<std::string, int64_t>> result;
    auto context = eventStore_->managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeBaseline, SYNStoreModificationEventTypeSave,
                                 SYNStoreModificationEventTypeMerge},
            std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        for (const auto& event : *events) {
            if (auto revision = SYNStoreModificationEvent::revision(*event)) {
                result.emplace(revision->persistentStoreIdentifier, revision->revisionNumber);
            }
        }
    });
    return result;
}

namespace {

struct ChangeCopy {
    int64_t type = 0;
    std::string entity;
    std::string identifier;
    std::string identifierEntity;
    Value values;
    std::vector<std::pair<std::string, std::optional<plat::Data>>> files;
};

struct EventCopy {
    std::string uniqueIdentifier;
    int64_t type = 0;
    int64_t globalCount = 0;
    double timestamp = 0;
    Value modelVersion, modelVersionIdentifier;
    SYNRevision revision;
    SYNRevisionSet others;
    std::vector<ChangeCopy> changes;
};

}  // namespace

void playRandomExchanges(Machine& a, Machine& b, unsigned seed,
                         const std::function<void(const Machine&, const std::string&)>& check) {
    std::mt19937 random(seed);
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    int saved = 0;
    for (int step = 0; step < 24; ++step) {
        Machine& one = below(2) == 0 ? a : b;
        Machine& other = &one == &a ? b : a;
        const int action = below(4);
        if (action <= 1) {
            const std::string name = "calendar " + std::to_string(++saved);
            ASSERT_EQ(one.recordSave([&](ManagedObjectContext& context) {
                context.insertNewObjectForEntityForName("Calendar")->setValue(Value(name), "name");
            }),
                      nullptr);
        }
        if (action >= 1 && action <= 2) {
            copyEvents(*one.eventStore(), *other.eventStore());
        }
        check(other, "before the merge of step " + std::to_string(step));
        ASSERT_EQ(other.merge(), nullptr);
        check(other, "after the merge of step " + std::to_string(step));
        check(one, "the other machine, step " + std::to_string(step));
    }
    // Exchanged and merged both ways, the machines agree.
    copyEvents(*a.eventStore(), *b.eventStore());
    ASSERT_EQ(b.merge(), nullptr);
    copyEvents(*b.eventStore(), *a.eventStore());
    ASSERT_EQ(a.merge(), nullptr);
    EXPECT_EQ(a.dump(), b.dump());
    check(a, "at the end");
    check(b, "at the end");
}

std::size_t copyEvents(const SYNEventStore& from, SYNEventStore& to) {
    std::vector<EventCopy> copies;
    auto source = from.managedObjectContext();
    source->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::vector<int16_t>{SYNStoreModificationEventTypeBaseline, SYNStoreModificationEventTypeSave,
                                 SYNStoreModificationEventTypeMerge},
            std::nullopt, *source);
        ASSERT_TRUE(events.ok());
        for (const auto& event : *events) {
            EventCopy copy;
            copy.uniqueIdentifier = SYNStoreModificationEvent::uniqueIdentifier(*event);
            copy.type = SYNStoreModificationEvent::type(*event);
            copy.globalCount = SYNStoreModificationEvent::globalCount(*event);
            copy.timestamp = SYNStoreModificationEvent::timestamp(*event);
            copy.modelVersion = event->valueForKey("modelVersion");
            copy.modelVersionIdentifier = event->valueForKey("modelVersionIdentifier");
            copy.revision = *SYNStoreModificationEvent::revision(*event);
            copy.others = SYNStoreModificationEvent::revisionSetOfOtherStores(*event);
            for (const auto& change : event->objectsForKey("objectChanges")) {
                ChangeCopy changeCopy;
                changeCopy.type = change->valueForKey("type").integerValue();
                changeCopy.entity = *change->valueForKey("nameOfEntity").asString();
                auto row = change->objectForKey("globalIdentifier");
                changeCopy.identifier = *row->valueForKey("globalIdentifier").asString();
                changeCopy.identifierEntity = *row->valueForKey("nameOfEntity").asString();
                changeCopy.values = change->valueForKey("propertyChangeValues");
                for (const auto& file : change->objectsForKey("dataFiles")) {
                    std::string name = *file->valueForKey("filename").asString();
                    changeCopy.files.emplace_back(name, from.dataForFile(name));
                }
                copy.changes.push_back(std::move(changeCopy));
            }
            copies.push_back(std::move(copy));
        }
    });
    std::size_t copied = 0;
    auto target = to.managedObjectContext();
    target->performBlockAndWait([&] {
        std::set<std::string> present;
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(std::nullopt,
                                                                                       std::nullopt, *target);
        ASSERT_TRUE(events.ok());
        for (const auto& event : *events) {
            present.insert(SYNStoreModificationEvent::uniqueIdentifier(*event));
        }
        std::map<std::pair<std::string, std::string>, ManagedObjectPtr> rows;
        auto existing = target->executeFetchRequest(FetchRequest(SYNGlobalIdentifierEntityName));
        ASSERT_TRUE(existing.ok());
        for (const auto& row : *existing) {
            rows[{*row->valueForKey("globalIdentifier").asString(),
                  *row->valueForKey("nameOfEntity").asString()}] = row;
        }
        for (const auto& copy : copies) {
            if (present.count(copy.uniqueIdentifier)) {
                continue;
            }
            ++copied;
            auto event = target->insertNewObjectForEntityForName(SYNStoreModificationEventEntityName);
            event->setValue(Value(copy.uniqueIdentifier), "uniqueIdentifier");
            event->setValue(Value(copy.type), "type");
            event->setValue(Value(copy.globalCount), "globalCount");
            event->setValue(Value(copy.timestamp), "timestamp");
            event->setValue(copy.modelVersion, "modelVersion");
            event->setValue(copy.modelVersionIdentifier, "modelVersionIdentifier");
            event->setObject(
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                    copy.revision.persistentStoreIdentifier, copy.revision.revisionNumber, *target),
                "eventRevision");
            SYNStoreModificationEvent::setRevisionSetOfOtherStores(*event, copy.others);
            for (const auto& changeCopy : copy.changes) {
                auto change = target->insertNewObjectForEntityForName(SYNObjectChangeEntityName);
                change->setValue(Value(changeCopy.type), "type");
                change->setValue(Value(changeCopy.entity), "nameOfEntity");
                change->setValue(changeCopy.values, "propertyChangeValues");
                auto& row = rows[{changeCopy.identifier, changeCopy.identifierEntity}];
                if (!row) {
                    row = target->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                    row->setValue(Value(changeCopy.identifier), "globalIdentifier");
                    row->setValue(Value(changeCopy.identifierEntity), "nameOfEntity");
                }
                change->setObject(row, "globalIdentifier");
                change->setObject(event, "storeModificationEvent");
                for (const auto& [name, bytes] : changeCopy.files) {
                    if (bytes) {
                        auto stored = to.storeDataFile(*bytes);
                        EXPECT_TRUE(stored.ok() && *stored == name);
                    }
                    auto file = target->insertNewObjectForEntityForName(SYNDataFileEntityName);
                    file->setValue(Value(name), "filename");
                    file->setObject(change, "objectChange");
                }
            }
        }
        auto error = target->save();
        EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
        target->reset();
    });
    return copied;
}

ManagedObjectPtr objectWhere(ManagedObjectContext& context, const std::string& entity, const std::string& key,
                             const Value& value) {
    FetchRequest request(entity);
    request.predicate = Predicate::equal(key, value);
    auto objects = context.executeFetchRequest(request);
    return objects.ok() && !objects->empty() ? objects->front() : nullptr;
}

std::vector<ManagedObjectPtr> allObjects(ManagedObjectContext& context, const std::string& entity) {
    auto objects = context.executeFetchRequest(FetchRequest(entity));
    return objects.ok() ? *objects : std::vector<ManagedObjectPtr>();
}

void IntegrationTest::SetUp() {
    plat::dispatch::MainLoop::bindToCurrentThread();
    plat::dispatch::MainLoop::drain();
}

void IntegrationTest::TearDown() {
    plat::dispatch::MainLoop::drain();
    machines.clear();
    plat::ProcessInfo::processInfo().setHardwareUUIDForTesting(std::nullopt);
}

std::pair<Machine*, Machine*> IntegrationTest::twoMachinesSharingABaseline(const std::string& suffix) {
    Machine& a = addMachine("a" + suffix);
    Machine& b = addMachine("b" + suffix);
    auto baseline = a.makeEmptyBaseline({a.storeIdentifier(), b.storeIdentifier()});
    copyEvents(*a.eventStore(), *b.eventStore());
    b.adoptBaseline(baseline);
    populate(a);
    copyEvents(*a.eventStore(), *b.eventStore());
    return {&a, &b};
}

bool IntegrationTest::ownOrIncomplete(const plat::coredata::ManagedObject& event, const Machine& machine) {
    return SYNStoreModificationEvent::storeIdentifier(event) == machine.storeIdentifier() ||
           SYNStoreModificationEvent::type(event) == SYNStoreModificationEventTypeIncomplete;
}

std::map<int, int> IntegrationTest::ownEventTypes(const Machine& machine) {
    std::map<int, int> types;
    auto context = machine.eventStore()->managedObjectContext();
    context->performBlockAndWait([&] {
        auto events = SYNStoreModificationEvent::fetchStoreModificationEventsWithTypes(
            std::nullopt, std::nullopt, *context);
        ASSERT_TRUE(events.ok());
        for (const auto& event : *events) {
            if (ownOrIncomplete(*event, machine)) {
                ++types[SYNStoreModificationEvent::type(*event)];
            }
        }
    });
    return types;
}

int IntegrationTest::ownEvents(const Machine& machine) {
    int count = 0;
    for (const auto& [type, events] : ownEventTypes(machine)) {
        count += events;
    }
    return count;
}

void IntegrationTest::populate(Machine& machine) {
    ASSERT_EQ(machine.recordSave([](ManagedObjectContext& context) {
        auto work = context.insertNewObjectForEntityForName("Calendar");
        work->setValue(Value("work"), "name");
        auto home = context.insertNewObjectForEntityForName("Calendar");
        home->setValue(Value("home"), "name");
        std::vector<ManagedObjectPtr> tasks;
        for (int i = 0; i < 5; ++i) {
            auto task = context.insertNewObjectForEntityForName("Task");
            task->setValue(Value("task" + std::to_string(i)), "title");
            task->setObject(i % 2 ? work : home, "calendar");
            if (!tasks.empty()) {
                task->setObject(tasks.front(), "parent");
            }
            tasks.push_back(task);
        }
        auto playlist = context.insertNewObjectForEntityForName("Playlist");
        playlist->setValue(Value("mix"), "name");
        for (int i = 0; i < 4; ++i) {
            auto item = context.insertNewObjectForEntityForName("Item");
            item->setValue(Value(int64_t{i}), "i16");
            item->setValue(Value(int64_t{100000 + i}), "i32");
            item->setValue(Value(int64_t{1} << 40), "i64");
            item->setValue(Value(plat::Decimal::fromInt64(12345 + i)), "decimal");
            item->setValue(Value(1.5 * i), "real");
            item->setValue(Value(0.25), "ratio");
            item->setValue(Value("item" + std::to_string(i)), "label");
            item->setValue(Value(i % 2 == 0), "flag");
            item->setValue(Value(plat::Date(1000.0 * i)), "when");
            item->setValue(Value(plat::Data::fromString(std::string(i == 0 ? 20000 : 10, 'x'))), "blob");
            item->setValue(Value(plat::ObjectPtr(std::make_shared<plat::UUIDObject>(plat::UUID::random()))),
                           "tag");
            item->setValue(Value(plat::ObjectPtr(std::make_shared<plat::URLObject>(
                               *plat::URL::URLWithString("https://example.com/" + std::to_string(i))))),
                           "link");
            item->setValue(Value(plat::Array{Value("extra"), Value(int64_t{i})}), "extra");
            item->setValue(Value("code" + std::to_string(i)), "code");
            playlist->mutableOrderedSetValueForKey("items").addObject(item);
        }
        auto canvas = context.insertNewObjectForEntityForName("Canvas");
        canvas->setValue(Value("board"), "name");
        auto shape = context.insertNewObjectForEntityForName("Shape");
        shape->setValue(Value("square"), "name");
        auto circle = context.insertNewObjectForEntityForName("Circle");
        circle->setValue(Value("round"), "name");
        circle->setValue(Value(2.0), "radius");
        canvas->mutableSetValueForKey("shapes").addObject(shape);
        canvas->mutableSetValueForKey("shapes").addObject(circle);
    }),
              nullptr);
    ASSERT_EQ(machine.recordSave([](ManagedObjectContext& context) {
        auto playlist = objectWhere(context, "Playlist", "name", Value("mix"));
        auto items = playlist->objectsForKey("items");
        auto proxy = playlist->mutableOrderedSetValueForKey("items");
        proxy.removeObject(items[3]);
        proxy.insertObject(items[3], 0);
        objectWhere(context, "Task", "title", Value("task3"))->setValue(Value("renamed"), "title");
        context.deleteObject(objectWhere(context, "Task", "title", Value("task4")));
        context.deleteObject(objectWhere(context, "Calendar", "name", Value("home")));
    }),
              nullptr);
}

Machine& IntegrationTest::addMachine(const std::string& name) {
    machines.push_back(std::make_unique<Machine>(root.path(), name, false, taskBatchSize));
    return *machines.back();
}

}  // namespace integrationtest
