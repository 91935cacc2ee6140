// The event store's form of the objects' URIs: numbered prefixes kept in the
// store's metadata, the same text for the same URI, additions from several
// threads kept, texts it cannot read taken as no URI; a store made now holds
// the short form on disk. (A store of full URIs: SYNFullStoreURIsMergeTest.)
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <set>
#include <thread>

#include "EventStoreFixture.h"
#include "sync/eventstore/SYNStoreURIs.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::ManagedObjectPtr;

class SYNStoreURIsTest : public EventStoreTest {
  protected:
    std::string storePath() const { return (root.path() / "mesh" / "events.sqlite").string(); }

    std::shared_ptr<plat::coredata::PersistentStore> eventPersistentStore() const {
        return context->persistentStoreCoordinator()->persistentStores().at(0);
    }

    // The identifier records' store URIs as the file holds them.
    std::vector<std::string> storedURIs() const {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* rows = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, "SELECT ZSTOREURI FROM Z_SYNGLOBALIDENTIFIER ORDER BY Z_PK", -1,
                                     &rows, nullptr),
                  SQLITE_OK);
        std::vector<std::string> uris;
        while (sqlite3_step(rows) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(rows, 0);
            uris.emplace_back(text ? reinterpret_cast<const char*>(text) : "<null>");
        }
        sqlite3_finalize(rows);
        sqlite3_close(db);
        return uris;
    }

    // Saves an event that renames people (name + suffix).
    void saveRenaming(const std::vector<ManagedObjectPtr>& people, const std::string& suffix) {
        SYNEventBuilder builder(store);
        ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        ASSERT_EQ(renamePeople(builder, people, suffix), nullptr);
        ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder.saveAndResetLast(), nullptr);
    }

    static std::vector<ManagedObjectPtr> people(Application& app, const std::vector<std::string>& names) {
        std::vector<ManagedObjectPtr> made;
        for (const auto& name : names) {
            auto person = app.context->insertNewObjectForEntityForName("Person");
            person->setValue(Value(name), "name");
            made.push_back(person);
        }
        EXPECT_EQ(app.context->save(), nullptr);
        return made;
    }

    std::vector<std::string> uriTexts(const std::vector<ManagedObjectPtr>& objects) {
        std::vector<std::string> uris;
        for (const auto& object : objects) {
            uris.push_back(SYNGlobalIdentifier::storeURIForObjectID(*object->objectID()));
        }
        return uris;
    }
};

TEST_F(SYNStoreURIsTest, URIsRoundTripThroughNumberedPrefixesKeptAcrossReopening) {
    auto codec = SYNStoreURIs::forContext(*context);
    ASSERT_TRUE(codec->isCompact());
    EXPECT_EQ(codec, SYNStoreURIs::forStore(eventPersistentStore()));            // one per store
    EXPECT_EQ(codec->encodeIfKnown("x-objectstore://A/Item/p1"), std::nullopt);  // looks nothing up

    const std::vector<std::pair<std::string, std::string>> cases{
        {"x-objectstore://A/Item/p1", "0;p1"},
        {"x-objectstore://A/Item/p22", "0;p22"},
        {"x-objectstore://B/Item/p1", "1;p1"},
        {"no-slash", "2;no-slash"},
        {"", "2;"},
        {"x-objectstore://A/Item/", "0;"},
        {"x-objectstore://A/Item/p1", "0;p1"},
        {"a/b;c/d;e", "3;d;e"},
    };
    for (const auto& [uri, stored] : cases) {
        EXPECT_EQ(codec->encode(uri), stored) << uri;
        EXPECT_EQ(codec->encodeIfKnown(uri), stored) << uri;
        EXPECT_EQ(codec->decode(stored), uri) << stored;
    }
    // Texts it cannot read are no URI, never another one.
    for (const char* bad : {"9;p1", "p1", ";p1", "x;p1", "-1;p1", "1", "", "18446744073709551616;p"}) {
        EXPECT_EQ(codec->decode(std::string_view(bad)), std::nullopt) << bad;
    }
    EXPECT_EQ(codec->decode(Value()), std::nullopt);
    EXPECT_EQ(codec->decode(Value(int64_t{0})), std::nullopt);

    // The list goes out with the next save and reads the same after reopening.
    inStore([&] {
        auto record = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(Value("gid"), "globalIdentifier");
        record->setValue(Value("Item"), "nameOfEntity");
        record->setValue(Value(codec->encode("x-objectstore://A/Item/p1")), "storeURI");
        ASSERT_EQ(context->save(), nullptr);
    });
    store->dismantle();
    store = openStore();
    context = store->managedObjectContext();
    auto reopened = SYNStoreURIs::forContext(*context);
    ASSERT_NE(reopened, codec);
    ASSERT_TRUE(reopened->isCompact());
    for (const auto& [uri, stored] : cases) {
        EXPECT_EQ(reopened->encodeIfKnown(uri), stored) << uri;
        EXPECT_EQ(reopened->decode(stored), uri) << stored;
    }
    EXPECT_EQ(reopened->encode("x-objectstore://C/Item/p1"), "4;p1");

    // Without a store, the identity.
    auto none = SYNStoreURIs::forStore(nullptr);
    EXPECT_FALSE(none->isCompact());
    EXPECT_EQ(none->encode("x-objectstore://A/Item/p1"), "x-objectstore://A/Item/p1");
    EXPECT_EQ(none->decode(std::string_view("0;p1")), "0;p1");
}

