// Guards for shortcuts of the SQLite store's fetch and save paths, checked
// against the plain answer on store files on disk: the word-at-a-time check
// of texts that go into a JSON list, fetches of an indexed text attribute IN
// lists of every kind, and the look-up of a save's own rows when it writes
// to-many memberships (keys of different entities repeat).
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "SQLiteStoreTestSupport.h"
#include "platform/coredata/detail/SQLiteQuery.h"

namespace plat::coredata {
namespace {

using testing::makeRequest;
using SQLiteListAndSaveGuardTest = testing::SQLiteFileTest;

// The byte-by-byte answer the word-at-a-time check must give.
sqlite::ListText byteByByte(std::string_view text) {
    bool quoting = false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E)
            return sqlite::ListText::Other;
        quoting = quoting || c == '"' || c == '\\';
    }
    return quoting ? sqlite::ListText::Quoting : sqlite::ListText::Plain;
}

TEST(ListTextTest, EveryByteAtEveryPlaceIsClassedAsByteByByte) {
    for (std::size_t length = 1; length <= 24; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text(length, 'a');
                text[at] = static_cast<char>(byte);
                ASSERT_EQ(sqlite::classifyListText(text), byteByByte(text))
                    << "length " << length << " at " << at << " byte " << byte;
            }
        }
    }
    EXPECT_EQ(sqlite::classifyListText(""), sqlite::ListText::Plain);
}

TEST(ListTextTest, RandomTextsAreClassedAsByteByByte) {
    std::mt19937 random(13300);
    // Mostly printable, with now and then a byte from the edges of the range.
    const std::string edges = std::string("\x1f\x20\x7e\x7f\x80\xff\"\\\x00", 9);
    for (int i = 0; i < 20000; ++i) {
        std::string text(random() % 70, ' ');
        for (char& c : text)
            c = random() % 16 == 0 ? edges[random() % edges.size()] : static_cast<char>(0x21 + random() % 94);
        ASSERT_EQ(sqlite::classifyListText(text), byteByByte(text)) << i;
    }
}

// Titles stored under the indexed "uuid" of tasks, and the lists asked for.
const std::vector<std::string>& storedTexts() {
    static const std::vector<std::string> texts = {
        "alpha",
        "beta",
        "x-objectstore://6F1C2D/Task/p1",
        "x-objectstore://6F1C2D/Task/p2",
        "with \"quote",
        "back\\slash",
        "caf\xc3\xa9",
        "tab\there",
        "z",
        "a longer identifier of forty bytes...",
        "",
        "MiXeD",
    };
    return texts;
}

std::set<std::string> fetchedUUIDs(const std::shared_ptr<ManagedObjectContext>& context, const Array& list) {
    auto request = makeRequest("Task", Predicate::in("uuid", Value(list)));
    auto found = context->executeFetchRequest(request);
    EXPECT_TRUE(found) << found.error()->description();
    std::set<std::string> out;
    if (found)
        for (const auto& o : *found)
            out.insert(o->valueForKey("uuid").stringValue());
    return out;
}

TEST_F(SQLiteListAndSaveGuardTest, IndexedTextListsFindWhatAFilterByHandFinds) {
    {
        auto context = contextOn(open());
        for (const std::string& text : storedTexts()) {
            auto task = context->insertNewObjectForEntityForName("Task");
            task->setValue(Value(text), "uuid");
        }
        ASSERT_EQ(context->save(), nullptr);
    }
    auto context = contextOn(open());  // a new coordinator: rows come from the file
    std::mt19937 random(44);
    std::vector<std::string> pool = storedTexts();
    pool.insert(pool.end(), {"missing", "with \"quote too", "caf\xc3\xa9!", "\x01", "alpha"});
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        std::vector<std::string> members;
        const std::size_t count = 2 + random() % 8;
        for (std::size_t i = 0; i < count; ++i)
            members.push_back(pool[random() % pool.size()]);
        if (round % 3 == 0)
            std::sort(members.begin(), members.end());  // in order already
        Array list;
        for (const std::string& m : members)
            list.push_back(Value(m));
        std::set<std::string> expected;
        for (const std::string& stored : storedTexts())
            if (std::find(members.begin(), members.end(), stored) != members.end())
                expected.insert(stored);
        EXPECT_EQ(fetchedUUIDs(context, list), expected);
    }
}

