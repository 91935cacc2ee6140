// The revisions a JSON event file's header lists: read as rows of the
// event's revision records when the exporting context holds no unsaved
// changes, through the context's objects otherwise. Both must give the same
// file, byte for byte, and the revisions the event holds.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/integration/SYNJSONEventFiles.h"

namespace {

using namespace integrationtest;
using plat::Value;

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class SYNExportHeaderRevisionsTest : public EventFileTest {
  protected:
    // The bytes of the one file the export of id makes; with
    // `unsavedChange`, the context holds an unsaved insert while it runs.
    std::string exportBytes(const plat::coredata::ManagedObjectIDPtr& id, bool unsavedChange) {
        if (unsavedChange) {
            inContext(source, [](plat::coredata::ManagedObjectContext& context) {
                auto file = context.insertNewObjectForEntityForName(SYNDataFileEntityName);
                file->setValue(Value("unsaved"), "filename");
                EXPECT_TRUE(context.hasChanges());
            });
        }
        auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
        run(operation);
        EXPECT_EQ(operation->error(), nullptr);
        const bool stillUnsaved = inContext(source, [](plat::coredata::ManagedObjectContext& context) {
            const bool changed = context.hasChanges();
            context.reset();
            return changed;
        });
        EXPECT_EQ(stillUnsaved, unsavedChange);
        const auto paths = operation->filePaths();
        if (paths.size() != 1) {
            ADD_FAILURE() << "one file expected, got " << paths.size();
            return std::string();
        }
        return fileBytes(paths.front());
    }

    // The header's revisions of a file's text.
    static std::map<std::string, int64_t> headerRevisions(const std::string& text) {
        std::map<std::string, int64_t> revisions;
        auto parsed = plat::JSONSerialization::JSONObjectWithString(text);
        EXPECT_TRUE(parsed.ok());
        if (!parsed.ok()) {
            return revisions;
        }
        const Value* listed = parsed->find("revisionsByStoreIdentifier");
        EXPECT_TRUE(listed && listed->isDictionary());
        if (listed && listed->isDictionary()) {
            for (const auto& [store, number] : *listed->asDictionary()) {
                revisions[store] = number.longLongValue();
            }
        }
        return revisions;
    }

    // An event of the source with these revisions of other stores, and
    // `extra` records added to it afterwards (a second record of a store
    // already listed, for instance).
    plat::coredata::ManagedObjectIDPtr eventWith(const std::string& uid, int64_t revision,
                                                 const SYNRevisionSet& others,
                                                 const std::vector<SYNRevision>& extra = {}) {
        return inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event = writer.event(uid, SYNStoreModificationEventTypeSave, revision + 1,
                                      SYNRevision{storeID(source), revision}, others, "md5ABC");
            writer.change(event, "P-" + uid, SYNObjectChangeTypeInsert,
                          {attribute("name", Value("name of " + uid))});
            for (const auto& added : extra) {
                SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier(
                    added.persistentStoreIdentifier, added.revisionNumber, context)
                    ->setObject(event, "storeModificationEventForOtherStores");
            }
            EXPECT_EQ(context.save(), nullptr);
            auto id = event->objectID();
            context.reset();
            return id;
        });
    }
};

