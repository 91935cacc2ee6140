// What the event builder takes from what it read or made before instead of
// reading or making it again, checked against the event store on disk read
// afresh: the identifier records found by store URI against one look-up per
// URI, the changes a new event keeps for its export against its stored rows,
// a merge event's revisions raised in place against revisions made anew, and
// the model version text against the hash written out each time.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

#include "EventStoreFixture.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "sync/eventstore/SYNSavedEvent.h"
#include "sync/eventstore/SYNStoreURIs.h"

namespace eventstoretest {
namespace {

using plat::Value;
using plat::coredata::FetchRequest;
using plat::coredata::ManagedObjectPtr;
using plat::coredata::Predicate;

// A mesh whose model hash the test sets between events.
class HashMesh : public SYNMeshServices {
  public:
    Value modelVersionHash() const override { return hash; }
    Value hash;
};

SYNRevisionSet setOf(const std::map<std::string, int64_t>& revisions) {
    SYNRevisionSet set;
    for (const auto& [store, number] : revisions) {
        set.addRevision({store, number});
    }
    return set;
}

class SYNEventBuilderKeptAnswersTest : public EventStoreTest {
  protected:
    // The record one look-up of the URI alone finds: of the records holding
    // it, the first made (the lowest key).
    ManagedObjectPtr recordAlone(const Value& uri) {
        if (!uri.isString()) {
            return nullptr;
        }
        auto stored = SYNStoreURIs::forContext(*context)->encodeIfKnown(*uri.asString());
        if (!stored) {
            return nullptr;
        }
        FetchRequest request(SYNGlobalIdentifierEntityName);
        request.predicate = Predicate::equal("storeURI", Value(*stored));
        auto found = context->executeFetchRequest(request);
        EXPECT_TRUE(found.ok());
        ManagedObjectPtr first;
        for (const auto& record : found.ok() ? *found : SYNManagedObjects()) {
            if (!first || record->objectID()->primaryKey() < first->objectID()->primaryKey()) {
                first = record;
            }
        }
        return first;
    }

    ManagedObjectPtr makeRecord(const std::string& identifier, const std::optional<std::string>& uri) {
        auto record = context->insertNewObjectForEntityForName(SYNGlobalIdentifierEntityName);
        record->setValue(Value(identifier), "globalIdentifier");
        record->setValue(Value("Person"), "nameOfEntity");
        if (uri) {
            record->setValue(Value(SYNStoreURIs::forContext(*context)->encode(*uri)), "storeURI");
        }
        return record;
    }

