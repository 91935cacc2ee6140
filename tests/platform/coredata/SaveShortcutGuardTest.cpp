// Guards for what a save skips, checked on store files on disk against what
// the file holds and against the answers of the plain way:
// - objects saved for their memberships alone (the other side of a moved
//   member) keep their loaded row as the saved row instead of a rebuilt copy:
//   their versions must still match the file's, so that later updates pass
//   the version check and changes made elsewhere are still caught;
// - a save does not copy and compare metadata nobody replaced since the last
//   save found it written: every replacement must still reach the file;
// - the entity's lists of validated properties and stored to-manys must be
//   what the by-name walk they replace finds.
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "SQLiteStoreTestSupport.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using SaveShortcutGuardTest = testing::SQLiteFileTest;

// Z_OPT of every row of a table, by Z_PK, read straight from the file.
std::map<int64_t, int64_t> versionsInFile(const std::string& path, const std::string& table) {
    std::map<int64_t, int64_t> out;
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    const std::string sql = "SELECT Z_PK, Z_OPT FROM " + table;
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (s && sqlite3_step(s) == SQLITE_ROW)
        out[sqlite3_column_int64(s, 0)] = sqlite3_column_int64(s, 1);
    (void)sqlite3_finalize(s);
    (void)sqlite3_close(db);
    return out;
}

std::string textOf(const ManagedObjectPtr& o, const char* key) {
    Value v = o->valueForKey(key);
    return v.asString() ? *v.asString() : std::string("<none>");
}

// Task title -> calendar name and tag names, as a context sees them.
std::map<std::string, std::string> layoutOf(const std::shared_ptr<ManagedObjectContext>& context) {
    std::map<std::string, std::string> out;
    auto tasks = context->executeFetchRequest(makeRequest("Task"));
    EXPECT_TRUE(tasks);
    for (const auto& t : tasks ? *tasks : std::vector<ManagedObjectPtr>{}) {
        auto c = t->objectForKey("calendar");
        std::string line = c ? textOf(c, "name") : "-";
        std::vector<std::string> tags;
        for (const auto& tag : t->mutableSetValueForKey("tags").objects())
            tags.push_back(textOf(tag, "name"));
        std::sort(tags.begin(), tags.end());
        for (const auto& name : tags)
            line += " " + name;
        out[textOf(t, "title")] = line;
    }
    return out;
}