TEST_F(SYNExportHeaderRevisionsTest, StoredRowsAndContextObjectsGiveTheSameFile) {
    // Events sharing stores, so that a read not limited to its event's own
    // records would list numbers of another event.
    struct Case {
        std::string uid;
        SYNRevisionSet others;
        std::vector<SYNRevision> extra;
        std::map<std::string, int64_t> expected;  // besides the own revision
    };
    std::vector<Case> cases;
    cases.push_back({"NONE", {}, {}, {}});
    cases.push_back({"ONE", revisions({{"OTHER-STORE", 7}}), {}, {{"OTHER-STORE", 7}}});
    // Made in an order other than the names', with a name sorting before
    // the own store's and one after it.
    cases.push_back({"MANY",
                     revisions({{"zz-last", 3}, {"00-first", 11}, {"OTHER-STORE", 8}, {"mm-middle", 0}}),
                     {},
                     {{"zz-last", 3}, {"00-first", 11}, {"OTHER-STORE", 8}, {"mm-middle", 0}}});
    // Two records of one store: the higher number is listed, whichever
    // record was made first.
    cases.push_back({"TWICE-HIGHER-LATER",
                     revisions({{"OTHER-STORE", 9}}),
                     {{"OTHER-STORE", 12}},
                     {{"OTHER-STORE", 12}}});
    cases.push_back({"TWICE-HIGHER-FIRST",
                     revisions({{"OTHER-STORE", 15}, {"zz-last", 1}}),
                     {{"OTHER-STORE", 4}, {"zz-last", 1}},
                     {{"OTHER-STORE", 15}, {"zz-last", 1}}});
    // A record naming the own store: listed as the higher of the two.
    cases.push_back({"OWN-AGAIN-LOWER", {}, {{storeID(source), 0}}, {}});
    cases.push_back({"OWN-AGAIN-HIGHER", {}, {{storeID(source), 900}}, {}});
    // Large numbers keep every digit.
    cases.push_back({"LARGE",
                     revisions({{"OTHER-STORE", int64_t{1} << 53 | 1}}),
                     {},
                     {{"OTHER-STORE", int64_t{1} << 53 | 1}}});

    int64_t revision = 0;
    std::vector<std::pair<Case, plat::coredata::ManagedObjectIDPtr>> made;
    for (auto& c : cases) {
        revision += 3;
        auto id = eventWith(c.uid, revision, c.others, c.extra);
        c.expected[storeID(source)] = revision;
        if (c.uid == "OWN-AGAIN-HIGHER") {
            c.expected[storeID(source)] = 900;
        }
        made.emplace_back(c, id);
    }
    for (const auto& [c, id] : made) {
        SCOPED_TRACE(c.uid);
        const std::string stored = exportBytes(id, false);
        const std::string objects = exportBytes(id, true);
        ASSERT_FALSE(stored.empty());
        EXPECT_EQ(stored, objects);
        EXPECT_EQ(headerRevisions(stored), c.expected);
        // The copy read back holds the same revisions.
        const std::string path = root.str() + "/copy-" + c.uid + ".json";
        {
            std::ofstream out(path, std::ios::binary);
            out << stored;
        }
        auto import = std::make_shared<SYNJSONEventImport>(destination, std::vector<std::string>{path});
        run(import);
        ASSERT_EQ(import->error(), nullptr);
        EXPECT_EQ(describeEvent(destination, c.uid), describeEvent(source, c.uid));
    }
}

TEST_F(SYNExportHeaderRevisionsTest, RevisionsChangedSinceTheEventWasLoadedAreThoseWritten) {
    auto id = eventWith("CHANGED", 4, revisions({{"OTHER-STORE", 7}, {"zz-last", 2}}));
    const std::string before = exportBytes(id, false);
    EXPECT_EQ(headerRevisions(before),
              (std::map<std::string, int64_t>{{storeID(source), 4}, {"OTHER-STORE", 7}, {"zz-last", 2}}));
    // The event's revisions of other stores replaced and saved, with the
    // event and its old records still registered in the context.
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        auto event = context.existingObjectWithID(id);
        ASSERT_TRUE(event.ok());
        EXPECT_EQ(SYNStoreModificationEvent::revisionSetOfOtherStores(**event).size(), 2u);
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(**event, revisions({{"OTHER-STORE", 30}}));
        EXPECT_EQ(context.save(), nullptr);
    });
    const std::string stored = exportBytes(id, false);
    EXPECT_EQ(stored, exportBytes(id, true));
    EXPECT_EQ(headerRevisions(stored),
              (std::map<std::string, int64_t>{{storeID(source), 4}, {"OTHER-STORE", 30}}));
}

}  // namespace
