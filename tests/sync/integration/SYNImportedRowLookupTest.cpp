// The store URIs the import's hand-off gives for identifiers
// (SYNImportedChanges::storeURIsOf) in place of the integration's look-up of
// the objects its changes relate to: they must be what that look-up finds in
// the store, also after the records were taken and after store URIs were
// written, and nothing may be answered where the store could say otherwise.
#include <gtest/gtest.h>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNObjectChange.h"
#include "sync/eventstore/SYNStoreURIs.h"
#include "sync/integration/SYNImportedChanges.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::Predicate;
using URIs = std::vector<std::optional<std::string>>;

class SYNImportedRowLookupTest : public EventFileTest {
  protected:
    void TearDown() override {
        SYNImportedChanges::drop(*coordinator());
        claimed_.reset();
        EventFileTest::TearDown();
    }

    std::shared_ptr<plat::coredata::PersistentStoreCoordinator> coordinator() {
        return destination->managedObjectContext()->persistentStoreCoordinator();
    }

    // Imports the source's save events 1..count, each of `people` Person
    // inserts and four other changes (several events a save), into the
    // destination, whose hand-off is held as an integrator holds it.
    std::vector<ManagedObjectIDPtr> importSaves(int count, std::size_t people = 2) {
        std::vector<std::string> paths;
        for (int i = 1; i <= count; ++i) {
            writeEvent(source, "E" + std::to_string(i), SYNStoreModificationEventTypeSave, i, i, people);
            paths.push_back(exportedTo(root.str() + "/in/E" + std::to_string(i), i, {200, 300}));
        }
        claimed_ = SYNImportedChanges::forCoordinator(coordinator());
        SYNJSONEventBatchImport operation(destination, paths, 2 * (people + 4));
        operation.start();
        EXPECT_GE(operation.numberOfSaves(), 2u);
        return operation.eventIDs();
    }

    // Takes every record and reads its rows, as the integration does before
    // it looks up related objects: the records.
    std::vector<SYNChangeRecord> takeRecords(const std::vector<ManagedObjectIDPtr>& events) {
        return inContext(destination, [&](ManagedObjectContext&) {
            std::vector<SYNChangeRecord> records;
            std::vector<ManagedObjectIDPtr> missing;
            claimed_->takeChanges(
                events,
                [&](SYNChangeRecord& record, const ManagedObjectIDPtr&) {
                    records.push_back(std::move(record));
                },
                missing);
            EXPECT_TRUE(missing.empty());
            EXPECT_TRUE(claimed_->readIdentifierRows(records));
            return records;
        });
    }

    // What the hand-off answers in the store's context; nullopt when it
    // declines.
    std::optional<URIs> kept(const std::string& entity, const std::vector<std::string>& identifiers) {
        return inContext(destination, [&](ManagedObjectContext& context) -> std::optional<URIs> {
            URIs uris{std::string("untouched")};
            if (!claimed_->storeURIsOf(entity, identifiers, context, uris)) {
                EXPECT_EQ(uris, URIs{std::string("untouched")});
                return std::nullopt;
            }
            return uris;
        });
    }

    // What the integration's look-up finds in the store.
    URIs fetched(const std::string& entity, const std::vector<std::string>& identifiers) {
        return inContext(destination, [&](ManagedObjectContext& context) {
            auto rows =
                SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings(identifiers, entity, context);
            URIs uris;
            EXPECT_TRUE(rows.ok());
            for (const auto& row : rows.ok() ? *rows : SYNManagedObjects()) {
                EXPECT_NE(row, nullptr);
                uris.push_back(row ? SYNStoreURIs::forContext(context)->decode(row->valueForKey("storeURI"))
                                   : std::nullopt);
            }
            context.reset();
            return uris;
        });
    }

    // Stores a row of an identifier and entity, with a store URI when given.
    void storeRow(const char* identifier, const char* entity, std::optional<std::string> uri) {
        inContext(destination, [&](ManagedObjectContext& context) {
            auto made = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
            made->setValue(Value(identifier), "globalIdentifier");
            made->setValue(Value(entity), "nameOfEntity");
            if (uri) {
                made->setValue(Value(SYNStoreURIs::forContext(context)->encode(*uri)), "storeURI");
            }
            ASSERT_EQ(context.save(), nullptr);
            context.reset();
        });
    }

    // Sets the store URI of the first made row of an identifier and entity.
    void writeURI(const std::string& identifier, const std::string& entity, Value uri) {
        inContext(destination, [&](ManagedObjectContext& context) {
            auto rows = SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings({identifier}, entity,
                                                                                        context);
            ASSERT_TRUE(rows.ok() && rows->front());
            rows->front()->setValue(
                uri.asString() ? Value(SYNStoreURIs::forContext(context)->encode(*uri.asString())) : uri,
                "storeURI");
            ASSERT_EQ(context.save(), nullptr);
            context.reset();
        });
    }