// Rounds of moves of tasks among calendars and tags (the calendars and tags
// change only through their to-manys), with calendars and tags loaded,
// turned into faults or left packed as fetched, then renames of some of them
// (which pass only when the version the context holds is the file's), and
// now and then a rename made through another coordinator, which the next
// rename of that calendar here must be refused for.
TEST_F(SaveShortcutGuardTest, ObjectsSavedForTheirMembershipsKeepTheFilesVersions) {
    auto model = testing::makeTestModel();
    auto coordinator = open(model);
    std::mt19937 random(15100);
    {
        auto context = contextOn(coordinator);
        std::vector<ManagedObjectPtr> calendars, tags;
        for (int i = 0; i < 4; ++i) {
            calendars.push_back(context->insertNewObjectForEntityForName("Calendar"));
            calendars.back()->setValue(Value("c" + std::to_string(i)), "name");
            tags.push_back(context->insertNewObjectForEntityForName("Tag"));
            tags.back()->setValue(Value("g" + std::to_string(i)), "name");
        }
        for (int i = 0; i < 24; ++i) {
            auto t = context->insertNewObjectForEntityForName("Task");
            t->setValue(Value("t" + std::to_string(i)), "title");
            t->setObject(calendars[static_cast<std::size_t>(i) % 4], "calendar");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(coordinator);
    auto other = open(model);
    int renames = 0, refusals = 0;
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        std::vector<ManagedObjectPtr> calendars = fetchAll(context, makeRequest("Calendar"));
        std::vector<ManagedObjectPtr> tags = fetchAll(context, makeRequest("Tag"));
        std::vector<ManagedObjectPtr> tasks = fetchAll(context, makeRequest("Task"));
        ASSERT_EQ(calendars.size(), 4u);
        ASSERT_EQ(tags.size(), 4u);
        // Some of them faults, some with their to-manys loaded.
        for (const auto* list : {&calendars, &tags}) {
            for (const auto& o : *list) {
                switch (random() % 3) {
                    case 0:
                        context->refreshObject(o, false);
                        break;
                    case 1:
                        (void)o->mutableSetValueForKey("tasks").count();
                        break;
                    default:
                        break;
                }
            }
        }
        const int moves = 1 + static_cast<int>(random() % 6);
        for (int m = 0; m < moves; ++m) {
            auto& task = tasks[random() % tasks.size()];
            if (random() % 2)
                task->setObject(calendars[random() % calendars.size()], "calendar");
            else
                task->mutableSetValueForKey("tags").addObject(tags[random() % tags.size()]);
            if (random() % 4 == 0)
                task->setValue(Value("scratch " + std::to_string(round)), "scratch");
        }
        ASSERT_EQ(context->save(), nullptr);
        // What this context now holds is what the file holds.
        auto reader = contextOn(open(model));
        EXPECT_EQ(layoutOf(context), layoutOf(reader));
        // Every row's version as stored, read back by a fresh context, and
        // an update by this context of objects saved for their to-manys.
        const int renamed = static_cast<int>(random() % 3);
        for (int r = 0; r < renamed; ++r) {
            auto& o = random() % 2 ? calendars[random() % 4] : tags[random() % 4];
            o->setValue(Value(textOf(o, "name") + "'"), "name");
        }
        const bool elsewhere = round % 7 == 3;
        ManagedObjectPtr changedElsewhere;
        if (elsewhere) {
            // Another coordinator renames a calendar this context has loaded.
            auto theirs = contextOn(other);
            auto found = fetchAll(theirs, makeRequest("Calendar"));
            ASSERT_FALSE(found.empty());
            auto& c = found[random() % found.size()];
            c->setValue(Value(textOf(c, "name") + "*"), "name");
            ASSERT_EQ(theirs->save(), nullptr);
            for (const auto& mine : calendars) {
                if (mine->objectID()->isEqualID(*c->objectID()))
                    changedElsewhere = mine;
            }
            ASSERT_TRUE(changedElsewhere);
            changedElsewhere->setValue(Value(textOf(changedElsewhere, "name") + "+"), "name");
        }
        ErrorPtr error = context->save();
        if (changedElsewhere) {
            // The version this context holds is older than the file's.
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code(), ManagedObjectMergeError);
            ++refusals;
            context->rollback();
            context->refreshObject(changedElsewhere, false);
        } else {
            ASSERT_EQ(error, nullptr) << error->description();
            renames += renamed;
        }
        // The versions a fresh context reads are the file's, and this
        // context's objects agree with them: one more rename of every
        // calendar and tag passes the version check.
        for (const auto* list : {&calendars, &tags}) {
            for (const auto& o : *list)
                o->setValue(Value(textOf(o, "name") + "."), "name");
        }
        ASSERT_EQ(context->save(), nullptr);
        auto calendarVersions = versionsInFile(path(), "Z_Calendar");
        auto tagVersions = versionsInFile(path(), "Z_Tag");
        auto fresh = contextOn(open(model));
        for (const auto& c : fetchAll(fresh, makeRequest("Calendar")))
            EXPECT_TRUE(calendarVersions.count(c->objectID()->primaryKey()));
        EXPECT_EQ(calendarVersions.size(), 4u);
        EXPECT_EQ(tagVersions.size(), 4u);
        if (round % 10 == 9)
            context->reset();
    }
    EXPECT_GT(renames, 10);
    EXPECT_GT(refusals, 3);
}