    // The event's stored changes read afresh, by key: entity, identifier
    // string, type, record key.
    using StoredChange = std::tuple<std::string, std::string, int16_t, int64_t>;
    std::map<int64_t, StoredChange> storedChanges(const plat::coredata::ManagedObjectIDPtr& eventID) {
        return inStore([&] {
            context->reset();
            std::map<int64_t, StoredChange> changes;
            auto event = context->existingObjectWithID(eventID);
            EXPECT_TRUE(event.ok());
            for (const auto& change :
                 event.ok() ? (*event)->objectsForKey("objectChanges") : SYNManagedObjects()) {
                auto record = change->objectForKey("globalIdentifier");
                changes[change->objectID()->primaryKey()] = {
                    *change->valueForKey("nameOfEntity").asString(),
                    record ? *record->valueForKey("globalIdentifier").asString() : std::string(),
                    SYNObjectChange::type(*change), record ? record->objectID()->primaryKey() : 0};
            }
            context->reset();
            return changes;
        });
    }
};

TEST_F(SYNEventBuilderKeptAnswersTest, RecordsFoundByURIAreThoseEachURIFindsAlone) {
    const std::string prefix = "x-coredata://5A1F0C3E-0000-4000-8000-000000000001/Person/p";
    std::vector<std::string> texts;
    inStore([&] {
        for (int i = 1; i <= 30; ++i) {
            texts.push_back(prefix + std::to_string(i));
            makeRecord("gid-" + std::to_string(i), texts.back());
        }
        // A text the listed form of the look-up does not take.
        texts.push_back(prefix + "\"quoted\"");
        makeRecord("gid-quoted", texts.back());
        makeRecord("gid-none", std::nullopt);
        ASSERT_EQ(context->save(), nullptr);
        // A second record of p5, made later (a higher key): the first wins.
        makeRecord("gid-5-again", texts[4]);
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });

    std::vector<Value> all;
    for (const auto& text : texts) {
        all.emplace_back(text);
    }
    all.emplace_back(texts[4]);            // listed twice
    all.emplace_back(prefix + "999");      // no record
    all.emplace_back(Value());             // not a string
    all.emplace_back(Value(int64_t{3}));   // not a string
    all.insert(all.begin() + 3, all[10]);  // listed twice, apart
    const std::vector<std::vector<Value>> lists{
        {all[0]}, {all[0], all[1]}, {all[4], all[0], all[2]}, all, {all.rbegin(), all.rend()}};

    inStore([&] {
        // An unsaved record is found as one saved.
        makeRecord("gid-unsaved", prefix + "40");
        std::vector<Value> withUnsaved = all;
        withUnsaved.emplace_back(prefix + "40");
        for (const auto& list : [&] {
                 auto lists2 = lists;
                 lists2.push_back(withUnsaved);
                 return lists2;
             }()) {
            auto batch = SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(list, *context);
            ASSERT_TRUE(batch.ok());
            ASSERT_EQ(batch->size(), list.size());
            std::vector<std::string> strings;
            for (std::size_t i = 0; i < list.size(); ++i) {
                EXPECT_EQ((*batch)[i], recordAlone(list[i])) << "at " << i << " of " << list.size();
                if (list[i].isString()) {
                    strings.push_back(*list[i].asString());
                }
            }
            // The strings' form gives the same records.
            auto byStrings = SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(strings, *context);
            ASSERT_TRUE(byStrings.ok());
            ASSERT_EQ(byStrings->size(), strings.size());
            for (std::size_t i = 0; i < strings.size(); ++i) {
                EXPECT_EQ((*byStrings)[i], recordAlone(Value(strings[i])));
            }
        }
        // Of p5's two records, the first made.
        auto p5 = recordAlone(Value(texts[4]));
        ASSERT_TRUE(p5);
        EXPECT_EQ(*p5->valueForKey("globalIdentifier").asString(), "gid-5");
        context->reset();
    });
}

TEST_F(SYNEventBuilderKeptAnswersTest, ChangesKeptForTheExportAreTheStoredRows) {
    auto app = makeApplication();
    std::vector<ManagedObjectPtr> people;
    for (const char* name : {"alice", "bob", "carol", "dave"}) {
        auto person = app.context->insertNewObjectForEntityForName("Person");
        person->setValue(Value(std::string(name)), "name");
        people.push_back(person);
    }
    auto pet = app.context->insertNewObjectForEntityForName("Pet");
    pet->setValue(Value("rex"), "name");
    ASSERT_EQ(app.context->save(), nullptr);

    // Alice and Bob have saved records first.
    {
        SYNEventBuilder first(store);
        ASSERT_TRUE(first.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        ASSERT_EQ(renamePeople(first, {people[0], people[1]}, " 1"), nullptr);
        ASSERT_EQ(first.finalizeNewEvent(), nullptr);
        ASSERT_EQ(first.saveAndResetLast(), nullptr);
    }

    // One way, as a save's event: an insert under a given identifier, then
    // renames of saved and new records, Alice twice (folded), and Dave's
    // delete after his rename (folded into a delete).
    SYNEventBuilder builder(store);
    builder.setLinksNewChangesOneWay(true);
    auto revision = builder.makeNewEventOfType(SYNStoreModificationEventTypeSave);
    ASSERT_TRUE(revision.ok());
    auto records = builder.addGlobalIdentifiersForManagedObjectIDs({pet->objectID()}, {"gid-rex"});
    ASSERT_TRUE(records.ok());
    ASSERT_EQ(builder.addInsertChangesForPropertyChangeValueArrays(
                  builder.propertyChangeValueArraysForInsertedObjects({pet}, true, *app.context), *records),
              nullptr);
    ASSERT_EQ(renamePeople(builder, people, " 2"), nullptr);
    ASSERT_EQ(renamePeople(builder, {people[0]}, " 3"), nullptr);
    ASSERT_EQ(builder.addDeleteChangesForObjectIDs({people[3]->objectID()}), nullptr);
    ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
    ASSERT_EQ(builder.saveAndResetLast(), nullptr);

    const auto events = allEvents();
    ASSERT_EQ(events.size(), 2u);
    const auto eventID = inStore([&] { return events[1]->objectID(); });
    auto kept = store->savedEvent()->take(*eventID, *revision);
    ASSERT_TRUE(kept);
    std::map<int64_t, StoredChange> keptChanges;
    for (const auto& change : *kept) {
        keptChanges[change.key] = {change.entityName, change.globalIdentifier.value_or(""), change.type,
                                   change.recordKey};
    }
    const auto stored = storedChanges(eventID);
    EXPECT_EQ(keptChanges, stored);
    ASSERT_EQ(stored.size(), 5u);
    std::map<std::string, int16_t> types;
    for (const auto& [key, change] : stored) {
        types[std::get<1>(change)] = std::get<2>(change);
    }
    EXPECT_EQ(types.at("gid-rex"), SYNObjectChangeTypeInsert);
    EXPECT_EQ(std::count_if(types.begin(), types.end(),
                            [](const auto& entry) { return entry.second == SYNObjectChangeTypeDelete; }),
              1);
}

TEST_F(SYNEventBuilderKeptAnswersTest, RevisionsRaisedInPlaceAreStoredAsRevisionsMadeAnew) {
    const SYNRevisionSet before = setOf({{"s1", 1}, {"s2", 2}});
    const SYNRevisionSet raised = setOf({{"s1", 5}, {"s2", 2}});
    const SYNRevisionSet otherStores = setOf({{"s1", 5}, {"s3", 1}});
    std::map<std::string, plat::coredata::ManagedObjectIDPtr> ids;
    inStore([&] {
        EventWriter writer(*context);
        auto inPlace = writer.event("in-place", SYNStoreModificationEventTypeMerge, 1, {"local", 1}, before);
        const auto made = inPlace->objectsForKey("eventRevisionsOfOtherStores");
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*inPlace, raised);
        // The same two records, raised.
        auto after = inPlace->objectsForKey("eventRevisionsOfOtherStores");
        EXPECT_EQ(std::set<ManagedObjectPtr>(after.begin(), after.end()),
                  std::set<ManagedObjectPtr>(made.begin(), made.end()));
        auto anew = writer.event("anew", SYNStoreModificationEventTypeMerge, 2, {"local", 2}, raised);
        auto replaced = writer.event("replaced", SYNStoreModificationEventTypeMerge, 3, {"local", 3}, before);
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*replaced, otherStores);
        auto saved = writer.event("saved", SYNStoreModificationEventTypeMerge, 4, {"local", 4}, before);
        ASSERT_EQ(context->save(), nullptr);
        // Records saved before are replaced, not raised.
        SYNStoreModificationEvent::setRevisionSetOfOtherStores(*saved, raised);
        EXPECT_EQ(context->insertedObjects().size(), 2u);
        ASSERT_EQ(context->save(), nullptr);
        for (const auto& event : {inPlace, anew, replaced, saved}) {
            ids[*event->valueForKey("uniqueIdentifier").asString()] = event->objectID();
        }
        context->reset();
    });
    inStore([&] {
        std::map<std::string, std::map<std::string, int64_t>> sets;
        for (const auto& [name, id] : ids) {
            auto event = context->existingObjectWithID(id);
            ASSERT_TRUE(event.ok());
            sets[name] = SYNStoreModificationEvent::revisionSetOfOtherStores(**event).revisions();
        }
        EXPECT_EQ(sets["in-place"], sets["anew"]);
        EXPECT_EQ(sets["in-place"], raised.revisions());
        EXPECT_EQ(sets["saved"], raised.revisions());
        EXPECT_EQ(sets["replaced"], otherStores.revisions());
        // No revision row is left without its event: four own revisions and
        // two of other stores each.
        auto rows = context->executeFetchRequest(FetchRequest(SYNEventRevisionEntityName));
        ASSERT_TRUE(rows.ok());
        EXPECT_EQ(rows->size(), 12u);
        context->reset();
    });
}

TEST_F(SYNEventBuilderKeptAnswersTest, ModelVersionTextIsTheHashWrittenOutEachTime) {
    auto mesh = std::make_shared<HashMesh>();
    auto hashOf = [](Value count) {
        return Value(plat::Dictionary{{"Person", Value(plat::Data::fromString("person-hash"))},
                                      {"Pet", Value(plat::Array{Value("pet"), std::move(count)})}});
    };
    // Equal as values, written differently: an integer and a real.
    const std::vector<Value> hashes{hashOf(Value(int64_t{1})),
                                    hashOf(Value(int64_t{1})),
                                    hashOf(Value(1.0)),
                                    hashOf(Value(int64_t{1})),
                                    Value(plat::Dictionary{{"Pet", Value("pet")}, {"Person", Value("x")}}),
                                    Value(plat::Dictionary{{"Person", Value("x")}, {"Pet", Value("pet")}}),
                                    Value("compressed-hash"),
                                    Value()};
    std::vector<std::string> expected;
    for (const auto& hash : hashes) {
        mesh->hash = hash;
        SYNEventBuilder builder(store);
        builder.setMesh(mesh);
        ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder.saveAndResetLast(), nullptr);
        if (hash.isNull()) {
            expected.emplace_back();
        } else if (hash.isString()) {
            expected.push_back(*hash.asString());
        } else {
            auto data = plat::PropertyListSerialization::dataWithPropertyList(
                hash, plat::PropertyListSerialization::Format::XML);
            ASSERT_TRUE(data.ok());
            expected.emplace_back(reinterpret_cast<const char*>(data->bytes()), data->length());
        }
    }
    EXPECT_NE(expected[1], expected[2]);
    const auto events = allEvents();
    ASSERT_EQ(events.size(), hashes.size());
    inStore([&] {
        for (std::size_t i = 0; i < events.size(); ++i) {
            const Value text = events[i]->valueForKey("modelVersion");
            EXPECT_EQ(text.isString() ? *text.asString() : std::string(), expected[i]) << "event " << i;
        }
        context->reset();
    });
}