    std::shared_ptr<SYNImportedChanges> claimed_;
};

const std::vector<std::string> kPeople{"P000000", "P000001", "U1", "D1", "RICH"};

// Rows found in the store (with and without store URIs, the first made of
// two) and rows the import made, of two entities, over several saves: the
// answers are the look-up's, before and after store URIs are written.
TEST_F(SYNImportedRowLookupTest, AnswersAreWhatTheStoreLookUpFinds) {
    storeRow("P000001", "Person", "x-coredata://STORE/Person/p11");
    storeRow("U1", "Person", "x-coredata://STORE/Person/p12");
    storeRow("U1", "Person", "x-coredata://STORE/Person/p13");
    storeRow("RICH", "Person", std::nullopt);
    const auto events = importSaves(3);
    ASSERT_EQ(events.size(), 3u);
    takeRecords(events);

    auto answer = kept("Person", kPeople);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, fetched("Person", kPeople));
    EXPECT_EQ((*answer)[1], std::optional<std::string>("x-coredata://STORE/Person/p11"));
    EXPECT_EQ((*answer)[2], std::optional<std::string>("x-coredata://STORE/Person/p12"));
    EXPECT_EQ(kept("Pet", {"PET1"}), std::optional<URIs>(fetched("Pet", {"PET1"})));
    EXPECT_EQ(kept("Person", {"U1", "U1"}), std::optional<URIs>(fetched("Person", {"U1", "U1"})));

    // Store URIs written by later saves, as the integration's inserts write
    // them, are followed.
    writeURI("P000000", "Person", Value("x-coredata://STORE/Person/p21"));
    writeURI("P000001", "Person", Value());
    writeURI("PET1", "Pet", Value("x-coredata://STORE/Pet/p22"));
    answer = kept("Person", kPeople);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, fetched("Person", kPeople));
    EXPECT_EQ((*answer)[0], std::optional<std::string>("x-coredata://STORE/Person/p21"));
    EXPECT_EQ(kept("Pet", {"PET1"}), std::optional<URIs>({std::string("x-coredata://STORE/Pet/p22")}));
}

// Nothing is answered for an identifier the import did not name, nor where
// the context or other writes could make the store's answer differ.
TEST_F(SYNImportedRowLookupTest, DeclinesWhatTheStoreCouldAnswerOtherwise) {
    storeRow("PET1", "Person", "x-coredata://STORE/Person/p14");
    const auto events = importSaves(3);
    ASSERT_EQ(events.size(), 3u);
    ASSERT_TRUE(kept("Person", kPeople));
    // Not named by the import's changes: another entity's row, an unknown
    // identifier, an entity without rows.
    EXPECT_FALSE(kept("Person", {"U1", "PET1"}));
    EXPECT_FALSE(kept("Person", {"ELSEWHERE"}));
    EXPECT_FALSE(kept("Dog", {"PET1"}));

    // A context with unsaved changes, a child context, a context of another
    // coordinator on the same file.
    inContext(destination, [&](ManagedObjectContext& context) {
        URIs uris;
        auto row = context.insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        row->setValue(Value("U1"), "globalIdentifier");
        row->setValue(Value("Person"), "nameOfEntity");
        EXPECT_FALSE(claimed_->storeURIsOf("Person", {"U1"}, context, uris));
        context.rollback();
        EXPECT_TRUE(claimed_->storeURIsOf("Person", {"U1"}, context, uris));
    });
    auto child = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    child->setParentContext(destination->managedObjectContext());
    URIs uris;
    EXPECT_FALSE(claimed_->storeURIsOf("Person", {"U1"}, *child, uris));
    auto other = plat::coredata::PersistentStoreCoordinator::create(
        std::const_pointer_cast<plat::coredata::ManagedObjectModel>(SYNEventStoreModel()));
    ASSERT_TRUE(other
                    ->addPersistentStore(plat::coredata::SQLiteStoreType, "",
                                         plat::URL::fileURLWithPath(destination->pathToStoreFile()))
                    .ok());
    auto elsewhere = ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
    elsewhere->setPersistentStoreCoordinator(other);
    EXPECT_FALSE(claimed_->storeURIsOf("Person", {"U1"}, *elsewhere, uris));
    EXPECT_TRUE(uris.empty());

    // A deleted row leaves nothing answered until the drop; so does the drop.
    inContext(destination, [&](ManagedObjectContext& context) {
        auto rows =
            SYNGlobalIdentifier::fetchGlobalIdentifiersForIdentifierStrings({"D1"}, "Person", context);
        ASSERT_TRUE(rows.ok() && rows->front());
        context.deleteObject(rows->front());
        ASSERT_EQ(context.save(), nullptr);
        context.reset();
    });
    EXPECT_FALSE(kept("Person", {"U1"}));
    SYNImportedChanges::drop(*coordinator());
    EXPECT_FALSE(kept("Person", {"U1"}));
}

