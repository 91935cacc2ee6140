// The identifiers of an imported file, looked up and linked as the file's
// own texts: the batch import (one look-up of the stored rows, in lists of
// at most 500) must link every change to the row the one-by-one import
// links it to, for identifiers with escapes and non-ASCII text, for rows
// held twice and for rows of another entity.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::ManagedObjectContext;

// Identifier i of the source's event: mostly plain, some with texts the
// file writes escaped or as multi-byte UTF-8.
std::string identifierText(std::size_t i) {
    static const char* const kForms[] = {
        "P%05zu", "Q\"%05zu", "R\\%05zu", "S\t%05zu", "\xC3\xA9%05zu", "\xF0\x9F\x98\x80%05zu", "T/%05zu"};
    char text[64];
    std::snprintf(text, sizeof text, kForms[i % 7 == 0 ? 1 + (i / 7) % 6 : 0], i);
    return text;
}

class SYNImportIdentifierTextsTest : public EventFileTest {
  protected:
    static constexpr std::size_t kChanges = 1203;  // three lists of the look-up

    // The source's save "MANY": a Person change of every identifier, and a
    // Pet change of every fifth.
    std::string exportedEvent() {
        inContext(source, [&](ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event =
                writer.event("MANY", SYNStoreModificationEventTypeSave, 1, SYNRevision{storeID(source), 1});
            for (std::size_t i = 0; i < kChanges; ++i) {
                writer.change(event, identifierText(i), SYNObjectChangeTypeUpdate,
                              {attribute("name", Value("n" + std::to_string(i)))});
                if (i % 5 == 0) {
                    writer.change(event, identifierText(i), SYNObjectChangeTypeInsert,
                                  {attribute("name", Value("pet"))}, "Pet");
                }
            }
            EXPECT_EQ(context.save(), nullptr);
        });
        return exportedTo(root.str() + "/in/MANY", 1, {SYNStoreModificationEventTypeSave});
    }

    // The same rows in a store, made in the same order: a Person row of
    // every third identifier, a second one of every ninth (made later: the
    // first made is the one to link), a Pet row of every tenth, and an
    // "Other" row of every fourth.
    void seed(const std::shared_ptr<SYNEventStore>& store) {
        inContext(store, [&](ManagedObjectContext& context) {
            auto make = [&](const std::string& gid, const char* entity) {
                auto record = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
                record->setValue(Value(gid), "globalIdentifier");
                record->setValue(Value(entity), "nameOfEntity");
                record->setValue(Value("x-store://" + gid), "storeURI");
            };
            for (std::size_t i = 0; i < kChanges; ++i) {
                if (i % 4 == 0) {
                    make(identifierText(i), "Other");
                }
                if (i % 3 == 0) {
                    make(identifierText(i), "Person");
                }
                if (i % 10 == 0) {
                    make(identifierText(i), "Pet");
                }
            }
            for (std::size_t i = 0; i < kChanges; i += 9) {
                make(identifierText(i), "Person");
            }
            EXPECT_EQ(context.save(), nullptr);
        });
    }

    // Every identifier row of the store: identifier, entity and store URI,
    // by key.
    std::map<int64_t, std::string> rows(const std::shared_ptr<SYNEventStore>& store) {
        return inContext(store, [&](ManagedObjectContext& context) {
            context.reset();
            std::map<int64_t, std::string> found;
            auto fetched =
                context.executeFetchRequest(plat::coredata::FetchRequest(SYNGlobalIdentifierEntityName));
            EXPECT_TRUE(fetched.ok());
            for (const auto& row :
                 fetched.ok() ? *fetched : std::vector<plat::coredata::ManagedObjectPtr>()) {
                found[row->objectID()->primaryKey()] = row->valueForKey("globalIdentifier").description() +
                                                       "|" + row->valueForKey("nameOfEntity").description() +
                                                       "|" + row->valueForKey("storeURI").description();
            }
            return found;
        });
    }

    // The key of the row each change of the event links to, by the
    // change's entity and identifier.
    std::map<std::pair<std::string, std::string>, int64_t> links(
        const std::shared_ptr<SYNEventStore>& store, const plat::coredata::ManagedObjectIDPtr& id) {
        return inContext(store, [&](ManagedObjectContext& context) {
            context.reset();
            std::map<std::pair<std::string, std::string>, int64_t> found;
            auto event = context.existingObjectWithID(id);
            EXPECT_TRUE(event.ok());
            if (!event.ok()) {
                return found;
            }
            for (const auto& change : (*event)->objectsForKey("objectChanges")) {
                auto row = change->objectForKey("globalIdentifier");
                EXPECT_TRUE(row);
                if (!row) {
                    continue;
                }
                EXPECT_EQ(row->valueForKey("nameOfEntity"), change->valueForKey("nameOfEntity"));
                const auto key = std::make_pair(*change->valueForKey("nameOfEntity").asString(),
                                                *row->valueForKey("globalIdentifier").asString());
                EXPECT_TRUE(found.emplace(key, row->objectID()->primaryKey()).second);
            }
            return found;
        });
    }
};