// A child context's save hands the parent the moves; the child's objects
// saved for their memberships keep their rows, and the parent's save of them
// reaches the file with versions that later saves of either context accept.
TEST_F(SaveShortcutGuardTest, ChildSavesOfMovedMembersKeepRowsTheParentSavesAgain) {
    auto model = testing::makeTestModel();
    auto coordinator = open(model);
    auto parent = contextOn(coordinator);
    std::vector<ManagedObjectPtr> calendars;
    for (int i = 0; i < 3; ++i) {
        calendars.push_back(parent->insertNewObjectForEntityForName("Calendar"));
        calendars.back()->setValue(Value("c" + std::to_string(i)), "name");
    }
    for (int i = 0; i < 12; ++i) {
        auto t = parent->insertNewObjectForEntityForName("Task");
        t->setValue(Value("t" + std::to_string(i)), "title");
        t->setObject(calendars[static_cast<std::size_t>(i) % 3], "calendar");
    }
    ASSERT_EQ(parent->save(), nullptr);
    std::mt19937 random(15101);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        auto child = ManagedObjectContext::create(ConcurrencyType::Confinement);
        child->setParentContext(parent);
        auto tasks = fetchAll(child, makeRequest("Task"));
        auto theirCalendars = fetchAll(child, makeRequest("Calendar"));
        ASSERT_EQ(theirCalendars.size(), 3u);
        for (int m = 0; m < 3; ++m)
            tasks[random() % tasks.size()]->setObject(theirCalendars[random() % 3], "calendar");
        ASSERT_EQ(child->save(), nullptr);
        // The child saves again: a rename of each calendar, from the rows
        // its first save left them.
        for (const auto& c : theirCalendars)
            c->setValue(Value(textOf(c, "name") + "'"), "name");
        ASSERT_EQ(child->save(), nullptr);
        ASSERT_EQ(parent->save(), nullptr);
        auto reader = contextOn(open(model));
        EXPECT_EQ(layoutOf(child), layoutOf(reader));
        EXPECT_EQ(layoutOf(parent), layoutOf(reader));
        // And the parent's own update of the calendars passes the check.
        for (const auto& c : calendars)
            c->setValue(Value(textOf(c, "name") + "."), "name");
        ASSERT_EQ(parent->save(), nullptr);
    }
}

// Metadata replaced, replaced by an equal copy, left alone, replaced before a
// save that fails, written by the coordinator alone or by another
// coordinator: after every save, the file holds this store's metadata
// whenever this store replaced it since the last write.
TEST_F(SaveShortcutGuardTest, EveryMetadataReplacementReachesTheFile) {
    auto model = testing::makeTestModel();
    auto coordinator = open(model);
    auto store = coordinator->persistentStores().front();
    auto context = contextOn(coordinator);
    auto calendar = context->insertNewObjectForEntityForName("Calendar");
    calendar->setValue(Value("c"), "name");
    ASSERT_EQ(context->save(), nullptr);
    auto other = open(model);
    std::mt19937 random(15102);
    auto stored = [&] {
        auto found = PersistentStoreCoordinator::metadataForPersistentStoreOfType(SQLiteStoreType, url());
        EXPECT_TRUE(found) << found.error()->description();
        return found ? *found : Dictionary();
    };
    // What the file must hold after this store's next save, when known.
    std::optional<Dictionary> expected;
    int written = 0;
    for (int round = 0; round < 80; ++round) {
        SCOPED_TRACE(round);
        Dictionary metadata = store->metadata();
        switch (random() % 6) {
            case 0:  // a new value
                metadata.set("round", Value(int64_t{round}));
                store->setMetadata(metadata);
                expected = store->metadata();
                break;
            case 1:  // the same again
                store->setMetadata(metadata);
                break;
            case 2:  // a new value, then a save that fails, then one that passes
            {
                metadata.set("failed", Value(int64_t{round}));
                store->setMetadata(metadata);
                auto theirs = contextOn(other);
                auto c = fetchAll(theirs, makeRequest("Calendar")).front();
                c->setValue(Value(textOf(c, "name") + "*"), "name");
                ASSERT_EQ(theirs->save(), nullptr);
                calendar->setValue(Value(textOf(calendar, "name") + "+"), "name");
                ErrorPtr error = context->save();
                ASSERT_NE(error, nullptr);
                EXPECT_EQ(error->code(), ManagedObjectMergeError);
                context->rollback();
                context->refreshObject(calendar, false);
                expected = store->metadata();
                break;
            }
            case 3:  // written by the coordinator, no save
                metadata.set("direct", Value(int64_t{round}));
                ASSERT_EQ(coordinator->setMetadata(metadata, store), nullptr);
                EXPECT_EQ(stored(), store->metadata());
                break;
            case 4:  // another coordinator writes its own metadata
            {
                auto theirStore = other->persistentStores().front();
                Dictionary theirs = other->metadataForPersistentStore(theirStore);
                theirs.set("elsewhere", Value(int64_t{round}));
                ASSERT_EQ(other->setMetadata(theirs, theirStore), nullptr);
                break;
            }
            default:  // left alone
                break;
        }
        calendar->setValue(Value(textOf(calendar, "name") + "."), "name");
        ASSERT_EQ(context->save(), nullptr);
        if (expected) {
            EXPECT_EQ(stored(), *expected);
            ++written;
            expected.reset();
        }
        // Left alone or replaced by an equal copy: this store's metadata
        // is what it last wrote, never the other coordinator's undone.
        EXPECT_EQ(store->metadata().find("elsewhere"), nullptr);
    }
    EXPECT_GT(written, 20);
}