TEST_F(SYNEventBuilderKeptAnswersTest, ChangesFoldByRecordForFewAndManyRecords) {
    // A few records (looked for in a list) and more than a list holds (in a
    // hash map): each person renamed twice, in two calls and twice in one
    // call, keeps one change with the last name.
    for (const std::size_t count : {std::size_t{5}, std::size_t{60}}) {
        auto app = makeApplication();
        std::vector<ManagedObjectPtr> people;
        for (std::size_t i = 0; i < count; ++i) {
            auto person = app.context->insertNewObjectForEntityForName("Person");
            person->setValue(Value("p" + std::to_string(i)), "name");
            people.push_back(person);
        }
        ASSERT_EQ(app.context->save(), nullptr);
        SYNEventBuilder builder(store);
        builder.setLinksNewChangesOneWay(true);
        ASSERT_TRUE(builder.makeNewEventOfType(SYNStoreModificationEventTypeSave).ok());
        for (const std::string suffix : {" a", " b"}) {
            auto made = renamings(people, suffix);
            // The first person listed twice in the call.
            made.ids.push_back(people.front()->objectID());
            ASSERT_EQ(builder.addUpdateChangesForObjectIDs(made.ids, made.values), nullptr);
        }
        ASSERT_EQ(builder.finalizeNewEvent(), nullptr);
        ASSERT_EQ(builder.saveAndResetLast(), nullptr);
        const auto events = allEvents();
        ASSERT_FALSE(events.empty());
        inStore([&] {
            std::multiset<std::string> names;
            for (const auto& change : events.back()->objectsForKey("objectChanges")) {
                EXPECT_EQ(SYNObjectChange::type(*change), SYNObjectChangeTypeUpdate);
                for (const auto& value : SYNObjectChange::propertyChangeValues(*change)) {
                    names.insert(value.value() && value.value()->asString() ? *value.value()->asString()
                                                                            : "?");
                }
            }
            std::multiset<std::string> expected;
            for (std::size_t i = 0; i < count; ++i) {
                expected.insert("p" + std::to_string(i) + " b");
            }
            EXPECT_EQ(names, expected) << count << " people";
            context->reset();
        });
    }
}

