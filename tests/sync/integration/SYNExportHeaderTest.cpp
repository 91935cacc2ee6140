// The header of a JSON event file. Its revisions are read as rows of the
// event's revision records when the exporting context holds no unsaved
// changes, through the context's objects otherwise: both must give the same
// file, byte for byte, and the revisions the event holds. Its text is
// written out directly: it must be the writer's text of the file's own
// document, whatever bytes its texts hold, and a value the writer refuses
// fails the export as the writer fails it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "EventFileFixture.h"
#include "platform/foundation/JSONSerialization.h"
#include "sync/eventstore/SYNRevisionManager.h"
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

class SYNExportHeaderTest : public EventFileTest {
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

TEST_F(SYNExportHeaderTest, StoredRowsAndContextObjectsGiveTheSameFile) {
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

TEST_F(SYNExportHeaderTest, RevisionsChangedSinceTheEventWasLoadedAreThoseWritten) {
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

// The revisions of other stores of an event the event store's context saved
// are taken as its tallies keep them: the file is the one written from the
// rows, also after another context added a record to the event (which takes
// the kept revisions away) and after the event store's context did.
TEST_F(SYNExportHeaderTest, KeptRevisionsOfASavedEventGiveTheFileTheRowsGive) {
    auto kept = [&](const plat::coredata::ManagedObjectIDPtr& id) {
        return inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            return SYNRevisionManager::keptRevisionsOfOtherStores(*source, context, *id);
        });
    };
    auto id = eventWith("KEPT", 6, revisions({{"OTHER-STORE", 7}, {"zz-last", 2}}), {{"OTHER-STORE", 9}});
    ASSERT_TRUE(kept(id));
    EXPECT_EQ(*kept(id), revisions({{"OTHER-STORE", 9}, {"zz-last", 2}}));
    const std::string fromKept = exportBytes(id, false);
    ASSERT_TRUE(kept(id));  // the export saved nothing that took them away
    EXPECT_EQ(fromKept, exportBytes(id, true));
    EXPECT_EQ(headerRevisions(fromKept),
              (std::map<std::string, int64_t>{{storeID(source), 6}, {"OTHER-STORE", 9}, {"zz-last", 2}}));

    // Another writer over the same store adds a record of a new store.
    {
        auto other =
            plat::coredata::ManagedObjectContext::create(plat::coredata::ConcurrencyType::Confinement);
        other->setPersistentStoreCoordinator(
            inContext(source, [](plat::coredata::ManagedObjectContext& context) {
                return context.persistentStoreCoordinator();
            }));
        auto event = other->existingObjectWithID(id);
        ASSERT_TRUE(event.ok());
        SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("added-elsewhere", 4, *other)
            ->setObject(*event, "storeModificationEventForOtherStores");
        ASSERT_EQ(other->save(), nullptr);
    }
    EXPECT_FALSE(kept(id));
    const std::string afterOther = exportBytes(id, false);
    EXPECT_EQ(headerRevisions(afterOther),
              (std::map<std::string, int64_t>{
                  {storeID(source), 6}, {"OTHER-STORE", 9}, {"zz-last", 2}, {"added-elsewhere", 4}}));

    // A new event of the store's context is kept again, and a record its
    // context adds to it afterwards takes that away.
    auto second = eventWith("KEPT-2", 7, revisions({{"OTHER-STORE", 10}}));
    ASSERT_TRUE(kept(second));
    inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
        auto event = context.existingObjectWithID(second);
        ASSERT_TRUE(event.ok());
        SYNEventRevision::makeEventRevisionForPersistentStoreIdentifier("OTHER-STORE", 11, context)
            ->setObject(*event, "storeModificationEventForOtherStores");
        ASSERT_EQ(context.save(), nullptr);
        context.reset();
    });
    EXPECT_FALSE(kept(second));
    const std::string last = exportBytes(second, false);
    EXPECT_EQ(last, exportBytes(second, true));
    EXPECT_EQ(headerRevisions(last),
              (std::map<std::string, int64_t>{{storeID(source), 7}, {"OTHER-STORE", 11}}));
}

// An event of the source whose header values are set as given.
struct HeaderCase {
    std::string uid;
    std::string ownStore;  // written as a revisions key
    std::string otherStore;
    Value modelVersion;
    Value modelVersionIdentifier;
    double timestamp = 0;
    int64_t globalCount = 0;
};