TEST_F(SYNStoreURIsTest, PrefixesAddedFromSeveralContextsAtOnceAreAllKept) {
    // Contexts of their own on the event store's coordinator, each on its
    // own thread, number prefixes (some shared, most their own) while the
    // store's other metadata changes too.
    constexpr int kThreads = 4;
    constexpr int kPrefixes = 60;
    auto coordinator = context->persistentStoreCoordinator();
    auto persistentStore = eventPersistentStore();
    std::vector<std::vector<std::pair<std::string, std::string>>> encoded(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto own =
                plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::PrivateQueue);
            own->setPersistentStoreCoordinator(coordinator);
            own->performBlockAndWait([&] {
                for (int i = 0; i < kPrefixes; ++i) {
                    const std::string uri = "x-objectstore://S" + std::to_string(i % 2 ? t : 99) + "/E" +
                                            std::to_string(i) + "/p" + std::to_string(i);
                    encoded[t].emplace_back(uri, SYNStoreURIs::forContext(*own)->encode(uri));
                    persistentStore->updateMetadata(
                        [&](plat::Dictionary& metadata) { metadata.set("other", Value(int64_t{i})); });
                }
            });
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    auto codec = SYNStoreURIs::forContext(*context);
    std::map<std::string, std::string> numberOf;  // prefix -> number text
    for (const auto& list : encoded) {
        for (const auto& [uri, stored] : list) {
            EXPECT_EQ(codec->decode(stored), uri);
            const std::string prefix = uri.substr(0, uri.rfind('/') + 1);
            const std::string number = stored.substr(0, stored.find(';'));
            auto [it, added] = numberOf.emplace(prefix, number);
            EXPECT_EQ(it->second, number) << prefix;  // the same prefix, the same number everywhere
        }
    }
    std::set<std::string> numbers;
    for (const auto& entry : numberOf) {
        numbers.insert(entry.second);
    }
    EXPECT_EQ(numbers.size(), numberOf.size());  // distinct prefixes, distinct numbers

    // The metadata lists each prefix once, at its number.
    const plat::Dictionary metadata = persistentStore->metadata();
    const auto* list = metadata.find(SYNStoreURIPrefixesMetadataKey)->asArray();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->size(), numberOf.size());
    for (const auto& [prefix, number] : numberOf) {
        EXPECT_EQ((*list)[std::stoul(number)].stringValue(), prefix);
    }
}

TEST_F(SYNStoreURIsTest, ANewStoreWritesShortURIsThatLookUpsFind) {
    auto app = makeApplication();
    auto family = people(app, {"alice", "bob"});
    saveRenaming(family, " 1");
    saveRenaming(family, " 2");  // found again by their URIs: no new records

    const auto uris = uriTexts(family);
    const std::string prefix = uris[0].substr(0, uris[0].rfind('/') + 1);
    auto stored = storedURIs();
    ASSERT_EQ(stored.size(), 2u);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i], "0;" + uris[i].substr(prefix.size()));
    }
    auto onDisk = plat::coredata::PersistentStoreCoordinator::metadataForPersistentStoreOfType(
        "", plat::URL::fileURLWithPath(storePath()));
    ASSERT_TRUE(onDisk.ok());
    EXPECT_EQ(*onDisk->find(SYNStoreURIPrefixesMetadataKey), Value(plat::Array{Value(prefix)}));

    inStore([&] {
        auto records = SYNGlobalIdentifier::fetchGlobalIdentifiersForObjectIDs(
            {family[0]->objectID(), family[1]->objectID()}, *context);
        ASSERT_TRUE(records.ok());
        ASSERT_TRUE((*records)[0] && (*records)[1]);
        EXPECT_NE((*records)[0], (*records)[1]);
        // A URI of a prefix the store never numbered finds nothing.
        auto none = SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(
            std::vector<std::string>{"x-objectstore://ELSEWHERE/Person/p1"}, *context);
        ASSERT_TRUE(none.ok());
        EXPECT_EQ(none->front(), nullptr);
    });
}

}  // namespace
}  // namespace eventstoretest