// Calendars and tasks take keys from separate counters, so a save that
// renames calendars and edits tasks holds rows of both with equal keys while
// it writes memberships.
TEST_F(SQLiteListAndSaveGuardTest, MembershipsAreRightWhenTheSavesRowsShareKeysAcrossEntities) {
    auto coordinator = open();
    auto context = contextOn(coordinator);
    std::vector<ManagedObjectPtr> calendars, tasks;
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i) {
        calendars.push_back(context->insertNewObjectForEntityForName("Calendar"));
        names.push_back("c" + std::to_string(i));
        calendars.back()->setValue(Value(names.back()), "name");
    }
    for (int i = 0; i < 8; ++i) {
        tasks.push_back(context->insertNewObjectForEntityForName("Task"));
        tasks.back()->setValue(Value("t" + std::to_string(i)), "title");
    }
    ASSERT_EQ(context->save(), nullptr);
    std::set<int64_t> calendarKeys, taskKeys;
    for (const auto& c : calendars)
        calendarKeys.insert(c->objectID()->primaryKey());
    for (const auto& t : tasks)
        taskKeys.insert(t->objectID()->primaryKey());
    std::vector<int64_t> shared;
    std::set_intersection(calendarKeys.begin(), calendarKeys.end(), taskKeys.begin(), taskKeys.end(),
                          std::back_inserter(shared));
    ASSERT_FALSE(shared.empty()) << "the entities' keys should overlap";

    // Each task's calendar as stored, read through another coordinator.
    auto stored = [&] {
        std::map<std::string, std::string> out;
        auto reader = contextOn(open());
        for (const auto& t : fetchAll(reader, makeRequest("Task"))) {
            auto c = t->objectForKey("calendar");
            const std::string title = t->valueForKey("title").stringValue();
            out[title.substr(0, title.find('.'))] = c ? c->valueForKey("name").stringValue() : "-";
        }
        return out;
    };
    std::mt19937 random(13301);
    std::vector<int> owner(tasks.size(), -1);
    // A fresh context with the stored state, calendars and tasks in their
    // first order (titles and names keep their number before the dot).
    auto reload = [&] {
        context = contextOn(coordinator);
        auto number = [](const ManagedObjectPtr& o, const char* key) {
            const std::string text = o->valueForKey(key).stringValue();
            return std::stoi(text.substr(1, text.find('.') - 1));
        };
        calendars.assign(4, nullptr);
        tasks.assign(8, nullptr);
        for (const auto& c : fetchAll(context, makeRequest("Calendar")))
            calendars[static_cast<std::size_t>(number(c, "name"))] = c;
        for (const auto& t : fetchAll(context, makeRequest("Task")))
            tasks[static_cast<std::size_t>(number(t, "title"))] = t;
    };
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        reload();
        // Renamed calendars put their rows in the save beside the tasks'.
        for (std::size_t i = 0; i < calendars.size(); ++i) {
            if (random() % 2) {
                names[i] = "c" + std::to_string(i) + "." + std::to_string(round);
                calendars[i]->setValue(Value(names[i]), "name");
            }
        }
        std::vector<int> next = owner;
        for (int& to : next)
            if (random() % 2)
                to = static_cast<int>(random() % (calendars.size() + 1)) - 1;
        if (round % 2 == 0) {
            // Both sides, through the tasks' to-ones; the edited tasks' rows
            // are in the save.
            for (std::size_t i = 0; i < tasks.size(); ++i) {
                if (next[i] == owner[i])
                    continue;
                tasks[i]->setValue(Value("t" + std::to_string(i) + "." + std::to_string(round)), "title");
                tasks[i]->setValue(
                    next[i] < 0 ? Value() : Value(ObjectPtr(calendars[static_cast<std::size_t>(next[i])])),
                    "calendar");
            }
        } else {
            // The calendars' side alone: the store finds the members' rows
            // are not in the save, whatever rows of equal keys are.
            for (std::size_t c = 0; c < calendars.size(); ++c) {
                Set members;
                for (std::size_t i = 0; i < tasks.size(); ++i)
                    if (next[i] == static_cast<int>(c))
                        members.insert(Value(ObjectPtr(tasks[i])));
                calendars[c]->setPrimitiveValue(Value(std::move(members)), "tasks");
            }
        }
        owner = next;
        ASSERT_EQ(context->save(), nullptr);
        std::map<std::string, std::string> expected;
        for (std::size_t i = 0; i < tasks.size(); ++i)
            expected["t" + std::to_string(i)] =
                owner[i] < 0 ? "-" : names[static_cast<std::size_t>(owner[i])];
        ASSERT_EQ(stored(), expected);
    }
}