TEST_F(SYNExportHeaderTest, HeaderTextIsTheWritersTextOfTheFilesDocument) {
    // Each byte the writer escapes or checks, in every kind of header text.
    const std::vector<std::string> texts = {"plain",
                                            "with/slash",
                                            "quote\"inside",
                                            "back\\slash",
                                            "tab\tand\nnewline",
                                            "\x01control",
                                            "del\x7f",
                                            "caf\xc3\xa9",
                                            "\xf0\x9f\x98\x80"
                                            "four",
                                            "",
                                            "/",
                                            "trailing\\",
                                            "0123456789abcdef0123456789abcdef0123456789"};
    const std::vector<double> timestamps = {0.0, -1.5, 1e21, 123456789.125, 1e-300, -0.0, 1.0 / 3.0};
    const std::vector<int64_t> counts = {0, -1, int64_t{1} << 62, 42};
    std::vector<HeaderCase> cases;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        HeaderCase c;
        c.uid = "UID-" + std::to_string(i) + "-" + texts[i];
        c.ownStore = "own-" + texts[i];
        c.otherStore = texts[(i + 3) % texts.size()] + "-other";
        c.modelVersion = i % 3 == 2 ? Value() : Value(texts[(i + 1) % texts.size()]);
        c.modelVersionIdentifier = i % 4 == 1 ? Value() : Value(texts[(i + 5) % texts.size()]);
        c.timestamp = timestamps[i % timestamps.size()];
        c.globalCount = counts[i % counts.size()];
        cases.push_back(c);
    }
    std::vector<plat::coredata::ManagedObjectIDPtr> ids;
    int64_t revision = 0;
    for (const auto& c : cases) {
        ids.push_back(inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            auto event =
                writer.event(c.uid, SYNStoreModificationEventTypeSave, c.globalCount,
                             SYNRevision{c.ownStore, ++revision}, revisions({{c.otherStore.c_str(), 5}}));
            event->setValue(c.modelVersion, "modelVersion");
            event->setValue(c.modelVersionIdentifier, "modelVersionIdentifier");
            event->setValue(Value(c.timestamp), "timestamp");
            writer.change(event, "P-" + std::to_string(revision), SYNObjectChangeTypeInsert,
                          {attribute("name", Value(c.uid))});
            EXPECT_EQ(context.save(), nullptr);
            auto id = event->objectID();
            context.reset();
            return id;
        }));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.uid);
        for (const bool unsaved : {false, true}) {
            const std::string bytes = exportBytes(ids[i], unsaved);
            ASSERT_FALSE(bytes.empty());
            auto parsed = plat::JSONSerialization::JSONObjectWithString(bytes);
            ASSERT_TRUE(parsed.ok());
            auto rewritten = plat::JSONSerialization::stringWithJSONObject(*parsed);
            ASSERT_TRUE(rewritten.ok());
            EXPECT_EQ(bytes, *rewritten);
            // The members in the writer's order, with the event's values.
            const auto& members = *parsed->asDictionary();
            std::vector<std::string> keys;
            for (const auto& [key, value] : members) {
                keys.push_back(key);
            }
            std::vector<std::string> expected = {"globalCount", "type"};
            if (c.modelVersion.isString()) {
                expected.push_back("modelVersion");
            }
            if (c.modelVersionIdentifier.isString()) {
                expected.push_back("modelVersionIdentifier");
            }
            for (const char* key : {"timestamp", "uniqueIdentifier", "storeIdentifier",
                                    "revisionsByStoreIdentifier", "changesByEntity"}) {
                expected.push_back(key);
            }
            EXPECT_EQ(keys, expected);
            EXPECT_EQ(parsed->find("globalCount")->longLongValue(), c.globalCount);
            EXPECT_EQ(*parsed->find("uniqueIdentifier")->asString(), c.uid);
            EXPECT_EQ(*parsed->find("storeIdentifier")->asString(), c.ownStore);
            EXPECT_EQ(std::stod(*parsed->find("timestamp")->asString()), c.timestamp);
            if (c.modelVersion.isString()) {
                EXPECT_EQ(*parsed->find("modelVersion"), c.modelVersion);
            }
            EXPECT_EQ(headerRevisions(bytes),
                      (std::map<std::string, int64_t>{{c.ownStore, int64_t(i) + 1}, {c.otherStore, 5}}));
        }
    }
}

TEST_F(SYNExportHeaderTest, AHeaderTextTheWriterRefusesFailsTheExport) {
    // Not UTF-8: the writer refuses it, as a model version and as a store
    // identifier (a key of the revisions).
    const std::string invalid = "bad\xff\xfe";
    for (const bool asStore : {false, true}) {
        SCOPED_TRACE(asStore);
        auto id = inContext(source, [&](plat::coredata::ManagedObjectContext& context) {
            EventWriter writer(context);
            const std::string uid = asStore ? "AS-STORE" : "AS-VERSION";
            auto event =
                writer.event(uid, SYNStoreModificationEventTypeSave, 3, SYNRevision{storeID(source), 3},
                             asStore ? revisions({{invalid.c_str(), 1}}) : SYNRevisionSet{});
            if (!asStore) {
                event->setValue(Value(invalid), "modelVersion");
            }
            writer.change(event, "P-" + uid, SYNObjectChangeTypeInsert, {attribute("name", Value(uid))});
            EXPECT_EQ(context.save(), nullptr);
            auto id = event->objectID();
            context.reset();
            return id;
        });
        auto operation = std::make_shared<SYNJSONEventExport>(source, id, applicationModel());
        run(operation);
        auto error = operation->error();
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), plat::PropertyListWriteInvalidError);
        EXPECT_TRUE(operation->filePaths().empty());
    }
}

}  // namespace