// Lists longer than one fetch (500 URIs a fetch): URIs listed again in a
// later part of the list, records found by the later fetch, URIs with no
// record between them, in shuffled order. Each place gets the record the URI
// finds alone, and the records of one URI are one object.
TEST_F(SYNEventBuilderKeptAnswersTest, RecordsFoundByURIAcrossFetchesAreThoseEachURIFindsAlone) {
    const std::string prefix = "x-coredata://5A1F0C3E-0000-4000-8000-000000000002/Person/p";
    inStore([&] {
        for (int i = 0; i < 700; i += 2) {
            makeRecord("gid-" + std::to_string(i), prefix + std::to_string(i));
        }
        ASSERT_EQ(context->save(), nullptr);
        context->reset();
    });
    std::vector<Value> list;
    for (int i = 0; i < 700; ++i) {
        list.emplace_back(prefix + std::to_string((i * 389) % 700));  // every URI once, shuffled
    }
    for (int i = 0; i < 700; i += 7) {
        list.emplace_back(prefix + std::to_string(i));  // again, in the second fetch
    }
    list.insert(list.begin() + 250, list[600]);  // a later URI early as well
    list.emplace_back(Value());

    inStore([&] {
        auto batch = SYNGlobalIdentifier::fetchGlobalIdentifiersForStoreURIs(list, *context);
        ASSERT_TRUE(batch.ok());
        ASSERT_EQ(batch->size(), list.size());
        std::map<std::string, ManagedObjectPtr> first;
        std::size_t found = 0;
        for (std::size_t i = 0; i < list.size(); ++i) {
            EXPECT_EQ((*batch)[i], recordAlone(list[i])) << "at " << i;
            if (!list[i].isString()) {
                continue;
            }
            auto [it, added] = first.emplace(*list[i].asString(), (*batch)[i]);
            EXPECT_EQ(it->second, (*batch)[i]) << "one object for " << it->first;
            found += (*batch)[i] ? 1 : 0;
        }
        EXPECT_EQ(first.size(), 700u);
        EXPECT_GT(found, 350u);
        context->reset();
    });
}

}  // namespace
}  // namespace eventstoretest