// Beyond kRowsAnswered rows nothing is answered, and every record of a row
// named by several still gets the row's strings (the last one takes them).
TEST_F(SYNImportedRowLookupTest, ManyRowsAreNotAnsweredAndTheirRecordsKeepTheirStrings) {
    storeRow("P000001", "Person", "x-coredata://STORE/Person/p11");
    const std::size_t people = SYNImportedChanges::kRowsAnswered;
    const auto events = importSaves(3, people);
    ASSERT_EQ(events.size(), 3u);
    const auto records = takeRecords(events);
    ASSERT_EQ(records.size(), 3 * (people + 4));
    EXPECT_FALSE(kept("Person", {"P000001"}));
    // Each row is named by one record of each event.
    std::vector<std::string> identifiers;
    for (const auto& record : records) {
        ASSERT_TRUE(record.globalIdentifier);
        if (record.globalIdentifierEntityName == "Person") {
            identifiers.push_back(*record.globalIdentifier);
        }
    }
    ASSERT_EQ(identifiers.size(), 3 * (people + 3));
    const auto uris = fetched("Person", identifiers);
    ASSERT_EQ(uris.size(), identifiers.size());
    std::size_t i = 0;
    bool sawStoredURI = false;
    for (const auto& record : records) {
        if (record.globalIdentifierEntityName == "Person") {
            EXPECT_EQ(record.storeURI, uris[i]) << *record.globalIdentifier;
            sawStoredURI = sawStoredURI || uris[i] == "x-coredata://STORE/Person/p11";
            ++i;
        }
    }
    EXPECT_TRUE(sawStoredURI);
}

// The rows are searched in place for few identifiers and indexed for more:
// for every count of identifiers on both sides of that bound (repeated
// identifiers, rows the store held before, two rows of one identifier, store
// URIs written between the questions), the answer is the store's.
TEST_F(SYNImportedRowLookupTest, AnswersForFewAndManyIdentifiersAreTheStoreLookUps) {
    storeRow("P000001", "Person", "x-coredata://STORE/Person/p11");
    storeRow("P000007", "Person", "x-coredata://STORE/Person/p12");
    storeRow("P000007", "Person", "x-coredata://STORE/Person/p13");
    const std::size_t people = 24;
    const auto events = importSaves(3, people);
    ASSERT_EQ(events.size(), 3u);
    takeRecords(events);
    std::vector<std::string> all;
    for (std::size_t i = 0; i < people; ++i) {
        char gid[32];
        std::snprintf(gid, sizeof gid, "P%06zu", i);
        all.emplace_back(gid);
    }
    all.insert(all.end(), {"U1", "D1", "RICH"});
    // At least one row per identifier asked, so the bound falls between
    // these counts.
    const std::size_t rows = all.size();
    ASSERT_LT(SYNImportedChanges::kRowsSearchedInPlace / rows, all.size());
    bool searched = false;
    bool indexed = false;
    uint32_t seed = 15601;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % all.size();
    };
    for (std::size_t count = 1; count <= 2 * all.size(); ++count) {
        std::vector<std::string> asked;
        for (std::size_t i = 0; i < count; ++i) {
            asked.push_back(all[next()]);
        }
        if (count % 7 == 0) {
            writeURI(asked.front(), "Person", Value("x-coredata://STORE/Person/w" + std::to_string(count)));
        }
        auto answer = kept("Person", asked);
        ASSERT_TRUE(answer) << count;
        EXPECT_EQ(*answer, fetched("Person", asked)) << count;
        searched = searched || count * rows <= SYNImportedChanges::kRowsSearchedInPlace;
        indexed = indexed || count * rows > 2 * SYNImportedChanges::kRowsSearchedInPlace;
    }
    EXPECT_TRUE(searched);
    EXPECT_TRUE(indexed);
    // An identifier without a row of the entity declines either way.
    EXPECT_FALSE(kept("Person", {"PET1"}));
    std::vector<std::string> many(all.begin(), all.end());
    many.push_back("PET1");
    EXPECT_FALSE(kept("Person", many));
}

}  // namespace