// Keys for several entities in one save (two sharing a root, others with
// roots of their own), two coordinators saving in turn: every key of a root
// is new, keys follow the order objects were made in, and none lies past the
// file's recorded maximum of its root.
TEST_F(SQLiteListAndSaveGuardTest, KeysForSeveralEntitiesInOneSaveAreDistinctOrderedAndRecorded) {
    std::vector<std::shared_ptr<ManagedObjectContext>> contexts = {contextOn(open()), contextOn(open())};
    const std::vector<std::string> entities = {"Task", "UrgentTask", "Calendar", "Tag", "Note"};
    auto rootOf = [](const std::string& entity) {
        return entity == "Task" || entity == "UrgentTask" ? std::string("Item") : entity;
    };
    // Keys in the order objects were made, by entity and by root (with the
    // save that made them).
    std::map<std::string, std::vector<int64_t>> keysByEntity;
    std::map<std::string, std::vector<std::pair<int, int64_t>>> keysByRoot;
    std::mt19937 random(13302);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        auto& context = contexts[random() % 2];
        std::vector<ManagedObjectPtr> made;
        const std::size_t count = 1 + random() % 40;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string& entity = entities[random() % entities.size()];
            auto o = context->insertNewObjectForEntityForName(entity);
            if (entity == "Calendar")
                o->setValue(Value("c"), "name");
            made.push_back(o);
        }
        ASSERT_EQ(context->save(), nullptr);
        for (const auto& o : made) {
            ASSERT_FALSE(o->objectID()->isTemporaryID());
            keysByEntity[o->entity()->name()].push_back(o->objectID()->primaryKey());
            keysByRoot[rootOf(o->entity()->name())].emplace_back(round, o->objectID()->primaryKey());
        }
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    for (const auto& [entity, keys] : keysByEntity)
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end())) << entity;
    for (const auto& [root, saved] : keysByRoot) {
        SCOPED_TRACE(root);
        // A later save's keys all come after an earlier one's.
        std::map<int, std::pair<int64_t, int64_t>> range;  // save -> smallest, largest key
        std::set<int64_t> distinct;
        for (const auto& [round, key] : saved) {
            distinct.insert(key);
            auto [it, fresh] = range.emplace(round, std::make_pair(key, key));
            it->second.first = std::min(it->second.first, key);
            it->second.second = std::max(it->second.second, key);
        }
        EXPECT_EQ(distinct.size(), saved.size());
        for (auto it = range.begin(); std::next(it) != range.end(); ++it)
            EXPECT_LT(it->second.second, std::next(it)->second.first) << "save " << it->first;
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT Z_MAX FROM Z_ENTITIES WHERE Z_NAME = ?1", -1, &s, nullptr),
                  SQLITE_OK);
        sqlite3_bind_text(s, 1, root.c_str(), -1, SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
        EXPECT_LE(*distinct.rbegin(), sqlite3_column_int64(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
}

}  // namespace
}  // namespace plat::coredata