TEST_F(SYNImportIdentifierTextsTest, TheBatchImportLinksEveryChangeAsTheOneByOneImport) {
    const std::string file = exportedEvent();
    ASSERT_FALSE(file.empty());
    auto single = makeStore("c");
    seed(destination);
    seed(single);
    ASSERT_EQ(rows(destination), rows(single));
    const auto seeded = rows(destination);

    SYNJSONEventBatchImport batch(destination, {file}, 100000);
    batch.start();
    ASSERT_EQ(batch.eventIDs().size(), 1u);
    const auto batchEvent = batch.eventIDs()[0];
    ASSERT_NE(batchEvent, nullptr);
    auto oneByOne = std::make_shared<SYNJSONEventImport>(single, std::vector<std::string>{file});
    run(oneByOne);
    ASSERT_EQ(oneByOne->error(), nullptr);
    ASSERT_NE(oneByOne->eventID(), nullptr);

    // The same event, the same rows made and the same rows linked.
    const std::string described = describeEvent(source, "MANY");
    EXPECT_EQ(describeEvent(destination, "MANY"), described);
    EXPECT_EQ(describeEvent(single, "MANY"), described);
    const auto batchRows = rows(destination);
    EXPECT_EQ(batchRows, rows(single));
    const auto batchLinks = links(destination, batchEvent);
    EXPECT_EQ(batchLinks, links(single, oneByOne->eventID()));

    // Each change links to the first made row of its entity and identifier,
    // found or (for identifiers the store did not hold) made with the
    // file's text.
    ASSERT_EQ(batchLinks.size(), kChanges + (kChanges + 4) / 5);
    std::map<std::string, int64_t> firstMade;
    for (const auto& [key, row] : seeded) {
        firstMade.emplace(row.substr(0, row.rfind('|')), key);  // keys ascend: the first stays
    }
    std::size_t made = 0;
    for (const auto& [change, key] : batchLinks) {
        const auto& [entity, gid] = change;
        const auto first = firstMade.find(gid + "|" + entity);
        if (first != firstMade.end()) {
            EXPECT_EQ(key, first->second) << entity << " " << gid;
        } else {
            ++made;
            ASSERT_EQ(seeded.count(key), 0u) << entity << " " << gid;
            EXPECT_EQ(batchRows.at(key), gid + "|" + entity + "|<null>") << key;
        }
    }
    EXPECT_EQ(batchRows.size(), seeded.size() + made);
    EXPECT_GT(made, kChanges / 2);
}

// Two events of one save naming the same identifiers (new ones among
// them): every change of one identifier and entity shares one row, in the
// batch's one save as in two imports one by one.
TEST_F(SYNImportIdentifierTextsTest, EventsOfOneSaveShareTheRowsOfTheirIdentifiers) {
    const std::string first = exportedEvent();
    ASSERT_FALSE(first.empty());
    inContext(source, [&](ManagedObjectContext& context) {
        EventWriter writer(context);
        auto event =
            writer.event("MORE", SYNStoreModificationEventTypeSave, 2, SYNRevision{storeID(source), 2});
        for (std::size_t i = 0; i < kChanges; i += 2) {
            writer.change(event, identifierText(i), SYNObjectChangeTypeUpdate,
                          {attribute("age", Value(int64_t(i)))});
        }
        writer.change(event, "ONLY-IN-MORE", SYNObjectChangeTypeInsert, {}, "Pet");
        EXPECT_EQ(context.save(), nullptr);
    });
    const std::string second = exportedTo(root.str() + "/in/MORE", 2, {SYNStoreModificationEventTypeSave});
    ASSERT_FALSE(second.empty());
    auto single = makeStore("c");
    seed(destination);
    seed(single);

    SYNJSONEventBatchImport batch(destination, {first, second}, 100000);
    batch.start();
    EXPECT_EQ(batch.numberOfSaves(), 1u);
    const auto batchEvents = batch.eventIDs();
    ASSERT_EQ(batchEvents.size(), 2u);
    ASSERT_NE(batchEvents[0], nullptr);
    ASSERT_NE(batchEvents[1], nullptr);
    std::vector<plat::coredata::ManagedObjectIDPtr> singleEvents;
    for (const auto& file : {first, second}) {
        auto oneByOne = std::make_shared<SYNJSONEventImport>(single, std::vector<std::string>{file});
        run(oneByOne);
        ASSERT_EQ(oneByOne->error(), nullptr);
        singleEvents.push_back(oneByOne->eventID());
    }

    EXPECT_EQ(describeEvent(destination, "MORE"), describeEvent(source, "MORE"));
    EXPECT_EQ(describeEvent(single, "MORE"), describeEvent(source, "MORE"));
    const auto batchRows = rows(destination);
    EXPECT_EQ(batchRows, rows(single));
    std::set<std::string> distinct;
    for (const auto& [key, row] : batchRows) {
        distinct.insert(row.substr(0, row.rfind('|')));
    }
    const auto firstLinks = links(destination, batchEvents[0]);
    const auto secondLinks = links(destination, batchEvents[1]);
    EXPECT_EQ(firstLinks, links(single, singleEvents[0]));
    EXPECT_EQ(secondLinks, links(single, singleEvents[1]));
    ASSERT_EQ(secondLinks.size(), (kChanges + 1) / 2 + 1);
    for (const auto& [change, key] : secondLinks) {
        const auto shared = firstLinks.find(change);
        if (shared != firstLinks.end()) {
            EXPECT_EQ(key, shared->second) << change.first << " " << change.second;
        }
    }
    EXPECT_EQ(secondLinks.count({"Pet", "ONLY-IN-MORE"}), 1u);
    // Rows made by the import are never made twice.
    std::size_t duplicates = 0;
    for (std::size_t i = 0; i < kChanges; i += 9) {
        ++duplicates;  // the seeded second Person rows
    }
    EXPECT_EQ(batchRows.size(), distinct.size() + duplicates);
}

}  // namespace
