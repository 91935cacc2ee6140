// The revision records of events read in by the batch import, read back
// through a context of their own: each event names its own revision and that
// revision names the event; each revision of another store names the event
// that lists it; no revision is left without its event or shared by two.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "EventFileFixture.h"
#include "sync/eventstore/SYNEventStoreModel.h"
#include "sync/eventstore/SYNStoreModificationEvent.h"
#include "sync/integration/SYNEventMigrator.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using plat::coredata::ConcurrencyType;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectContext;
using plat::coredata::ManagedObjectIDPtr;
using plat::coredata::ManagedObjectPtr;

class SYNImportedRevisionLinksTest : public integrationtest::EventFileTest {
  protected:
    // Writes the source's event `uid` of this type and revisions, with a few
    // changes, and exports it: the path of its one file.
    std::string exported(const std::string& uid, int16_t type, int64_t number, const SYNRevisionSet& others) {
        integrationtest::inContext(source, [&](ManagedObjectContext& context) {
            eventstoretest::EventWriter writer(context);
            auto event =
                writer.event(uid, type, number, SYNRevision{storeID(source), number}, others, "md5ABC");
            writer.change(event, "P" + uid, SYNObjectChangeTypeInsert,
                          {eventstoretest::attribute("name", plat::Value(uid))});
            EXPECT_EQ(context.save(), nullptr);
        });
        return exportedTo(root.str() + "/in-" + uid, number, {type});
    }

    // A context of its own: nothing the import left registered answers.
    std::shared_ptr<ManagedObjectContext> freshContext() {
        auto context = ManagedObjectContext::create(ConcurrencyType::Confinement);
        context->setPersistentStoreCoordinator(
            destination->managedObjectContext()->persistentStoreCoordinator());
        return context;
    }
};

TEST_F(SYNImportedRevisionLinksTest, EveryImportedRevisionNamesTheEventThatListsIt) {
    // Events with no, one and two revisions of other stores, a merge among
    // them, imported in one save and in a second one.
    const std::vector<std::pair<std::string, SYNRevisionSet>> written{
        {"E2", SYNRevisionSet()},
        {"E3", eventstoretest::revisions({{"OTHER-STORE", 7}})},
        {"E4", eventstoretest::revisions({{"OTHER-STORE", 8}, {"THIRD-STORE", 2}})},
        {"E5", eventstoretest::revisions({{"THIRD-STORE", 3}})},
    };
    std::vector<std::string> paths;
    int64_t number = 2;
    for (const auto& [uid, others] : written) {
        const int16_t type =
            uid == "E4" ? SYNStoreModificationEventTypeMerge : SYNStoreModificationEventTypeSave;
        paths.push_back(exported(uid, type, number++, others));
        ASSERT_FALSE(paths.back().empty());
    }
    // Three events fit the first save, the fourth goes to a second.
    SYNJSONEventBatchImport operation(destination, paths, 3);
    operation.start();
    EXPECT_EQ(operation.numberOfSaves(), 2u);
    const auto ids = operation.eventIDs();
    ASSERT_EQ(ids.size(), written.size());

    auto context = freshContext();
    std::map<int64_t, int> owners;  // revision key -> events naming it
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ASSERT_NE(ids[i], nullptr) << i;
        auto event = context->existingObjectWithID(ids[i]);
        ASSERT_TRUE(event.ok()) << i;
        const ManagedObjectPtr& record = *event;
        EXPECT_EQ(integrationtest::describeEvent(**event),
                  integrationtest::describeEvent(source, written[i].first));

        auto own = record->objectForKey("eventRevision");
        ASSERT_NE(own, nullptr) << i;
        EXPECT_EQ(SYNEventRevision::revision(*own),
                  (SYNRevision{storeID(source), static_cast<int64_t>(i) + 2}));
        auto ownEvent = own->objectForKey("storeModificationEvent");
        ASSERT_NE(ownEvent, nullptr) << i;
        EXPECT_EQ(ownEvent->objectID()->primaryKey(), ids[i]->primaryKey());
        EXPECT_EQ(own->objectForKey("storeModificationEventForOtherStores"), nullptr);
        ++owners[own->objectID()->primaryKey()];

        SYNRevisionSet others;
        for (const auto& other : record->objectsForKey("eventRevisionsOfOtherStores")) {
            const SYNRevision revision = SYNEventRevision::revision(*other);
            others.setRevisionNumber(revision.persistentStoreIdentifier, revision.revisionNumber);
            auto owner = other->objectForKey("storeModificationEventForOtherStores");
            ASSERT_NE(owner, nullptr) << i;
            EXPECT_EQ(owner->objectID()->primaryKey(), ids[i]->primaryKey());
            EXPECT_EQ(other->objectForKey("storeModificationEvent"), nullptr);
            ++owners[other->objectID()->primaryKey()];
        }
        EXPECT_EQ(others, written[i].second) << i;
    }
    // Every revision row of the store belongs to exactly one event.
    auto revisions = context->executeFetchRequest(FetchRequest(SYNEventRevisionEntityName));
    ASSERT_TRUE(revisions.ok());
    EXPECT_EQ(revisions->size(), owners.size());
    for (const auto& revision : *revisions) {
        EXPECT_EQ(owners[revision->objectID()->primaryKey()], 1) << revision->objectID()->primaryKey();
    }
}

}  // namespace