// The lists an entity keeps for saves are what a walk over its properties
// and relationships by name finds, for the test model and random ones.
TEST(SaveListsTest, ValidatedPropertiesAndStoredToManysMatchTheWalkByName) {
    auto check = [](const ManagedObjectModel& model) {
        for (const auto& entity : model.entities()) {
            SCOPED_TRACE(entity->name());
            std::vector<const RelationshipDescription*> toManys;
            for (const auto& [n, r] : entity->relationshipsByName()) {
                if (r->isToMany() && !r->isTransient())
                    toManys.push_back(r);
            }
            EXPECT_EQ(entity->storedToManys(), toManys);
            std::vector<const PropertyDescription*> validated;
            for (const PropertyDescription* p : entity->properties()) {
                if (p->isTransient())
                    continue;
                auto* r = p->isRelationship() ? static_cast<const RelationshipDescription*>(p) : nullptr;
                bool checked = r && r->isToMany()
                                   ? (r->minCount() > 0 || !r->isOptional() || r->maxCount() > 0)
                                   : !p->isOptional();
                if (checked)
                    validated.push_back(p);
            }
            EXPECT_EQ(entity->validatedProperties(), validated);
        }
    };
    auto model = testing::makeTestModel();
    ASSERT_EQ(model->finalize(), nullptr);
    check(*model);
    std::mt19937 random(15103);
    for (int m = 0; m < 40; ++m) {
        SCOPED_TRACE(m);
        auto random_model = ManagedObjectModel::create();
        const int entities = 1 + static_cast<int>(random() % 4);
        std::vector<EntityDescription*> made;
        for (int e = 0; e < entities; ++e) {
            auto& entity = random_model->addEntity("E" + std::to_string(e));
            if (e > 0 && random() % 3 == 0)
                entity.setSuperentityName("E0");
            const int attributes = static_cast<int>(random() % 4);
            for (int a = 0; a < attributes; ++a) {
                auto& attribute = entity.addAttribute("a" + std::to_string(e) + "_" + std::to_string(a),
                                                      AttributeType::String);
                attribute.optional(random() % 2 == 0);
                if (random() % 4 == 0)
                    attribute.transient(true);
            }
            made.push_back(&entity);
        }
        for (int e = 0; e < entities; ++e) {
            const int relationships = static_cast<int>(random() % 3);
            for (int r = 0; r < relationships; ++r) {
                auto& relationship = made[static_cast<std::size_t>(e)]->addRelationship(
                    "z" + std::to_string(r) + "r" + std::to_string(e),
                    "E" + std::to_string(random() % entities));
                if (random() % 2)
                    relationship.toMany();
                if (random() % 3 == 0)
                    relationship.setMaxCount(1 + random() % 3);
                if (random() % 3 == 0)
                    relationship.setMinCount(random() % 2);
                if (random() % 3 == 0)
                    relationship.optional(false);
                if (random() % 5 == 0)
                    relationship.transient(true);
            }
        }
        ErrorPtr error = random_model->finalize();
        if (error)
            continue;  // a model the walk never sees
        check(*random_model);
    }
}

}  // namespace
}  // namespace plat::coredata
